#include "server/receiver_routes.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/same_secret.hpp"
#include "core/stream_error.hpp"
#include "core/unicode_text.hpp"
#include "core/uuid.hpp"

namespace tavelin {

namespace {

constexpr std::string_view sharingStopped = "Sharing has stopped.";
constexpr std::string_view notFound = "Not found.";

// Counted in extended grapheme clusters, so each CR LF of the SDP counts once.
constexpr std::size_t maximumOfferLength = 262'143;
// The set only has to outlive late retries of recent connections; bounding it keeps a
// page that disconnects in a loop from growing it without end.
constexpr std::size_t maximumCancelledSessions = 64;

struct StaticFile {
    std::string_view path;
    std::string_view file;
    std::string_view type;
};

constexpr std::array<StaticFile, 4> staticFiles{{
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/receiver.js", "receiver.js", "text/javascript; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
    {"/icon.svg", "icon.svg", "image/svg+xml"},
}};

// The receiver link's path is the pairing code: "/" and four ASCII digits, then at most a
// slash. Any query string makes it a different path.
bool isPairingLinkPath(std::string_view path) {
    if (path.size() != 5 && path.size() != 6) return false;
    if (path[0] != '/' || (path.size() == 6 && path[5] != '/')) return false;
    for (std::size_t i = 1; i <= 4; ++i) {
        if (path[i] < '0' || path[i] > '9') return false;
    }
    return true;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return data;
}

HTTPResponse serveStaticFile(ReceiverState& state, std::string_view path) {
    const std::string_view key = isPairingLinkPath(path) ? std::string_view("/") : path;
    for (const auto& entry : staticFiles) {
        if (entry.path != key) continue;
        // Read on every request so that an edited page shows without restarting.
        auto data = readWholeFile(state.webRoot() / entry.file);
        if (!data) break;
        return HTTPResponse{200, std::string(entry.type), std::move(*data)};
    }
    return HTTPResponse::error(404, notFound);
}

bool isAuthorized(ReceiverState& state, const HTTPRequest& request) {
    const std::string token = state.accessToken();
    if (token.empty()) return false;
    const auto header = request.headers.find("authorization");
    return header != request.headers.end() && sameSecret(header->second, "Bearer " + token);
}

// The member if it is a string, else nothing.
std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    const auto member = object.find(key);
    if (member == object.end() || !member->is_string()) return std::nullopt;
    return member->get<std::string>();
}

// The SDP of a well-formed offer, else nothing.
std::optional<std::string> offerSDP(const nlohmann::json& body) {
    if (stringMember(body, "type") != "offer") return std::nullopt;
    auto sdp = stringMember(body, "sdp");
    if (!sdp || !sdp->starts_with("v=0")) return std::nullopt;
    // A cluster takes at least one byte, so only longer texts need counting.
    if (sdp->size() <= maximumOfferLength) return sdp;
    const auto length = unicode::graphemeCount(*sdp);
    if (!length || *length > maximumOfferLength) return std::nullopt;
    return sdp;
}

void addSettings(ReceiverState& state, nlohmann::json& object) {
    const ReceiverSettings settings = state.receiverSettings();
    object["mouseEnabled"] = state.mouseEnabled();
    object["receiver"] = {
        {"brightness", settings.brightness}, {"contrast", settings.contrast},
        {"saturation", settings.saturation}, {"rotation", settings.rotation},
        {"flip", settings.flip},             {"blank", settings.blank},
        {"fit", settings.fit},
    };
}

nlohmann::json settingsObject(ReceiverState& state) {
    auto object = nlohmann::json::object();
    addSettings(state, object);
    return object;
}

HTTPResponse pair(ReceiverState& state, const nlohmann::json& body) {
    switch (state.checkPairingCode(stringMember(body, "code").value_or(""))) {
    case PairingGate::Result::accepted:
        return HTTPResponse::json(200, {{"token", state.accessToken()}});
    case PairingGate::Result::incorrect:
        return HTTPResponse::error(401, "This receiver link is out of date. "
                                        "Copy the current link from the Tavelin app.");
    case PairingGate::Result::rateLimited: break;
    }
    return HTTPResponse::error(429, "Too many incorrect codes. Wait one minute and try again.");
}

Task<HTTPResponse> status(ReceiverState& state) {
    auto object = nlohmann::json::object();
    try {
        auto asking = state.streamStatistics();
        auto statistics = co_await std::move(asking);
        if (!statistics) co_return HTTPResponse::json(200, settingsObject(state));
        object = std::move(*statistics);
    } catch (const std::exception&) {
        // The settings still reach the page; the diagnostics come with the next poll.
    }
    if (!object.is_object()) object = nlohmann::json::object();
    addSettings(state, object);
    co_return HTTPResponse::json(200, object);
}

Task<HTTPResponse> connect(ReceiverState& state, const nlohmann::json& body) {
    auto sdp = offerSDP(body);
    if (!sdp) co_return HTTPResponse::error(400, "Invalid connection offer.");
    const auto sessionID = stringMember(body, "sessionID");
    if (!sessionID || !UUID::parse(*sessionID)) {
        co_return HTTPResponse::error(400, "Missing connection identifier.");
    }
    // A late retry from a page that already disconnected must not take the stream back.
    if (state.cancelledSessions().contains(*sessionID)) {
        co_return HTTPResponse::error(409, "Connection cancelled.");
    }
    std::string failure;
    try {
        auto answering = state.answerOffer(std::move(*sdp), *sessionID);
        auto answer = co_await std::move(answering);
        if (!answer) co_return HTTPResponse::error(503, sharingStopped);
        co_return HTTPResponse::json(200, std::move(*answer));
    } catch (const StreamError& error) {
        failure = error.message();
    } catch (const std::exception& error) {
        failure = error.what();
    }
    co_return HTTPResponse::error(409, failure);
}

HTTPResponse disconnect(ReceiverState& state, const nlohmann::json& body) {
    const auto sessionID = stringMember(body, "sessionID");
    if (!sessionID) return HTTPResponse::error(400, "Missing session.");
    auto& cancelled = state.cancelledSessions();
    if (cancelled.size() >= maximumCancelledSessions) cancelled.clear();
    cancelled.insert(*sessionID);
    state.disconnectReceiver(*sessionID);
    return HTTPResponse::json(200, {{"ok", true}});
}

} // namespace

Task<HTTPResponse> handleReceiverRequest(ReceiverState& state, const HTTPRequest& request) {
    if (request.method == "GET") co_return serveStaticFile(state, request.path);
    if (request.method != "POST" || !state.isSharing()) co_return HTTPResponse::error(503, sharingStopped);

    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object()) co_return HTTPResponse::error(400, "Invalid request body.");

    const std::string& path = request.path;
    if (path == "/api/pair") co_return pair(state, body);
    if (!isAuthorized(state, request)) {
        co_return HTTPResponse::error(401, "Session expired. Open the current receiver link from the host computer.");
    }
    if (path == "/api/status") co_return co_await status(state);
    if (path == "/api/receiver") co_return HTTPResponse::json(200, settingsObject(state));
    if (path == "/api/connect") co_return co_await connect(state, body);
    if (path == "/api/disconnect") co_return disconnect(state, body);
    co_return HTTPResponse::error(404, notFound);
}

} // namespace tavelin
