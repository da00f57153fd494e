#include <gtest/gtest.h>

#include "core/cursor_policy.hpp"

namespace tavelin {
namespace {

TEST(CursorPolicy, RemoteInputHidesPointerUntilUnmarkedLocalInput) {
    EXPECT_EQ(CursorPolicy::remoteEventMarker, 117846295272455);
    CursorPolicy policy(true);
    EXPECT_TRUE(policy.showsCapturedCursor());
    policy.remoteInput();
    EXPECT_FALSE(policy.showsCapturedCursor());
    // Our own injected event seen again by a monitor is not local input.
    policy.localInput(CursorPolicy::remoteEventMarker);
    EXPECT_TRUE(policy.windowsOwnsPointer);
    policy.localInput(0);
    EXPECT_TRUE(policy.showsCapturedCursor());
}

TEST(CursorPolicy, NeverShowsPointerTheUserTurnedOff) {
    CursorPolicy policy(false);
    for (const auto step : {0, 1, 0}) {
        step ? policy.remoteInput() : policy.localInput(0);
        EXPECT_FALSE(policy.showsCapturedCursor());
    }
}

} // namespace
} // namespace tavelin
