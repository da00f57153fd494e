#include <gtest/gtest.h>

#include <optional>

#include "core/display_configuration.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

using Kind = ConfigurationError::Kind;

struct ValidationCase {
    const char* what;
    std::int64_t width, height, refreshRate, bitrateMbps;
    bool hiDPI;
    std::optional<Kind> expected;
};

class DisplayConfigurationValidation : public testing::TestWithParam<ValidationCase> {};

TEST_P(DisplayConfigurationValidation, FirstBrokenRuleDecides) {
    const auto& c = GetParam();
    if (!c.expected) {
        const DisplayConfiguration configuration(c.width, c.height, c.refreshRate, c.bitrateMbps, c.hiDPI);
        EXPECT_EQ(configuration.width(), c.width);
        EXPECT_EQ(configuration.height(), c.height);
        EXPECT_EQ(configuration.refreshRate(), c.refreshRate);
        EXPECT_EQ(configuration.bitrateMbps(), c.bitrateMbps);
        EXPECT_EQ(configuration.hiDPI(), c.hiDPI);
        return;
    }
    try {
        DisplayConfiguration(c.width, c.height, c.refreshRate, c.bitrateMbps, c.hiDPI);
        FAIL() << "accepted";
    } catch (const ConfigurationError& error) {
        EXPECT_EQ(error.kind(), *c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, DisplayConfigurationValidation,
    testing::Values(
        ValidationCase{"smallest", 640, 480, 75, 35, false, std::nullopt},
        ValidationCase{"largest", 7680, 4320, 75, 35, false, std::nullopt},
        ValidationCase{"narrow", 638, 480, 75, 35, false, Kind::invalidResolution},
        ValidationCase{"wide", 7682, 4320, 75, 35, false, Kind::invalidResolution},
        ValidationCase{"short", 640, 478, 75, 35, false, Kind::invalidResolution},
        ValidationCase{"tall", 640, 4322, 75, 35, false, Kind::invalidResolution},
        ValidationCase{"negative", -1920, 1080, 75, 35, false, Kind::invalidResolution},
        // Odd sizes are a resolution problem even with HiDPI on.
        ValidationCase{"odd width", 1921, 1080, 75, 35, true, Kind::invalidResolution},
        ValidationCase{"odd height", 1920, 1081, 75, 35, true, Kind::invalidResolution},
        ValidationCase{"30 Hz", 1920, 1080, 30, 35, false, std::nullopt},
        ValidationCase{"240 Hz", 1920, 1080, 240, 35, false, std::nullopt},
        // The refresh rate is reported before a bitrate that is also out of range.
        ValidationCase{"29 Hz", 1920, 1080, 29, 4, false, Kind::invalidRefreshRate},
        ValidationCase{"241 Hz", 1920, 1080, 241, 151, false, Kind::invalidRefreshRate},
        ValidationCase{"5 Mbps", 1920, 1080, 60, 5, false, std::nullopt},
        ValidationCase{"150 Mbps", 1920, 1080, 60, 150, false, std::nullopt},
        ValidationCase{"4 Mbps", 1920, 1080, 60, 4, false, Kind::invalidBitrate},
        ValidationCase{"151 Mbps", 1920, 1080, 60, 151, true, Kind::invalidBitrate},
        ValidationCase{"1366x768 HiDPI", 1366, 768, 60, 35, true, Kind::invalidHiDPI},
        ValidationCase{"1366x768", 1366, 768, 60, 35, false, std::nullopt},
        ValidationCase{"1920x1080 HiDPI", 1920, 1080, 60, 35, true, std::nullopt},
        ValidationCase{"height not /4 HiDPI", 1920, 1082, 60, 35, true, Kind::invalidHiDPI}),
    support::CaseName());

TEST(ConfigurationError, MessagesAreTheUserFacingSentences) {
    EXPECT_EQ(ConfigurationError(Kind::invalidResolution).message(),
              "Use even dimensions between 640 \xC3\x97 480 and 7680 \xC3\x97 4320.");
    EXPECT_STREQ(ConfigurationError(Kind::invalidRefreshRate).what(),
                 "Choose a refresh rate between 30 and 240 Hz.");
    EXPECT_EQ(ConfigurationError(Kind::invalidBitrate).message(), "Choose a bitrate between 5 and 150 Mbps.");
    EXPECT_EQ(ConfigurationError(Kind::invalidHiDPI).message(), "HiDPI needs dimensions divisible by four.");
    EXPECT_EQ(ConfigurationError(Kind::invalidBitrate), ConfigurationError(Kind::invalidBitrate));
    EXPECT_NE(ConfigurationError(Kind::invalidBitrate), ConfigurationError(Kind::invalidHiDPI));
}

struct FitCase {
    std::int64_t width, height, sourceWidth, sourceHeight;
    VideoSize expected;
};

class FittedVideoSize : public testing::TestWithParam<FitCase> {};

TEST_P(FittedVideoSize, KeepsAspectOnEvenSides) {
    const auto& c = GetParam();
    const DisplayConfiguration configuration(c.width, c.height, 60, 35, false);
    EXPECT_EQ(configuration.fittedVideoSize(c.sourceWidth, c.sourceHeight), c.expected)
        << c.sourceWidth << "x" << c.sourceHeight;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FittedVideoSize,
    testing::Values(
        // A source without area keeps the configured size.
        FitCase{1920, 1080, 0, 1080, {1920, 1080}}, FitCase{1920, 1080, 1920, 0, {1920, 1080}},
        FitCase{1920, 1080, -5, -5, {1920, 1080}},
        FitCase{1920, 1080, 3840, 2160, {1920, 1080}}, FitCase{1920, 1080, 1280, 1024, {1350, 1080}},
        FitCase{1920, 1080, 1, 1, {1080, 1080}},
        // A side that would shrink below two pixels stays at two.
        FitCase{1920, 1080, 100000, 1, {1920, 2}},
        // 1366 x 768 into 1280 x 720: 1280 x 719.65 rounds to the even 720.
        FitCase{1280, 720, 1366, 768, {1280, 720}},
        // Half of 1001 is 500.5: away from zero gives 1002, where half-to-even would give 1000.
        FitCase{1920, 1080, 1001, 1080, {1002, 1080}},
        // An odd scaled side rounds to the nearest even number: 960 * 333/1000 = 319.68 -> 320.
        FitCase{960, 640, 1000, 333, {960, 320}},
        // Huge sources must not overflow the arithmetic.
        FitCase{7680, 4320, INT64_MAX, INT64_MAX, {4320, 4320}}));

} // namespace
} // namespace tavelin
