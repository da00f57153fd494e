#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/task.hpp"
#include "platform/gstreamer/gst_handles.hpp"
#include "platform/webrtc.hpp"

namespace tavelin::gst {

// A data channel webrtcbin announced; its signals reach the callbacks on the engine.
class GstPeerDataChannel final : public PeerDataChannel, public std::enable_shared_from_this<GstPeerDataChannel> {
public:
    GstPeerDataChannel(Executor engine, Owned<GstWebRTCDataChannel> channel);
    ~GstPeerDataChannel() override;

    // Connected at once, inside webrtcbin's announcement, so that nothing is missed.
    void start();

    std::string label() const override;
    bool isOpen() const override;
    void close() override;

private:
    static void opened(GstWebRTCDataChannel*, gpointer box);
    static void closed(GstWebRTCDataChannel*, gpointer box);
    static void textMessage(GstWebRTCDataChannel*, gchar* message, gpointer box);
    static void binaryMessage(GstWebRTCDataChannel*, GBytes* bytes, gpointer box);

    Executor engine_;
    Owned<GstWebRTCDataChannel> channel_;
    std::vector<gulong> handlers_;
};

} // namespace tavelin::gst
