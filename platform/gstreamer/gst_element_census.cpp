#include "platform/gstreamer/gst_element_census.hpp"

#include <atomic>

namespace tavelin::gst {

namespace {

std::atomic<std::int64_t> live{0};

GQuark countedMark() {
    static const GQuark quark = g_quark_from_static_string("tavelin-counted");
    return quark;
}

void count(GstElement* element) {
    // An element moved between bins joins a second time; it is counted once.
    if (g_object_get_qdata(G_OBJECT(element), countedMark())) return;
    g_object_set_qdata(G_OBJECT(element), countedMark(), GINT_TO_POINTER(1));
    live.fetch_add(1, std::memory_order_relaxed);
    g_object_weak_ref(G_OBJECT(element), [](gpointer, GObject*) { live.fetch_sub(1, std::memory_order_relaxed); },
                      nullptr);
}

void countTree(GstElement* element) {
    count(element);
    if (!GST_IS_BIN(element)) return;
    GstIterator* children = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    for (bool more = true; more;) {
        switch (gst_iterator_next(children, &item)) {
        case GST_ITERATOR_OK:
            count(GST_ELEMENT(g_value_get_object(&item)));
            g_value_reset(&item);
            break;
        case GST_ITERATOR_RESYNC: gst_iterator_resync(children); break;
        case GST_ITERATOR_ERROR:
        case GST_ITERATOR_DONE: more = false; break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(children);
}

void elementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
    // A bin arrives with the children it made for itself (webrtcbin's rtpbin, its
    // transport bins); those were never added under the watched pipeline.
    countTree(element);
}

} // namespace

void watchElements(GstElement* pipeline) {
    count(pipeline);
    g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(elementAdded), nullptr);
}

std::int64_t liveElements() { return live.load(std::memory_order_relaxed); }

} // namespace tavelin::gst
