#include "program/activation.hpp"

#include <chrono>
#include <string>

#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>

#include "app/model.hpp"
#include "core/log.hpp"

namespace tavelin {

namespace fs = std::filesystem;

void listenForActivation(asio::io_context& engine, const fs::path& socketPath, std::weak_ptr<AppModel> model) {
    using asio::local::stream_protocol;
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
    // Each request is read on its own, with a time limit, so that a client that never
    // writes cannot hold up the next one.
    // The timer's handler shares the socket: it may already be queued when the read
    // completes first and this coroutine ends.
    auto answer = [](std::shared_ptr<stream_protocol::socket> peer, std::weak_ptr<AppModel> owner) -> Task<> {
        asio::steady_timer limit(peer->get_executor(), std::chrono::seconds(2));
        limit.async_wait([peer](const std::error_code& error) {
            if (!error) peer->close();
        });
        asio::streambuf request(64);
        const auto [error, length] = co_await asio::async_read_until(*peer, request, '\n', asTuple);
        limit.cancel();
        if (error || length == 0) co_return;
        const std::string line(asio::buffers_begin(request.data()), asio::buffers_begin(request.data()) + length);
        if (line == "show\n") {
            if (auto strong = owner.lock()) strong->showWindow("receiver");
        }
    };
    auto serve = [answer](std::shared_ptr<stream_protocol::acceptor> listener, std::weak_ptr<AppModel> owner) -> Task<> {
        for (;;) {
            auto [error, peer] = co_await listener->async_accept(asTuple);
            if (error) co_return;
            detach(listener->get_executor(), answer(std::make_shared<stream_protocol::socket>(std::move(peer)), owner));
        }
    };
    detach(engine.get_executor(), serve(acceptor, std::move(model)));
}

} // namespace tavelin
