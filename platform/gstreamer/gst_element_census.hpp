#pragma once

#include <cstdint>

#include <gst/gst.h>

namespace tavelin::gst {

// Counts the elements of the connections' pipelines that still exist, from the moment
// they join a watched pipeline until their last reference goes, so that an element a
// closed connection leaves behind (a reference kept by a callback, a branch never
// removed) shows in the count after the pipeline itself is gone.
// Thread-safe: webrtcbin adds elements on its streaming threads.
void watchElements(GstElement* pipeline);
std::int64_t liveElements();

} // namespace tavelin::gst
