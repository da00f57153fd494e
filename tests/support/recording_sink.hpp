#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/video_sink.hpp"

namespace tavelin::support {

// Records every delivered frame (as a plain sink, or as the sink side of a Sink such as
// a preview). While held, a delivery waits inside the sink until hold(false), so a test
// can stage frames behind one that is being delivered.
template <class Sink = VideoSink>
class RecordingSink : public Sink {
public:
    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
    void deliver(VideoFrame frame) override {
        std::unique_lock lock(mutex_);
        frames_.push_back(std::move(frame));
        changed_.notify_all();
        changed_.wait(lock, [&] { return !hold_; });
    }

    void hold(bool on) {
        std::lock_guard lock(mutex_);
        hold_ = on;
        changed_.notify_all();
    }
    std::vector<VideoFrame> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return frames_.size() >= count; });
        return frames_;
    }
    std::vector<VideoFrame> frames() { return waitFor(0); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<VideoFrame> frames_;
    bool hold_ = false;
};

} // namespace tavelin::support
