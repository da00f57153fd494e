#pragma once

#include <memory>

#include <QColor>
#include <QRect>

class QWindow;

namespace tavelin::ui {

namespace impl {
class MotionTestSurface;
}

// The animated test picture: eight vertical bars sweeping back and forth over the whole
// width, each over its own distance in the same three seconds, over a two-line text.
struct MotionTestPicture {
    static constexpr int bars = 8;
    static constexpr int barWidth = 28;
    static constexpr double sweepSeconds = 3.0;

    // Where bar `index` starts and ends its sweep (its centre), on a picture `width` wide.
    static double sweepStart(int index) { return -60.0 * index; }
    static double sweepEnd(int index, double width) { return width + 480.0 - 60.0 * index; }
    // Its centre `seconds` after the test appeared: forth, then back, forever.
    static double barCenter(int index, double width, double seconds);
    static QColor barColor(int index) { return QColor::fromRgbF(0.4f + 0.05f * index, 0.8f, 0.65f); }
    static QColor background() { return QColor::fromRgbF(0.035f, 0.07f, 0.055f); }
};

// The motion test window: borderless, over the whole screen of the shared display, in
// front of everything and transparent for input, so that it never takes a click meant
// for the windows the user moves over it. GUI thread only.
class MotionTestWindow {
public:
    MotionTestWindow();
    ~MotionTestWindow();
    MotionTestWindow(const MotionTestWindow&) = delete;
    MotionTestWindow& operator=(const MotionTestWindow&) = delete;

    // Covers exactly the screen whose geometry is (or contains) `globalGeometry`, in
    // global desktop coordinates; the rectangle itself when no screen matches.
    void showAt(const QRect& globalGeometry);
    void close();
    bool isVisible() const;
    // The window itself, for placement checks and screenshots.
    QWindow* window() const;

private:
    std::unique_ptr<impl::MotionTestSurface> surface_;
};

} // namespace tavelin::ui
