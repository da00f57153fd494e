#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavelin {

// A decimal integer as typed: an optional leading "+" or "-", then ASCII digits only,
// within the signed 64-bit range. No spaces anywhere.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

// A port number: ASCII digits with an optional leading "+", at most 65535.
std::optional<std::uint16_t> parsePort(std::string_view text);

} // namespace tavelin
