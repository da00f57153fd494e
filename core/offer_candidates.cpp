#include "core/offer_candidates.hpp"

#include <arpa/inet.h>

#include <array>

namespace tavelin {

namespace {

bool isIPAddress(std::string_view text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    const std::string address(text);
    std::array<unsigned char, sizeof(in6_addr)> bytes{};
    return inet_pton(AF_INET, address.c_str(), bytes.data()) == 1 ||
           inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1;
}

// a=candidate:<foundation> <component> <transport> <priority> <address> <port> typ <type> ...
bool namesItsAddress(std::string_view line) {
    constexpr std::string_view prefix = "a=candidate:";
    if (!line.starts_with(prefix)) return false;
    line.remove_prefix(prefix.size());
    for (int field = 0; field < 4; ++field) {
        const auto gap = line.find(' ');
        if (gap == std::string_view::npos) return false;
        line.remove_prefix(gap + 1);
        while (line.starts_with(' ')) line.remove_prefix(1);
    }
    const auto address = line.substr(0, line.find_first_of(" \r"));
    return !isIPAddress(address);
}

} // namespace

std::string withoutNamedCandidates(std::string_view offerSDP) {
    std::string kept;
    kept.reserve(offerSDP.size());
    while (!offerSDP.empty()) {
        const auto end = offerSDP.find('\n');
        const auto length = end == std::string_view::npos ? offerSDP.size() : end + 1;
        const auto line = offerSDP.substr(0, length);
        if (!namesItsAddress(line)) kept += line;
        offerSDP.remove_prefix(length);
    }
    return kept;
}

} // namespace tavelin
