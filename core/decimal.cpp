#include "core/decimal.hpp"

#include <limits>

namespace tavelin {

namespace {

// Digits only, accumulated as a magnitude no larger than `limit`.
std::optional<std::uint64_t> magnitude(std::string_view digits, std::uint64_t limit) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    constexpr auto maximum = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const auto value = magnitude(text, negative ? maximum + 1 : maximum);
    if (!value) return std::nullopt;
    if (negative) return *value == maximum + 1 ? std::numeric_limits<std::int64_t>::min()
                                               : -static_cast<std::int64_t>(*value);
    return static_cast<std::int64_t>(*value);
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    const auto value = magnitude(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

} // namespace tavelin
