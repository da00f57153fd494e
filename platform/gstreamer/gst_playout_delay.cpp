#include "platform/gstreamer/gst_playout_delay.hpp"

#include <mutex>

namespace tavelin::gst {

namespace {

struct PlayoutDelay {
    GstRTPHeaderExtension parent;
};
struct PlayoutDelayClass {
    GstRTPHeaderExtensionClass parent;
};

GstRTPHeaderExtensionFlags supportedFlags(GstRTPHeaderExtension*) { return GST_RTP_HEADER_EXTENSION_ONE_BYTE; }

gsize maximumSize(GstRTPHeaderExtension*, const GstBuffer*) { return 3; }

// Twelve bits of minimum and twelve of maximum, in units of 10 ms.
gssize write(GstRTPHeaderExtension*, const GstBuffer*, GstRTPHeaderExtensionFlags, GstBuffer*, guint8* data,
             gsize size) {
    if (size < 3) return -1;
    constexpr unsigned maximum = playoutDelayMaximumMS / 10;
    data[0] = 0;
    data[1] = static_cast<guint8>(maximum >> 8);
    data[2] = static_cast<guint8>(maximum & 0xff);
    return 3;
}

// We only send it.
gboolean read(GstRTPHeaderExtension*, GstRTPHeaderExtensionFlags, const guint8*, gsize, GstBuffer*) { return TRUE; }

void classInit(gpointer klass, gpointer) {
    auto* extension = static_cast<GstRTPHeaderExtensionClass*>(klass);
    extension->get_supported_flags = supportedFlags;
    extension->get_max_size = maximumSize;
    extension->write = write;
    extension->read = read;
    gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Playout delay", "Network/Extension/RTPHeader",
                                          "Asks the receiver to show frames without smoothing delay", "Tavelin");
    gst_rtp_header_extension_class_set_uri(extension, playoutDelayURI);
}

GType playoutDelayType() {
    static GType type = 0;
    static std::once_flag registered;
    std::call_once(registered, [] {
        type = g_type_register_static_simple(gst_rtp_header_extension_get_type(), "TavelinPlayoutDelay",
                                             sizeof(PlayoutDelayClass), classInit, sizeof(PlayoutDelay), nullptr,
                                             GTypeFlags{});
    });
    return type;
}

} // namespace

Owned<GstRTPHeaderExtension> makePlayoutDelayExtension(int id) {
    auto* extension = static_cast<GstRTPHeaderExtension*>(g_object_new(playoutDelayType(), nullptr));
    Owned<GstRTPHeaderExtension> owned(static_cast<GstRTPHeaderExtension*>(gst_object_ref_sink(extension)));
    gst_rtp_header_extension_set_id(owned.get(), static_cast<guint>(id));
    return owned;
}

} // namespace tavelin::gst
