#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <xcb/xcb.h>

#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

// A connection that only receives events, read on the engine as they arrive. Keeping
// requests with replies off this connection matters: a reply wait would read events
// into xcb's queue behind the back of the descriptor watch, and they would sit there.
class EventPump : public std::enable_shared_from_this<EventPump> {
public:
    using Handler = std::function<void(const xcb_generic_event_t& event)>;

    // Throws XError. Select the events with connection() before calling start().
    static std::shared_ptr<EventPump> create(asio::any_io_executor engine, const std::string& displayName);
    ~EventPump();

    Connection& connection() { return connection_; }
    // Events are handed to `handler` on the engine until stop() or destruction.
    void start(Handler handler);
    void stop();
    // Called once on the engine when the connection breaks while events are handed on
    // (the server ended or dropped us).
    void onBroken(std::function<void()> handler) { broken_ = std::move(handler); }
    // For another connection to the same server that broke; callable from any thread.
    // On the engine, this connection is watched for `grace`: when it breaks too, onBroken
    // runs and `otherwise` never does; when it holds (or nobody listens), `otherwise` runs.
    void confirmBroken(std::chrono::milliseconds grace, std::function<void()> otherwise);

    EventPump(asio::any_io_executor engine, const std::string& displayName);

private:
    void wait();
    bool read();
    void drain();

    Connection connection_;
    struct Watch;
    std::unique_ptr<Watch> watch_;
    Handler handler_;
    std::function<void()> broken_;
};

} // namespace tavelin::x11
