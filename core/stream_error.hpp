#pragma once

#include <stdexcept>
#include <string>

namespace tavelin {

// A failure of sharing that carries the one sentence shown to the user.
class StreamError : public std::runtime_error {
public:
    explicit StreamError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

} // namespace tavelin

namespace tavelin {

// The display server refused to let this process capture the screen.
class CaptureDeniedError : public StreamError {
public:
    CaptureDeniedError()
        : StreamError("The display server refused screen capture for Tavelin. Allow it to capture "
                      "this display, then start sharing again.") {}
};

} // namespace tavelin
