#include "program/activation.hpp"

#include <chrono>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include "app/model.hpp"
#include "core/log.hpp"
#include "program/control.hpp"

namespace tavelin {

namespace fs = std::filesystem;

namespace {

using asio::local::stream_protocol;

// The folder keeps other users out, except root; the peer's own uid settles it.
bool sameUser(stream_protocol::socket& peer) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(peer.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::geteuid();
}

std::string answerLine(const ControlAnswer& answer) { return (answer.ok ? "ok " : "error ") + answer.text + "\n"; }

// Each request is read on its own, with a time limit, so that a client that never
// writes cannot hold up the next one.
// The timer's handler shares the socket: it may already be queued when the read
// completes first and this coroutine ends.
Task<> answer(std::shared_ptr<stream_protocol::socket> peer, std::weak_ptr<AppModel> owner,
              std::function<void()> quit) {
    asio::steady_timer limit(peer->get_executor(), std::chrono::seconds(2));
    limit.async_wait([peer](const std::error_code& error) {
        if (!error) peer->close();
    });
    asio::streambuf received(64);
    const auto [error, length] = co_await asio::async_read_until(*peer, received, '\n', asTuple);
    limit.cancel();
    if (error || length == 0) co_return;
    std::string request(asio::buffers_begin(received.data()), asio::buffers_begin(received.data()) + length - 1);
    const auto model = owner.lock();
    if (!model) co_return;
    // Refused after reading, so that the answer does not meet a request still on its way.
    if (!sameUser(*peer)) {
        const auto refusal = answerLine({false, "This copy of Tavelin belongs to another user."});
        co_await asio::async_write(*peer, asio::buffer(refusal), asTuple);
        co_return;
    }
    // The copy that asks to show the window leaves without waiting for an answer.
    if (request == "show") {
        model->showWindow("receiver");
        co_return;
    }
    const auto answered = co_await answerControlRequest(model, std::move(request));
    const auto line = answerLine(answered);
    co_await asio::async_write(*peer, asio::buffer(line), asTuple);
    if (answered.quit) quit();
}

Task<> serve(std::shared_ptr<stream_protocol::acceptor> listener, std::weak_ptr<AppModel> owner,
             std::function<void()> quit) {
    for (;;) {
        auto [error, peer] = co_await listener->async_accept(asTuple);
        if (error) co_return;
        detach(listener->get_executor(), answer(std::make_shared<stream_protocol::socket>(std::move(peer)), owner, quit));
    }
}

} // namespace

void listenForActivation(asio::io_context& engine, const fs::path& socketPath, std::weak_ptr<AppModel> model,
                         std::function<void()> quit) {
    std::shared_ptr<stream_protocol::acceptor> acceptor;
    try {
        fs::remove(socketPath); // ours: we hold the lock, so any old socket is stale
        acceptor = std::make_shared<stream_protocol::acceptor>(engine, stream_protocol::endpoint(socketPath.string()));
    } catch (const std::exception& error) {
        // Without the socket a second copy still refuses to run; it only cannot bring
        // this one forward.
        log::error("Could not listen for other copies at ", socketPath.string(), ": ", error.what());
        return;
    }
    detach(engine.get_executor(), serve(acceptor, std::move(model), std::move(quit)));
}

} // namespace tavelin
