#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tavelin {

// What the receiver last reported about the packets we sent it (an RTCP report block):
// packets lost in all, and the highest sequence number it saw, extended past wraps.
struct ReceptionReport {
    std::int64_t cumulativeLost = 0;
    std::int64_t extendedHighestSequence = 0;
    friend bool operator==(const ReceptionReport&, const ReceptionReport&) = default;
};

// The sending rate of one connection, between a floor and a ceiling, steered by the loss
// the receiver reports: heavy loss cuts the rate in proportion, hardly any loss lets it
// climb back a step a second, moderate loss holds it. The stack under us acts on no
// bandwidth feedback, so this is what keeps a congested link from freezing the picture.
class SendRateController {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr double heavyLoss = 0.10;
    static constexpr double slightLoss = 0.02;
    static constexpr double growth = 1.08;
    static constexpr std::chrono::milliseconds growthInterval{1000};

    // Starts at the ceiling: the rate the user chose for a local network.
    void setBounds(std::int64_t floorBps, std::int64_t ceilingBps);
    std::int64_t target() const { return target_; }
    std::int64_t floor() const { return floor_; }
    std::int64_t ceiling() const { return ceiling_; }

    // Feeds the latest report; a report seen before changes nothing. Returns the loss
    // fraction of the interval since the previous report, when there is a new one.
    std::optional<double> update(const ReceptionReport& report, Clock::time_point now);

private:
    std::int64_t floor_ = 0;
    std::int64_t ceiling_ = 0;
    std::int64_t target_ = 0;
    std::optional<ReceptionReport> previous_;
    std::optional<Clock::time_point> lastGrowth_;
};

// The frame rate to send at: holding the resolution, a starved connection sends fewer,
// sharper frames (down to a quarter of the maximum); otherwise every frame goes out.
std::int64_t framesForRate(std::int64_t maximumFramerate, std::int64_t targetBps, std::int64_t ceilingBps,
                           bool maintainResolution);

// What to ask of an encoder that budgets each frame as its bitrate over the nominal
// frame rate (x264 with zero latency ignores timestamps): when only `admitted` of
// `nominal` frames a second reach it, the frames that do must share the whole target.
std::int64_t encoderBitrate(std::int64_t targetBps, std::int64_t nominalFramerate, std::int64_t admittedFramerate);

// What to ask of the encoder for the few frames that sharpen a still picture: a short
// burst well above the steered rate, which a low rate needs most, within what any
// 1080p60 decoder takes (H.264 level 4.2's 50 Mbit/s); never below the steered rate.
inline constexpr std::int64_t refinementBurst = 8;
inline constexpr std::int64_t refinementCeilingBps = 40'000'000;
std::int64_t refinementBitrate(std::int64_t encoderBps);

} // namespace tavelin
