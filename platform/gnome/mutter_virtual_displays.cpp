#include "platform/gnome/mutter_virtual_displays.hpp"

#include <algorithm>
#include <cmath>


namespace tavelin::gnome {

namespace {

class MutterVirtualDisplay final : public VirtualDisplay {
public:
    MutterVirtualDisplay(MutterVirtualDisplays& owner, DisplayID id) : owner_(owner), id_(id) {}
    ~MutterVirtualDisplay() override { owner_.forget(id_); }
    DisplayID displayID() const override { return id_; }

private:
    MutterVirtualDisplays& owner_;
    DisplayID id_;
};

class MutterCaptureStream final : public CaptureStream {
public:
    MutterCaptureStream(std::shared_ptr<MutterVirtualMonitor> monitor, const CaptureConfiguration& configuration,
                        ScreenCapture::FrameHandler onFrame, ScreenCapture::ErrorHandler onError)
        : monitor_(std::move(monitor)) {
        monitor_->setFrameHandler(std::move(onFrame), [onError = std::move(onError)] {
            onError("The display's video stopped.");
        }, configuration.showsCursor, configuration.queueDepth);
    }
    ~MutterCaptureStream() override { monitor_->setFrameHandler(nullptr, nullptr, false, 1); }
    // The size and rate are the stream's, agreed when the display was made; the pointer
    // is drawn or not from the next picture on.
    void update(const CaptureConfiguration& configuration) override { monitor_->showCursor(configuration.showsCursor); }

private:
    std::shared_ptr<MutterVirtualMonitor> monitor_;
};

} // namespace

std::unique_ptr<VirtualDisplay> MutterVirtualDisplays::create(std::int64_t width, std::int64_t height,
                                                              double refreshRate, bool hiDPI, const std::string&,
                                                              const std::string&) {
    std::shared_ptr<MutterVirtualMonitor> monitor;
    try {
        monitor = MutterVirtualMonitor::create(sessionBus(), static_cast<std::int32_t>(width),
                                               static_cast<std::int32_t>(height),
                                               static_cast<std::int32_t>(std::lround(refreshRate)));
    } catch (const std::runtime_error& error) {
        throw VirtualDisplayError(error.what());
    }
    const DisplayID id = displayIDOf(monitor->connector());
    if (hiDPI) {
        auto state = services_.state();
        if (!state) throw VirtualDisplayError("The display server's monitors could not be read.");
        // mutter offers scale 2 only where half the size is still a usable desktop.
        const Monitor* made = state->monitor(monitor->connector());
        const MonitorMode* mode = made ? made->currentMode() : nullptr;
        if (!mode || std::find(mode->scales.begin(), mode->scales.end(), 2.0) == mode->scales.end()) {
            throw VirtualDisplayError("The display server does not allow HiDPI at this size. Choose a larger one.");
        }
        for (auto& logical : state->logicalMonitors) {
            if (logical.connectors.front() == monitor->connector()) logical.scale = 2;
        }
        if (services_.apply(*state, state->logicalMonitors) != DisplayError::none) {
            throw VirtualDisplayError("The display server could not make the display HiDPI.");
        }
    }
    monitor->setPointerHandler([weak = std::weak_ptr(listeners_)](bool injected) {
        const auto listeners = weak.lock();
        if (!listeners) return;
        std::lock_guard guard(listeners->lock);
        for (const auto& [key, listener] : listeners->all) listener(injected);
    });
    {
        std::lock_guard guard(lock_);
        live_[id] = std::move(monitor);
    }
    return std::make_unique<MutterVirtualDisplay>(*this, id);
}

void MutterVirtualDisplays::forget(DisplayID display) {
    std::shared_ptr<MutterVirtualMonitor> gone;
    std::lock_guard guard(lock_);
    if (const auto found = live_.find(display); found != live_.end()) {
        gone = std::move(found->second);
        live_.erase(found);
    }
}

std::map<DisplayID, std::shared_ptr<MutterVirtualMonitor>> MutterVirtualDisplays::live() {
    std::lock_guard guard(lock_);
    return live_;
}

std::shared_ptr<void> MutterVirtualDisplays::listenToPointer(PointerListener listener) {
    int key = 0;
    {
        std::lock_guard guard(listeners_->lock);
        key = listeners_->next++;
        listeners_->all.emplace(key, std::move(listener));
    }
    return std::shared_ptr<void>(nullptr, [weak = std::weak_ptr(listeners_), key](void*) {
        if (const auto listeners = weak.lock()) {
            std::lock_guard guard(listeners->lock);
            listeners->all.erase(key);
        }
    });
}

std::vector<CaptureDisplay> MutterVirtualDisplays::shareableDisplays() {
    std::vector<CaptureDisplay> result;
    const auto state = services_.state();
    std::lock_guard guard(lock_);
    for (const auto& [id, monitor] : live_) {
        const Monitor* found = state ? state->monitor(monitor->connector()) : nullptr;
        const MonitorMode* mode = found ? found->currentMode() : nullptr;
        if (mode) result.push_back({id, mode->width, mode->height});
    }
    return result;
}

std::unique_ptr<CaptureStream> MutterVirtualDisplays::start(const CaptureDisplay& display,
                                                            const CaptureConfiguration& configuration,
                                                            FrameHandler onFrame, ErrorHandler onError) {
    std::shared_ptr<MutterVirtualMonitor> monitor;
    {
        std::lock_guard guard(lock_);
        if (const auto found = live_.find(display.id); found != live_.end()) monitor = found->second;
    }
    if (!monitor) throw std::runtime_error("Only Tavelin's own displays can be shared on GNOME for now.");
    return std::make_unique<MutterCaptureStream>(std::move(monitor), configuration, std::move(onFrame), std::move(onError));
}

} // namespace tavelin::gnome
