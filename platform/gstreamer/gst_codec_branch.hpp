#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/offer_codecs.hpp"
#include "core/yuv_conversion.hpp"
#include "platform/gstreamer/gst_handles.hpp"

namespace tavelin::gst {

// The element factory that encodes each codec on this machine; empty for a codec it cannot.
struct VideoEncoders {
    std::string h264; // "x264enc", "vaapih264enc", ...
    std::string vp8;  // "vp8enc"
    const std::string& of(VideoCodec codec) const { return codec == VideoCodec::vp8 ? vp8 : h264; }
    std::vector<VideoCodec> codecs() const;
};

// What the negotiated codec puts between the appsrc and webrtcbin: the encoder, a filter
// on what it must produce, the payloader, and the RTP caps webrtcbin is fed (without the
// SSRC, which the peer adds); the matrix its pictures are converted with, which the raw
// caps name so that the encoder writes it into the stream; and how its rate is set.
struct CodecBranch {
    Owned<GstElement> encoder;
    Owned<GstElement> profile;
    Owned<GstElement> payloader;
    Owned<GstCaps> rtp;
    YUVMatrix matrix;
    const char* rateProperty; // in units of `rateUnit` bits per second
    std::int64_t rateUnit;
    bool rateWhilePlaying; // a new rate reaches the playing encoder
};

// `encoder` is the element factory chosen for the codec; a key frame every `keyInterval` frames.
CodecBranch codecBranch(const NegotiatedVideo& video, const std::string& encoder, guint keyInterval);

// The encoder's rate property as a number, whatever its integer type.
std::int64_t readRate(GstElement* encoder, const char* property);
void writeRate(GstElement* encoder, const char* property, std::int64_t value);

} // namespace tavelin::gst
