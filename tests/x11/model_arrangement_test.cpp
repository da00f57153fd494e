// The application model arranging displays on a real display server: the RandR services
// and factory under it, the simulated platform for everything else.

#include <gtest/gtest.h>

#include "app/model.hpp"
#include "core/settings_store.hpp"
#include "tests/displays/randr_observer.hpp"
#include "tests/support/engine_runner.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using Position = std::pair<double, double>;

class ModelArrangementTest : public ::testing::Test, protected x11::testing::RandRFixture {
protected:
    void SetUp() override {
        model = make();
        // HiDPI also checks that the model finds the full-size mode by its halved points.
        model->displayProfiles.modify([](auto& profiles) {
            profiles[0].width = 2560;
            profiles[0].height = 1440;
            profiles[0].refreshRate = 60;
            profiles[0].hiDPI = true;
        });
    }
    // Releasing the displays leaves the server as the test found it, even after the
    // virtual display was made main.
    void TearDown() override {
        model.reset();
        EXPECT_EQ(server.primary(), dummy0);
        EXPECT_EQ(server.rect(dummy0), (x11::RootRect{0, 0, 1920, 1080}));
        EXPECT_EQ(server.framebuffer(), (x11::RootRect{0, 0, 1920, 1080}));
    }

    std::shared_ptr<AppModel> make() {
        return AppModel::create(sim.modelDependencies(engine.get_executor(), store, services, factory));
    }
    void run(Task<> operation) { support::runToEnd(engine, *model, std::move(operation)); }
    const DisplayProfile& first() const { return model->displayProfiles().front(); }
    Position position(DisplayID display) { return {services.bounds(display).x, services.bounds(display).y}; }
    Position savedOrigin() const { return {first().originX.value_or(-1), first().originY.value_or(-1)}; }

    SimulatedPlatform sim;
    MemorySettingsStore store;
    std::shared_ptr<AppModel> model;
    const DisplayID dummy0 = services.mainDisplay();
};

// The directions and failures of each step are the app tests' (simulated platform) and
// the services tests' (transactions); here the model's transactions meet the real server.
TEST_F(ModelArrangementTest, PlacesMirrorsRestoresAndMakesMain) {
    run(model->connectDisplay(first().id()));
    ASSERT_FALSE(model->error()) << *model->error();
    const DisplayID display = model->displays().at(first().id())->displayID();
    EXPECT_EQ(services.currentMode(display)->pixelWidth, 2560);
    EXPECT_EQ(position(display), Position(1920, 0));
    model->placeDisplay("Above");
    EXPECT_EQ(position(display), Position(0, -1440));
    EXPECT_EQ(savedOrigin(), Position(0, -1440));

    run(model->mirrorMainDisplay(true));
    EXPECT_FALSE(model->error());
    EXPECT_EQ(services.mirrorsDisplay(display), dummy0);
    EXPECT_EQ(position(display), Position(0, 0));
    model->rememberArrangement();
    EXPECT_EQ(savedOrigin(), Position(0, -1440));
    run(model->mirrorMainDisplay(false));
    EXPECT_EQ(services.mirrorsDisplay(display), nullDisplay);
    EXPECT_EQ(position(display), Position(0, -1440));

    model.reset();
    EXPECT_EQ(server.lit(), std::vector<xcb_randr_output_t>{dummy0});
    model = make();
    run(model->restoreDisplays());
    EXPECT_FALSE(model->error());
    ASSERT_TRUE(model->displays().contains(first().id()));
    const DisplayID restored = model->displays().at(first().id())->displayID();
    EXPECT_EQ(position(restored), Position(0, -1440));

    model->makeMainDisplay();
    EXPECT_EQ(server.primary(), restored);
    EXPECT_EQ(position(restored), Position(0, 0));
    EXPECT_EQ(position(dummy0), Position(0, 1440));
    EXPECT_EQ(savedOrigin(), Position(0, 0));
}

} // namespace
} // namespace tavelin
