#pragma once

#include <string>

#include "core/offer_codecs.hpp"
#include "core/yuv_conversion.hpp"
#include "platform/gstreamer/gst_handles.hpp"

namespace tavelin::gst {

// What the negotiated codec puts between the appsrc and webrtcbin: the encoder, a filter
// on what it must produce, the payloader, and the RTP caps webrtcbin is fed (without the
// SSRC, which the peer adds); and the matrix its pictures are converted with, which the
// raw caps name so that the encoder writes it into the stream.
struct CodecBranch {
    Owned<GstElement> encoder;
    Owned<GstElement> profile;
    Owned<GstElement> payloader;
    Owned<GstCaps> rtp;
    YUVMatrix matrix;
};

// `encoder` is the element factory chosen for the codec; a key frame every `keyInterval` frames.
CodecBranch codecBranch(const NegotiatedVideo& video, const std::string& encoder, guint keyInterval);

} // namespace tavelin::gst
