#pragma once

#include <gst/rtp/gstrtphdrext.h>

#include "platform/gstreamer/gst_handles.hpp"

namespace tavelin::gst {

// The playout-delay RTP header extension with a minimum of 0 and a maximum of
// `playoutDelayMaximumMS`: the receiver decodes and shows each frame as soon as it can,
// queueing at most that long for its display instead of dropping a frame that arrives
// in the same display interval as the one before (Chromium's low-latency rendering).
inline constexpr const char* playoutDelayURI = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";
inline constexpr int playoutDelayMaximumMS = 50;

// A new extension writing under the offer's `id` (1 to 14: one-byte headers).
Owned<GstRTPHeaderExtension> makePlayoutDelayExtension(int id);

} // namespace tavelin::gst
