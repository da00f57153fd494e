#include "ui/motion_test.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPaintEvent>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>

namespace tavelin::ui {

double MotionTestPicture::barCenter(int index, double width, double seconds) {
    const double phase = std::fmod(std::max(seconds, 0.0), 2 * sweepSeconds);
    const double progress = phase <= sweepSeconds ? phase / sweepSeconds : 2 - phase / sweepSeconds;
    return sweepStart(index) + (sweepEnd(index, width) - sweepStart(index)) * progress;
}

namespace impl {

// Painted with QPainter rather than a scene graph: on the machines this runs on
// (llvmpipe, no GPU) repainting only the strips the bars leave and enter costs a
// fraction of redrawing the whole screen every frame, and the encoder needs that CPU.
class MotionTestSurface final : public QRasterWindow {
public:
    MotionTestSurface() {
        setFlags(Qt::FramelessWindowHint | Qt::WindowTransparentForInput | Qt::BypassWindowManagerHint |
                 Qt::WindowDoesNotAcceptFocus | Qt::WindowStaysOnTopHint);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { advance(); });
    }

    void start() {
        const double rate = screen() ? screen()->refreshRate() : 60.0;
        timer_.start(static_cast<int>(std::lround(1000.0 / std::clamp(rate, 30.0, 240.0))));
        clock_.start();
        bars_ = barRects(0);
        update();
    }
    void stop() {
        timer_.stop();
        hide();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        for (const QRect& rect : event->region()) painter.fillRect(rect, MotionTestPicture::background());
        const QRect text = textRect();
        if (event->region().intersects(text)) {
            QFont font = painter.font();
            font.setPixelSize(26);
            painter.setFont(font);
            painter.setPen(Qt::white);
            painter.drawText(text, Qt::AlignHCenter | Qt::AlignTop,
                             QStringLiteral("Tavelin\nMotion test \u00b7 move windows here from the host computer"));
        }
        for (int i = 0; i < MotionTestPicture::bars; ++i) {
            if (event->region().intersects(bars_[i])) painter.fillRect(bars_[i], MotionTestPicture::barColor(i));
        }
    }

private:
    using Bars = std::array<QRect, MotionTestPicture::bars>;

    // A 90-point-high box whose bottom lies 20 points below the middle, text at its top.
    QRect textRect() const { return QRect(0, height() / 2 - 70, width(), 90); }

    Bars barRects(double seconds) const {
        Bars rects;
        for (int i = 0; i < MotionTestPicture::bars; ++i) {
            const double center = MotionTestPicture::barCenter(i, width(), seconds);
            rects[i] = QRect(static_cast<int>(std::lround(center - MotionTestPicture::barWidth / 2.0)), 0,
                             MotionTestPicture::barWidth, height());
        }
        return rects;
    }

    void advance() {
        const Bars next = barRects(clock_.elapsed() / 1000.0);
        QRegion dirty;
        for (int i = 0; i < MotionTestPicture::bars; ++i) {
            if (next[i] != bars_[i]) dirty += bars_[i].united(next[i]);
        }
        bars_ = next;
        if (!dirty.isEmpty()) update(dirty);
    }

    QTimer timer_;
    QElapsedTimer clock_;
    Bars bars_{};
};

} // namespace impl

MotionTestWindow::MotionTestWindow() : surface_(std::make_unique<impl::MotionTestSurface>()) {}

MotionTestWindow::~MotionTestWindow() = default;

void MotionTestWindow::showAt(const QRect& globalGeometry) {
    QScreen* target = nullptr;
    for (QScreen* screen : QGuiApplication::screens()) {
        if (screen->geometry() == globalGeometry) {
            target = screen;
            break;
        }
        if (!target && screen->geometry().contains(globalGeometry)) target = screen;
    }
    // The screen first, then its exact geometry: a full-screen request would not land on
    // a screen that has no window manager behind it.
    if (target) surface_->setScreen(target);
    surface_->setGeometry(target ? target->geometry() : globalGeometry);
    surface_->show();
    surface_->raise();
    surface_->start();
}

void MotionTestWindow::close() { surface_->stop(); }

bool MotionTestWindow::isVisible() const { return surface_->isVisible(); }

QWindow* MotionTestWindow::window() const { return surface_.get(); }

} // namespace tavelin::ui
