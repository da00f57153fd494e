#include "ui/preview_window.hpp"

#include <algorithm>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

#include <libyuv/scale_argb.h>

namespace tavelin::ui {

namespace {

// Twice the window's own size: sharp on a doubled screen or a window made larger, and a
// quarter of a 1920 × 1080 picture to copy and draw.
const QSize maximumPicture(960, 540);

} // namespace

namespace impl {

// The window on the GUI thread. Its own close button only hides it, so that the next
// toggle brings the same window back.
class PreviewView final : public QQuickView {
public:
    explicit PreviewView(std::shared_ptr<std::atomic<bool>> visible) : visible_(std::move(visible)) {
        setTitle(QStringLiteral("Display preview"));
        setFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
        setResizeMode(QQuickView::SizeRootObjectToView);
        resize(480, 270);
        setSource(QUrl(QStringLiteral("qrc:/qt/qml/Tavelin/Windows/qml/PreviewWindow.qml")));
        if (const auto* output = rootObject() ? rootObject()->findChild<QObject*>(QStringLiteral("output")) : nullptr) {
            sink_ = output->property("videoSink").value<QVideoSink*>();
        }
        // The flag follows the window both ways: a close of its own that comes between a
        // show and the queued bringForward must not leave a shown window marked hidden.
        // Captured by value, since the window emits this while it is being destroyed.
        QObject::connect(this, &QWindow::visibleChanged, this,
                         [visible = visible_](bool shown) { visible->store(shown); });
    }

    void bringForward() {
        if (!placed_) {
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                const QRect area = screen->availableGeometry();
                setPosition(area.center() - QPoint(width() / 2, height() / 2));
            }
            placed_ = true;
        }
        show();
        raise();
    }
    void present(const QVideoFrame& frame) {
        if (sink_) sink_->setVideoFrame(frame);
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            hide();
            return true;
        }
        return QQuickView::event(event);
    }

private:
    std::shared_ptr<std::atomic<bool>> visible_;
    QVideoSink* sink_ = nullptr;
    bool placed_ = false;
};

} // namespace impl

PreviewWindow::PreviewWindow(QObject* gui, std::int64_t, std::int64_t) : gui_(gui) {
    // The picture is fitted into the window keeping its own ratio, which is the
    // capture's; the window starts at the usual 480 × 270 whatever that ratio is.
    QMetaObject::invokeMethod(
        gui_,
        [state = state_] {
            if (!state->closed) state->view = new impl::PreviewView(std::shared_ptr<std::atomic<bool>>(state, &state->visible));
        },
        Qt::QueuedConnection);
}

PreviewWindow::~PreviewWindow() { close(); }

void PreviewWindow::show() {
    state_->visible = true;
    QMetaObject::invokeMethod(
        gui_,
        [state = state_] {
            if (state->view) state->view->bringForward();
        },
        Qt::QueuedConnection);
}

bool PreviewWindow::isVisible() const { return state_->visible; }

void PreviewWindow::close() {
    if (state_->closed.exchange(true)) return;
    state_->visible = false;
    QMetaObject::invokeMethod(
        gui_, [state = state_] { delete std::exchange(state->view, nullptr); }, Qt::QueuedConnection);
}

QQuickWindow* PreviewWindow::window() const { return state_->view; }

void PreviewWindow::deliver(VideoFrame frame) {
    if (state_->closed || !state_->visible || !frame.buffer || !frame.buffer->data) return;
    // One frame on its way to the GUI thread at a time; newer ones are skipped until it
    // was taken, so a busy interface costs the delivery thread nothing.
    if (state_->frameQueued.exchange(true)) return;
    const PixelBuffer& pixels = *frame.buffer;
    const QSize size = QSize(static_cast<int>(pixels.width), static_cast<int>(pixels.height))
                           .scaled(QSize(std::min<int>(maximumPicture.width(), static_cast<int>(pixels.width)),
                                         std::min<int>(maximumPicture.height(), static_cast<int>(pixels.height))),
                                   Qt::KeepAspectRatio);
    QVideoFrame shown(QVideoFrameFormat(size, QVideoFrameFormat::Format_BGRX8888));
    if (size.isEmpty() || !shown.map(QVideoFrame::WriteOnly)) {
        state_->frameQueued = false;
        return;
    }
    // Scaled straight into Qt's frame: one pass over the capture's pixels, and a small
    // texture for the window to draw. libyuv's ARGB is B, G, R, A in memory, as ours.
    libyuv::ARGBScale(pixels.data, static_cast<int>(pixels.stride), static_cast<int>(pixels.width),
                      static_cast<int>(pixels.height), shown.bits(0), shown.bytesPerLine(0), size.width(),
                      size.height(), libyuv::kFilterBox);
    shown.unmap();
    frame.buffer.reset(); // back to the capture's pool before the GUI thread even sees it
    QMetaObject::invokeMethod(
        gui_,
        [state = state_, shown = std::move(shown)] {
            state->frameQueued = false;
            if (state->view) state->view->present(shown);
        },
        Qt::QueuedConnection);
}

std::unique_ptr<PreviewWindowFactory> PreviewWindowFactory::createIfAvailable() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;
    return std::unique_ptr<PreviewWindowFactory>(new PreviewWindowFactory());
}

PreviewWindowFactory::~PreviewWindowFactory() {
    // A preview closed by a stop just before (its deletion still queued) goes now
    // instead of outliving the factory.
    QCoreApplication::sendPostedEvents(&gui_, QEvent::MetaCall);
}

std::shared_ptr<Preview> PreviewWindowFactory::create(std::int64_t width, std::int64_t height) {
    return std::make_shared<PreviewWindow>(&gui_, width, height);
}

} // namespace tavelin::ui
