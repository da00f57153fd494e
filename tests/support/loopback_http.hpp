#pragma once

// A blocking HTTP client on 127.0.0.1 for tests that talk to a real server, and a port
// the kernel has just handed out.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelin::testing {

// 127.0.0.`host`: the whole of 127/8 is this machine.
inline sockaddr_in loopbackAddress(std::uint16_t port, std::uint8_t host = 1) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK - 1 + host)},
            .sin_zero = {}};
}

// A port that was free a moment ago: bound on 127.0.0.1:0 and released again.
inline std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto address = loopbackAddress(0);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    EXPECT_TRUE(bound) << "no free port: " << std::strerror(errno);
    return bound ? ntohs(address.sin_port) : 0;
}

// One answer as the client saw it: status 0 when there was none, and every byte received.
struct HTTPReply {
    int status = 0;
    std::string body;
    std::string raw;
};

class LoopbackConnection {
public:
    // Only a safety net for a server that never answers.
    static constexpr std::chrono::seconds safetyTimeout{10};

    // From 127.0.0.`client`, so that each is another client.
    explicit LoopbackConnection(std::uint16_t port, std::uint8_t client = 1)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const timeval timeout{safetyTimeout.count(), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const auto source = loopbackAddress(0, client);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source);
        const auto address = loopbackAddress(port);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~LoopbackConnection() { ::close(fd_); }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    bool connected() const { return connected_; }

    // True while the server has neither written nor closed.
    bool quiet() { char byte; return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN; }

    void send(std::string_view data) {
        while (!data.empty()) {
            const auto sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                ADD_FAILURE() << "send failed: " << std::strerror(errno);
                return;
            }
            data.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    // Everything received until the server closed (or reset) the connection.
    std::string readToEnd() {
        std::string received;
        char chunk[4096];
        ssize_t size;
        while ((size = ::recv(fd_, chunk, sizeof chunk, 0)) > 0 || (size < 0 && errno == EINTR)) {
            if (size > 0) received.append(chunk, static_cast<std::size_t>(size));
        }
        if (size < 0 && errno != ECONNRESET) ADD_FAILURE() << "no end of answer: " << std::strerror(errno);
        return received;
    }

private:
    int fd_;
    bool connected_ = false;
};

// Sends one request on a new connection and splits the whole answer.
inline HTTPReply loopbackExchange(std::uint16_t port, std::string_view request) {
    LoopbackConnection connection(port);
    EXPECT_TRUE(connection.connected()) << std::strerror(errno);
    connection.send(request);
    const auto raw = connection.readToEnd();
    const auto headEnd = raw.find("\r\n\r\n");
    if (!raw.starts_with("HTTP/1.1 ") || headEnd == std::string::npos) return {0, {}, raw};
    return {std::stoi(raw.substr(9, 3)), raw.substr(headEnd + 4), raw};
}

// A POST as the receiver page on 127.0.0.1:port sends it, with the bearer token when one is given.
inline HTTPReply loopbackPost(std::uint16_t port, const std::string& path, const std::string& body,
                              const std::string& bearer = "") {
    const auto host = "127.0.0.1:" + std::to_string(port);
    return loopbackExchange(port, "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                                      "\r\nContent-Length: " + std::to_string(body.size()) +
                                      (bearer.empty() ? "" : "\r\nAuthorization: Bearer " + bearer) +
                                      "\r\n\r\n" + body);
}

} // namespace tavelin::testing
