#include "core/display_configuration.hpp"

#include <algorithm>
#include <cmath>

namespace tavelin {

const char* ConfigurationError::message(Kind kind) {
    switch (kind) {
    case Kind::invalidResolution:
        return "Use even dimensions between 640 \u00D7 480 and 7680 \u00D7 4320.";
    case Kind::invalidRefreshRate:
        return "Choose a refresh rate between 30 and 240 Hz.";
    case Kind::invalidBitrate:
        return "Choose a bitrate between 5 and 150 Mbps.";
    case Kind::invalidHiDPI:
        return "HiDPI needs dimensions divisible by four.";
    }
    return "Invalid display configuration.";
}

std::optional<ConfigurationError::Kind> DisplayConfiguration::check(std::int64_t width,
                                                                     std::int64_t height,
                                                                     std::int64_t refreshRate,
                                                                     std::int64_t bitrateMbps,
                                                                     bool hiDPI) {
    using Kind = ConfigurationError::Kind;
    const bool resolutionOK = width % 2 == 0 && width >= 640 && width <= 7680 && height >= 480 &&
                              height <= 4320 && height % 2 == 0;
    if (!resolutionOK) return Kind::invalidResolution;
    if (refreshRate < 30 || refreshRate > 240) return Kind::invalidRefreshRate;
    if (bitrateMbps < 5 || bitrateMbps > 150) return Kind::invalidBitrate;
    if (hiDPI && (width % 4 != 0 || height % 4 != 0)) return Kind::invalidHiDPI;
    return std::nullopt;
}

DisplayConfiguration::DisplayConfiguration(std::int64_t width, std::int64_t height,
                                           std::int64_t refreshRate, std::int64_t bitrateMbps,
                                           bool hiDPI)
    : width_(width), height_(height), refreshRate_(refreshRate), bitrateMbps_(bitrateMbps),
      hiDPI_(hiDPI) {
    if (const auto failure = check(width, height, refreshRate, bitrateMbps, hiDPI)) {
        throw ConfigurationError(*failure);
    }
}

VideoSize DisplayConfiguration::fittedVideoSize(std::int64_t sourceWidth,
                                                std::int64_t sourceHeight) const {
    if (sourceWidth < 1 || sourceHeight < 1) return {width_, height_};
    const double scale = std::min(static_cast<double>(width_) / static_cast<double>(sourceWidth),
                                  static_cast<double>(height_) / static_cast<double>(sourceHeight));
    // std::round takes halves away from zero; each side lands on the nearest even number.
    // The products never exceed the configured size by more than rounding, so the casts
    // stay within range.
    auto evenSide = [scale](std::int64_t source, std::int64_t limit) {
        const auto side =
            2 * static_cast<std::int64_t>(std::round(scale * static_cast<double>(source) * 0.5));
        return std::min(std::max<std::int64_t>(side, 2), limit);
    };
    return {evenSide(sourceWidth, width_), evenSide(sourceHeight, height_)};
}

} // namespace tavelin
