#include <gtest/gtest.h>

#include "core/pairing_gate.hpp"

namespace tavelin {
namespace {

using Result = PairingGate::Result;

PairingGate gateWithFailuresAt(std::initializer_list<double> moments) {
    PairingGate gate;
    for (const double moment : moments) EXPECT_EQ(gate.check("0000", "1234", moment), Result::incorrect);
    return gate;
}

TEST(PairingGate, FiveFailuresLockForAMinuteFromTheOldest) {
    auto gate = gateWithFailuresAt({0, 1, 2, 3, 4});
    EXPECT_EQ(gate.check("1234", "1234", 10), Result::rateLimited);
    EXPECT_EQ(gate.check("1234", "1234", 59.999), Result::rateLimited);
    // At 60 s the failure from 0 s is forgotten; four remain.
    EXPECT_EQ(gate.check("1234", "1234", 60.0), Result::accepted);
    EXPECT_EQ(gate.failures(), (std::vector<double>{1, 2, 3, 4}));
}

TEST(PairingGate, AttemptsWhileLockedAreNotRecorded) {
    auto gate = gateWithFailuresAt({0, 1, 2, 3, 4});
    EXPECT_EQ(gate.check("9999", "1234", 30), Result::rateLimited);
    EXPECT_EQ(gate.failures().size(), 5u);
    // Had the refused attempt at 30 s counted, 60.5 s would still be locked.
    EXPECT_EQ(gate.check("9999", "1234", 60.5), Result::incorrect);
    EXPECT_EQ(gate.check("1234", "1234", 60.7), Result::rateLimited);
    EXPECT_EQ(gate.check("1234", "1234", 61), Result::accepted);
}

TEST(PairingGate, SuccessDoesNotClearFailures) {
    auto gate = gateWithFailuresAt({0, 1, 2, 3});
    EXPECT_EQ(gate.check("1234", "1234", 5), Result::accepted);
    EXPECT_EQ(gate.check("0000", "1234", 6), Result::incorrect);
    EXPECT_EQ(gate.check("1234", "1234", 7), Result::rateLimited);
}

TEST(PairingGate, WrongShapesAreIncorrectAndCount) {
    struct Case {
        const char* code;
        const char* expected;
    };
    for (const auto& c : {Case{"", "1234"}, Case{"123", "1234"}, Case{"12345", "1234"},
                          Case{"234", "0234"},  // the leading zero matters
                          Case{"", ""}, Case{"1234", ""}, Case{"12 4", "1234"},
                          // Four characters, but not four bytes, never match a digit code.
                          Case{"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "1234"}}) {
        PairingGate gate;
        EXPECT_EQ(gate.check(c.code, c.expected, 100), Result::incorrect) << c.code << " vs " << c.expected;
        EXPECT_EQ(gate.failures().size(), 1u);
    }
}

TEST(PairingGate, LengthCountsCharactersNotBytes) {
    PairingGate gate;
    // Four characters in eight bytes match; four bytes that are three characters do not.
    EXPECT_EQ(gate.check("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 1), Result::accepted);
    EXPECT_EQ(gate.check("\xC3\xA9" "12", "\xC3\xA9" "12", 2), Result::incorrect);
}

TEST(PairingGate, NewGateForgetsOldLock) {
    auto gate = gateWithFailuresAt({0, 1, 2, 3, 4});
    EXPECT_EQ(gate.check("4321", "4321", 5), Result::rateLimited);
    gate = PairingGate();
    EXPECT_EQ(gate.check("1234", "4321", 5), Result::incorrect);
    EXPECT_EQ(gate.check("4321", "4321", 5), Result::accepted);
}

} // namespace
} // namespace tavelin
