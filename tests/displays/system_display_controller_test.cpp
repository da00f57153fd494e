#include "displays/system_display_controller.hpp"
#include "tests/support/fake_desk.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace tavelin {
namespace {

using testing::FakeDesk;

using namespace std::chrono_literals;

struct SystemDisplays : ::testing::Test {
    asio::io_context engine;
    FakeDesk desk;
    std::shared_ptr<SystemDisplayController> controller = SystemDisplayController::create(
        engine.get_executor(), {desk, desk, desk, desk}, {.countdownTick = 1ms, .brightnessDebounce = 1ms});

    void drain() { engine.run(); engine.restart(); }
};

TEST_F(SystemDisplays, SnapshotNamesSortsAndDeduplicatesModes) {
    controller->refresh();
    const auto& list = controller->displays();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "Built-in Panel");
    EXPECT_TRUE(list[0].main && list[0].builtIn);
    EXPECT_EQ(list[1].name, "Display 5") << "a display the server gives no name";
    // Listed once although offered twice; an unreported rate first, HiDPI before its plain
    // twin, too small for a desktop left out.
    std::vector<std::string> labels;
    for (const auto& m : list[0].modes) labels.push_back(m.label());
    EXPECT_EQ(labels, (std::vector<std::string>{"640 × 480 · 59.94 Hz", "1280 × 720 · 30 Hz · HiDPI",
                                                "1280 × 720 · Refresh rate not reported", "1280 × 720 · 60 Hz",
                                                "1920 × 1080 · 60 Hz"}));
    EXPECT_EQ(list[0].modes[1].id(), "5-1280-720-2560-1440-30.0");
    EXPECT_EQ(list[0].modes[0].id(), "6-640-480-640-480-59.94");
    EXPECT_EQ(list[0].brightness, 0.5);
    EXPECT_FALSE(list[1].brightness);
    EXPECT_TRUE(list[0].colorProfileSupported);
    EXPECT_FALSE(list[1].colorProfileSupported);
    EXPECT_EQ(controller->brightnessLevels(), (std::map<DisplayID, double>{{7, 0.5}}));

    desk.listable = false;
    controller->refresh();
    EXPECT_EQ(controller->error(), "The display server could not list the connected displays.");
    EXPECT_EQ(controller->displays().size(), 2u) << "the last snapshot stays";
}

TEST_F(SystemDisplays, ChangedModeRevertsByItselfUnlessKept) {
    const std::string small = "2-1280-720-1280-720-60.0";
    controller->previewMode(7, "3-1920-1080-1920-1080-60.0");
    EXPECT_FALSE(controller->pending()) << "the current mode changes nothing";
    EXPECT_EQ(desk.modeChanges, 0);

    controller->previewMode(7, small);
    EXPECT_EQ(controller->pendingDisplayName(), "Built-in Panel");
    EXPECT_EQ(controller->secondsRemaining(), 15);
    EXPECT_EQ(desk.live[7].pixelWidth, 1280);
    controller->previewMode(5, "8-1024-768-1024-768-75.0");
    EXPECT_EQ(controller->error(), "Keep or revert the current mode change first.");
    std::vector<int> seen;
    controller->subscribe([&](SystemDisplayField f) {
        if (f == SystemDisplayField::secondsRemaining) seen.push_back(controller->secondsRemaining());
    });
    drain();
    EXPECT_EQ(seen.front(), 14);
    EXPECT_EQ(seen.back(), 0);
    EXPECT_EQ(desk.live[7].pixelWidth, 1920) << "reverted after the countdown";
    EXPECT_FALSE(controller->pendingDisplayName());

    controller->previewMode(7, small);
    while (controller->secondsRemaining() > 7) engine.run_one();
    controller->keepMode();
    drain();
    EXPECT_EQ(desk.live[7].pixelWidth, 1280) << "kept at 7 s";
    EXPECT_FALSE(controller->pending());

    controller->previewMode(7, "no-such-mode");
    EXPECT_EQ(controller->error(), "This display mode is no longer available. Refresh the display list.");
    desk.setResult = DisplayError::failure;
    controller->previewMode(7, "3-1920-1080-1920-1080-60.0");
    EXPECT_EQ(controller->error(), "The display server could not apply this mode (1000).");
    EXPECT_FALSE(controller->pending());
}

TEST_F(SystemDisplays, AFailedRevertCanBeRepeatedAndAnUnpluggedDisplayIsDropped) {
    controller->previewMode(7, "2-1280-720-1280-720-60.0");
    desk.setResult = DisplayError::failure;
    controller->revertMode();
    EXPECT_EQ(controller->error(), "The display server could not restore the previous display mode (1000). Try "
                                   "Revert again or open Displays settings.");
    ASSERT_TRUE(controller->pending()) << "Revert can be pressed again";
    drain();
    EXPECT_TRUE(controller->pending()) << "the countdown stopped with the failed restore";

    // Another monitor under the same id is the X11 tests' case (identities from the EDID).
    desk.setResult = DisplayError::none;
    controller->revertMode();
    EXPECT_FALSE(controller->pending());

    // Unplugged during the countdown: dropped silently.
    controller->previewMode(7, "3-1920-1080-1920-1080-60.0");
    desk.live.erase(7);
    drain();
    EXPECT_FALSE(controller->pending());
}

TEST_F(SystemDisplays, BrightnessIsDebouncedAndDroppedWithItsDisplay) {
    controller->refresh();
    for (double level : {0.2, 1.2, 0.3, std::nan(""), 0.4}) controller->setBrightness(7, level);
    controller->setBrightness(5, 0.4); // no brightness to set
    EXPECT_EQ(controller->brightnessLevels().at(7), 0.4);
    controller->refresh();
    EXPECT_EQ(controller->brightnessLevels().at(7), 0.4) << "a level being applied is not overwritten";
    drain();
    EXPECT_EQ(desk.levelsSet, std::vector<double>{0.4});

    controller->setBrightness(7, 1);
    desk.live.erase(7);
    controller->refresh();
    drain();
    EXPECT_EQ(desk.levelsSet, std::vector<double>{0.4}) << "the display went before its level was applied";
    EXPECT_FALSE(controller->brightnessLevels().contains(7));
}

TEST_F(SystemDisplays, ColourProfilesAreChosenFromTheListedOnes) {
    {
        const auto busy = asio::make_work_guard(engine); // until the listing thread posts
        controller->reloadColorProfiles();
        while (controller->colorProfiles().empty()) engine.run_one();
    }
    ASSERT_EQ(controller->colorProfiles().size(), 1u) << "a profile without a name is dropped";
    controller->refresh();

    controller->setColorProfile(5, std::nullopt);
    EXPECT_EQ(controller->error(), "Colour profile selection is unavailable for this display.");
    controller->setColorProfile(7, "/p/gone.icc");
    EXPECT_EQ(controller->error(), "This color profile is no longer available. Refresh the profile list.");
    controller->setColorProfile(7, "/p/sRGB.icc");
    controller->setColorProfile(7, std::nullopt);
    EXPECT_EQ(desk.assigned, (std::vector<std::optional<std::filesystem::path>>{"/p/sRGB.icc", std::nullopt}));
    EXPECT_FALSE(controller->error());
}

} // namespace
} // namespace tavelin
