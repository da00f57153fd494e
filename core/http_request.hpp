#pragma once

#include <cstddef>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// One HTTP/1.1 request as the receiver page and the signalling API send it: a request
// line, unique headers, and an optional body sized by Content-Length. Anything else
// (other versions, chunked bodies, no Host, duplicate headers, oversized input) is
// refused.
struct HTTPRequest {
    // The largest buffer, and the largest header block plus body, that is accepted.
    static constexpr std::size_t maximumSize = 1'048'576;

    class ParseError : public std::exception {
    public:
        enum class Kind { malformed, tooLarge };
        explicit ParseError(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        const char* what() const noexcept override;
        friend bool operator==(const ParseError& a, const ParseError& b) { return a.kind_ == b.kind_; }

    private:
        Kind kind_;
    };

    std::string method;                         // as sent, case kept
    std::string path;                           // the request target, query included
    std::map<std::string, std::string> headers; // lower-case name -> trimmed value
    std::string body;                           // exactly Content-Length bytes

    // Parses everything received on one connection so far, from its first byte.
    // Returns the request once it is complete, nothing while more bytes are needed,
    // and throws ParseError when the bytes can never become an acceptable request.
    // Keeps no state: call it again with the grown buffer after every chunk.
    static std::optional<HTTPRequest> parse(std::string_view data);

    friend bool operator==(const HTTPRequest&, const HTTPRequest&) = default;
};

} // namespace tavelin
