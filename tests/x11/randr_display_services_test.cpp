#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "tests/displays/randr_observer.hpp"

namespace tavelin::x11 {
namespace {

constexpr auto ok = DisplayError::none;

class RandRDisplayServicesTest : public ::testing::Test, protected testing::RandRFixture {
protected:
    using Step = std::function<DisplayError(DisplayConfigurationTransaction&)>;
    // Stages the steps in order and completes; the first refusal cancels.
    DisplayError apply(std::initializer_list<Step> steps) {
        auto transaction = services.beginConfiguration();
        if (!transaction) return DisplayError::failure;
        for (const auto& step : steps) {
            if (const auto refused = step(*transaction); refused != DisplayError::none) {
                transaction->cancel();
                return refused;
            }
        }
        return transaction->complete();
    }
    std::pair<double, double> origin(DisplayID display) {
        const auto b = services.bounds(display);
        return {b.x, b.y};
    }
    using Origin = std::pair<double, double>;
    // A released display leaves the rest at the root origin with the primary lit.
    void TearDown() override {
        const auto dummy0 = server.lit().front();
        EXPECT_EQ(server.primary(), dummy0);
        EXPECT_EQ(server.rect(dummy0), (RootRect{0, 0, 1920, 1080}));
        EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 1920, 1080}));
    }
};

TEST_F(RandRDisplayServicesTest, TransactionsPlaceDisplaysInGlobalCoordinates) {
    const DisplayID main = services.mainDisplay();
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    const DisplayID virt = display->displayID();
    EXPECT_EQ(services.activeDisplays(), (std::vector<DisplayID>{main, virt}));

    struct Case {
        const char* what;
        std::int32_t x, y;
        RootRect mainOnRoot;
        RootRect framebuffer;
    };
    // Negative places move the root's content right or down: the primary stays at
    // global (0, 0) wherever it lands on the root.
    for (const auto& c : {Case{"left", -1280, 0, {1280, 0, 1920, 1080}, {0, 0, 3200, 1080}},
                          Case{"above", 0, -720, {0, 720, 1920, 1080}, {0, 0, 1920, 1800}},
                          Case{"below", 0, 1080, {0, 0, 1920, 1080}, {0, 0, 1920, 1800}},
                          Case{"right, lower", 1920, 100, {0, 0, 1920, 1080}, {0, 0, 3200, 1080}}}) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(apply({[&](auto& t) { return t.configureOrigin(virt, c.x, c.y); }}), ok);
        EXPECT_EQ(origin(virt), Origin(c.x, c.y));
        EXPECT_EQ(origin(main), Origin(0, 0));
        EXPECT_EQ(server.rect(main), c.mainOnRoot);
        EXPECT_EQ(server.framebuffer(), c.framebuffer);
        EXPECT_EQ(services.mainDisplay(), main);
    }

    // Moving everything by the virtual display's origin makes it the primary.
    ASSERT_EQ(apply({[&](auto& t) { return t.configureOrigin(main, -1920, -100); },
                     [&](auto& t) { return t.configureOrigin(virt, 0, 0); }}),
              ok);
    EXPECT_EQ(services.mainDisplay(), virt);
    EXPECT_EQ(server.primary(), virt);
    EXPECT_EQ(origin(main), Origin(-1920, -100));

    // A display put alone on the main display's origin (a restored "main" display)
    // becomes main and pushes the old one aside instead of covering it.
    ASSERT_EQ(apply({[&](auto& t) { return t.configureOrigin(main, 0, 0); }}), ok);
    EXPECT_EQ(services.mainDisplay(), main);
    EXPECT_EQ(origin(virt), Origin(1920, 0));
    ASSERT_EQ(apply({[&](auto& t) { return t.configureOrigin(virt, 0, 0); }}), ok);
    EXPECT_EQ(services.mainDisplay(), virt);
    EXPECT_EQ(origin(main), Origin(1280, 0));
    EXPECT_EQ(services.mirrorsDisplay(main), nullDisplay);

    EXPECT_EQ(apply({[&](auto& t) { return t.configureOrigin(12345, 0, 0); }}), DisplayError::illegalArgument);
    EXPECT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, virt); }}), DisplayError::illegalArgument);
    // Released while main and left of the other display: the release settles.
}

TEST_F(RandRDisplayServicesTest, MirroringSharesTheMastersOrigin) {
    const DisplayID main = services.mainDisplay();
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    const DisplayID virt = display->displayID();
    EXPECT_EQ(services.mirrorsDisplay(virt), nullDisplay);

    ASSERT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, main); }}), ok);
    EXPECT_EQ(services.mirrorsDisplay(virt), main);
    EXPECT_EQ(services.mirrorsDisplay(main), nullDisplay);
    EXPECT_EQ(origin(virt), Origin(0, 0));
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 1920, 1080}));

    // Ending the mirror alone puts it beside the others; with an origin, there.
    ASSERT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, nullDisplay); }}), ok);
    EXPECT_EQ(services.mirrorsDisplay(virt), nullDisplay);
    EXPECT_EQ(origin(virt), Origin(1920, 0));
    ASSERT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, main); }}), ok);
    ASSERT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, nullDisplay); },
                     [&](auto& t) { return t.configureOrigin(virt, -1280, 300); }}),
              ok);
    EXPECT_EQ(origin(virt), Origin(-1280, 300));

    auto transaction = services.beginConfiguration();
    ASSERT_EQ(transaction->configureMirror(virt, main), ok);
    transaction->cancel();
    EXPECT_EQ(origin(virt), Origin(-1280, 300));

    // Ending a mirror that does not exist leaves the display where it is.
    ASSERT_EQ(apply({[&](auto& t) { return t.configureMirror(virt, nullDisplay); }}), ok);
    EXPECT_EQ(origin(virt), Origin(-1280, 300));
    // A dark display mirrors nothing.
    EXPECT_EQ(services.mirrorsDisplay(12345), nullDisplay);
}

TEST_F(RandRDisplayServicesTest, SetModeSwitchesTheCrtcAndResizesTheFramebuffer) {
    auto display = factory.create(2560, 1440, 60, true, "Sharp", "hidpi");
    const DisplayID virt = display->displayID();
    const auto modes = services.modes(virt);
    const auto half = std::ranges::find_if(modes, [](const DisplayMode& m) {
        return m.pixelWidth == 1280 && m.pixelHeight == 720 && std::abs(m.refreshRate - 60) < 0.5;
    });
    ASSERT_NE(half, modes.end());
    EXPECT_EQ(services.setMode(virt, *half), ok);
    EXPECT_EQ(services.currentMode(virt), *half);
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3200, 1080}));

    DisplayMode unknown = *half;
    unknown.id = 0x7FFFFFF;
    EXPECT_EQ(services.setMode(virt, unknown), DisplayError::illegalArgument);
}

TEST_F(RandRDisplayServicesTest, ChangesAreReportedOnTheEngine) {
    int changes = 0;
    services.onConfigurationChanged([&] { ++changes; });
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    // Bounded: the events are on their way once create() returned.
    for (int turn = 0; turn < 50 && changes == 0; ++turn) engine.run_one_for(std::chrono::milliseconds(100));
    EXPECT_GT(changes, 0);
}

} // namespace
} // namespace tavelin::x11
