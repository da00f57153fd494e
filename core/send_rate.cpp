#include "core/send_rate.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavelin {

void SendRateController::setBounds(std::int64_t floorBps, std::int64_t ceilingBps) {
    ceiling_ = std::max<std::int64_t>(ceilingBps, 0);
    floor_ = std::clamp<std::int64_t>(floorBps, 0, ceiling_);
    // New bounds from the session keep what was learnt about the link, within them.
    target_ = target_ == 0 ? ceiling_ : std::clamp(target_, floor_, ceiling_);
}

std::optional<double> SendRateController::update(const ReceptionReport& report, Clock::time_point now) {
    if (previous_ == report) return std::nullopt;
    const auto previous = std::exchange(previous_, report);
    if (!previous) return std::nullopt;
    const std::int64_t expected = report.extendedHighestSequence - previous->extendedHighestSequence;
    // A receiver that restarted its counts, or a report about nothing new, says nothing.
    if (expected <= 0) return std::nullopt;
    const double lost =
        std::clamp(static_cast<double>(report.cumulativeLost - previous->cumulativeLost) / static_cast<double>(expected),
                   0.0, 1.0);
    if (lost > heavyLoss) {
        target_ = static_cast<std::int64_t>(std::llround(static_cast<double>(target_) * (1.0 - 0.5 * lost)));
    } else if (lost < slightLoss && (!lastGrowth_ || now - *lastGrowth_ >= growthInterval)) {
        target_ = static_cast<std::int64_t>(std::llround(static_cast<double>(target_) * growth));
        lastGrowth_ = now;
    }
    target_ = std::clamp(target_, floor_, ceiling_);
    return lost;
}

std::int64_t framesForRate(std::int64_t maximumFramerate, std::int64_t targetBps, std::int64_t ceilingBps,
                           bool maintainResolution) {
    if (!maintainResolution || maximumFramerate <= 0 || ceilingBps <= 0 || targetBps >= ceilingBps) {
        return maximumFramerate;
    }
    const double share = std::max(static_cast<double>(targetBps) / static_cast<double>(ceilingBps), 0.25);
    return std::max<std::int64_t>(std::llround(static_cast<double>(maximumFramerate) * share), 1);
}

std::int64_t encoderBitrate(std::int64_t targetBps, std::int64_t nominalFramerate, std::int64_t admittedFramerate) {
    if (admittedFramerate <= 0 || nominalFramerate <= admittedFramerate) return targetBps;
    return targetBps * nominalFramerate / admittedFramerate;
}

std::int64_t refinementBitrate(std::int64_t encoderBps) {
    return std::max(encoderBps, std::min(encoderBps * refinementBurst, refinementCeilingBps));
}

} // namespace tavelin
