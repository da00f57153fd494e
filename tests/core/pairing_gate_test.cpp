#include <gtest/gtest.h>

#include <tuple>

#include "core/pairing_gate.hpp"

namespace tavelin {
namespace {

using Result = PairingGate::Result;

TEST(PairingGate, FiveFailuresLockForAMinuteFromTheOldest) {
    PairingGate gate;
    const auto check = [&](const char* code, double now) { return gate.check(code, "1234", now); };
    for (const double moment : {0, 1, 2, 3}) EXPECT_EQ(check("0000", moment), Result::incorrect);
    EXPECT_EQ(check("1234", 4), Result::accepted); // a success clears nothing
    EXPECT_EQ(check("0000", 5), Result::incorrect);
    // Locked, even for the right code. The refused attempt at 30 s is not recorded: had it
    // been, 60 s would still be locked.
    EXPECT_EQ(check("9999", 30), Result::rateLimited);
    EXPECT_EQ(check("1234", 59.999), Result::rateLimited);
    // At 60 s the failure from 0 s is forgotten; four remain.
    EXPECT_EQ(check("1234", 60.0), Result::accepted);
    EXPECT_EQ(gate.failures(), (std::vector<double>{1, 2, 3, 5}));
    // A fifth locks again until the failure from 1 s is a minute old.
    EXPECT_EQ(check("0000", 60.5), Result::incorrect);
    EXPECT_EQ(check("1234", 60.7), Result::rateLimited);
    EXPECT_EQ(check("1234", 61), Result::accepted);
}

TEST(PairingGate, OnlyAnEqualCodeOfFourCharactersIsAccepted) {
    const auto e4 = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"; // four characters in eight bytes
    const auto e3 = "\xC3\xA9" "12";                      // three characters in four bytes
    for (const auto& [code, expected, result] : std::initializer_list<std::tuple<const char*, const char*, Result>>{
             {"1234", "1234", Result::accepted}, {e4, e4, Result::accepted}, {e3, e3, Result::incorrect},
             {"123", "123", Result::incorrect}, {"12345", "12345", Result::incorrect}, {"", "", Result::incorrect},
             {"234", "0234", Result::incorrect}, {"12345", "1234", Result::incorrect}}) {
        PairingGate gate;
        EXPECT_EQ(gate.check(code, expected, 100), result) << code << " vs " << expected;
        EXPECT_EQ(gate.failures().size(), result == Result::incorrect ? 1u : 0u);
    }
}

} // namespace
} // namespace tavelin
