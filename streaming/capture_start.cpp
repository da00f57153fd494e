#include "streaming/capture_start.hpp"

#include "core/log.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

#include <asio/error.hpp>
#include <asio/post.hpp>

#include "core/log.hpp"
#include "core/stream_error.hpp"

namespace tavelin {

namespace {

std::optional<CaptureDisplay> find(const std::vector<CaptureDisplay>& shareable, DisplayID display,
                                   DisplayID mirrorSource) {
    auto match = [&](DisplayID id) -> std::optional<CaptureDisplay> {
        const auto found = std::ranges::find(shareable, id, &CaptureDisplay::id);
        if (found == shareable.end()) return std::nullopt;
        return *found;
    };
    if (auto shown = match(display)) return shown;
    if (mirrorSource != nullDisplay) return match(mirrorSource);
    return std::nullopt;
}

Task<void> throwIfCancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) throw std::system_error(asio::error::operation_aborted);
}

} // namespace

Task<StartedCapture> startCapture(ScreenCapture& capture, DisplayServices& displays, CaptureRequest request,
                                  std::shared_ptr<VideoSink> sink, std::function<void(std::string)> onFailure,
                                  Timings timings) {
    const DisplayID mirrorSource = displays.mirrorsDisplay(request.display);
    std::optional<CaptureDisplay> found;
    for (int lookup = 1;; ++lookup) {
        co_await throwIfCancelled();
        found = find(capture.shareableDisplays(), request.display, mirrorSource);
        if (found) break;
        if (!co_await sleepFor(timings.displayLookupInterval)) throw std::system_error(asio::error::operation_aborted);
        if (lookup >= timings.displayLookups) {
            throw StreamError("The extra display is not available to capture. Try starting again.");
        }
    }

    if (const auto mode = displays.currentMode(request.display)) {
        char rate[16];
        std::snprintf(rate, sizeof rate, "%.0f", mode->refreshRate);
        log::plain("Tavelin desktop: ", mode->width, " × ", mode->height, " logical, ", mode->pixelWidth, " × ",
                   mode->pixelHeight, " pixels at ", rate, " Hz");
    }

    CaptureConfiguration configuration;
    configuration.width = request.configuration.width();
    configuration.height = request.configuration.height();
    if (mirrorSource != nullDisplay) {
        const auto fitted = request.configuration.fittedVideoSize(found->width, found->height);
        configuration.width = fitted.width;
        configuration.height = fitted.height;
    }
    configuration.refreshRate = request.configuration.refreshRate();
    configuration.queueDepth = 3;
    configuration.showsCursor = request.showsCursor;

    sink->adaptOutputFormat(configuration.width, configuration.height, configuration.refreshRate);

    auto output = CaptureOutput::create(sink, timings);
    // The executor is fetched first: g++ 12 miscompiles a co_await inside a lambda's
    // capture list (the captured function was destroyed twice).
    const auto engine = co_await asio::this_coro::executor;
    output->onFailure = [engine, onFailure = std::move(onFailure)](const std::string& message) {
        if (onFailure) asio::post(engine, [onFailure, message] { onFailure(message); });
    };
    std::weak_ptr<CaptureOutput> weak = output;
    auto stream = capture.start(
        *found, configuration,
        [weak](const CapturedFrame& frame) {
            if (auto strong = weak.lock()) strong->captured(frame);
        },
        [weak](const std::string& message) {
            if (auto strong = weak.lock()) strong->stopped(message);
        });
    co_return StartedCapture{std::move(stream), std::move(output), configuration};
}

} // namespace tavelin
