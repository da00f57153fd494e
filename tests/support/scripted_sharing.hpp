#pragma once

// Stand-ins for the stream session and the HTTP server of a sharing run, scripted by
// each test and recording what the model asked of them.

#include <optional>
#include <string>
#include <vector>

#include "core/stream_error.hpp"
#include "server/sharing_server.hpp"
#include "streaming/stream_session.hpp"

namespace tavelin::testing {

class ScriptedSession : public StreamSession {
public:
    // What start does: succeed, throw a StreamError with this text, or refuse capture.
    std::optional<std::string> startFailure;
    bool captureDenied = false;
    nlohmann::json statisticsResult = nlohmann::json::object();

    int stops = 0;
    DisplayID startedDisplay = nullDisplay;
    std::vector<std::string> offers;
    std::vector<std::string> disconnected;

    Task<> start(DisplayID display, DisplayConfiguration, bool, bool) override {
        startedDisplay = display;
        if (captureDenied) throw CaptureDeniedError();
        if (startFailure) throw StreamError(*startFailure);
        co_return;
    }
    Task<nlohmann::json> answer(std::string offer, std::string requestedSessionID) override {
        offers.push_back(offer);
        co_return nlohmann::json{{"type", "answer"}, {"sdp", "v=0 answer"}, {"sessionID", requestedSessionID}};
    }
    void disconnect(const std::string& sessionID) override { disconnected.push_back(sessionID); }
    Task<> stop() override { ++stops; co_return; }
    Task<nlohmann::json> statistics() override { co_return statisticsResult; }
};

class ScriptedServer : public SharingServer {
public:
    enum class Behaviour { ready, failBeforeReady, neverReady };
    Behaviour behaviour = Behaviour::ready;

    std::uint16_t port = 0;
    std::vector<std::string> addresses;
    Handler handler;
    std::function<void(std::string)> onFailure;

    void start(std::uint16_t listenPort, const std::vector<std::string>& hosts, Handler requests,
               std::function<void(std::string)> failed, std::function<void()> ready) override {
        port = listenPort;
        addresses = hosts;
        handler = std::move(requests);
        onFailure = std::move(failed);
        switch (behaviour) {
        case Behaviour::ready: ready(); break;
        case Behaviour::failBeforeReady: onFailure("Address already in use"); break;
        case Behaviour::neverReady: break;
        }
    }
    void stop() override {}
};

} // namespace tavelin::testing
