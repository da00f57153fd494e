#pragma once

#include "platform/system_services.hpp"

namespace tavelin {

// getifaddrs(3) with getnameinfo(3) in numeric form.
class PosixNetworkInterfaces final : public NetworkInterfaces {
public:
    std::vector<InterfaceAddress> addresses() override;
};

// getrandom(2).
class KernelSecureRandom final : public SecureRandom {
public:
    bool fill(std::span<std::uint8_t> bytes) override;
};

// Hands the URL to the desktop with xdg-open, without waiting for it.
class XdgURLOpener final : public URLOpener {
public:
    bool open(const std::string& url) override;
};

} // namespace tavelin
