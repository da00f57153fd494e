#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/local_server.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

// Only a safety net for a server that never answers; no test waits for it to pass.
constexpr auto safetyTimeout = 10s;

// A blocking client socket on 127.0.0.1.
class Client {
public:
    explicit Client(std::uint16_t port, bool noDelay = false) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const timeval timeout{std::chrono::seconds(safetyTimeout).count(), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const int on = 1;
        if (noDelay) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }

    void send(std::string_view data) {
        while (!data.empty()) {
            const auto sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            ASSERT_GT(sent, 0) << "send failed";
            data.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    // Everything the server sends until it closes the connection; nothing if the
    // safety timeout passes or the connection is reset first.
    std::optional<std::string> readToEnd() {
        std::string received;
        char chunk[4096];
        for (;;) {
            const auto size = ::recv(fd_, chunk, sizeof chunk, 0);
            if (size == 0) return received;
            if (size < 0) return std::nullopt;
            received.append(chunk, static_cast<std::size_t>(size));
        }
    }

    // True while the server has neither written nor closed.
    bool quiet() {
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }

private:
    int fd_;
    bool connected_ = false;
};

std::string response(int status, std::string_view reason, std::string_view type, std::string_view body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
           "Referrer-Policy: no-referrer\r\nContent-Security-Policy: default-src 'self'; script-src 'self'; "
           "style-src 'self'; media-src 'self' blob:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
           "frame-ancestors 'none'\r\n\r\n" +
           std::string(body);
}

std::string jsonError(int status, std::string_view reason, std::string_view message) {
    return response(status, reason, "application/json; charset=utf-8", R"({"error":")" + std::string(message) + "\"}");
}

// What the test handler answers: proof that the request reached it, intact.
std::string served(std::string_view method, std::string_view path, std::string_view body = "") {
    return response(200, "OK", "text/plain", std::string(method) + " " + std::string(path) + " " + std::string(body));
}

class LocalServerTest : public testing::Test {
protected:
    void start(Timings timings = {}) {
        server = std::make_unique<LocalServer>(timings);
        server->handler = [this](HTTPRequest request, LocalServer::Respond respond) {
            if (onRequest) {
                onRequest(std::move(request), std::move(respond));
                return;
            }
            respond({200, "text/plain", request.method + " " + request.path + " " + request.body});
        };
        std::promise<void> ready;
        server->start(0, {"192.0.2.7"}, [&ready] { ready.set_value(); });
        ASSERT_EQ(ready.get_future().wait_for(safetyTimeout), std::future_status::ready);
        port = server->localPort();
        host = "127.0.0.1:" + std::to_string(port);
    }

    std::optional<std::string> exchange(std::string_view request) {
        Client client(port);
        EXPECT_TRUE(client.connected());
        client.send(request);
        return client.readToEnd();
    }

    std::unique_ptr<LocalServer> server;
    std::function<void(HTTPRequest, LocalServer::Respond)> onRequest;
    std::uint16_t port = 0;
    std::string host;
};

TEST_F(LocalServerTest, GuardsDecideWhatReachesTheHandler) {
    start();
    const std::string otherPort = "127.0.0.1:" + std::to_string(port == 65535 ? 1 : port + 1);
    const std::string foreignOrigin = "Open the receiver directly from the host computer's address.";
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    };
    const Case cases[] = {
        {"loopback host", "GET /a?b=1 HTTP/1.1\r\nHost: " + host + "\r\n\r\n", served("GET", "/a?b=1")},
        {"listed address", "GET / HTTP/1.1\r\nHost: 192.0.2.7:" + std::to_string(port) + "\r\n\r\n", served("GET", "/")},
        // A name instead of an address is what DNS rebinding would send.
        {"host name", "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n",
         jsonError(403, "Forbidden", "Unknown host.")},
        {"other port", "GET / HTTP/1.1\r\nHost: " + otherPort + "\r\n\r\n", jsonError(403, "Forbidden", "Unknown host.")},
        {"post from the page", "POST /p HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host + "\r\nContent-Length: 2\r\n\r\nok",
         served("POST", "/p", "ok")},
        {"post without origin", "POST /p HTTP/1.1\r\nHost: " + host + "\r\n\r\n", jsonError(403, "Forbidden", foreignOrigin)},
        {"post from elsewhere", "POST /p HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://example.com\r\n\r\n",
         jsonError(403, "Forbidden", foreignOrigin)},
        {"post over https origin", "POST /p HTTP/1.1\r\nHost: " + host + "\r\nOrigin: https://" + host + "\r\n\r\n",
         jsonError(403, "Forbidden", foreignOrigin)},
        // The origin guard is for POST only: a page may load from a link on another site.
        {"get from elsewhere", "GET /x HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://example.com\r\n\r\n", served("GET", "/x")},
        {"malformed", "GARBAGE\r\n\r\n", jsonError(400, "Bad Request", "Invalid request.")},
        {"HTTP/1.0", "GET / HTTP/1.0\r\nHost: " + host + "\r\n\r\n", jsonError(400, "Bad Request", "Invalid request.")},
    };
    for (const auto& c : cases) EXPECT_EQ(exchange(c.request), c.expected) << c.what;
}

TEST_F(LocalServerTest, RequestArrivingByteByByteIsAssembled) {
    start();
    Client client(port, true);
    const std::string request = "POST /slow HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                                "\r\nContent-Length: 5\r\n\r\nhello";
    for (const char byte : request) client.send(std::string_view(&byte, 1));
    EXPECT_EQ(client.readToEnd(), served("POST", "/slow", "hello"));
}

TEST(HTTPResponse, UnserializableJSONGivesEmptyBody) {
    const auto response = HTTPResponse::error(400, "\xFF");
    EXPECT_EQ(response.type, "application/json; charset=utf-8");
    EXPECT_EQ(response.body, "");
}

TEST_F(LocalServerTest, OnlyTheFirstAnswerFromAnotherThreadIsWritten) {
    std::promise<LocalServer::Respond> pending;
    std::string thread;
    onRequest = [&](HTTPRequest, LocalServer::Respond respond) {
        char name[16] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        thread = name;
        pending.set_value(std::move(respond));
    };
    start();
    Client client(port);
    client.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    auto answer = pending.get_future();
    ASSERT_EQ(answer.wait_for(safetyTimeout), std::future_status::ready);
    EXPECT_EQ(thread, "tavelin-http");
    const auto respond = answer.get();
    const auto copy = respond;
    // A status without its own phrase still gets a well-formed status line.
    respond({418, "text/plain", "first"});
    respond({500, "text/plain", "second"});
    copy({500, "text/plain", "copy"});
    EXPECT_EQ(client.readToEnd(), response(418, "Error", "text/plain", "first"));
}

TEST_F(LocalServerTest, ConnectionsEndAtTheirDeadlineWithoutAnswer) {
    const Timings timings{.connectionLifetime = 200ms};
    onRequest = [](HTTPRequest, LocalServer::Respond) {};
    start(timings);
    const auto begin = std::chrono::steady_clock::now();
    Client silent(port);
    Client unanswered(port);
    unanswered.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(silent.readToEnd(), "");
    EXPECT_EQ(unanswered.readToEnd(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, timings.connectionLifetime);
}

TEST_F(LocalServerTest, SixtyFifthConnectionIsClosedAtOnce) {
    start();
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 64; ++i) {
        open.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(open.back()->connected());
    }
    Client extra(port);
    EXPECT_EQ(extra.readToEnd(), "");
    for (const auto& client : open) EXPECT_TRUE(client->quiet());
    // An answered connection gives its slot back.
    open.front()->send("GET /1 HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(open.front()->readToEnd(), served("GET", "/1"));
    EXPECT_EQ(exchange("GET /2 HTTP/1.1\r\nHost: " + host + "\r\n\r\n"), served("GET", "/2"));
}

TEST_F(LocalServerTest, StartOnPortInUseThrows) {
    start();
    LocalServer second;
    EXPECT_THROW(second.start(port, {}, [] {}), std::system_error);
}

TEST_F(LocalServerTest, StopClosesOpenConnectionsAndListener) {
    std::promise<void> received;
    onRequest = [&received](HTTPRequest, LocalServer::Respond) { received.set_value(); };
    start();
    Client client(port);
    client.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_EQ(received.get_future().wait_for(safetyTimeout), std::future_status::ready);
    server->stop();
    server->stop();
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_FALSE(Client(port).connected());
}

TEST_F(LocalServerTest, DroppedFromItsOwnHandler) {
    std::promise<void> dropped;
    onRequest = [this, &dropped](HTTPRequest, LocalServer::Respond respond) {
        server.reset();
        respond({200, "text/plain", "too late"});
        dropped.set_value();
    };
    start();
    Client client(port);
    client.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_EQ(dropped.get_future().wait_for(safetyTimeout), std::future_status::ready);
}

TEST_F(LocalServerTest, DroppedWithConnectionsOpen) {
    std::promise<LocalServer::Respond> pending;
    onRequest = [&pending](HTTPRequest, LocalServer::Respond respond) { pending.set_value(std::move(respond)); };
    start();
    Client waiting(port);
    waiting.send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    auto answer = pending.get_future();
    ASSERT_EQ(answer.wait_for(safetyTimeout), std::future_status::ready);
    Client idle(port);
    server.reset();
    EXPECT_EQ(waiting.readToEnd(), "");
    // A route still holding the answer outlives the server harmlessly.
    answer.get()({200, "text/plain", "after"});

    LocalServer neverStarted;
    neverStarted.stop();
}

} // namespace
} // namespace tavelin
