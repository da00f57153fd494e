#include "ui/desktop_shell.hpp"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/model.hpp"
#include "ui/model_bridge.hpp"
#include "ui/system_displays_bridge.hpp"
#include "ui/view_rules.hpp"
#include "ui/window_size.hpp"
#include "ui/window_state_recorder.hpp"

#ifdef TAVELIN_MOTION_TEST
#include "ui/motion_test.hpp"
#endif

namespace tavelin::ui {

// The motion test window of the floating windows library, when it is built in.
class MotionTestHost {
public:
    static constexpr bool available =
#ifdef TAVELIN_MOTION_TEST
        true;
#else
        false;
#endif

    void showAt(const QRect& geometry) {
#ifdef TAVELIN_MOTION_TEST
        window_.showAt(geometry);
#else
        (void)geometry;
#endif
    }
    void close() {
#ifdef TAVELIN_MOTION_TEST
        window_.close();
#endif
    }

private:
#ifdef TAVELIN_MOTION_TEST
    MotionTestWindow window_;
#endif
};

namespace {

constexpr const char* moduleRoot = "qrc:/qt/qml/Tavelin/qml/";

// Two overlapping screens in mint: the tray has no theme icon of ours to look up.
QIcon trayIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor mint(0x3d, 0xd6, 0xb0);
    painter.setPen(QPen(mint, 5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(4, 10, 36, 26), 4, 4);
    painter.setBrush(mint);
    painter.drawRoundedRect(QRectF(24, 26, 36, 26), 4, 4);
    painter.drawLine(QPointF(34, 58), QPointF(50, 58));
    return QIcon(pixmap);
}

QQuickWindow* loadWindow(QQmlApplicationEngine& engine, const char* file) {
    const auto before = engine.rootObjects().size();
    engine.load(QUrl(QString(moduleRoot) + file));
    const auto roots = engine.rootObjects();
    if (roots.size() == before) qFatal("Tavelin: the interface file %s did not load", file);
    return qobject_cast<QQuickWindow*>(roots.back());
}

} // namespace

DesktopShell::DesktopShell(std::weak_ptr<AppModel> model, Executor engine, Options options)
    : model_(std::move(model)), engine_(std::move(engine)), options_(std::move(options)),
      motionTest_(std::make_unique<MotionTestHost>()) {
    if (!options_.interface) return;
    bridge_ = new ModelBridge(model_, engine_, this);
    rules_ = new ViewRules(this);
    qml_ = std::make_unique<QQmlApplicationEngine>();
    qml_->addImportPath("qrc:/qt/qml");
    qml_->rootContext()->setContextProperty("bridge", bridge_);
    qml_->rootContext()->setContextProperty("rules", rules_);
    qml_->rootContext()->setContextProperty("shell", this);
    systemDisplays_ = new SystemDisplaysBridge(model_, engine_, this);
    qml_->rootContext()->setContextProperty("systemDisplays", systemDisplays_);
    mainWindow_ = loadWindow(*qml_, "MainWindow.qml");
    panelWindow_ = loadWindow(*qml_, "TrayPanel.qml");
    mainWindow_->installEventFilter(this);
    if (options_.windowStateFile) new WindowStateRecorder(*mainWindow_, *options_.windowStateFile, true);
    bridge_->attach();
    systemDisplays_->attach();

    tray_ = std::make_unique<QSystemTrayIcon>(trayIcon());
    tray_->setToolTip("Tavelin");
    trayMenu_ = std::make_unique<QMenu>();
    connect(trayMenu_->addAction("Show window"), &QAction::triggered, this, [this] { bridge_->showWindow("receiver"); });
    connect(trayMenu_->addAction("Quit"), &QAction::triggered, this, &DesktopShell::quit);
    tray_->setContextMenu(trayMenu_.get());
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) togglePanel();
    });
    // Shown even without a tray: Qt embeds the icon once a tray appears.
    tray_->show();

    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive) return;
        bridge_->refreshPermission();
        bridge_->refreshOpenAtLogin();
    });
}

DesktopShell::~DesktopShell() {
    motionTest_->close();
    tray_.reset();
    // The windows go before the bridge their bindings read.
    qml_.reset();
}

void DesktopShell::installHooks(AppModel& model) {
    model.windowHooks.showMainWindow = [this](const std::string&) {
        QMetaObject::invokeMethod(this, &DesktopShell::showMainWindow, Qt::QueuedConnection);
    };
    model.windowHooks.showMotionTest = [this, &model](DisplayID display) {
        if (!MotionTestHost::available) return false;
        const DisplayBounds bounds = model.platform().displays.bounds(display);
        if (bounds.width <= 0 || bounds.height <= 0) return false;
        const QRect rect(static_cast<int>(bounds.x), static_cast<int>(bounds.y), static_cast<int>(bounds.width),
                         static_cast<int>(bounds.height));
        QMetaObject::invokeMethod(this, [this, rect] { showMotionTestAt(rect); }, Qt::QueuedConnection);
        return true;
    };
    model.windowHooks.closeMotionTest = [this] {
        QMetaObject::invokeMethod(this, [this] { closeMotionTest(); }, Qt::QueuedConnection);
    };
}

void DesktopShell::showInterface() {
    if (mainWindow_) showMainWindow();
}

void DesktopShell::showMainWindow() {
    if (!mainWindow_) return;
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->requestActivate();
    if (!refreshedNetwork_) {
        refreshedNetwork_ = true;
        bridge_->refreshNetwork();
    }
}

void DesktopShell::togglePanel() {
    if (!panelWindow_) return;
    if (panelWindow_->isVisible()) {
        panelWindow_->hide();
        return;
    }
    // Below the icon when it sits at the top of its screen, else above it.
    const QRect icon = tray_ ? tray_->geometry() : QRect();
    const QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        const int height = static_cast<int>(ViewRules::panelHeight());
        const int width = static_cast<int>(WindowSize::panelWidth);
        QPoint at = icon.isValid() ? QPoint(icon.center().x() - width / 2, icon.bottom() + 4)
                                   : QPoint(area.right() - width - 8, area.top() + 8);
        if (icon.isValid() && icon.center().y() > area.center().y()) at.setY(icon.top() - height - 4);
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width)));
        at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - height)));
        panelWindow_->setPosition(at);
    }
    panelWindow_->show();
    panelWindow_->requestActivate();
}

void DesktopShell::quit() {
    if (quitting_) return;
    quitting_ = true;
    if (panelWindow_) panelWindow_->hide();
    if (options_.requestQuit) options_.requestQuit();
}

bool DesktopShell::eventFilter(QObject* watched, QEvent* event) {
    // The type first: events still reach the filter while the window is being destroyed,
    // when reading the QPointer would cast a QWindow that is no longer a QQuickWindow.
    if (event->type() == QEvent::Close && watched == mainWindow_) {
        // With a tray the program lives on there; without one the window is the program.
        if (!QSystemTrayIcon::isSystemTrayAvailable()) quit();
    }
    return QObject::eventFilter(watched, event);
}

void DesktopShell::showMotionTestAt(QRect globalBounds) {
    // The model's coordinates put the main display at the origin; Qt's are the X
    // server's root window, where the main display may sit anywhere.
    if (const QScreen* main = QGuiApplication::primaryScreen()) globalBounds.translate(main->geometry().topLeft());
    motionTest_->showAt(globalBounds);
}

void DesktopShell::closeMotionTest() { motionTest_->close(); }

} // namespace tavelin::ui
