#include "platform/gstreamer/gst_codec_branch.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/gstreamer/gst_playout_delay.hpp"

namespace tavelin::gst {

namespace {

CodecBranch h264Branch(const NegotiatedVideo& video, const std::string& encoderName, guint keyInterval) {
    Owned<GstElement> encoder = makeElement(encoderName.c_str());
    Owned<GstElement> profile = makeElement("capsfilter");
    if (encoderName == "x264enc") {
        gst_util_set_object_arg(G_OBJECT(encoder.get()), "tune", "zerolatency");
        gst_util_set_object_arg(G_OBJECT(encoder.get()), "speed-preset", "ultrafast");
        // No access unit delimiters: RTP marks frame ends itself, and depayloaders split on them.
        // Below quantiser 20 a screen looks no different, and the frames that sharpen a still
        // picture would spend their whole burst on it.
        g_object_set(encoder.get(), "bframes", 0u, "key-int-max", keyInterval, "vbv-buf-capacity", 250u, "aud", FALSE,
                     "qp-min", 20u, nullptr);
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
    GParamSpec* rate = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder.get()), "bitrate");
    const bool live = rate && (rate->flags & GST_PARAM_MUTABLE_PLAYING);
    // Browsers decode H.264 without colour information as BT.709 limited range.
    return {std::move(encoder), std::move(profile), std::move(payloader), std::move(rtp), YUVMatrix::bt709,
            "bitrate", 1000, live};
}

// libvpx in real time for a screen: no frames held back, a rate kept by the second, and
// pictures that decode after a lost packet; a key frame when asked and every keyInterval.
CodecBranch vp8Branch(const NegotiatedVideo& video, const std::string& encoderName, guint keyInterval) {
    Owned<GstElement> encoder = makeElement(encoderName.c_str());
    const auto threads = static_cast<gint>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    gst_util_set_object_arg(G_OBJECT(encoder.get()), "end-usage", "cbr");
    gst_util_set_object_arg(G_OBJECT(encoder.get()), "error-resilient", "default");
    g_object_set(encoder.get(), "deadline", gint64{1}, "cpu-used", 8, "threads", threads, "lag-in-frames", 0,
                 "keyframe-max-dist", static_cast<gint>(keyInterval), "buffer-size", 1000, "buffer-initial-size",
                 500, "buffer-optimal-size", 600, "undershoot", 100, "overshoot", 15, "max-quantizer", 56, nullptr);
    Owned<GstElement> profile = makeElement("capsfilter");
    Owned<GstCaps> vp8 = adopt(gst_caps_from_string("video/x-vp8"));
    g_object_set(profile.get(), "caps", vp8.get(), nullptr);

    Owned<GstElement> payloader = makeElement("rtpvp8pay");
    gst_util_set_object_arg(G_OBJECT(payloader.get()), "picture-id-mode", "15-bit");
    g_object_set(payloader.get(), "pt", static_cast<guint>(video.payloadType), nullptr);
    Owned<GstCaps> rtp = adopt(gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video",
                                                   "encoding-name", G_TYPE_STRING, "VP8", "clock-rate", G_TYPE_INT,
                                                   90000, "payload", G_TYPE_INT, video.payloadType, nullptr));
    // VP8 can only say BT.601 (its colour-space bit), and libvpx reconfigures a running
    // encoder when its target changes although the property does not say so.
    return {std::move(encoder), std::move(profile), std::move(payloader), std::move(rtp), YUVMatrix::bt601,
            "target-bitrate", 1, true};
}

} // namespace

CodecBranch codecBranch(const NegotiatedVideo& video, const std::string& encoder, guint keyInterval) {
    CodecBranch branch = [&] {
        switch (video.codec) {
        case VideoCodec::h264:
            return h264Branch(video, encoder, keyInterval);
        case VideoCodec::vp8:
            return vp8Branch(video, encoder, keyInterval);
        }
        throw std::runtime_error("Could not attach the display video.");
    }();
    if (video.playoutDelayExtension != 0) {
        // The caps' extmap field puts the extension into the answer.
        const auto field = "extmap-" + std::to_string(video.playoutDelayExtension);
        gst_caps_set_simple(branch.rtp.get(), field.c_str(), G_TYPE_STRING, playoutDelayURI, nullptr);
        const auto extension = makePlayoutDelayExtension(video.playoutDelayExtension);
        g_signal_emit_by_name(branch.payloader.get(), "add-extension", extension.get());
    }
    return branch;
}

std::vector<VideoCodec> VideoEncoders::codecs() const {
    std::vector<VideoCodec> result;
    for (const VideoCodec codec : everyVideoCodec) {
        if (!of(codec).empty()) result.push_back(codec);
    }
    return result;
}

std::int64_t readRate(GstElement* encoder, const char* property) {
    GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), property);
    if (!spec) return 0;
    GValue value = G_VALUE_INIT, number = G_VALUE_INIT;
    g_value_init(&value, spec->value_type);
    g_value_init(&number, G_TYPE_INT64);
    g_object_get_property(G_OBJECT(encoder), property, &value);
    const std::int64_t result = g_value_transform(&value, &number) ? g_value_get_int64(&number) : 0;
    g_value_unset(&value);
    g_value_unset(&number);
    return result;
}

void writeRate(GstElement* encoder, const char* property, std::int64_t value) {
    GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), property);
    if (!spec) return;
    GValue number = G_VALUE_INIT, typed = G_VALUE_INIT;
    g_value_init(&number, G_TYPE_INT64);
    g_value_set_int64(&number, value);
    g_value_init(&typed, spec->value_type);
    if (g_value_transform(&number, &typed)) g_object_set_property(G_OBJECT(encoder), property, &typed);
    g_value_unset(&number);
    g_value_unset(&typed);
}

} // namespace tavelin::gst
