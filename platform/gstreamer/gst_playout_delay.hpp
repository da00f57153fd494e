#pragma once

#include <gst/rtp/gstrtphdrext.h>

#include "core/offer_codecs.hpp"
#include "platform/gstreamer/gst_handles.hpp"

namespace tavelin::gst {

// The playout-delay RTP header extension with a minimum of 0 and a maximum of
// `playoutDelayMaximumMS`: the receiver decodes each frame as soon as it is complete and
// shows it at its next display interval, without a jitter buffer or a smoothing queue
// (Chromium's low-latency rendering). A maximum of 50 ms (about three frames queued for
// the display) showed no more of the frames and cost 15–20 ms of latency in the bench.
inline constexpr int playoutDelayMaximumMS = 0;

// A new extension writing under the offer's `id` (1 to 14: one-byte headers).
Owned<GstRTPHeaderExtension> makePlayoutDelayExtension(int id);

} // namespace tavelin::gst
