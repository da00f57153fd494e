#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_virtual_monitor.hpp"
#include "platform/screen_capture.hpp"
#include "platform/virtual_display.hpp"

namespace tavelin::gnome {

// Virtual displays as mutter virtual monitors, and their capture: the pictures of a
// virtual monitor are the PipeWire stream that keeps it alive, so the two live together.
// A HiDPI display gets its logical monitor's scale 2: real HiDPI, text drawn at twice the
// size by the desktop. Capture delivers a picture whenever it changes; a still display
// sends none (idle).
class MutterVirtualDisplays final : public VirtualDisplayFactory, public ScreenCapture {
public:
    explicit MutterVirtualDisplays(MutterDisplayServices& services) : services_(services) {}

    std::unique_ptr<VirtualDisplay> create(std::int64_t width, std::int64_t height, double refreshRate, bool hiDPI,
                                           const std::string& name, const std::string& identifier) override;
    std::vector<CaptureDisplay> shareableDisplays() override;
    std::unique_ptr<CaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                         FrameHandler onFrame, ErrorHandler onError) override;

    void forget(DisplayID display);
    // Our live displays, for input.
    std::map<DisplayID, std::shared_ptr<MutterVirtualMonitor>> live();

    // Every move of the pointer on any of our displays, made now or later, with whether
    // it was motion we injected; on PipeWire threads. Hearing ends when the returned
    // handle goes, and no call runs after that.
    using PointerListener = std::function<void(bool injected)>;
    std::shared_ptr<void> listenToPointer(PointerListener listener);

private:
    struct Listeners {
        std::mutex lock;
        std::map<int, PointerListener> all;
        int next = 0;
    };

    MutterDisplayServices& services_;
    std::shared_ptr<Listeners> listeners_ = std::make_shared<Listeners>();
    std::mutex lock_;
    std::map<DisplayID, std::shared_ptr<MutterVirtualMonitor>> live_;
};

} // namespace tavelin::gnome
