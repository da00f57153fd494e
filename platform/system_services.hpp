#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavelin {

// Every service here is called on the engine and answers before it returns; none calls
// back.

// Whether this process may inject input and capture the screen.
class Permissions {
public:
    virtual ~Permissions() = default;
    // Input posting is possible (the XTEST extension on X11).
    virtual bool isInputTrusted() = 0;
    // Asks for input trust where the system can prompt; returns the result.
    virtual bool requestInputTrust() = 0;
    // Screen capture is possible.
    virtual bool canCaptureScreen() = 0;
};

class URLOpener {
public:
    virtual ~URLOpener() = default;
    // Returns whether the request was handed to the desktop.
    virtual bool open(const std::string& url) = 0;
};

// One address of a network interface, in the order the system lists them.
struct InterfaceAddress {
    std::string numericHost;   // dotted IPv4 text
    bool isIPv4 = false;
    bool isUp = false;
    bool isLoopback = false;
};

class NetworkInterfaces {
public:
    virtual ~NetworkInterfaces() = default;
    // Empty when the list cannot be read.
    virtual std::vector<InterfaceAddress> addresses() = 0;
};

class SecureRandom {
public:
    virtual ~SecureRandom() = default;
    // Fills the buffer from the system's cryptographically secure generator; false on
    // failure (the buffer's content is then meaningless).
    virtual bool fill(std::span<std::uint8_t> bytes) = 0;
};

} // namespace tavelin
