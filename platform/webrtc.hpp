#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/task.hpp"
#include "platform/video_sink.hpp"

namespace tavelin {

// The states of a peer connection, numbered as the diagnostics report them.
enum class PeerConnectionState { fresh = 0, connecting = 1, connected = 2, disconnected = 3, failed = 4, closed = 5 };

// How the encoder trades quality when bandwidth or CPU runs short.
enum class DegradationPreference { disabled = 0, maintainFramerate = 1, maintainResolution = 2, balanced = 3 };

// What the session asks of the video encoder of one connection.
struct EncoderParameters {
    std::int64_t minBitrate = 0; // bits per second
    std::int64_t maxBitrate = 0;
    std::int64_t maxFramerate = 0;
    double scaleResolutionDownBy = 1;
    DegradationPreference degradation = DegradationPreference::disabled;
    friend bool operator==(const EncoderParameters&, const EncoderParameters&) = default;
};

// A data channel the receiver opened. Callbacks arrive on the engine, never from inside a
// call to the channel. The session sets them when it receives the channel; a channel that
// opened before that reports it through isOpen().
class PeerDataChannel {
public:
    virtual ~PeerDataChannel() = default;
    virtual std::string label() const = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    // The channel opened or left the open state.
    std::function<void(bool open)> onStateChange;
    // One message; `binary` for a binary message.
    std::function<void(std::string data, bool binary)> onMessage;
};

// One WebRTC connection to one receiver, sending the display's video. All operations are
// called on the engine and the callbacks arrive on the engine, never from inside a call
// to the peer: the backend posts them from the stack's threads. A callback may still come
// after close(). Errors are thrown as std::runtime_error whose text is one sentence.
class WebRTCPeer {
public:
    virtual ~WebRTCPeer() = default;

    std::function<void(PeerConnectionState)> onConnectionState;
    std::function<void(std::shared_ptr<PeerDataChannel>)> onDataChannel;
    // The receiver sent a control report (RTCP) about the stream. A receiver that is
    // there reports at least once a second while it gets video.
    std::function<void()> onReceiverReport;
    // Whether this stack raises onReceiverReport at all.
    virtual bool reportsReceivers() const { return false; }

    // Where the captured frames go: the encoder of this connection.
    virtual std::shared_ptr<VideoSink> videoSink() = 0;
    // Takes the receiver's complete offer; picks the H.264 payload it can send.
    virtual Task<> setRemoteOffer(std::string sdp) = 0;
    // Creates the answer and makes it the local description.
    virtual Task<> createAnswer() = 0;
    // Applies to the running encoder too.
    virtual void setEncoderParameters(const EncoderParameters& parameters) = 0;
    virtual bool iceGatheringComplete() = 0;
    // With every gathered candidate once gathering is complete.
    virtual std::optional<std::string> localDescription() = 0;
    virtual PeerConnectionState connectionState() = 0;
    // The outbound video figures by their diagnostic names ("frameWidth",
    // "framesEncoded", "bytesSent", "encoderImplementation", ...).
    virtual Task<nlohmann::json> statistics() = 0;
    virtual void close() = 0;
};

// Called on the engine.
class WebRTCFactory {
public:
    virtual ~WebRTCFactory() = default;
    // The names of the video encoders available, for the log.
    virtual std::vector<std::string> encoderNames() = 0;
    // A new connection, or nothing when one cannot be made.
    virtual std::shared_ptr<WebRTCPeer> createPeer(std::int64_t width, std::int64_t height,
                                                   std::int64_t framesPerSecond) = 0;
    // How many media elements of the connections, open or closed, still exist; nothing
    // where the stack does not say.
    virtual std::optional<std::int64_t> liveMediaElements() { return std::nullopt; }
};

} // namespace tavelin
