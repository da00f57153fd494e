#include <gtest/gtest.h>

#include <limits>

#include "core/decimal.hpp"

namespace tavelin {
namespace {

TEST(Decimal, Int64AsTyped) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max(), min = std::numeric_limits<std::int64_t>::min();
    const std::optional<std::int64_t> none;
    for (const auto& [text, expected] : std::initializer_list<std::pair<const char*, std::optional<std::int64_t>>>{
             {"1920", 1920}, {"+1920", 1920}, {"-5", -5}, {"-0", 0}, {"007", 7}, {"9223372036854775807", max},
             {"-9223372036854775808", min}, {"9223372036854775808", none}, {"-9223372036854775809", none},
             {"", none}, {"+", none}, {"-", none}, {" 1920", none}, {"1920 ", none}, {"+-1", none},
             {"1e3", none}, {"\xD9\xA5", none}}) {
        EXPECT_EQ(parseDecimalInt64(text), expected) << text;
    }
}

TEST(Decimal, Port) {
    const std::optional<std::uint16_t> none;
    for (const auto& [text, expected] : std::initializer_list<std::pair<const char*, std::optional<std::uint16_t>>>{
             {"8420", 8420}, {"+8420", 8420}, {"00080", 80}, {"0", 0}, {"65535", 65535}, {"65536", none},
             {"99999999999999999999", none}, {"-1", none}, {"", none}, {"+", none}}) {
        EXPECT_EQ(parsePort(text), expected) << text;
    }
}

} // namespace
} // namespace tavelin
