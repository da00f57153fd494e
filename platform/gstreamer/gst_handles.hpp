#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

// Owners for the GLib and GStreamer handles we hold, so that every reference is released
// exactly once whatever path the code takes.
namespace tavelin::gst {

// GObjects, GstObjects among them (elements, pads, transceivers, data channels).
template <typename T>
struct Release {
    void operator()(T* object) const { g_object_unref(object); }
};
template <>
struct Release<GstCaps> {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
template <>
struct Release<GstPromise> {
    void operator()(GstPromise* promise) const { gst_promise_unref(promise); }
};
template <>
struct Release<GstBuffer> {
    void operator()(GstBuffer* buffer) const { gst_buffer_unref(buffer); }
};
template <>
struct Release<GstEvent> {
    void operator()(GstEvent* event) const { gst_event_unref(event); }
};
template <>
struct Release<GstMessage> {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};
template <>
struct Release<GstSample> {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
template <>
struct Release<GstStructure> {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
template <>
struct Release<GError> {
    void operator()(GError* error) const { g_error_free(error); }
};
template <>
struct Release<gchar> {
    void operator()(gchar* text) const { g_free(text); }
};
template <>
struct Release<GstSDPMessage> {
    void operator()(GstSDPMessage* message) const { gst_sdp_message_free(message); }
};
template <>
struct Release<GstWebRTCSessionDescription> {
    void operator()(GstWebRTCSessionDescription* description) const {
        gst_webrtc_session_description_free(description);
    }
};

template <typename T>
using Owned = std::unique_ptr<T, Release<T>>;

// Takes over a reference the caller already owns (a "transfer full" return).
template <typename T>
Owned<T> adopt(T* handle) {
    return Owned<T>(handle);
}

// Takes a new reference to an object someone else owns.
template <typename T>
Owned<T> addRef(T* object) {
    return Owned<T>(object ? static_cast<T*>(gst_object_ref(object)) : nullptr);
}

// A new element of a factory the pipeline cannot do without.
inline Owned<GstElement> makeElement(const char* factory, const char* name = nullptr) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (!element) throw std::runtime_error(std::string("The GStreamer element ") + factory + " is missing.");
    return adopt(GST_ELEMENT(gst_object_ref_sink(element)));
}

inline bool hasProperty(gpointer object, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

inline std::string text(const Owned<gchar>& value) { return value ? std::string(value.get()) : std::string(); }

} // namespace tavelin::gst
