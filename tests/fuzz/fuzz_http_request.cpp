#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/http_request.hpp"
#include "fuzz_check.hpp"

namespace {

using tavelin::HTTPRequest;
using Kind = HTTPRequest::ParseError::Kind;

constexpr std::size_t headerBlockLimit = 16'384;

struct Outcome {
    std::optional<HTTPRequest> request;
    std::optional<Kind> error;
};

// Only ParseError is an expected way to fail; anything else escapes and is a crash.
Outcome parse(std::string_view data) {
    try {
        return {HTTPRequest::parse(data), std::nullopt};
    } catch (const HTTPRequest::ParseError& error) {
        return {std::nullopt, error.kind()};
    }
}

// Content-Length is read as digits only, and the body is that long; the other fields of
// an accepted request are the core tests' table.
void checkRequest(const HTTPRequest& request) {
    std::size_t length = 0;
    if (const auto found = request.headers.find("content-length"); found != request.headers.end()) {
        const auto& text = found->second;
        const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), length);
        FUZZ_REQUIRE(status == std::errc() && end == text.data() + text.size());
    }
    FUZZ_REQUIRE(request.body.size() == length);
}

// The receiver calls parse again with the grown buffer after every chunk, so an input
// that fits the header block limit, or that is accepted whole, must never be refused as
// too large part way in, and an accepted request must never look different while it is
// still arriving.
void checkPrefixes(std::string_view data, const Outcome& whole) {
    if (data.size() > headerBlockLimit && !whole.request) return;
    FUZZ_REQUIRE(whole.error != Kind::tooLarge);

    // Halfway, one byte short, one byte short of the blank line, headers without the body.
    const auto blank = std::min(data.find("\r\n\r\n"), data.size());
    for (const auto cut : {data.size() / 2, data.size() - 1, blank + 3, blank + 4}) {
        if (cut >= data.size()) continue;
        const auto part = parse(data.substr(0, cut));
        FUZZ_REQUIRE(part.error != Kind::tooLarge);
        if (whole.request) FUZZ_REQUIRE(!part.request || *part.request == *whole.request);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const auto whole = parse(data);
    if (whole.request) checkRequest(*whole.request);
    if (size > 0) checkPrefixes(data, whole);
    return 0;
}
