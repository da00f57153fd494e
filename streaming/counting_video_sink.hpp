#pragma once

#include <atomic>
#include <cstdint>

#include "streaming/video_sink.hpp"

namespace tavelin {

// Takes frames and only counts them: the video source while no encoder is attached.
class CountingVideoSink final : public VideoSink {
public:
    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
    void deliver(VideoFrame) override { delivered_.fetch_add(1, std::memory_order_relaxed); }
    std::int64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> delivered_{0};
};

} // namespace tavelin
