#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/task.hpp"
#include "platform/webrtc.hpp"

namespace tavelin {

// WebRTC connections over GStreamer's webrtcbin. At construction it initialises
// GStreamer (once per process) and picks an encoder for each codec: for H.264 a hardware
// one (vaapih264enc, nvh264enc) when it is present and encodes a test picture, else
// x264enc; for VP8 vp8enc. It then prepares, in the background, what the first connection
// would otherwise wait for (the DTLS certificate above all).
// Peers complete their operations on `engine`.
class GstWebRTCFactory final : public WebRTCFactory {
public:
    explicit GstWebRTCFactory(Executor engine);
    ~GstWebRTCFactory() override;

    std::vector<std::string> encoderNames() override;
    std::shared_ptr<WebRTCPeer> createPeer(std::int64_t width, std::int64_t height,
                                           std::int64_t framesPerSecond) override;
    std::optional<std::int64_t> liveMediaElements() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavelin
