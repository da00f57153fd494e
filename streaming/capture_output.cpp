#include "streaming/capture_output.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>
#include <utility>

#include <pthread.h>

namespace tavelin {

namespace impl {

// One thread running jobs in order. Its last job may drop the last reference to the
// object that owns the queue, so destruction on the queue's own thread detaches it.
class SerialQueue {
public:
    explicit SerialQueue(const char* name) : state_(std::make_shared<State>()) {
        thread_ = std::thread([state = state_] { run(*state); });
        pthread_setname_np(thread_.native_handle(), name);
    }
    ~SerialQueue() {
        {
            std::lock_guard lock(state_->lock);
            state_->stopping = true;
        }
        state_->wake.notify_one();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(state_->lock);
            state_->jobs.push_back(std::move(job));
        }
        state_->wake.notify_one();
    }

    // Runs `job` after `delay` when no job is waiting, unless the timer is set again first.
    void setTimer(std::chrono::steady_clock::duration delay, std::function<void()> job) {
        {
            std::lock_guard lock(state_->lock);
            state_->timerDue = std::chrono::steady_clock::now() + delay;
            state_->timer = std::move(job);
        }
        state_->wake.notify_one();
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable wake;
        std::deque<std::function<void()>> jobs;
        std::function<void()> timer;
        std::chrono::steady_clock::time_point timerDue;
        bool stopping = false;
    };

    static void run(State& state) {
        std::unique_lock lock(state.lock);
        for (;;) {
            const auto ready = [&] { return state.stopping || !state.jobs.empty(); };
            if (state.timer) {
                state.wake.wait_until(lock, state.timerDue, ready);
            } else {
                state.wake.wait(lock, [&] { return ready() || state.timer; });
            }
            if (state.stopping) return;
            std::function<void()> job;
            if (!state.jobs.empty()) {
                job = std::move(state.jobs.front());
                state.jobs.pop_front();
            } else if (state.timer && std::chrono::steady_clock::now() >= state.timerDue) {
                job = std::exchange(state.timer, nullptr);
            } else {
                continue;
            }
            lock.unlock();
            job();
            job = nullptr; // whatever the job held goes before the lock is taken again
            lock.lock();
        }
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace impl

namespace {

std::int64_t nanoseconds(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

} // namespace

std::shared_ptr<CaptureOutput> CaptureOutput::create(std::shared_ptr<VideoSink> sink, const Timings& timings,
                                                     Clock clock) {
    return std::make_shared<CaptureOutput>(Passkey{}, std::move(sink), timings, std::move(clock));
}

CaptureOutput::CaptureOutput(Passkey, std::shared_ptr<VideoSink> sink, const Timings& timings, Clock clock)
    : sink_(std::move(sink)), timings_(timings),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      deliveryQueue_(std::make_unique<impl::SerialQueue>("latest-frame")) {}

CaptureOutput::~CaptureOutput() = default;

void CaptureOutput::captured(const CapturedFrame& frame) {
    if (!frame.complete || !frame.buffer) return;
    VideoFrame video{frame.buffer, nanoseconds(frame.presentationTime), 0};
    bool wasDraining = false;
    {
        std::lock_guard lock(metricsLock_);
        ++frameCount_;
        lastFrameTime_ = static_cast<double>(video.timestampNS) / 1e9;
        captureWidth_ = frame.buffer->width;
        captureHeight_ = frame.buffer->height;
        if (pendingFrame_) ++replacedFrames_;
        latestFrame_ = video;
        pendingFrame_ = std::move(video);
        wasDraining = std::exchange(draining_, true);
    }
    if (!wasDraining) queueDelivery();
}

void CaptureOutput::stopped(const std::string& message) {
    if (onFailure) onFailure(message);
}

void CaptureOutput::refreshStaticFrame(bool force) {
    const std::int64_t now = nanoseconds(clock_());
    bool wasDraining = false;
    {
        std::lock_guard lock(metricsLock_);
        if (!latestFrame_) return;
        const double sinceLast = static_cast<double>(now) / 1e9 - lastFrameTime_;
        if (!force && sinceLast < std::chrono::duration<double>(timings_.staticRefresh).count()) return;
        if (!pendingFrame_) pendingFrame_ = VideoFrame{latestFrame_->buffer, now, latestFrame_->rotation};
        // A new receiver, or one that lost the picture, is sharpened again once it is sent.
        if (force) refined_ = 0;
        wasDraining = std::exchange(draining_, true);
    }
    if (!wasDraining) queueDelivery();
}

nlohmann::json CaptureOutput::metrics() const {
    std::lock_guard lock(metricsLock_);
    return {{"capturedFrames", frameCount_},        {"captureWidth", captureWidth_},
            {"captureHeight", captureHeight_},      {"lastCaptureTime", lastFrameTime_},
            {"replacedCaptureFrames", replacedFrames_}, {"staleCaptureFrames", staleFrames_},
            {"captureAgeMS", captureAgeMS_}};
}

void CaptureOutput::waitForDelivery() {
    std::promise<void> done;
    auto finished = done.get_future();
    deliveryQueue_->post([&done] { done.set_value(); });
    finished.wait();
}

void CaptureOutput::queueDelivery() {
    deliveryQueue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deliverLatest();
    });
}

void CaptureOutput::deliverLatest() {
    const std::int64_t maximumAge = std::chrono::nanoseconds(timings_.frameMaximumAge).count();
    std::unique_lock lock(metricsLock_);
    while (pendingFrame_) {
        VideoFrame frame = std::move(*pendingFrame_);
        pendingFrame_.reset();
        lock.unlock();

        const std::int64_t age = std::max<std::int64_t>(0, nanoseconds(clock_()) - frame.timestampNS);
        const bool stale = age > maximumAge;
        lock.lock();
        captureAgeMS_ = static_cast<double>(age) / 1e6;
        if (stale) ++staleFrames_;
        lock.unlock();

        if (!stale) {
            // The encoder refuses a timestamp that does not move forward.
            frame.timestampNS = std::max(lastDeliveredTimestamp_ + 1, frame.timestampNS);
            lastDeliveredTimestamp_ = frame.timestampNS;
            sink_->deliver(std::move(frame));
        }
        lock.lock();
    }
    draining_ = false;
    // Every delivery puts off the sharpening of the picture until it has been still a while.
    if (latestFrame_ && refined_ != frameCount_) {
        refinementsLeft_ = timings_.refinementFrames;
        deliveryQueue_->setTimer(timings_.stillBeforeRefinement, refineJob(frameCount_));
    }
}

std::function<void()> CaptureOutput::refineJob(std::int64_t picture) {
    return [weak = weak_from_this(), picture] {
        if (auto self = weak.lock()) self->refine(picture);
    };
}

// The still picture again, marked to be sent at a higher quality, a few frames apart.
void CaptureOutput::refine(std::int64_t picture) {
    std::unique_lock lock(metricsLock_);
    if (picture != frameCount_ || pendingFrame_ || !latestFrame_ || refinementsLeft_ <= 0) return;
    if (--refinementsLeft_ == 0) refined_ = picture;
    VideoFrame frame{latestFrame_->buffer, std::max(lastDeliveredTimestamp_ + 1, nanoseconds(clock_())),
                     latestFrame_->rotation, true};
    lastDeliveredTimestamp_ = frame.timestampNS;
    if (refinementsLeft_ > 0) deliveryQueue_->setTimer(timings_.refinementSpacing, refineJob(picture));
    lock.unlock();
    sink_->deliver(std::move(frame));
}

} // namespace tavelin
