#pragma once

// A WebRTC stack whose peers, gathering, states, channels and statistics a test scripts;
// callbacks are raised on the calling thread, which is the test's engine.

#include <memory>
#include <vector>

#include "platform/webrtc.hpp"
#include "tests/support/recording_sink.hpp"

namespace tavelin::testing {

class ScriptedChannel final : public PeerDataChannel {
public:
    explicit ScriptedChannel(std::string name) : name(std::move(name)) {}
    std::string label() const override { return name; }
    bool isOpen() const override { return open; }
    void close() override { ++closes, open = false; }
    void send(std::string text, bool binary = false) { if (onMessage) onMessage(std::move(text), binary); }
    void leaveOpenState() { open = false; if (onStateChange) onStateChange(false); }

    std::string name;
    bool open = true;
    int closes = 0;
};

class ScriptedPeer final : public WebRTCPeer {
public:
    std::shared_ptr<VideoSink> videoSink() override { return sink; }
    Task<> setRemoteOffer(std::string) override { co_return; }
    Task<> createAnswer() override { answered = true; co_return; }
    void setEncoderParameters(const EncoderParameters& parameters) override { encoder.push_back(parameters); }
    bool iceGatheringComplete() override { return answered && ++gatheringPolls > pollsUntilGathered; }
    std::optional<std::string> localDescription() override {
        return answered ? std::optional<std::string>("v=0 answer") : std::nullopt;
    }
    PeerConnectionState connectionState() override { return state; }
    bool reportsReceivers() const override { return reporting; }
    Task<nlohmann::json> statistics() override { co_return nlohmann::json::object(); }
    void close() override { ++closes, state = PeerConnectionState::closed; }

    // Raised as the stack would.
    void changeState(PeerConnectionState next) { state = next; if (onConnectionState) onConnectionState(next); }
    std::shared_ptr<ScriptedChannel> openChannel(std::string label) {
        auto channel = std::make_shared<ScriptedChannel>(std::move(label));
        if (onDataChannel) onDataChannel(channel);
        return channel;
    }

    std::shared_ptr<support::RecordingSink<>> sink = std::make_shared<support::RecordingSink<>>();
    int pollsUntilGathered = 0; // gathering completes after this many polls (a huge value: never)

    bool answered = false, reporting = false;
    int gatheringPolls = 0, closes = 0;
    std::vector<EncoderParameters> encoder;
    PeerConnectionState state = PeerConnectionState::fresh;
};

class ScriptedWebRTC final : public WebRTCFactory {
public:
    std::vector<std::string> encoderNames() override { return {"x264enc"}; }
    std::shared_ptr<WebRTCPeer> createPeer(std::int64_t width, std::int64_t height, std::int64_t fps) override {
        if (refuse) return nullptr;
        requested = {width, height, fps};
        auto peer = peers.emplace_back(std::make_shared<ScriptedPeer>());
        peer->pollsUntilGathered = pollsUntilGathered;
        return peer;
    }
    ScriptedPeer& last() { return *peers.back(); }

    bool refuse = false;
    int pollsUntilGathered = 0;
    std::vector<std::int64_t> requested;
    std::vector<std::shared_ptr<ScriptedPeer>> peers;
};

} // namespace tavelin::testing
