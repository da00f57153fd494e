#include "displays/system_display_controller.hpp"
#include "tests/support/fake_desk.hpp"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "displays/edid.hpp"
#include "displays/virtual_display_descriptor.hpp"

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

    desk.setResult = DisplayError::none;
    controller->revertMode();
    EXPECT_FALSE(controller->pending());

    // Another monitor under the same id during the countdown keeps the mode it has.
    controller->previewMode(7, "2-1280-720-1280-720-60.0");
    desk.identities[7] = {9, 9, 9};
    drain();
    EXPECT_FALSE(controller->pending());
    EXPECT_EQ(desk.live[7].pixelWidth, 1280);

    // Unplugged during the countdown: dropped silently.
    controller->previewMode(7, "3-1920-1080-1920-1080-60.0");
    desk.live.erase(7);
    drain();
    EXPECT_FALSE(controller->pending());
    EXPECT_FALSE(desk.live.contains(7)) << "no mode set on a display that is gone";
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

using namespace displays;

TEST(VirtualDisplayDescriptor, IdentityComesFromTheIdentifierAlone) {
    constexpr std::uint32_t basis = 0x811C9DC5u, prime = 16777619u;
    // "é" is one UTF-16 unit 0x00E9, not its two UTF-8 bytes; U+1F600 the pair D83D DE00.
    EXPECT_EQ(identifierHash("\xC3\xA9"), (basis ^ 0xE9u) * prime);
    EXPECT_EQ(identifierHash("\xF0\x9F\x98\x80"), ((basis ^ 0xD83Du) * prime ^ 0xDE00u) * prime);
    const auto a = VirtualDisplayDescriptor::describe(1920, 1080, 60, false, "One", "");
    const auto b = VirtualDisplayDescriptor::describe(1280, 720, 30, true, "Other", "");
    EXPECT_EQ(std::pair(a.productID, a.serialNumber), std::pair(std::uint16_t{0x9DC5}, basis));
    EXPECT_EQ(std::pair(b.productID, b.serialNumber), std::pair(a.productID, a.serialNumber));
}

std::string hex(const EDID& e) {
    std::string text;
    for (const auto byte : e) text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text;
}

// The 13 bytes of the monitor name descriptor, wherever the block put it.
std::string nameIn(const EDID& e) {
    for (std::size_t slot = 54; slot < 126; slot += 18)
        if (e[slot] == 0 && e[slot + 1] == 0 && e[slot + 3] == 0xFC) return {&e[slot + 5], &e[slot + 18]};
    return "no name";
}

TEST(EDID, CarriesTheDescriptor) {
    const ModeTiming cvt1280{.dotClockHz = 74500000, .hDisplay = 1280, .hSyncStart = 1344, .hSyncEnd = 1472,
                             .hTotal = 1664, .vDisplay = 720, .vSyncStart = 723, .vSyncEnd = 728, .vTotal = 748,
                             .vSyncPositive = true};
    const auto e = makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, "Desk", "abc"), cvt1280);
    EXPECT_EQ(hex(e),
              "00FFFFFFFFFFFF00" "6B2E" "0BE9" "0BE9471A" // "ZYN", product 0xE90B, serial 0x1A47E90B
              "0022" "0103" "80" "1E11" "7806" // week 0 of 2024, EDID 1.3, digital, 30 x 17 cm (295.6 x 166.3 mm)
              "EE91A3544C99260F5054"           // round(x * 1024) of the sRGB primaries and D65
              "000000" "01010101010101010101010101010101" // no established or standard timings
              // 74.5 MHz, 1280 + 384 by 720 + 28, syncs 64/128 and 3/5; digital separate, vsync +, hsync -
              "1A1D" "008051" "D01C20" "40803500" "28A610" "0000" "1C"
              "000000FC00" "4465736B0A2020202020202020" // "Desk\n", padded with spaces
              "000000FD00013D012E09000A202020202020"    // range limits
              "00000010" "0000000000000000000000000000" "00B0"); // dummy descriptor, no extension, checksum
}

TEST(EDID, NameAndOversizedModes) {
    // A 13-byte name leaves no room for the newline; "é" at byte 12–13 must not be cut.
    for (const auto& [name, stored] : {std::pair{"Thirteen char", "Thirteen char"},
                                       {"Twelve chars\xC3\xA9", "Twelve chars\n"},
                                       {"Tab\there", "Tab here\n    "}, {"", "\n            "}})
        EXPECT_EQ(nameIn(makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, name, "id"), {})), stored)
            << name;
    // 5120 pixels do not fit a detailed timing; the rest of the block still does.
    const ModeTiming wide{.dotClockHz = 938250000, .hDisplay = 5120, .hSyncStart = 5560, .hSyncEnd = 6128,
                          .hTotal = 7136, .vDisplay = 2880, .vSyncStart = 2883, .vSyncEnd = 2888, .vTotal = 2926};
    const auto e = makeEDID(VirtualDisplayDescriptor::describe(5120, 2880, 60, true, "Wide", "id"), wide);
    EXPECT_EQ(e[54] | e[55], 0) << "no pixel clock: the first descriptor is no timing";
    EXPECT_EQ(nameIn(e), "Wide\n        ");
    EXPECT_EQ(e[21], 59);
}

TEST(EDID, ReadsBackWhoTheMonitorIs) {
    const auto made = makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, "Desk", "abc"), {});
    const auto read = readEDID(made);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, (EDIDIdentity{"Desk", "ZYN", 0x6B2E, 0xE90B, 0x1A47E90B}));
    EXPECT_FALSE(readEDID(std::span(made).first(127))) << "short";
    auto broken = made;
    broken[0] = 1;
    EXPECT_FALSE(readEDID(broken)) << "no fixed header";
}

} // namespace
} // namespace tavelin
