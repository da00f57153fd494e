#include "platform/gstreamer/gst_default_context.hpp"

#include <atomic>
#include <thread>

#include <glib.h>
#include <pthread.h>

namespace tavelin {

struct GLibDefaultContextThread::Loop {
    std::atomic<bool> stopping{false};
    std::thread thread;
};

GLibDefaultContextThread::GLibDefaultContextThread() : loop_(std::make_unique<Loop>()) {
    loop_->thread = std::thread([loop = loop_.get()] {
        pthread_setname_np(pthread_self(), "glib-default");
        while (!loop->stopping.load()) g_main_context_iteration(nullptr, TRUE);
    });
}

GLibDefaultContextThread::~GLibDefaultContextThread() {
    loop_->stopping = true;
    g_main_context_wakeup(nullptr); // ends the iteration that is waiting
    loop_->thread.join();
}

} // namespace tavelin
