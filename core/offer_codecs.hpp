#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// The H.264 format of an offer that our constrained-baseline stream fits.
struct H264Format {
    int payloadType = 0;
    std::string profileLevelID; // six hex digits, as offered
    friend bool operator==(const H264Format&, const H264Format&) = default;
};

// Packetization mode 1 with a constrained-baseline profile (42e0xx) first, else any
// baseline (42xxxx); nothing when the offer has neither. An answer on another payload
// type turns the video inactive without an error, so the choice must be right here.
std::optional<H264Format> chooseH264(std::string_view offerSDP);

} // namespace tavelin
