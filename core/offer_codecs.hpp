#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// The video codecs we can send.
enum class VideoCodec { h264 };

// The video an offer and our sender agree on: the codec and the offer's payload for it.
struct NegotiatedVideo {
    VideoCodec codec = VideoCodec::h264;
    int payloadType = 0;
    std::string profileLevelID; // H.264: six hex digits, as offered
    friend bool operator==(const NegotiatedVideo&, const NegotiatedVideo&) = default;
};

// H.264 in packetization mode 1 with a constrained-baseline profile (42e0xx) first, else
// any baseline (42xxxx); nothing when the offer has neither. An answer on another payload
// type turns the video inactive without an error, so the choice must be right here.
std::optional<NegotiatedVideo> chooseVideo(std::string_view offerSDP);

} // namespace tavelin
