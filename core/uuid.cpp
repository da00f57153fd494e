#include "core/uuid.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <sys/random.h>

namespace tavelin {

namespace {

constexpr char upperHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

} // namespace

UUID UUID::random() {
    Bytes bytes;
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    return version4(bytes);
}

UUID UUID::version4(Bytes randomBytes) {
    randomBytes[6] = static_cast<std::uint8_t>((randomBytes[6] & 0x0F) | 0x40);
    randomBytes[8] = static_cast<std::uint8_t>((randomBytes[8] & 0x3F) | 0x80);
    return UUID(randomBytes);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int value = hexValue(text[i]);
        if (value < 0) return std::nullopt;
        bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (value << (nibble % 2 ? 0 : 4)));
        ++nibble;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(upperHex[bytes_[i] >> 4]);
        text.push_back(upperHex[bytes_[i] & 0x0F]);
    }
    return text;
}

} // namespace tavelin

std::size_t std::hash<tavelin::UUID>::operator()(const tavelin::UUID& uuid) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, uuid.bytes().data(), 8);
    std::memcpy(&low, uuid.bytes().data() + 8, 8);
    return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
