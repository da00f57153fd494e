#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "core/http_request.hpp"
#include "core/pairing_gate.hpp"
#include "engine/task.hpp"
#include "server/http_response.hpp"

namespace tavelin {

// The image adjustments the receiver page applies to the stream; the defaults are the
// model's initial values.
struct ReceiverSettings {
    double brightness = 1;
    double contrast = 1;
    double saturation = 1;
    std::int64_t rotation = 0;
    bool flip = false;
    bool blank = false;
    std::string fit = "contain";
};

// What the routes read and change; the application model implements it. Every call
// happens on the engine.
class ReceiverState {
public:
    virtual ~ReceiverState() = default;
    virtual bool isSharing() = 0;
    // Empty when not sharing.
    virtual std::string accessToken() = 0;
    // Checks the presented code against the current pairing code, at the current time.
    virtual PairingGate::Result checkPairingCode(const std::string& code) = 0;
    // The running stream's diagnostic values by name; nothing when no stream runs.
    virtual Task<std::optional<nlohmann::json>> streamStatistics() = 0;
    // The running stream's answer to a receiver's complete offer, or nothing when no
    // stream runs. Throws StreamError with the sentence for the receiver.
    virtual Task<std::optional<nlohmann::json>> answerOffer(std::string offer, std::string sessionID) = 0;
    // Drops that receiver's connection, if the stream has it.
    virtual void disconnectReceiver(const std::string& sessionID) = 0;
    // Receiver connection identifiers that were disconnected.
    virtual std::set<std::string>& cancelledSessions() = 0;
    virtual ReceiverSettings receiverSettings() = 0;
    // Whether this process may post mouse events; asked at each request.
    virtual bool mouseEnabled() = 0;
    // The folder holding index.html, receiver.js and style.css.
    virtual std::filesystem::path webRoot() = 0;
};

// Turns one request that passed the server's guards into exactly one response: the
// receiver files for GET, the JSON API (pairing, status, settings, connect, disconnect)
// for POST. state and request must outlive the returned task.
Task<HTTPResponse> handleReceiverRequest(ReceiverState& state, const HTTPRequest& request);

} // namespace tavelin
