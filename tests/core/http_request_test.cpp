#include <gtest/gtest.h>

#include <tuple>

#include "core/http_request.hpp"

namespace tavelin {
namespace {

// What parse made of a buffer: "need more", "tooLarge", "malformed" or "request <path>".
std::string outcome(std::string_view data) {
    try {
        const auto request = HTTPRequest::parse(data);
        return request ? "request " + request->path : "need more";
    } catch (const HTTPRequest::ParseError& error) {
        return error.kind() == HTTPRequest::ParseError::Kind::tooLarge ? "tooLarge" : "malformed";
    }
}

// A header block padded with an "x-pad" header so that its blank line begins at `offset`.
std::string headerEndingAt(std::size_t offset, std::string extra = "") {
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\n" + extra + "X-Pad: ";
    head += std::string(offset - head.size(), 'p');
    return head + "\r\n\r\n";
}

std::string post(std::string_view headers, std::string_view rest = "") {
    return "POST / HTTP/1.1\r\nHost: a\r\n" + std::string(headers) + "\r\n\r\n" + std::string(rest);
}

TEST(HTTPRequest, Outcome) {
    using Case = std::tuple<const char*, std::string, const char*>;
    for (const auto& [what, data, expected] : std::initializer_list<Case>{
             {"extra spaces in request line", "  GET   /x   HTTP/1.1  \r\nHost: a\r\n\r\n", "request /x"},
             {"no host", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", "malformed"},
             {"HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\n\r\n", "malformed"},
             {"version case", "GET / http/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"four pieces", "GET / x HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"tab is no separator", "GET\t/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
             {"header without colon", "GET / HTTP/1.1\r\nHost: a\r\nBroken\r\n\r\n", "malformed"},
             {"duplicate host in capitals", "GET / HTTP/1.1\r\nHost: a\r\nHOST: a\r\n\r\n", "malformed"},
             // Duplicates are found after full lower-casing; a final capital sigma is no exception.
             {"duplicate non-ASCII name", post("X-\xC3\x84: 1\r\nx-\xC3\xA4: 2"), "malformed"},
             {"duplicate final sigma", post("X\xCE\xA3: 1\r\nx\xCF\x83: 2"), "malformed"},
             {"chunked", post("Transfer-Encoding: chunked"), "malformed"},
             {"empty transfer-encoding", post("Transfer-Encoding:"), "malformed"},
             {"header bytes not UTF-8", "GET / HTTP/1.1\r\nHost: \xC0\xAF\r\n\r\n", "malformed"},
             // The body is not decoded: any bytes pass.
             {"binary body", post("Content-Length: 2", std::string("\xFF\x00", 2)), "request /"},
             {"length with leading zeros", post("Content-Length: 0005", "hello"), "request /"},
             {"short body", post("Content-Length: 5", "hel"), "need more"},
             {"length plus", post("Content-Length: +5", "hello"), "malformed"},
             {"length inner space", post("Content-Length: 1 0", "hello"), "malformed"},
             {"length empty", post("Content-Length:  "), "malformed"},
             {"length Arabic-Indic digit", post("Content-Length: \xD9\xA5"), "malformed"},
             {"length overflows 64 bits", post("Content-Length: 9223372036854775808"), "malformed"},
             // Wraps to 5 in unsigned 64-bit arithmetic; must not be read as 5.
             {"length wraps 64 bits", post("Content-Length: 18446744073709551621", "hello"), "malformed"},
             // Bare LF line endings never make a blank line; the block limit ends them.
             {"bare LF", "GET / HTTP/1.1\nHost: a\n\n", "need more"},
             {"16384 bytes, no blank line", std::string(16384, 'a'), "need more"},
             {"16385 bytes, no blank line", std::string(16385, 'a'), "tooLarge"},
             {"blank line at 16384", headerEndingAt(16384), "request /"},
             {"blank line at 16385", headerEndingAt(16385), "malformed"},
             // Past the limit, a partial blank line that begins too late is still too large.
             {"partial blank line at 16385", headerEndingAt(16385).substr(0, 16387), "tooLarge"},
             // Even a complete request is refused in a buffer over 1 MiB.
             {"over 1 MiB", headerEndingAt(100) + std::string(HTTPRequest::maximumSize, 'b'), "tooLarge"}}) {
        EXPECT_EQ(outcome(data), expected) << what;
    }
}

TEST(HTTPRequest, FieldsOfACompleteRequest) {
    const auto request = HTTPRequest::parse(
        "POST /api/pair HTTP/1.1\r\nHost: 192.168.1.20:8420\r\nX-Empty:\r\nContent-Type :\t application/json \t\r\n"
        ": nameless\r\nX-\xC3\x84: \xE3\x80\x80v\xE3\x80\x80\r\nContent-Length: 5\r\n\r\nhello, extra bytes");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "POST");
    EXPECT_EQ(request->path, "/api/pair");
    EXPECT_EQ(request->body, "hello");
    const std::map<std::string, std::string> headers{
        {"host", "192.168.1.20:8420"},          // later colons belong to the value
        {"content-type ", "application/json"},  // a space before the colon stays in the name
        {"x-\xC3\xA4", "v"},                    // lower-cased fully; U+3000 trimmed like a space
        {"x-empty", ""}, {"", "nameless"}, {"content-length", "5"}};
    EXPECT_EQ(request->headers, headers);
}

// A request whose blank line begins exactly at the header limit: its prefixes of 16385 to
// 16387 bytes end in a partial blank line and must wait, or acceptance would depend on how
// the network split the bytes. (tests/server feeds an ordinary request byte by byte.)
TEST(HTTPRequest, EveryPrefixOfAnAcceptedRequestNeedsMore) {
    const auto whole = headerEndingAt(16384, "Content-Length: 2\r\n") + "ok";
    for (std::size_t size = 0; size < whole.size(); ++size) ASSERT_EQ(outcome(whole.substr(0, size)), "need more") << size;
    EXPECT_EQ(outcome(whole), "request /");
}

TEST(HTTPRequest, TotalSizeLimitCountsHeaderAndBody) {
    // Both totals give a Content-Length of seven digits.
    const auto head = [](std::size_t total) {
        const auto length = total - post("Content-Length: 1234567").size();
        return std::pair{post("Content-Length: " + std::to_string(length)), length};
    };
    const auto [exact, length] = head(HTTPRequest::maximumSize);
    EXPECT_EQ(outcome(exact), "need more");
    EXPECT_EQ(HTTPRequest::parse(exact + std::string(length, 'x'))->body.size(), length);
    // One byte more is refused as soon as the header block is complete.
    EXPECT_EQ(outcome(head(HTTPRequest::maximumSize + 1).first), "malformed");
}

} // namespace
} // namespace tavelin
