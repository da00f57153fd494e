#include <gtest/gtest.h>

#include "core/display_configuration.hpp"

namespace tavelin {
namespace {

using Kind = ConfigurationError::Kind;

TEST(DisplayConfiguration, KeepsValidValuesOrReportsTheFirstBrokenRule) {
    struct Case {
        std::int64_t width, height, refreshRate, bitrateMbps;
        bool hiDPI;
        std::optional<Kind> expected;
    };
    const std::optional<Kind> ok, resolution = Kind::invalidResolution, rate = Kind::invalidRefreshRate,
                              bitrate = Kind::invalidBitrate, hiDPI = Kind::invalidHiDPI;
    for (const auto& c : std::initializer_list<Case>{
             {640, 480, 30, 5, false, ok}, {7680, 4320, 240, 150, false, ok}, {2732, 2048, 60, 35, true, ok},
             {1366, 768, 60, 35, false, ok}, {638, 480, 60, 35, false, resolution},
             {7682, 4320, 60, 35, false, resolution}, {640, 478, 60, 35, false, resolution},
             {640, 4322, 60, 35, false, resolution},
             // Odd sizes are a resolution problem even with HiDPI on; each rule is reported
             // before the later ones that also break.
             {1921, 1080, 29, 4, true, resolution}, {1920, 1081, 60, 35, true, resolution},
             {1920, 1080, 29, 4, false, rate}, {1920, 1080, 241, 151, false, rate}, {1920, 1080, 60, 4, false, bitrate},
             {1366, 768, 60, 151, true, bitrate}, {1366, 768, 60, 35, true, hiDPI}, {1920, 1082, 60, 35, true, hiDPI}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.refreshRate << " Hz " << c.bitrateMbps);
        EXPECT_EQ(DisplayConfiguration::check(c.width, c.height, c.refreshRate, c.bitrateMbps, c.hiDPI), c.expected);
        // The constructor refuses the same values, with the same kind.
        std::optional<Kind> thrown;
        try {
            static_cast<void>(DisplayConfiguration(c.width, c.height, c.refreshRate, c.bitrateMbps, c.hiDPI));
        } catch (const ConfigurationError& error) {
            thrown = error.kind();
        }
        EXPECT_EQ(thrown, c.expected);
    }
}

// The other sentences are checked word for word where the model reports them (tests/app).
TEST(ConfigurationError, TheHiDPISentence) {
    EXPECT_STREQ(ConfigurationError(Kind::invalidHiDPI).what(), "HiDPI needs dimensions divisible by four.");
}

TEST(DisplayConfiguration, FittedVideoSizeKeepsTheAspectOnEvenSides) {
    struct Case {
        std::int64_t width, height, sourceWidth, sourceHeight;
        VideoSize expected;
    };
    for (const auto& c : std::initializer_list<Case>{
             // A source without area keeps the configured size.
             {1920, 1080, 0, 1080, {1920, 1080}}, {1920, 1080, 1920, 0, {1920, 1080}}, {1920, 1080, -5, 1080, {1920, 1080}},
             {1920, 1080, 1280, 1024, {1350, 1080}}, {1920, 1080, 1, 1, {1080, 1080}},
             // A side that would shrink below two pixels stays at two.
             {1920, 1080, 100000, 1, {1920, 2}},
             // 1366 x 768 into 1280 x 720: 1280 x 719.65 rounds to the even 720.
             {1280, 720, 1366, 768, {1280, 720}},
             // Half of 1001 is 500.5: away from zero gives 1002, where half-to-even would give 1000.
             {1920, 1080, 1001, 1080, {1002, 1080}},
             // An odd scaled side rounds to the nearest even number: 960 * 333/1000 = 319.68 -> 320.
             {960, 640, 1000, 333, {960, 320}},
             // Huge sources must not overflow the arithmetic.
             {7680, 4320, INT64_MAX, INT64_MAX, {4320, 4320}}}) {
        const DisplayConfiguration mode(c.width, c.height, 60, 35, false);
        const auto fitted = mode.fittedVideoSize(c.sourceWidth, c.sourceHeight);
        EXPECT_EQ(fitted, c.expected) << c.sourceWidth << "x" << c.sourceHeight << " gave " << fitted.width << "x"
                                      << fitted.height;
    }
}

} // namespace
} // namespace tavelin
