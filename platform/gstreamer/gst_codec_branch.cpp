#include "platform/gstreamer/gst_codec_branch.hpp"

#include <stdexcept>
#include <utility>

namespace tavelin::gst {

namespace {

CodecBranch h264Branch(const NegotiatedVideo& video, const std::string& encoderName, guint keyInterval) {
    Owned<GstElement> encoder = makeElement(encoderName.c_str());
    Owned<GstElement> profile = makeElement("capsfilter");
    if (encoderName == "x264enc") {
        gst_util_set_object_arg(G_OBJECT(encoder.get()), "tune", "zerolatency");
        gst_util_set_object_arg(G_OBJECT(encoder.get()), "speed-preset", "ultrafast");
        // No access unit delimiters: RTP marks frame ends itself, and depayloaders split on them.
        g_object_set(encoder.get(), "bframes", 0u, "key-int-max", keyInterval, "vbv-buf-capacity", 250u, "aud", FALSE,
                     nullptr);
    } else if (hasProperty(encoder.get(), "keyframe-period")) {
        g_object_set(encoder.get(), "keyframe-period", keyInterval, nullptr);
    } else if (hasProperty(encoder.get(), "gop-size")) {
        g_object_set(encoder.get(), "gop-size", static_cast<gint>(keyInterval), nullptr);
    }
    Owned<GstCaps> h264 = adopt(gst_caps_from_string("video/x-h264,profile=constrained-baseline"));
    g_object_set(profile.get(), "caps", h264.get(), nullptr);

    Owned<GstElement> payloader = makeElement("rtph264pay");
    gst_util_set_object_arg(G_OBJECT(payloader.get()), "aggregate-mode", "zero-latency");
    g_object_set(payloader.get(), "config-interval", -1, "pt", static_cast<guint>(video.payloadType), nullptr);

    // The pad's caps carry the offer's payload type: webrtcbin answers with what it is fed.
    // They leave out the profile-level-id, which the payloader takes from the stream's SPS
    // (x264 writes 42c0xx and its own level) and which would then fail to match.
    Owned<GstCaps> rtp = adopt(gst_caps_new_simple(
        "application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name", G_TYPE_STRING, "H264", "clock-rate",
        G_TYPE_INT, 90000, "payload", G_TYPE_INT, video.payloadType, "packetization-mode", G_TYPE_STRING, "1",
        nullptr));
    // Browsers decode H.264 without colour information as BT.709 limited range.
    return {std::move(encoder), std::move(profile), std::move(payloader), std::move(rtp), YUVMatrix::bt709};
}

} // namespace

CodecBranch codecBranch(const NegotiatedVideo& video, const std::string& encoder, guint keyInterval) {
    switch (video.codec) {
    case VideoCodec::h264:
        return h264Branch(video, encoder, keyInterval);
    }
    throw std::runtime_error("Could not attach the display video.");
}

} // namespace tavelin::gst
