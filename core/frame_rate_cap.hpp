#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace tavelin {

// Drops frames above a maximum rate. Two fifths of an interval of jitter is allowed so a
// capture paced at that same rate loses nothing, while the long-run rate stays at most
// the maximum. 0 lets every frame through.
class FrameRateCap {
public:
    void setMaximum(std::int64_t framesPerSecond) { maximum_ = std::max<std::int64_t>(framesPerSecond, 0); }
    std::int64_t maximum() const { return maximum_; }
    bool admit(std::int64_t timestampNS);

private:
    std::int64_t maximum_ = 0;
    std::optional<std::int64_t> nextDueNS_;
};

} // namespace tavelin
