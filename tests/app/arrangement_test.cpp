#include <cmath>
#include <limits>
#include <string>

#include "tests/support/model_fixture.hpp"

namespace tavelin {
namespace {

using Position = std::pair<double, double>;

// The main display (id 1) is 2560 × 1440 at (0, 0); the first saved display, once
// connected, is 1920 × 1080 and appears at (2560, 0).
class ArrangementTest : public support::ModelTest {
protected:
    DisplayID connect() {
        run(model->connectDisplay(first().id()));
        return model->displays().at(first().id())->displayID();
    }
    Position position(DisplayID display) { return {sim.display(display).bounds.x, sim.display(display).bounds.y}; }
    Position savedOrigin() const { return {first().originX.value_or(-1), first().originY.value_or(-1)}; }
};

TEST_F(ArrangementTest, PlaceDisplayBesideTheMainDisplay) {
    const DisplayID display = connect();
    struct Case { const char* direction; Position expected; };
    // "left" guards the exact, case-sensitive comparison: anything unknown means right.
    for (const auto& c : {Case{"Left", {-1920, 0}}, Case{"Above", {0, -1080}}, Case{"Below", {0, 1440}},
                          Case{"Right", {2560, 0}}, Case{"Left", {-1920, 0}}, Case{"left", {2560, 0}}}) {
        model->placeDisplay(c.direction);
        EXPECT_EQ(std::tuple(position(display), savedOrigin()), std::tuple(c.expected, c.expected)) << c.direction;
    }
}

TEST_F(ArrangementTest, TheNewMainDisplayCannotMirrorItself) {
    const DisplayID display = connect();
    sim.failActiveDisplays = true;
    model->makeMainDisplay();
    EXPECT_TRUE(sim.applied.empty());

    sim.failActiveDisplays = false;
    sim.display(display).bounds.y = 360;
    model->makeMainDisplay();
    ASSERT_EQ(sim.mainDisplayID, display);
    EXPECT_EQ(position(1), Position(-2560, -360)) << "the old main display keeps its place beside it";
    EXPECT_EQ(savedOrigin(), Position(0, 0));

    run(model->mirrorMainDisplay(true));
    EXPECT_EQ(model->error(), "Choose another main display in display settings before mirroring this display.");
    EXPECT_EQ(std::tuple(first().mirrorMain, sim.display(display).master), std::tuple(std::optional<bool>(), nullDisplay));
}

TEST_F(ArrangementTest, TransactionFailuresAreReported) {
    const DisplayID display = connect();
    struct Case { SimulatedPlatform::TransactionScript script; std::string error; int cancelled; };
    for (const auto& c : {
             Case{{.failBegin = true}, "The display server could not begin changing the display arrangement.", 0},
             Case{{.configureError = DisplayError::illegalArgument}, "The display server rejected this display change (1001).", 1},
             Case{{.completeError = DisplayError{7}},
                  "The display server could not apply this display change. Open display settings to adjust it.", 0},
         }) {
        SCOPED_TRACE(c.error);
        sim.transactions = c.script;
        sim.cancelledTransactions = 0;
        model->placeDisplay("Left");
        EXPECT_EQ(std::tuple(model->error(), sim.cancelledTransactions, sim.applied.size()),
                  std::tuple(c.error, c.cancelled, 0u));
        // The position is recorded even when the move failed.
        EXPECT_EQ(savedOrigin(), position(display));
    }
}

TEST_F(ArrangementTest, MirroringWaitsForTheStateAndKeepsTheOriginBeforeIt) {
    const DisplayID display = connect();
    model->placeDisplay("Left");
    sim.display(display).mirrorSettleQueries = 3;
    run(model->mirrorMainDisplay(true));
    EXPECT_EQ(std::tuple(first().mirrorMain, sim.display(display).master), std::tuple(true, 1u));
    EXPECT_EQ(sim.display(display).unsettledQueries, 0) << "stopped waiting before the state settled";

    // The saved choice decides even while the server does not report the mirroring.
    sim.display(display).master = nullDisplay;
    model->rememberArrangement();
    EXPECT_EQ(savedOrigin(), Position(-1920, 0));

    // Unmirrored, the server puts it at the right; the model moves it back to that origin.
    run(model->mirrorMainDisplay(false));
    EXPECT_EQ(std::tuple(first().mirrorMain, model->error()), std::tuple(false, std::nullopt));
    EXPECT_EQ(position(display), Position(-1920, 0));

    // A state that never settles is asked twenty times, then left.
    sim.display(display).mirrorSettleQueries = SimulatedPlatform::forever;
    run(model->mirrorMainDisplay(true));
    EXPECT_EQ(SimulatedPlatform::forever - sim.display(display).unsettledQueries, 20);
    EXPECT_FALSE(model->isBusy());
}

TEST_F(ArrangementTest, EnablingAppliesTheSavedPlacement) {
    model->displayProfiles.modify([](auto& profiles) { profiles[0].originY = 360; });
    EXPECT_EQ(position(connect()), Position(2560, 0)) << "an origin needs both coordinates";
    run(model->disableDisplay(first().id()));
    // Restored, as at start, from a full origin.
    model->displayProfiles.modify([](auto& profiles) {
        std::tie(profiles[0].originX, profiles[0].originY, profiles[0].enabled) = std::tuple(-1920, 360, true);
    });
    run(model->restoreDisplays());
    EXPECT_EQ(position(model->displays().at(first().id())->displayID()), Position(-1920, 360));
    run(model->disableDisplay(first().id()));

    model->displayProfiles.modify([](auto& profiles) { profiles[0].mirrorMain = true; });
    EXPECT_EQ(sim.display(connect()).master, 1u);
}

TEST_F(ArrangementTest, OriginsTruncateAndSaturateToThirtyTwoBits) {
    const DisplayID display = connect();
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    struct Case { double x; std::int32_t saved; };
    for (const auto& c : {Case{-1.9, -1}, Case{1e12, highest}, Case{-1e12, lowest}, Case{std::nan(""), 0},
                          Case{std::numeric_limits<double>::infinity(), highest}}) {
        sim.display(display).bounds.x = c.x;
        model->rememberArrangement();
        EXPECT_EQ(first().originX, c.saved) << c.x;
    }
}

} // namespace
} // namespace tavelin
