#include "platform/gnome/mutter_virtual_displays.hpp"

#include <algorithm>
#include <cmath>

#include <gst/video/video.h>

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
    MutterCaptureStream(std::shared_ptr<MutterVirtualMonitor> monitor, ScreenCapture::FrameHandler onFrame)
        : monitor_(std::move(monitor)) {
        monitor_->setFrameHandler([onFrame = std::move(onFrame)](GstSample* sample) {
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstVideoInfo info;
            if (!buffer || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return;
            // The frame keeps its sample, and so its buffer, until the last holder lets go.
            struct Held {
                GstSample* sample;
                GstVideoFrame frame;
                PixelBuffer pixels;
            };
            auto held = std::make_shared<Held>();
            held->sample = gst_sample_ref(sample);
            if (!gst_video_frame_map(&held->frame, &info, buffer, GST_MAP_READ)) {
                gst_sample_unref(held->sample);
                return;
            }
            held->pixels = {GST_VIDEO_FRAME_WIDTH(&held->frame), GST_VIDEO_FRAME_HEIGHT(&held->frame),
                            GST_VIDEO_FRAME_PLANE_STRIDE(&held->frame, 0),
                            static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&held->frame, 0))};
            const std::shared_ptr<const PixelBuffer> pixels(&held->pixels, [held](const PixelBuffer*) mutable {
                gst_video_frame_unmap(&held->frame);
                gst_sample_unref(held->sample);
                held.reset();
            });
            onFrame(CapturedFrame{pixels, std::chrono::steady_clock::now(), true});
        });
    }
    ~MutterCaptureStream() override { monitor_->setFrameHandler(nullptr); }
    // The size and rate are the stream's, agreed when the display was made.
    void update(const CaptureConfiguration&) override {}

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

std::unique_ptr<CaptureStream> MutterVirtualDisplays::start(const CaptureDisplay& display, const CaptureConfiguration&,
                                                            FrameHandler onFrame, ErrorHandler) {
    std::shared_ptr<MutterVirtualMonitor> monitor;
    {
        std::lock_guard guard(lock_);
        if (const auto found = live_.find(display.id); found != live_.end()) monitor = found->second;
    }
    if (!monitor) throw std::runtime_error("Only Tavelin's own displays can be shared on GNOME for now.");
    return std::make_unique<MutterCaptureStream>(std::move(monitor), std::move(onFrame));
}

} // namespace tavelin::gnome
