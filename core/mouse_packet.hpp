#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// One message of the receiver's "mouse" data channel: a JSON object whose keys are the
// field names. Positions are fractions of the video size; scroll amounts are pixels.
struct MousePacket {
    static constexpr std::size_t maximumSize = 1024;     // bytes
    static constexpr double maximumScroll = 2000.0;      // pixels, either direction

    std::string type; // "move", "down", "up", "scroll", "release" or "heartbeat"
    std::optional<double> x;
    std::optional<double> y;
    std::optional<std::int64_t> button; // 0 main, 1 middle, 2 secondary
    std::optional<double> dx;           // positive scrolls towards the right
    std::optional<double> dy;           // positive scrolls down
    std::optional<bool> shift;
    std::optional<bool> control;
    std::optional<bool> alt;
    std::optional<bool> meta;

    // The validated packet, or nothing for anything that is not one: too long, not a
    // JSON object, a field of the wrong type, an unknown type, or values out of bounds.
    // Once decoded, positions are finite fractions and scroll amounts fit 32 bits.
    static std::optional<MousePacket> decode(std::string_view data);

    friend bool operator==(const MousePacket&, const MousePacket&) = default;
};

} // namespace tavelin
