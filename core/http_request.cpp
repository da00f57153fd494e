#include "core/http_request.hpp"

#include <limits>
#include <vector>

#include "core/unicode_text.hpp"

namespace tavelin {

namespace {

// The blank line that ends the header block may begin at this offset at the latest,
// and a buffer without one may hold at most this many bytes.
constexpr std::size_t headerBlockLimit = 16'384;

using Kind = HTTPRequest::ParseError::Kind;

[[noreturn]] void fail(Kind kind) { throw HTTPRequest::ParseError(kind); }

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
}

std::vector<std::string_view> requestLinePieces(std::string_view line) {
    std::vector<std::string_view> pieces;
    for (const auto piece : split(line, " ")) {
        if (!piece.empty()) pieces.push_back(piece);
    }
    return pieces;
}

// Digits only, no sign, leading zeros allowed, within the signed 64-bit range.
std::int64_t contentLength(std::string_view value) {
    if (value.empty()) fail(Kind::malformed);
    constexpr auto maximum = std::numeric_limits<std::int64_t>::max();
    std::int64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') fail(Kind::malformed);
        const int digit = c - '0';
        if (n > (maximum - digit) / 10) fail(Kind::malformed);
        n = n * 10 + digit;
    }
    return n;
}

// A buffer just over the limit may end in the first bytes of a blank line that begins
// within the limit. Refusing it would make the same request succeed or fail depending on
// where the network split it, since a blank line at the limit itself is accepted.
bool endsInAcceptableBlankLine(std::string_view data) {
    constexpr std::string_view blankLine = "\r\n\r\n";
    for (std::size_t partial = 1; partial < blankLine.size(); ++partial) {
        if (data.size() - partial <= headerBlockLimit && data.ends_with(blankLine.substr(0, partial))) {
            return true;
        }
    }
    return false;
}

} // namespace

const char* HTTPRequest::ParseError::what() const noexcept {
    return kind_ == Kind::tooLarge ? "request too large" : "malformed request";
}

std::optional<HTTPRequest> HTTPRequest::parse(std::string_view data) {
    if (data.size() > maximumSize) fail(Kind::tooLarge);

    constexpr std::string_view blankLine = "\r\n\r\n";
    const auto headerEnd = data.find(blankLine);
    if (headerEnd == std::string_view::npos) {
        if (data.size() > headerBlockLimit && !endsInAcceptableBlankLine(data)) fail(Kind::tooLarge);
        return std::nullopt;
    }
    if (headerEnd > headerBlockLimit) fail(Kind::malformed);
    const std::size_t bodyStart = headerEnd + 4;

    const auto head = data.substr(0, headerEnd);
    if (!unicode::isValidUTF8(head)) fail(Kind::malformed);
    const auto lines = split(head, "\r\n");

    const auto requestLine = requestLinePieces(lines.front());
    if (requestLine.size() != 3 || requestLine[2] != "HTTP/1.1" || !requestLine[1].starts_with('/')) {
        fail(Kind::malformed);
    }

    HTTPRequest request;
    request.method = requestLine[0];
    request.path = requestLine[1];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto line = lines[i];
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) fail(Kind::malformed);
        auto name = unicode::lowercased(line.substr(0, colon));
        auto value = std::string(unicode::trimWhiteSpace(line.substr(colon + 1)));
        if (!request.headers.emplace(std::move(name), std::move(value)).second) fail(Kind::malformed);
    }
    if (request.headers.contains("transfer-encoding")) fail(Kind::malformed);
    if (!request.headers.contains("host")) fail(Kind::malformed);

    std::size_t length = 0;
    if (const auto found = request.headers.find("content-length"); found != request.headers.end()) {
        const auto n = static_cast<std::uint64_t>(contentLength(found->second));
        if (n > maximumSize - bodyStart) fail(Kind::malformed);
        length = static_cast<std::size_t>(n);
    }
    if (data.size() < bodyStart + length) return std::nullopt;
    request.body = data.substr(bodyStart, length);
    return request;
}

} // namespace tavelin
