#include <gtest/gtest.h>

#include "core/cursor_policy.hpp"

namespace tavelin {
namespace {

TEST(CursorPolicy, RemoteInputHidesThePointerUntilUnmarkedLocalInput) {
    CursorPolicy wanted(true), unwanted(false);
    for (auto* policy : {&wanted, &unwanted}) {
        policy->remoteInput();
        // Our own injected event seen again by a monitor is not local input.
        policy->localInput(CursorPolicy::remoteEventMarker);
        EXPECT_FALSE(policy->showsCapturedCursor());
        policy->localInput(0);
    }
    EXPECT_TRUE(wanted.showsCapturedCursor());
    EXPECT_FALSE(unwanted.showsCapturedCursor());
}

} // namespace
} // namespace tavelin
