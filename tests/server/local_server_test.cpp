#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>

#include "server/local_server.hpp"
#include "tests/support/loopback_http.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackConnection;
constexpr auto safetyTimeout = LoopbackConnection::safetyTimeout;

// The status line and the body: what the guards decide.
std::string outline(const std::string& raw) {
    const auto headEnd = raw.find("\r\n\r\n");
    return headEnd == std::string::npos ? raw : raw.substr(0, raw.find("\r\n")) + " " + raw.substr(headEnd + 4);
}

class LocalServerTest : public ::testing::Test {
protected:
    void start(Timings timings = {}) {
        server = std::make_unique<LocalServer>(timings);
        server->handler = [this](HTTPRequest request, LocalServer::Respond respond) {
            if (onRequest) return onRequest(std::move(request), std::move(respond));
            ++handled;
            respond({200, "text/plain", request.method + " " + request.path + " " + request.body});
        };
        std::promise<void> ready;
        server->start(0, {"192.0.2.7", "receiver.lan"}, [&ready] { ready.set_value(); });
        ASSERT_EQ(ready.get_future().wait_for(safetyTimeout), std::future_status::ready);
        port = server->localPort();
        host = "127.0.0.1:" + std::to_string(port);
    }

    std::string get(const std::string& path) const { return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"; }

    std::string exchange(const std::string& request) { return testing::loopbackExchange(port, request).raw; }

    std::unique_ptr<LocalServer> server;
    std::function<void(HTTPRequest, LocalServer::Respond)> onRequest;
    std::atomic<int> handled = 0;
    std::uint16_t port = 0;
    std::string host;
};

TEST_F(LocalServerTest, GuardsDecideWhatReachesTheHandler) {
    start();
    const auto at = [this](const std::string& name) { return name + ":" + std::to_string(port); };
    const auto refused = [](const std::string& m) { return R"(HTTP/1.1 403 Forbidden {"error":")" + m + "\"}"; };
    const std::string unknownHost = refused("Unknown host.");
    const std::string foreign = refused("Open the receiver directly from the host computer's address.");
    const auto post = [this](const std::string& origin) {
        return "POST /p HTTP/1.1\r\nHost: " + host + "\r\n" + origin + "Content-Length: 2\r\n\r\nok";
    };
    const std::pair<std::string, std::string> cases[] = {
        {get("/a?b=1"), "HTTP/1.1 200 OK GET /a?b=1 "},
        {"GET / HTTP/1.1\r\nHost: " + at("192.0.2.7") + "\r\n\r\n", "HTTP/1.1 200 OK GET / "},
        // A name other than ours, or ours in another spelling, is what DNS rebinding would send.
        {"GET / HTTP/1.1\r\nHost: " + at("localhost") + "\r\n\r\n", unknownHost},
        {"GET / HTTP/1.1\r\nHost: " + at("Receiver.lan") + "\r\n\r\n", unknownHost},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port == 65535 ? 1 : port + 1) + "\r\n\r\n", unknownHost},
        {post("Origin: http://" + host + "\r\n"), "HTTP/1.1 200 OK POST /p ok"},
        {post(""), foreign}, {post("Origin: https://" + host + "\r\n"), foreign},
        // Another of our own addresses is still another origin.
        {post("Origin: http://" + at("192.0.2.7") + "\r\n"), foreign},
        // A page may be opened from a link on another site.
        {"GET /x HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://example.com\r\n\r\n", "HTTP/1.1 200 OK GET /x "},
    };
    // A refused request never reaches the handler, where a guessed pairing code would count.
    for (const auto& [request, expected] : cases) {
        const int before = handled;
        EXPECT_EQ(outline(exchange(request)), expected) << request;
        EXPECT_EQ(handled - before, expected.starts_with("HTTP/1.1 200") ? 1 : 0) << request;
    }
}

// The type of every JSON answer is the route tests'.
TEST(HTTPResponse, UnserializableJSONGivesEmptyBody) { EXPECT_EQ(HTTPResponse::error(400, "\xFF").body, ""); }

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
    LoopbackConnection client(port);
    client.send(get("/"));
    auto answer = pending.get_future();
    ASSERT_EQ(answer.wait_for(safetyTimeout), std::future_status::ready);
    EXPECT_EQ(thread, "tavelin-http");
    const auto respond = answer.get();
    const auto copy = respond;
    // A status without its own phrase still gets a well-formed status line.
    respond({418, "text/plain", "first"});
    respond({500, "text/plain", "second"});
    copy({500, "text/plain", "copy"});
    EXPECT_EQ(client.readToEnd(),
              "HTTP/1.1 418 Error\r\nContent-Type: text/plain\r\nContent-Length: 5\r\nConnection: close\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
              "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
              "media-src 'self' blob:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
              "frame-ancestors 'none'\r\n\r\nfirst");
}

TEST_F(LocalServerTest, ConnectionsEndAtTheirDeadlineWithoutAnswer) {
    const Timings timings{.connectionLifetime = 200ms};
    onRequest = [](HTTPRequest, LocalServer::Respond) {};
    start(timings);
    const auto begin = std::chrono::steady_clock::now();
    LoopbackConnection unanswered(port);
    unanswered.send(get("/"));
    EXPECT_EQ(unanswered.readToEnd(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, timings.connectionLifetime);
}

TEST_F(LocalServerTest, ConnectionsBeyondTheLimitsAreClosedAtOnce) {
    start();
    std::vector<std::unique_ptr<LoopbackConnection>> open;
    // Sixteen from one client; the seventeenth is turned away while other clients get in,
    // up to sixty-four in all.
    for (std::uint8_t client = 1; client <= 4; ++client) {
        for (int i = 0; i < 16; ++i) {
            open.push_back(std::make_unique<LoopbackConnection>(port, client));
            ASSERT_TRUE(open.back()->connected());
        }
        if (client == 1) { EXPECT_EQ(LoopbackConnection(port, client).readToEnd(), ""); }
    }
    EXPECT_EQ(LoopbackConnection(port, 5).readToEnd(), "");
    for (const auto& client : open) EXPECT_TRUE(client->quiet());
    // An answered connection gives its slot back.
    open.front()->send(get("/1"));
    EXPECT_EQ(outline(open.front()->readToEnd()), "HTTP/1.1 200 OK GET /1 ");
    EXPECT_EQ(outline(exchange(get("/2"))), "HTTP/1.1 200 OK GET /2 ");
}

// A refusal while the request is still arriving must reach the client: closed with the
// rest unread, the kernel would reset the connection and the client would lose the answer.
TEST_F(LocalServerTest, ARefusedRequestStillArrivingGetsItsAnswer) {
    const Timings timings{.lingerAfterRefusal = 300ms};
    start(timings);
    const std::string invalid = R"(HTTP/1.1 400 Bad Request {"error":"Invalid request."})";
    const std::string body(4 << 20, 'a');
    const std::string tooLong = "POST /x HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n";
    LoopbackConnection uploading(port);
    uploading.send(tooLong);
    uploading.send(body);
    EXPECT_EQ(outline(uploading.readToEnd()), invalid);

    // The slot of a refused client is free while the rest of its request is read.
    std::vector<std::unique_ptr<LoopbackConnection>> refused;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 16; ++i) {
        refused.push_back(std::make_unique<LoopbackConnection>(port));
        refused.back()->send("BAD\r\n\r\n");
    }
    for (const auto& client : refused) {
        for (const auto end = begin + safetyTimeout; client->quiet() && std::chrono::steady_clock::now() < end;) {
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(outline(exchange(get("/free"))), "HTTP/1.1 200 OK GET /free ");
    for (const auto& client : refused) EXPECT_EQ(outline(client->readToEnd()), invalid);
}

TEST_F(LocalServerTest, HoldsItsPortUntilStopClosesEverything) {
    std::promise<void> received;
    onRequest = [&received](HTTPRequest, LocalServer::Respond) { received.set_value(); };
    start();
    EXPECT_THROW(LocalServer().start(port, {}, [] {}), std::system_error);
    LoopbackConnection client(port);
    client.send(get("/"));
    ASSERT_EQ(received.get_future().wait_for(safetyTimeout), std::future_status::ready);
    server->stop();
    server->stop();
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_FALSE(LoopbackConnection(port).connected());
}

TEST_F(LocalServerTest, DroppedFromItsOwnHandler) {
    std::promise<void> dropped;
    onRequest = [this, &dropped](HTTPRequest, LocalServer::Respond respond) {
        server.reset();
        // An answer that outlives its server does nothing.
        respond({200, "text/plain", "too late"});
        dropped.set_value();
    };
    start();
    LoopbackConnection client(port);
    client.send(get("/"));
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_EQ(dropped.get_future().wait_for(safetyTimeout), std::future_status::ready);
}

} // namespace
} // namespace tavelin
