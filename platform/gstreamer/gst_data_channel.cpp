#include "platform/gstreamer/gst_data_channel.hpp"

#include <utility>

#include "platform/gstreamer/gst_signal_glue.hpp"

namespace tavelin::gst {

GstPeerDataChannel::GstPeerDataChannel(Executor engine, Owned<GstWebRTCDataChannel> channel)
    : engine_(std::move(engine)), channel_(std::move(channel)) {}

GstPeerDataChannel::~GstPeerDataChannel() {
    for (const gulong handler : handlers_) g_signal_handler_disconnect(channel_.get(), handler);
}

void GstPeerDataChannel::start() {
    const std::weak_ptr<GstPeerDataChannel> self = weak_from_this();
    handlers_ = {
        connectWeak(channel_.get(), "on-open", G_CALLBACK(opened), self, engine_),
        connectWeak(channel_.get(), "on-close", G_CALLBACK(closed), self, engine_),
        connectWeak(channel_.get(), "on-message-string", G_CALLBACK(textMessage), self, engine_),
        connectWeak(channel_.get(), "on-message-data", G_CALLBACK(binaryMessage), self, engine_),
    };
}

std::string GstPeerDataChannel::label() const {
    gchar* raw = nullptr;
    g_object_get(channel_.get(), "label", &raw, nullptr);
    return text(adopt(raw));
}

bool GstPeerDataChannel::isOpen() const {
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel_.get(), "ready-state", &state, nullptr);
    return state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
}

void GstPeerDataChannel::close() { gst_webrtc_data_channel_close(channel_.get()); }

void GstPeerDataChannel::opened(GstWebRTCDataChannel*, gpointer box) {
    unbox<GstPeerDataChannel>(box).post([](GstPeerDataChannel& channel) {
        if (channel.onStateChange) channel.onStateChange(true);
    });
}

void GstPeerDataChannel::closed(GstWebRTCDataChannel*, gpointer box) {
    unbox<GstPeerDataChannel>(box).post([](GstPeerDataChannel& channel) {
        if (channel.onStateChange) channel.onStateChange(false);
    });
}

void GstPeerDataChannel::textMessage(GstWebRTCDataChannel*, gchar* message, gpointer box) {
    unbox<GstPeerDataChannel>(box).post([message = std::string(message ? message : "")](GstPeerDataChannel& channel) {
        if (channel.onMessage) channel.onMessage(message, false);
    });
}

void GstPeerDataChannel::binaryMessage(GstWebRTCDataChannel*, GBytes* bytes, gpointer box) {
    gsize size = 0;
    const auto* data = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
    unbox<GstPeerDataChannel>(box).post([message = std::string(data ? data : "", size)](GstPeerDataChannel& channel) {
        if (channel.onMessage) channel.onMessage(message, true);
    });
}

} // namespace tavelin::gst
