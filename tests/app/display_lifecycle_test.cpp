#include <cmath>
#include <string>

#include "tests/support/model_fixture.hpp"

namespace tavelin {
namespace {

constexpr const char* activationFailed =
    "The display server did not activate the requested display mode. Try connecting this display again.";

class DisplayLifecycleTest : public support::ModelTest {
protected:
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& p : model->displayProfiles()) result.push_back(p.name);
        return result;
    }
};

// error: null when the display goes live
struct ActivationCase {
    const char* name; SimulatedPlatform::NewDisplayScript script; std::int64_t refreshRate; bool hiDPI, enabledBefore;
    const char* error; int modeQueries;
};
void PrintTo(const ActivationCase& c, std::ostream* out) { *out << c.name; }

class ActivationTest : public DisplayLifecycleTest, public ::testing::WithParamInterface<ActivationCase> {};

TEST_P(ActivationTest, ConfirmsTheModeOrReleasesTheDisplay) {
    const auto& c = GetParam();
    sim.newDisplays = c.script;
    const UUID id = first().id();
    model->displayProfiles.modify([&](auto& profiles) {
        auto& p = profiles[0];
        std::tie(p.refreshRate, p.hiDPI, p.enabled) = std::tuple(c.refreshRate, c.hiDPI, c.enabledBefore);
    });
    run(model->connectDisplay(id));

    const bool live = c.error == nullptr;
    EXPECT_EQ(model->error(), live ? std::nullopt : std::optional<std::string>(c.error));
    EXPECT_EQ(std::tuple(model->activeDisplayIDs().contains(id), sim.displays.size(), sim.modeQueries),
              std::tuple(live, live ? 2u : 1u, c.modeQueries));
    // A failure leaves the user's wish alone.
    EXPECT_EQ(first().enabled, live || c.enabledBefore);
    EXPECT_TRUE(model->restoringDisplayIDs().empty());
}

const DisplayMode otherSize{7, 1280, 720, 1280, 720, 75};
const DisplayMode otherRate{8, 1920, 1080, 1920, 1080, 50};

INSTANTIATE_TEST_SUITE_P(DisplayActivation, ActivationTest, ::testing::Values(
    ActivationCase{"ModesOnTheFortiethQuery", {.hiddenModeQueries = 39}, 75, false, false, nullptr, 40},
    ActivationCase{"ModesTooLate", {.hiddenModeQueries = 40}, 75, false, true, activationFailed, 40},
    // A HiDPI display's full-size mode reports its points as half its pixels.
    ActivationCase{"HiDPIModeByItsHalvedPoints", {}, 75, true, false, nullptr, 1},
    ActivationCase{"NtscRateCountsAsSixty", {.modeRefreshRate = 59.94}, 60, false, false, nullptr, 1},
    // Exactly half a hertz off is too far; rounding the rate would accept it.
    ActivationCase{"RateOffByHalf", {.modeRefreshRate = 59.5}, 60, false, false, activationFailed, 40},
    ActivationCase{"SetModeRefused", {.setModeError = DisplayError{3}}, 75, false, false, activationFailed, 40},
    ActivationCase{"OtherSizeReported", {.reportedMode = otherSize}, 75, false, false, activationFailed, 40},
    ActivationCase{"OtherRateReported", {.reportedMode = otherRate}, 75, false, false, activationFailed, 40},
    ActivationCase{"Offline", {.online = false}, 75, false, false, activationFailed, 40},
    ActivationCase{"CreationFails", {.failure = "No free output."}, 75, false, false, "No free output.", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DisplayLifecycleTest, AddedDisplaysAreNamedByCount) {
    const std::string base = "Tavelin Virtual Display";
    run(model->addDisplay());
    run(model->addDisplay());
    EXPECT_EQ(names(), (std::vector<std::string>{base, base + " 2", base + " 3"}));
    EXPECT_EQ(model->selectedDisplayID(), model->displayProfiles().back().id());

    // The count decides, even when the name is taken.
    run(model->removeDisplay(model->displayProfiles()[1].id()));
    run(model->addDisplay());
    EXPECT_EQ(names(), (std::vector<std::string>{base, base + " 3", base + " 3"}));

    UUID last = first().id();
    while (!model->displayProfiles().empty()) run(model->removeDisplay(last = first().id()));
    EXPECT_NE(model->selectedDisplayID(), last);
    EXPECT_EQ(std::tuple(bool(model->selectedDisplay()), sim.releasedDisplays), std::tuple(false, 3));
    run(model->addDisplay());
    EXPECT_EQ(names(), std::vector<std::string>{base});
}

TEST_F(DisplayLifecycleTest, OnlyANewNameRecreatesALiveDisplay) {
    const UUID id = first().id();
    run(model->renameDisplay(id, "Desk"));
    EXPECT_TRUE(sim.created.empty());
    // That enabling a live display recreates nothing is the sharing test's (a second start).
    run(model->connectDisplay(id));
    run(model->renameDisplay(id, "  Desk\n"));
    ASSERT_EQ(sim.created.size(), 1u);
    EXPECT_EQ(sim.created[0].identifier, id.uuidString());

    run(model->renameDisplay(id, "Studio"));
    ASSERT_EQ(sim.created.size(), 2u);
    EXPECT_EQ(std::tuple(sim.created[1].name, model->activeDisplayIDs().contains(id)), std::tuple("Studio", true));

    // Which names are refused is the profile's own test (tests/core).
    run(model->renameDisplay(id, std::string(81, 'x')));
    EXPECT_EQ(std::tuple(model->error(), first().name),
              std::tuple("Use a display name between 1 and 80 characters.", "Studio"));
}

TEST_F(DisplayLifecycleTest, ApplyDisplayModeParsesTheForm) {
    model->displayProfiles.modify([](auto& profiles) { profiles[0].bitrateMbps = 50; });
    run(model->connectDisplay(first().id()));
    const std::string resolution = ConfigurationError::message(ConfigurationError::Kind::invalidResolution);
    const std::string bitrate = ConfigurationError::message(ConfigurationError::Kind::invalidBitrate);
    struct Case { std::string width; double bitrate; std::optional<std::string> error; };
    // Failures first: each must leave the profile and the live display as they are.
    for (const auto& c : {Case{" 1920", 35, resolution}, Case{"1920", std::nan(""), bitrate},
                          Case{"1920", 1e300, bitrate}, Case{"+2560", 35.9, std::nullopt}}) {
        SCOPED_TRACE(c.width);
        const auto before = first();
        model->width.set(c.width);
        model->bitrate.set(c.bitrate);
        run(model->applyDisplayMode());
        EXPECT_EQ(model->error(), c.error);
        if (c.error) { EXPECT_EQ(first(), before); }
        EXPECT_EQ(sim.created.size(), c.error ? 1u : 2u);
        model->setError(std::nullopt);
    }
    EXPECT_EQ(std::tuple(first().width, first().bitrateMbps, sim.created.back().width), std::tuple(2560, 35, 2560));
}

TEST_F(DisplayLifecycleTest, ArrangementCaptureWaitsForQuietAndIdle) {
    run(model->connectDisplay(first().id()));
    sim.display(sim.created[0].display).bounds.x = -1920;
    sim.boundsQueries = 0;
    model->isBusy.set(true);
    model->displayConfigurationChanged();
    drain();
    model->isBusy.set(false);
    EXPECT_EQ(sim.boundsQueries, 0);

    for (int change = 0; change < 5; ++change) {
        model->displayConfigurationChanged();
        ctx.poll(); // starts the delay that the next change cancels
    }
    drain();
    EXPECT_EQ(std::tuple(sim.boundsQueries, first().originX), std::tuple(1, -1920));

    // A second display whose activation outlasts the delay, enabled without isBusy.
    const auto second = UUID::random();
    model->displayProfiles.modify([&](auto& p) { p.emplace_back(second, "B", 1920, 1080, 75, 35, false, true); });
    sim.newDisplays.hiddenModeQueries = SimulatedPlatform::forever;
    model->spawn(model->enableDisplay(second));
    model->displayConfigurationChanged();
    drain();
    EXPECT_EQ(sim.boundsQueries, 1);
    model->displayConfigurationChanged();
    drain();
    EXPECT_EQ(sim.boundsQueries, 2);
}

} // namespace
} // namespace tavelin
