#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

#include "core/http_request.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

using Kind = HTTPRequest::ParseError::Kind;

// What parse made of a buffer: a request, "need more bytes", or an error.
struct NeedMore {};
using Outcome = std::variant<HTTPRequest, NeedMore, Kind>;

Outcome outcome(std::string_view data) {
    try {
        if (auto request = HTTPRequest::parse(data)) return *request;
        return NeedMore{};
    } catch (const HTTPRequest::ParseError& error) {
        return error.kind();
    }
}

std::string describe(const Outcome& o) {
    if (std::holds_alternative<NeedMore>(o)) return "need more";
    if (const auto* kind = std::get_if<Kind>(&o)) return *kind == Kind::tooLarge ? "tooLarge" : "malformed";
    return "request " + std::get<HTTPRequest>(o).path;
}

struct Case {
    const char* what;
    std::string data;
    std::string expected; // "need more", "tooLarge", "malformed" or "request <path>"
};

class HTTPRequestOutcome : public testing::TestWithParam<Case> {};

TEST_P(HTTPRequestOutcome, Matches) { EXPECT_EQ(describe(outcome(GetParam().data)), GetParam().expected); }

// A header block padded with an "x-pad" header so that its blank line begins at `offset`.
std::string headerEndingAt(std::size_t offset, std::string extra = "") {
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\n" + extra + "X-Pad: ";
    head += std::string(offset - head.size(), 'p');
    return head + "\r\n\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HTTPRequestOutcome,
    testing::Values(
        Case{"empty", "", "need more"},
        Case{"partial line", "GET / HTTP/1.1\r\nHost: a\r\n", "need more"},
        Case{"minimal", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "request /"},
        Case{"query kept", "GET /api/status?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", "request /api/status?x=1"},
        Case{"extra spaces in request line", "  GET   /x   HTTP/1.1  \r\nHost: a\r\n\r\n", "request /x"},
        Case{"no host", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", "malformed"},
        Case{"HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\n\r\n", "malformed"},
        Case{"version case", "GET / http/1.1\r\nHost: a\r\n\r\n", "malformed"},
        Case{"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
        Case{"two pieces", "GET HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
        Case{"four pieces", "GET / x HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
        Case{"tab is no separator", "GET\t/ HTTP/1.1\r\nHost: a\r\n\r\n", "malformed"},
        Case{"header without colon", "GET / HTTP/1.1\r\nHost: a\r\nBroken\r\n\r\n", "malformed"},
        Case{"duplicate host in capitals", "GET / HTTP/1.1\r\nHost: a\r\nHOST: a\r\n\r\n", "malformed"},
        Case{"chunked", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", "malformed"},
        Case{"transfer-encoding empty", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding:\r\n\r\n", "malformed"},
        Case{"header bytes not UTF-8", "GET / HTTP/1.1\r\nHost: \xC0\xAF\r\n\r\n", "malformed"},
        Case{"surrogate in header", "GET / HTTP/1.1\r\nHost: \xED\xA0\x80\r\n\r\n", "malformed"},
        // The body is not decoded: any bytes pass.
        Case{"binary body", std::string("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\n\xFF\x00", 49),
             "request /"},
        Case{"length plus", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +5\r\n\r\nhello", "malformed"},
        Case{"length minus", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -5\r\n\r\nhello", "malformed"},
        Case{"length inner space", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1 0\r\n\r\nhello", "malformed"},
        Case{"length empty", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length:  \r\n\r\n", "malformed"},
        Case{"length Arabic-Indic digit", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: \xD9\xA5\r\n\r\n", "malformed"},
        Case{"length overflows 64 bits", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 9223372036854775808\r\n\r\n", "malformed"},
        // Wraps to 5 in unsigned 64-bit arithmetic; must not be read as 5.
        Case{"length wraps 64 bits", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 18446744073709551621\r\n\r\nhello", "malformed"},
        Case{"length int64 max", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 9223372036854775807\r\n\r\n", "malformed"},
        Case{"length with leading zeros", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0005\r\n\r\nhello", "request /"},
        Case{"short body", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhel", "need more"},
        // Bare LF line endings never make a blank line; the block limit ends them.
        Case{"bare LF", "GET / HTTP/1.1\nHost: a\n\n", "need more"},
        Case{"16384 bytes, no blank line", std::string(16384, 'a'), "need more"},
        Case{"16385 bytes, no blank line", std::string(16385, 'a'), "tooLarge"},
        Case{"blank line at 16384", headerEndingAt(16384), "request /"},
        Case{"blank line at 16385", headerEndingAt(16385), "malformed"},
        // Even a complete request is refused in a buffer over 1 MiB.
        Case{"over 1 MiB", headerEndingAt(100) + std::string(HTTPRequest::maximumSize, 'b'), "tooLarge"}),
    support::CaseName());

TEST(HTTPRequest, FieldsOfACompleteRequest) {
    const auto request = std::get<HTTPRequest>(outcome(
        "POST /api/pair HTTP/1.1\r\nHost: 192.168.1.20:8420\r\nX-Empty:\r\n"
        "Content-Type :\t application/json \t\r\n: nameless\r\nContent-Length: 5\r\n\r\nhello, extra bytes"));
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/pair");
    EXPECT_EQ(request.body, "hello");
    const std::map<std::string, std::string> headers{
        {"host", "192.168.1.20:8420"},          // later colons belong to the value
        {"x-empty", ""},
        {"content-type ", "application/json"},  // a space before the colon stays in the name
        {"", "nameless"},
        {"content-length", "5"}};
    EXPECT_EQ(request.headers, headers);
}

TEST(HTTPRequest, HeaderNamesAndValuesFollowUnicodeRules) {
    // U+3000 (ideographic space) is trimmed like a space; a non-ASCII name is lower-cased fully.
    const auto request = std::get<HTTPRequest>(
        outcome("GET / HTTP/1.1\r\nHost: \xE3\x80\x80h\xE3\x80\x80\r\nX-\xC3\x84: v\r\n\r\n"));
    EXPECT_EQ(request.headers.at("host"), "h");
    EXPECT_EQ(request.headers.at("x-\xC3\xA4"), "v");
    // Duplicates are found after lower-casing, beyond ASCII too.
    EXPECT_EQ(describe(outcome("GET / HTTP/1.1\r\nHost: a\r\nX-\xC3\x84: 1\r\nx-\xC3\xA4: 2\r\n\r\n")), "malformed");
    // A capital sigma at the end of a word lower-cases like any other sigma here.
    EXPECT_EQ(describe(outcome("GET / HTTP/1.1\r\nHost: a\r\nX\xCE\xA3: 1\r\nx\xCF\x83: 2\r\n\r\n")), "malformed");
}

TEST(HTTPRequest, EveryPrefixOfAnAcceptedRequestNeedsMore) {
    // The second case guards a request whose blank line begins exactly at the header
    // limit: its prefixes of 16385 to 16387 bytes end in a partial blank line and must
    // wait, or acceptance would depend on how the network split the bytes.
    for (const auto& whole : {std::string("POST /api/connect HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello"),
                              headerEndingAt(16384, "Content-Length: 2\r\n") + "ok"}) {
        for (std::size_t size = 0; size < whole.size(); ++size) {
            ASSERT_EQ(describe(outcome(whole.substr(0, size))), "need more") << size;
        }
        EXPECT_TRUE(std::holds_alternative<HTTPRequest>(outcome(whole)));
    }
    // Past the limit, a partial blank line that begins too late is still too large.
    EXPECT_EQ(describe(outcome(headerEndingAt(16385).substr(0, 16387))), "tooLarge");
}

TEST(HTTPRequest, TotalSizeLimitCountsHeaderAndBody) {
    const std::string head = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: ";
    const auto requestOfTotal = [&](std::size_t total) {
        // The length text has the same number of digits for both totals below.
        const auto bodyLength = total - head.size() - 7 - 4;
        auto text = head + std::to_string(bodyLength) + "\r\n\r\n";
        EXPECT_EQ(text.size() + bodyLength, total);
        return std::pair{text, bodyLength};
    };
    auto [exact, exactLength] = requestOfTotal(HTTPRequest::maximumSize);
    EXPECT_EQ(describe(outcome(exact)), "need more");
    exact += std::string(exactLength, 'x');
    EXPECT_EQ(std::get<HTTPRequest>(outcome(exact)).body.size(), exactLength);
    // One byte more is refused as soon as the header block is complete.
    const auto [over, overLength] = requestOfTotal(HTTPRequest::maximumSize + 1);
    EXPECT_EQ(describe(outcome(over)), "malformed");
    static_cast<void>(overLength);
}

} // namespace
} // namespace tavelin
