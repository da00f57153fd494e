#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <QObject>

#include "streaming/preview.hpp"

class QQuickWindow;

namespace tavelin::ui {

namespace impl {
class PreviewView;
}

// The preview of the sent video as a small floating Qt Quick window titled "Display
// preview", 480 × 270, the picture fitted with the capture's aspect ratio. Its
// operations may be called from any thread: they are carried out in order on the GUI
// thread. Frames arrive on the delivery thread; each shown frame is copied once into a
// video frame of Qt's, and none while the window is hidden or the GUI thread has not yet
// taken the previous one, so the capture's buffers are never held by the interface.
class PreviewWindow final : public Preview {
public:
    // `gui` lives on the GUI thread and outlives this preview.
    PreviewWindow(QObject* gui, std::int64_t width, std::int64_t height);
    ~PreviewWindow() override;

    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
    void deliver(VideoFrame frame) override;
    void show() override;
    bool isVisible() const override;
    void close() override;

    // The window, once the GUI thread has made it; null before and after close. GUI
    // thread only.
    QQuickWindow* window() const;

private:
    struct State {
        std::atomic<bool> visible = false;
        std::atomic<bool> closed = false;
        std::atomic<bool> frameQueued = false;
        impl::PreviewView* view = nullptr; // GUI thread only
    };

    QObject* gui_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Makes preview windows on the GUI thread of this process. Build it on the GUI thread;
// it must outlive every session that uses it.
class PreviewWindowFactory final : public PreviewFactory {
public:
    // None where no window can be shown (no Qt GUI application).
    static std::unique_ptr<PreviewWindowFactory> createIfAvailable();
    ~PreviewWindowFactory() override;

    std::shared_ptr<Preview> create(std::int64_t width, std::int64_t height) override;

private:
    PreviewWindowFactory() = default;
    QObject gui_;
};

} // namespace tavelin::ui
