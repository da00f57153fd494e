#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavelin {

// The video codecs we can send, in the order we prefer them.
enum class VideoCodec { h264, vp8 };
inline constexpr VideoCodec everyVideoCodec[] = {VideoCodec::h264, VideoCodec::vp8};

// The RTP header extension by which a sender asks for a playout delay.
inline constexpr const char* playoutDelayURI = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";

// The video an offer and our sender agree on: the codec and the offer's payload for it.
struct NegotiatedVideo {
    VideoCodec codec = VideoCodec::h264;
    int payloadType = 0;
    std::string profileLevelID; // H.264: six hex digits, as offered
    // The offer's one-byte header id (1 to 14) for the playout-delay extension, 0 without.
    int playoutDelayExtension = 0;
    friend bool operator==(const NegotiatedVideo&, const NegotiatedVideo&) = default;
};

// The first of `sendable` (in our order, not the offer's) that the offer's video takes:
// H.264 in packetization mode 1 with a constrained-baseline profile (42e0xx), else any
// baseline (42xxxx); then VP8, which Firefox offers without H.264. Nothing when the offer
// has none of them. An answer on another payload type turns the video inactive without
// an error, so the choice must be right here. The playout-delay extension is taken from
// the chosen payload's media section (or the session's lines) unless the offer only sends it.
std::optional<NegotiatedVideo> chooseVideo(std::string_view offerSDP,
                                           std::span<const VideoCodec> sendable = everyVideoCodec);

// A codec's name as SDP and the diagnostics write it.
const char* codecName(VideoCodec codec);

} // namespace tavelin
