#pragma once

#include <string>

#include "core/offer_codecs.hpp"
#include "platform/gstreamer/gst_handles.hpp"

namespace tavelin::gst {

// What the negotiated codec puts between the appsrc and webrtcbin: the encoder, a filter
// on what it must produce, the payloader, and the RTP caps webrtcbin is fed (without the
// SSRC, which the peer adds).
struct CodecBranch {
    Owned<GstElement> encoder;
    Owned<GstElement> profile;
    Owned<GstElement> payloader;
    Owned<GstCaps> rtp;
};

// `encoder` is the element factory chosen for the codec; a key frame every `keyInterval` frames.
CodecBranch codecBranch(const NegotiatedVideo& video, const std::string& encoder, guint keyInterval);

} // namespace tavelin::gst
