#include "core/frame_rate_cap.hpp"

namespace tavelin {

bool FrameRateCap::admit(std::int64_t timestampNS) {
    if (maximum_ <= 0) return true;
    const std::int64_t interval = 1'000'000'000 / maximum_;
    const std::int64_t tolerance = interval * 2 / 5;
    if (nextDueNS_ && timestampNS + tolerance < *nextDueNS_) return false;
    // Late frames keep the grid unless they are later than the tolerance.
    nextDueNS_ = nextDueNS_ ? std::max(*nextDueNS_ + interval, timestampNS + interval - tolerance) : timestampNS + interval;
    return true;
}

} // namespace tavelin
