#include "server/local_server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include <pthread.h>

#include <asio.hpp>

#include "engine/task.hpp"

namespace tavelin {

namespace {

using asio::ip::tcp;

constexpr std::size_t maximumConnections = 64;
// One machine cannot take every slot: a paired receiver elsewhere always finds room.
constexpr std::size_t maximumPerClient = 16;
constexpr std::size_t receiveLimit = 65'536;

constexpr std::string_view foreignOriginMessage = "Open the receiver directly from the host computer's address.";

} // namespace

namespace impl {

struct Connection {
    Connection(std::uint64_t id, tcp::socket socket, asio::ip::address client)
        : id(id), client(std::move(client)), socket(std::move(socket)), deadline(this->socket.get_executor()) {}

    const std::uint64_t id;
    const asio::ip::address client;
    tcp::socket socket;
    asio::steady_timer deadline;
    std::string received;
    std::string outgoing;
    std::array<char, receiveLimit> chunk;
    bool open = true;
    bool answered = false;
};

// The state shared by the server's pending operations. Its thread holds it while the
// context runs, so a handler never outlives it; handlers hold it weakly so that
// nothing queued in the context keeps it alive.
struct ServerCore : std::enable_shared_from_this<ServerCore> {
    explicit ServerCore(Timings timings) : timings(timings) {}

    void install(tcp::acceptor listening, std::set<std::string> hosts, std::function<void()> ready);
    void accept();
    void admit(tcp::socket socket);
    void receive(const std::shared_ptr<Connection>& connection);
    void dispatch(const std::shared_ptr<Connection>& connection, HTTPRequest request);
    void send(const std::shared_ptr<Connection>& connection, HTTPResponse response, bool refusal = false);
    void linger(const std::shared_ptr<Connection>& connection);
    void drain(const std::shared_ptr<Connection>& connection);
    // Closes the connection once `after` has passed, unless the deadline is reset.
    void closeAfter(const std::shared_ptr<Connection>& connection, Timings::Duration after);
    void close(const std::shared_ptr<Connection>& connection);
    void shutDown();
    LocalServer::Respond responder(const std::shared_ptr<Connection>& connection);

    // Declared first so that it goes last: sockets and timers must be destroyed
    // before the context they are registered with.
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections;
    // Answered with a refusal, read to the end but no longer counted (see linger).
    std::map<std::uint64_t, std::shared_ptr<Connection>> lingering;
    std::uint64_t nextId = 0;
    std::set<std::string> allowedHosts;
    std::function<void(HTTPRequest, LocalServer::Respond)> handler;
    std::function<void(std::string)> onFailure;
    const Timings timings;
    bool stopped = false;
};

void ServerCore::install(tcp::acceptor listening, std::set<std::string> hosts, std::function<void()> ready) {
    acceptor = std::move(listening);
    allowedHosts = std::move(hosts);
    if (ready) ready();
    accept();
}

void ServerCore::accept() {
    acceptor.async_accept([weak = weak_from_this()](const asio::error_code& error, tcp::socket socket) {
        const auto core = weak.lock();
        if (!core || core->stopped) return;
        if (error) {
            // A failed listener is not retried: the owner stops sharing on failure.
            if (error != asio::error::operation_aborted && core->onFailure) core->onFailure(error.message());
            return;
        }
        core->admit(std::move(socket));
        core->accept();
    });
}

void ServerCore::admit(tcp::socket socket) {
    asio::error_code error;
    const auto client = socket.remote_endpoint(error).address();
    const auto fromClient = std::ranges::count_if(connections, [&](const auto& open) { return open.second->client == client; });
    if (error || connections.size() >= maximumConnections || static_cast<std::size_t>(fromClient) >= maximumPerClient) {
        socket.close(error);
        return;
    }
    const auto connection = std::make_shared<Connection>(nextId++, std::move(socket), client);
    connections.emplace(connection->id, connection);
    // The lifetime covers the whole exchange, a handler that waits included.
    closeAfter(connection, timings.connectionLifetime);
    receive(connection);
}

void ServerCore::closeAfter(const std::shared_ptr<Connection>& connection, Timings::Duration after) {
    connection->deadline.expires_after(after);
    connection->deadline.async_wait([weak = weak_from_this(), connection](const asio::error_code& error) {
        const auto core = weak.lock();
        if (core && !error) core->close(connection);
    });
}

void ServerCore::receive(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(
        asio::buffer(connection->chunk),
        [weak = weak_from_this(), connection](const asio::error_code& error, std::size_t size) {
            const auto core = weak.lock();
            if (!core || !connection->open) return;
            connection->received.append(connection->chunk.data(), size);
            std::optional<HTTPRequest> request;
            try {
                request = HTTPRequest::parse(connection->received);
            } catch (const HTTPRequest::ParseError&) {
                core->send(connection, HTTPResponse::error(400, "Invalid request."), true);
                return;
            }
            if (request) {
                core->dispatch(connection, std::move(*request));
            } else if (error) {
                core->close(connection);
            } else {
                core->receive(connection);
            }
        });
}

void ServerCore::dispatch(const std::shared_ptr<Connection>& connection, HTTPRequest request) {
    // Only our own addresses: a page reached through another name (DNS rebinding)
    // must not talk to the API.
    const auto host = request.headers.find("host");
    if (host == request.headers.end() || !allowedHosts.contains(host->second)) {
        send(connection, HTTPResponse::error(403, "Unknown host."));
        return;
    }
    // Browsers send Origin on every cross-origin POST; a form on another site must not
    // reach the API.
    if (request.method == "POST") {
        const auto origin = request.headers.find("origin");
        if (origin == request.headers.end() || origin->second != "http://" + host->second) {
            send(connection, HTTPResponse::error(403, foreignOriginMessage));
            return;
        }
    }
    if (handler) handler(std::move(request), responder(connection));
}

void ServerCore::send(const std::shared_ptr<Connection>& connection, HTTPResponse response, bool refusal) {
    if (!connection->open || connection->answered) return;
    connection->answered = true;
    connection->outgoing = response.serialize();
    asio::async_write(connection->socket, asio::buffer(connection->outgoing),
                      [weak = weak_from_this(), connection, refusal](const asio::error_code& error, std::size_t) {
                          const auto core = weak.lock();
                          if (!core) return;
                          if (refusal && !error) {
                              core->linger(connection);
                          } else {
                              core->close(connection);
                          }
                      });
}

// A refused request may still be arriving (a body over the limit). Closing with its bytes
// unread makes the kernel answer them with a reset, which destroys our answer in the
// client before it reads it. So only our side is shut, and what still comes is read and
// dropped for a moment. The slot is free at once: the answer is out.
void ServerCore::linger(const std::shared_ptr<Connection>& connection) {
    if (!connection->open) return;
    if (lingering.size() >= maximumConnections) {
        close(connection);
        return;
    }
    connections.erase(connection->id);
    lingering.emplace(connection->id, connection);
    asio::error_code ignored;
    connection->socket.shutdown(tcp::socket::shutdown_send, ignored);
    closeAfter(connection, timings.lingerAfterRefusal);
    drain(connection);
}

void ServerCore::drain(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(
        asio::buffer(connection->chunk), [weak = weak_from_this(), connection](const asio::error_code& error, std::size_t) {
            const auto core = weak.lock();
            if (!core || !connection->open) return;
            if (error) {
                core->close(connection);
            } else {
                core->drain(connection);
            }
        });
}

void ServerCore::close(const std::shared_ptr<Connection>& connection) {
    if (!connection->open) return;
    connection->open = false;
    // Forgotten before the peer can see the close, so that a client that saw its
    // connection end may count on the slot being free.
    connections.erase(connection->id);
    lingering.erase(connection->id);
    asio::error_code ignored;
    connection->socket.close(ignored);
    connection->deadline.cancel();
}

void ServerCore::shutDown() {
    stopped = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    const auto open = std::exchange(connections, {});
    for (const auto& [id, connection] : open) close(connection);
    const auto refused = std::exchange(lingering, {});
    for (const auto& [id, connection] : refused) close(connection);
}

LocalServer::Respond ServerCore::responder(const std::shared_ptr<Connection>& connection) {
    return [weak = weak_from_this(), target = std::weak_ptr(connection),
            used = std::make_shared<std::atomic_flag>()](HTTPResponse response) {
        if (used->test_and_set()) return;
        const auto core = weak.lock();
        if (!core) return;
        postWeak(core->io.get_executor(), weak, [target, response = std::move(response)](ServerCore& core) mutable {
            if (const auto connection = target.lock()) core.send(connection, std::move(response));
        });
    };
}

} // namespace impl

LocalServer::LocalServer(Timings timings) : core_(std::make_shared<impl::ServerCore>(timings)) {
    thread_ = std::thread([core = core_] {
        ::pthread_setname_np(::pthread_self(), "tavelin-http");
        const auto work = asio::make_work_guard(core->io);
        core->io.run();
    });
}

LocalServer::~LocalServer() {
    // Whatever is still queued is destroyed with the context, which closes the sockets.
    core_->io.stop();
    // Dropped from one of our own callbacks: the thread ends by itself once that
    // callback returns, and its reference then releases the state.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void LocalServer::start(std::uint16_t port, const std::vector<std::string>& addresses,
                        std::function<void()> ready) {
    // Opened here so that failures reach the caller; used only on the server thread.
    tcp::acceptor listening(core_->io);
    const tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
    listening.open(endpoint.protocol());
    listening.set_option(tcp::acceptor::reuse_address(true));
    listening.bind(endpoint);
    listening.listen();
    port_ = listening.local_endpoint().port();

    std::set<std::string> hosts{"127.0.0.1:" + std::to_string(port_)};
    for (const auto& address : addresses) hosts.insert(address + ':' + std::to_string(port_));

    postWeak(core_->io.get_executor(), std::weak_ptr(core_),
             [listening = std::move(listening), hosts = std::move(hosts), handler = handler, onFailure = onFailure,
              ready = std::move(ready)](impl::ServerCore& core) mutable {
                 if (core.stopped) return;
                 core.handler = std::move(handler);
                 core.onFailure = std::move(onFailure);
                 core.install(std::move(listening), std::move(hosts), std::move(ready));
             });
}

void LocalServer::stop() {
    postWeak(core_->io.get_executor(), std::weak_ptr(core_), [](impl::ServerCore& core) { core.shutDown(); });
}

} // namespace tavelin
