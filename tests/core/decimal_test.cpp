#include <gtest/gtest.h>

#include <limits>

#include "core/decimal.hpp"

namespace tavelin {
namespace {

TEST(Decimal, Int64AsTyped) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> expected;
    };
    for (const auto& c : {Case{"1920", 1920}, Case{"+1920", 1920}, Case{"-5", -5}, Case{"-0", 0}, Case{"007", 7},
                          Case{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                          Case{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
                          Case{"9223372036854775808", std::nullopt}, Case{"-9223372036854775809", std::nullopt},
                          Case{"", std::nullopt}, Case{"+", std::nullopt}, Case{"-", std::nullopt},
                          Case{" 1920", std::nullopt}, Case{"1920 ", std::nullopt}, Case{"19 20", std::nullopt},
                          Case{"+-1", std::nullopt}, Case{"1e3", std::nullopt}, Case{"\xD9\xA5", std::nullopt}}) {
        EXPECT_EQ(parseDecimalInt64(c.text), c.expected) << c.text;
    }
}

TEST(Decimal, Port) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> expected;
    };
    for (const auto& c : {Case{"8420", 8420}, Case{"+8420", 8420}, Case{"65535", 65535}, Case{"65536", std::nullopt},
                          Case{"70000", std::nullopt}, Case{"0", 0}, Case{"-1", std::nullopt}, Case{"", std::nullopt},
                          Case{"+", std::nullopt}, Case{"00080", 80}, Case{"99999999999999999999", std::nullopt}}) {
        EXPECT_EQ(parsePort(c.text), c.expected) << c.text;
    }
}

} // namespace
} // namespace tavelin
