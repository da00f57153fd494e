#include "platform/x11/event_pump.hpp"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "core/unique_fd.hpp"

namespace tavelin::x11 {

// Asio gets a descriptor of its own, so that closing the watch leaves xcb's intact.
struct EventPump::Watch {
    Watch(asio::any_io_executor engine, int fd) : descriptor(std::move(engine)) {
        UniqueFd copy(::dup(fd));
        if (!copy) throw std::system_error(errno, std::generic_category(), "dup");
        descriptor.assign(copy.get());
        copy.release();
    }
    asio::posix::stream_descriptor descriptor;
};

std::shared_ptr<EventPump> EventPump::create(asio::any_io_executor engine, const std::string& displayName) {
    return std::make_shared<EventPump>(std::move(engine), displayName);
}

EventPump::EventPump(asio::any_io_executor engine, const std::string& displayName)
    : connection_(displayName),
      watch_(std::make_unique<Watch>(std::move(engine), xcb_get_file_descriptor(connection_))) {}

EventPump::~EventPump() = default;

void EventPump::start(Handler handler) {
    handler_ = std::move(handler);
    xcb_flush(connection_);
    // Events may already wait in xcb's queue from the set-up requests.
    drain();
    wait();
}

void EventPump::stop() {
    handler_ = nullptr;
    std::error_code ignored;
    watch_->descriptor.cancel(ignored);
}

void EventPump::wait() {
    watch_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [weak = weak_from_this()](const std::error_code& error) {
                                      const auto self = weak.lock();
                                      if (error || !self || !self->handler_) return;
                                      if (self->read()) self->wait();
                                  });
}

void EventPump::confirmBroken(std::chrono::milliseconds grace, std::function<void()> otherwise) {
    const auto engine = watch_->descriptor.get_executor();
    asio::post(engine, [engine, weak = weak_from_this(), grace, otherwise = std::move(otherwise)]() mutable {
        const auto self = weak.lock();
        if (!self || !self->handler_ || !self->broken_) return otherwise();
        if (!self->read()) return;
        // The server's sockets may close one after another.
        auto timer = std::make_shared<asio::steady_timer>(engine, grace);
        timer->async_wait([weak, timer, otherwise = std::move(otherwise)](const std::error_code&) {
            const auto self = weak.lock();
            if (self && self->handler_ && !self->read()) return;
            otherwise();
        });
    });
}

// Hands on what arrived; false once the connection is broken, after telling onBroken.
bool EventPump::read() {
    drain();
    if (!connection_.broken()) return true;
    if (handler_ && broken_) std::exchange(broken_, nullptr)();
    return false;
}

void EventPump::drain() {
    while (auto* raw = xcb_poll_for_event(connection_)) {
        Reply<xcb_generic_event_t> event(raw);
        if (handler_) handler_(*event);
    }
}

} // namespace tavelin::x11
