#include "core/log.hpp"
#include "core/yuv_conversion.hpp"
#include "platform/gstreamer/gst_encoder_feed.hpp"
#include "platform/gstreamer/gst_codec_branch.hpp"

#include <algorithm>

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

namespace tavelin::gst {

// ---- the figures --------------------------------------------------------------------

void EncoderFigures::framePushed(GstClockTime pts, bool dropsOne) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    if (pushed.size() >= 64) pushed.pop_front();
    pushed.emplace_back(pts, now);
    if (dropsOne) lastDrop = now;
}

// The encoder rebases timestamps on its way out, so a frame is known by its time on
// the way in; without B-frames or lookahead frames leave in the order they entered.
void EncoderFigures::frameEntering(GstBuffer* buffer) {
    const auto now = Clock::now();
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    std::lock_guard lock(mutex);
    // Frames the queue dropped never arrive; their entries go with the next one.
    while (!pushed.empty() && pushed.front().first < pts) pushed.pop_front();
    const bool known = !pushed.empty() && pushed.front().first == pts;
    entered.push_back(known ? pushed.front().second : now);
    if (known) pushed.pop_front();
}

void EncoderFigures::frameEncoded(GstBuffer* buffer) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    if (!entered.empty()) {
        totalEncodeTime += now - entered.front();
        entered.pop_front();
    }
    ++framesEncoded;
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) ++keyFramesEncoded;
    bytesEncoded += static_cast<std::int64_t>(gst_buffer_get_size(buffer));
    lastSecond.push_back(now);
    while (now - lastSecond.front() > std::chrono::seconds(1)) lastSecond.pop_front();
}

// An RTP packet with the marker bit ends a frame.
void EncoderFigures::packetSent(GstBuffer* packet) {
    guint8 second = 0;
    if (gst_buffer_extract(packet, 1, &second, 1) != 1 || !(second & 0x80)) return;
    std::lock_guard lock(mutex);
    ++framesSent;
}

namespace {

// A probe's data is the shared_ptr that keeps the figures alive (see addProbe).
EncoderFigures* unboxed(gpointer box) { return static_cast<std::shared_ptr<EncoderFigures>*>(box)->get(); }

GstPadProbeReturn enteringProbe(GstPad*, GstPadProbeInfo* info, gpointer box) {
    if (auto* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) unboxed(box)->frameEntering(buffer);
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn encodedProbe(GstPad*, GstPadProbeInfo* info, gpointer box) {
    if (auto* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) unboxed(box)->frameEncoded(buffer);
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn sentProbe(GstPad*, GstPadProbeInfo* info, gpointer box) {
    auto* figures = unboxed(box);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint index = 0; index < gst_buffer_list_length(list); ++index) {
            figures->packetSent(gst_buffer_list_get(list, index));
        }
    } else if (auto* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
        figures->packetSent(buffer);
    }
    return GST_PAD_PROBE_OK;
}

// A probe keeps the figures alive until it is removed with its pad.
void addProbe(GstElement* element, const char* padName, GstPadProbeType type, GstPadProbeCallback callback,
              const std::shared_ptr<EncoderFigures>& figures) {
    Owned<GstPad> pad = adopt(gst_element_get_static_pad(element, padName));
    gst_pad_add_probe(pad.get(), type, callback, new std::shared_ptr<EncoderFigures>(figures),
                      [](gpointer box) { delete static_cast<std::shared_ptr<EncoderFigures>*>(box); });
}

// Once per connection, for latency measured at the receiver: the RTP timestamp that
// stands for a capture time (steady clock). A packet's running time plus the base time
// is the capture time of its frame (see the feed).
GstPadProbeReturn reportRTPClock(GstPad* pad, GstPadProbeInfo* info, gpointer) {
    GstBuffer* packet = GST_PAD_PROBE_INFO_BUFFER(info);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        packet = gst_buffer_list_length(list) > 0 ? gst_buffer_list_get(list, 0) : nullptr;
    }
    Owned<GstEvent> event = adopt(gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0));
    Owned<GstElement> payloader = adopt(gst_pad_get_parent_element(pad));
    guint8 header[8];
    if (!packet || !event || !payloader || gst_buffer_extract(packet, 0, header, sizeof header) != sizeof header) {
        return GST_PAD_PROBE_OK;
    }
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event.get(), &segment);
    const guint64 runningTime = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(packet));
    if (!GST_CLOCK_TIME_IS_VALID(runningTime)) return GST_PAD_PROBE_OK;
    const std::uint32_t timestamp = (std::uint32_t{header[4]} << 24) | (std::uint32_t{header[5]} << 16) |
                                    (std::uint32_t{header[6]} << 8) | header[7];
    log::info("RTP clock: timestamp ", timestamp, " at capture time ",
              gst_element_get_base_time(payloader.get()) + runningTime, " ns");
    return GST_PAD_PROBE_REMOVE;
}

} // namespace

void watchEncoder(GstElement* encoder, GstElement* payloader, const std::shared_ptr<EncoderFigures>& figures) {
    addProbe(encoder, "sink", GST_PAD_PROBE_TYPE_BUFFER, enteringProbe, figures);
    addProbe(encoder, "src", GST_PAD_PROBE_TYPE_BUFFER, encodedProbe, figures);
    addProbe(payloader, "src", static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
             sentProbe, figures);
    Owned<GstPad> sent = adopt(gst_element_get_static_pad(payloader, "src"));
    gst_pad_add_probe(sent.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      reportRTPClock, nullptr, nullptr);
}

// ---- the feed -----------------------------------------------------------------------

EncoderFeed::EncoderFeed(std::shared_ptr<EncoderFigures> figures, std::int64_t framesPerSecond)
    : figures_(std::move(figures)), framesPerSecond_(framesPerSecond) {}

void EncoderFeed::adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t framesPerSecond) {
    // The frames carry their own size; the caps follow them.
    std::lock_guard lock(mutex_);
    if (framesPerSecond > 0) framesPerSecond_ = framesPerSecond;
}

void EncoderFeed::deliver(VideoFrame frame) {
    if (!frame.buffer) return;
    const PixelBuffer& pixels = *frame.buffer;
    // 4:2:0 needs even sizes; an odd last row or column is left out.
    const std::int64_t width = pixels.width & ~std::int64_t{1};
    const std::int64_t height = pixels.height & ~std::int64_t{1};
    if (width <= 0 || height <= 0 || !pixels.data) return;

    std::lock_guard lock(mutex_);
    if (!source_) return;
    const auto timestamp = static_cast<GstClockTime>(frame.timestampNS);
    if (timestamp <= baseTime_) return;
    const GstClockTime pts = timestamp - baseTime_;
    if (GST_CLOCK_TIME_IS_VALID(lastPTS_) && pts <= lastPTS_) return;
    // Refinement frames are few and wanted whatever the frame rate.
    if (!frame.refinement && !rateCap_.admit(frame.timestampNS)) return;
    if (width != capsWidth_ || height != capsHeight_) setCaps(width, height);

    // The same picture again (a refresh or a refinement) shares the last conversion.
    const bool again = converted_ && !frame.buffer.owner_before(convertedFrom_) &&
                       !convertedFrom_.owner_before(frame.buffer);
    Owned<GstBuffer> buffer = again ? adopt(gst_buffer_copy(converted_.get())) : convert(pixels, width, height);
    if (!buffer) return;
    if (!again) {
        converted_ = adopt(gst_buffer_ref(buffer.get()));
        convertedFrom_ = frame.buffer;
    }
    GST_BUFFER_PTS(buffer.get()) = pts;
    lastPTS_ = pts;

    if (frame.refinement != refining_ && rateEncoder_) {
        refining_ = frame.refinement;
        writeRate(rateEncoder_.get(), rateProperty_, refining_ ? refinementRate_ : steeredRate_);
    }
    auto* source = GST_APP_SRC(source_.get());
    // With two frames already waiting, the queue drops its oldest: the encoder is behind.
    figures_->framePushed(pts, gst_app_src_get_current_level_buffers(source) >= maxQueued);
    gst_app_src_push_buffer(source, buffer.release());
}

Owned<GstBuffer> EncoderFeed::convert(const PixelBuffer& pixels, std::int64_t width, std::int64_t height) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, static_cast<guint>(width), static_cast<guint>(height));
    Owned<GstBuffer> buffer = adopt(gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr));
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer.get(), &map, GST_MAP_WRITE)) return nullptr;
    auto plane = [&](int index) { return map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, index); };
    convertToI420(pixels.data, static_cast<int>(pixels.stride), static_cast<int>(width), static_cast<int>(height),
                  {plane(0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), plane(1), GST_VIDEO_INFO_PLANE_STRIDE(&info, 1),
                   plane(2), GST_VIDEO_INFO_PLANE_STRIDE(&info, 2)},
                  matrix_);
    gst_buffer_unmap(buffer.get(), &map);
    return buffer;
}

void EncoderFeed::attach(Owned<GstElement> source, GstClockTime baseTime, YUVMatrix matrix) {
    std::lock_guard lock(mutex_);
    converted_.reset();
    source_ = std::move(source);
    baseTime_ = baseTime;
    matrix_ = matrix;
    capsWidth_ = capsHeight_ = 0;
}

void EncoderFeed::detach() {
    std::lock_guard lock(mutex_);
    source_.reset();
    rateEncoder_.reset();
    converted_.reset();
}

void EncoderFeed::setFramerates(std::int64_t nominal, std::int64_t admitted) {
    std::lock_guard lock(mutex_);
    nominal_ = nominal;
    rateCap_.setMaximum(admitted);
}

std::int64_t EncoderFeed::admittedFramerate() {
    std::lock_guard lock(mutex_);
    return rateCap_.maximum();
}

std::int64_t EncoderFeed::nominalFramerate() {
    std::lock_guard lock(mutex_);
    return nominalLocked();
}

std::pair<std::int64_t, std::int64_t> EncoderFeed::size() {
    std::lock_guard lock(mutex_);
    return {capsWidth_, capsHeight_};
}

void EncoderFeed::setEncoderRates(GstElement* encoder, const char* property, std::int64_t steered,
                                  std::int64_t refinement) {
    std::lock_guard lock(mutex_);
    if (rateEncoder_.get() != encoder) rateEncoder_ = addRef(encoder);
    rateProperty_ = property;
    steeredRate_ = steered;
    refinementRate_ = refinement;
    if (!refining_) writeRate(encoder, property, steered);
}

std::int64_t EncoderFeed::steeredRate() {
    std::lock_guard lock(mutex_);
    return steeredRate_;
}

void EncoderFeed::setCaps(std::int64_t width, std::int64_t height) {
    const auto rate = static_cast<int>(nominalLocked());
    // Both names mean limited range. x264enc (1.22) carries the caps' colorimetry into
    // the SPS's VUI (colour primaries, transfer, matrix, range), so the receiver decodes
    // with the matrix the pictures were converted with.
    const char* colorimetry = matrix_ == YUVMatrix::bt709 ? "bt709" : "bt601";
    Owned<GstCaps> caps = adopt(gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, static_cast<int>(width), "height",
        G_TYPE_INT, static_cast<int>(height), "framerate", GST_TYPE_FRACTION, std::max(rate, 1), 1, "colorimetry",
        G_TYPE_STRING, colorimetry, nullptr));
    gst_app_src_set_caps(GST_APP_SRC(source_.get()), caps.get());
    capsWidth_ = width;
    capsHeight_ = height;
}

} // namespace tavelin::gst
