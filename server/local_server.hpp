#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/http_request.hpp"
#include "engine/timing.hpp"
#include "server/http_response.hpp"

namespace tavelin {

namespace impl {
struct ServerCore;
}

// The HTTP/1.1 server through which a browser loads the receiver page and signals. It
// listens on one IPv4 port, reads one request per connection, refuses requests whose
// Host is not one of ours or whose POST comes from another origin, hands the rest to
// `handler` and closes each connection after its answer. It knows nothing of routes.
//
// Everything runs on the server's own thread. Pending work holds the internal state
// weakly, so dropping the server (even from inside one of its callbacks) ends it.
class LocalServer {
public:
    // Sends the answer on the request's connection and then closes it. Callable from
    // any thread; only the first call counts, and calls after the connection ended or
    // the server was dropped do nothing.
    using Respond = std::function<void(HTTPResponse)>;

    explicit LocalServer(Timings timings = {});
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Set before start; both are called on the server thread. Without a handler a
    // request gets no answer and its connection ends at its deadline.
    std::function<void(HTTPRequest, Respond)> handler;
    std::function<void(std::string)> onFailure;

    // Listens on 0.0.0.0:port (0 lets the kernel choose) and accepts Host values
    // "127.0.0.1:<port>" and "<address>:<port>" for each of addresses. Throws
    // std::system_error if the port cannot be opened, bound or listened on; otherwise
    // calls ready once on the server thread.
    void start(std::uint16_t port, const std::vector<std::string>& addresses, std::function<void()> ready);
    // The port actually bound by start, 0 before.
    std::uint16_t localPort() const { return port_; }
    // Closes the listener and every connection, asynchronously. Final.
    void stop();

private:
    std::shared_ptr<impl::ServerCore> core_;
    std::thread thread_;
    std::uint16_t port_ = 0;
};

} // namespace tavelin
