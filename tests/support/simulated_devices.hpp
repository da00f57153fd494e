#pragma once

// In-memory capture and input for tests of the stream session and mouse injection.

#include <system_error>
#include <vector>

#include "platform/input.hpp"
#include "platform/screen_capture.hpp"

namespace tavelin {

class SimulatedInput final : public InputPoster, public PointerMonitors {
public:
    struct Scroll {
        double x, y;
        std::int32_t vertical, horizontal;
        ModifierFlags flags;
        friend bool operator==(const Scroll&, const Scroll&) = default;
    };

    std::vector<MouseEvent> events;
    std::vector<Scroll> scrolls;
    std::chrono::milliseconds interval{500};
    // The callbacks of the live watches; a test calls them to stage local pointer input.
    std::vector<std::function<void(std::int64_t)>*> watchers;

    bool post(const MouseEvent& event) override { events.push_back(event); return true; }
    bool postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal, ModifierFlags flags) override {
        scrolls.push_back({x, y, vertical, horizontal, flags});
        return true;
    }
    std::chrono::milliseconds doubleClickInterval() override { return interval; }

    std::unique_ptr<Watch> watch(std::function<void(std::int64_t)> onPointerEvent) override {
        return std::make_unique<LiveWatch>(*this, std::move(onPointerEvent));
    }
    void pointerEvent(std::int64_t marker) { for (auto* watcher : std::vector(watchers)) (*watcher)(marker); }

private:
    struct LiveWatch final : Watch {
        LiveWatch(SimulatedInput& input, std::function<void(std::int64_t)> callback)
            : input(input), callback(std::move(callback)) {
            input.watchers.push_back(&this->callback);
        }
        ~LiveWatch() override { std::erase(input.watchers, &callback); }
        SimulatedInput& input;
        std::function<void(std::int64_t)> callback;
    };
};

// A capture facility that lists a display only after a number of lookups, and whose
// streams deliver frames only when a test pushes them (stream->onFrame(...)).
struct SimulatedCapture final : ScreenCapture {
    std::vector<CaptureDisplay> displays;
    int hiddenLookups = 0, lookups = 0; // shareableDisplays() lists nothing for hiddenLookups calls
    bool failStart = false;
    struct Stream;
    std::vector<Stream*> streams;

    struct Stream final : CaptureStream {
        Stream(SimulatedCapture& owner, CaptureDisplay display, CaptureConfiguration configuration,
               FrameHandler onFrame, ErrorHandler onError)
            : owner(owner), display(display), configuration(configuration), onFrame(std::move(onFrame)),
              onError(std::move(onError)) {
            owner.streams.push_back(this);
        }
        ~Stream() override { std::erase(owner.streams, this); }
        void update(const CaptureConfiguration& changed) override { configuration = changed; ++updates; }
        SimulatedCapture& owner;
        CaptureDisplay display;
        CaptureConfiguration configuration;
        FrameHandler onFrame;
        ErrorHandler onError;
        int updates = 0;
    };

    std::vector<CaptureDisplay> shareableDisplays() override {
        return ++lookups <= hiddenLookups ? std::vector<CaptureDisplay>{} : displays;
    }
    std::unique_ptr<CaptureStream> start(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                         FrameHandler onFrame, ErrorHandler onError) override {
        if (failStart) throw std::system_error(std::make_error_code(std::errc::operation_not_permitted));
        return std::make_unique<Stream>(*this, display, configuration, std::move(onFrame), std::move(onError));
    }
};

} // namespace tavelin
