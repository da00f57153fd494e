#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "core/stream_error.hpp"
#include "server/receiver_routes.hpp"
#include "streaming/stream_session.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Lower case, so a test fails if the identifier is normalised instead of used as sent.
const std::string receiverID = "0f8e2b4c-61a7-4c1e-9d3b-5a2f7e8c9d10";
const std::string alreadyConnected = "A receiver is already connected. Disconnect it on the host computer first.";

class ScriptedSession : public StreamSession {
public:
    std::exception_ptr answerFailure;
    std::vector<std::string> disconnected;

    Task<> start(DisplayID, DisplayConfiguration, bool, bool) override { co_return; }
    Task<json> answer(std::string offer, std::string requestedSessionID) override {
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        if (answerFailure) std::rethrow_exception(answerFailure);
        co_return json{{"type", "answer"}, {"sessionID", requestedSessionID}, {"offerBytes", offer.size()}};
    }
    void disconnect(const std::string& sessionID) override { disconnected.push_back(sessionID); }
    Task<> stop() override { co_return; }
    Task<json> statistics() override {
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        co_return json{{"framesSent", 42}};
    }
};

class FakeState : public ReceiverState {
public:
    bool sharing = true;
    std::string token = "secret-token";
    PairingGate gate;
    std::shared_ptr<ScriptedSession> session = std::make_shared<ScriptedSession>();
    std::set<std::string> cancelled;
    bool mouse = true;
    fs::path root;

    FakeState() {
        std::string pattern = (fs::temp_directory_path() / "tavelin-web-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        for (const char* name : {"index.html", "receiver.js", "style.css"}) std::ofstream(root / name) << name;
    }
    ~FakeState() override { fs::remove_all(root); }

    bool isSharing() override { return sharing; }
    std::string accessToken() override { return token; }
    PairingGate::Result checkPairingCode(const std::string& code) override { return gate.check(code, "0427", 1000); }
    std::shared_ptr<StreamSession> currentSession() override { return session; }
    std::set<std::string>& cancelledSessions() override { return cancelled; }
    ReceiverSettings receiverSettings() override { return {0.5, 1.25, 2, 270, true, false, "cover"}; }
    bool mouseEnabled() override { return mouse; }
    fs::path webRoot() override { return root; }
};

HTTPResponse send(FakeState& state, HTTPRequest request) {
    asio::io_context context;
    std::optional<HTTPResponse> response;
    std::exception_ptr failure;
    asio::co_spawn(context, handleReceiverRequest(state, request), [&](std::exception_ptr error, HTTPResponse result) {
        failure = error;
        response = std::move(result);
    });
    context.run();
    if (failure) std::rethrow_exception(failure);
    return response.value();
}

HTTPResponse post(FakeState& state, const std::string& path, const std::string& body,
                  const std::string& authorization = "Bearer secret-token") {
    HTTPRequest request{"POST", path, {}, body};
    if (!authorization.empty()) request.headers["authorization"] = authorization;
    return send(state, std::move(request));
}

const std::string sdp = "v=0\r\no=- 1 2 IN IP4 0.0.0.0\r\n";

std::string offer(const std::string& text = sdp, const std::string& type = "offer", const json& id = receiverID) {
    return json{{"sdp", text}, {"type", type}, {"sessionID", id}}.dump();
}

json answerTo(const std::string& text) {
    return {{"type", "answer"}, {"sessionID", receiverID}, {"offerBytes", text.size()}};
}

json error(const std::string& message) { return {{"error", message}}; }

const json settings = {{"mouseEnabled", true},
                       {"receiver", {{"brightness", 0.5}, {"contrast", 1.25}, {"saturation", 2.0}, {"rotation", 270},
                                     {"flip", true}, {"blank", false}, {"fit", "cover"}}}};

TEST(ReceiverRoutes, ServesTheReceiverFilesForGETWhetherSharingOrNot) {
    const struct {
        std::string path;
        int status;
        std::string type, body;
    } cases[] = {
        {"/", 200, "text/html; charset=utf-8", "index.html"},
        {"/1234", 200, "text/html; charset=utf-8", "index.html"},
        {"/0000/", 200, "text/html; charset=utf-8", "index.html"},
        {"/receiver.js", 200, "text/javascript; charset=utf-8", "receiver.js"},
        {"/style.css", 200, "text/css; charset=utf-8", "style.css"},
        {"/12345", 404, "", ""},
        {"/123", 404, "", ""},
        {"/?x=1", 404, "", ""},
        {"/1234//", 404, "", ""},
        {"/index.html", 404, "", ""}, // only "/" names the page; no other file of the folder leaks
    };
    FakeState state;
    state.sharing = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto response = send(state, {"GET", c.path, {}, {}});
        EXPECT_EQ(response.status, c.status);
        if (c.status == 200) EXPECT_EQ(std::pair(response.type, response.body), std::pair(c.type, c.body));
        else EXPECT_EQ(json::parse(response.body), error("Not found."));
    }
}

TEST(ReceiverRoutes, ReadsEachFileAfreshAndAnswers404WhenItIsGone) {
    FakeState state;
    std::ofstream(state.root / "style.css") << "edited";
    EXPECT_EQ(send(state, {"GET", "/style.css", {}, {}}).body, "edited");
    fs::remove(state.root / "style.css");
    EXPECT_EQ(send(state, {"GET", "/style.css", {}, {}}).status, 404);
}

TEST(ReceiverRoutes, AnswersEachPOSTWithItsStatusAndBody) {
    const std::string expired = "Session expired. Open the current receiver link from the host computer.";
    const std::string outOfDate = "This receiver link is out of date. Copy the current link from the Tavelin app.";
    // The most clusters an offer may have, twice as many bytes: each CR LF counts once.
    std::string longest = "v=0";
    for (int i = 0; i < 262'140; ++i) longest += "\r\n";
    const std::string tooLong = "v=0" + std::string(262'141, 'a');
    json withStatistics = settings;
    withStatistics["framesSent"] = 42;
    json withoutMouse = settings;
    withoutMouse["mouseEnabled"] = false;
    const auto noSession = [](FakeState& s) { s.session.reset(); };
    const auto cancel = [](FakeState& s) { s.cancelled.insert(receiverID); };
    const auto cancelWithoutSession = [=](FakeState& s) {
        cancel(s);
        noSession(s);
    };
    const std::string bearer = "Bearer secret-token";
    const struct {
        std::string method, path, body, authorization;
        std::function<void(FakeState&)> setup;
        int status;
        json expected;
    } cases[] = {
        {"PUT", "/", "", "", {}, 503, error("Sharing has stopped.")},
        {"post", "/api/status", "{}", bearer, {}, 503, error("Sharing has stopped.")},
        // A stopped share wins over a bad body.
        {"POST", "/api/pair", "", "", [](FakeState& s) { s.sharing = false; }, 503, error("Sharing has stopped.")},
        // The body is judged before the token.
        {"POST", "/api/status", "", "", {}, 400, error("Invalid request body.")},
        {"POST", "/api/pair", "[]", "", {}, 400, error("Invalid request body.")},
        {"POST", "/api/unknown", "{}", bearer, {}, 404, error("Not found.")},
        {"POST", "/api/unknown", "{}", "", {}, 401, error(expired)},
        {"POST", "/api/status?x=1", "{}", bearer, {}, 404, error("Not found.")},
        {"POST", "/api/status", "{}", "bearer secret-token", {}, 401, error(expired)},
        {"POST", "/api/status", "{}", "Bearer secret-token-2", {}, 401, error(expired)},
        // Not sharing leaves the token empty; "Bearer " must not match it.
        {"POST", "/api/status", "{}", "Bearer ", [](FakeState& s) { s.token.clear(); }, 401, error(expired)},
        {"POST", "/api/pair", R"({"code":"0427"})", "", {}, 200, {{"token", "secret-token"}}},
        {"POST", "/api/pair", R"({"code":"427"})", "", {}, 401, error(outOfDate)},
        {"POST", "/api/pair", R"({"code":427})", "", {}, 401, error(outOfDate)},
        {"POST", "/api/pair", R"({"code":"0427"})", "",
         [](FakeState& s) { for (int i = 0; i < 5; ++i) s.gate.check("9999", "0427", 1000); }, 429,
         error("Too many incorrect codes. Wait one minute and try again.")},
        {"POST", "/api/receiver", "{}", bearer, {}, 200, settings},
        {"POST", "/api/receiver", "{}", bearer, [](FakeState& s) { s.mouse = false; }, 200,
         withoutMouse},
        {"POST", "/api/status", "{}", bearer, noSession, 200, settings},
        {"POST", "/api/status", "{}", bearer, {}, 200, withStatistics},
        {"POST", "/api/connect", offer(), bearer, {}, 200, answerTo(sdp)},
        {"POST", "/api/connect", offer(), "", {}, 401, error(expired)},
        {"POST", "/api/connect", offer(longest), bearer, {}, 200, answerTo(longest)},
        {"POST", "/api/connect", offer(tooLong), bearer, {}, 400, error("Invalid connection offer.")},
        {"POST", "/api/connect", offer("x=0"), bearer, {}, 400, error("Invalid connection offer.")},
        {"POST", "/api/connect", offer("v=0", "answer"), bearer, {}, 400,
         error("Invalid connection offer.")},
        // The offer is judged before the identifier.
        {"POST", "/api/connect", offer("v=1", "offer", "x"), bearer, {}, 400,
         error("Invalid connection offer.")},
        {"POST", "/api/connect", offer("v=0", "offer", "not-a-uuid"), bearer, {}, 400,
         error("Missing connection identifier.")},
        {"POST", "/api/connect", offer("v=0", "offer", 7), bearer, {}, 400,
         error("Missing connection identifier.")},
        {"POST", "/api/connect", offer(), bearer, cancel, 409, error("Connection cancelled.")},
        // A cancelled identifier is refused even when no session runs.
        {"POST", "/api/connect", offer(), bearer, cancelWithoutSession, 409, error("Connection cancelled.")},
        {"POST", "/api/connect", offer(), bearer, noSession, 503, error("Sharing has stopped.")},
        {"POST", "/api/connect", offer(), bearer,
         [&](FakeState& s) { s.session->answerFailure = std::make_exception_ptr(StreamError(alreadyConnected)); },
         409, error(alreadyConnected)},
        {"POST", "/api/connect", offer(), bearer,
         [](FakeState& s) { s.session->answerFailure = std::make_exception_ptr(std::runtime_error("ICE failed")); },
         409, error("ICE failed")},
        {"POST", "/api/disconnect", "{}", bearer, {}, 400, error("Missing session.")},
        {"POST", "/api/disconnect", R"({"sessionID":"any"})", bearer, noSession, 200, {{"ok", true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " " + c.body.substr(0, 60) + " | " + c.authorization);
        FakeState state;
        if (c.setup) c.setup(state);
        HTTPRequest request{c.method, c.path, {}, c.body};
        if (!c.authorization.empty()) request.headers["authorization"] = c.authorization;
        const auto response = send(state, request);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.type, "application/json; charset=utf-8");
        EXPECT_EQ(json::parse(response.body), c.expected);
    }
}

// A late retry of a page that already disconnected must not take the stream back.
TEST(ReceiverRoutes, RefusesAConnectForADisconnectedIdentifier) {
    FakeState state;
    EXPECT_EQ(post(state, "/api/disconnect", json{{"sessionID", receiverID}}.dump()).status, 200);
    EXPECT_EQ(state.session->disconnected, std::vector{receiverID});
    EXPECT_EQ(post(state, "/api/connect", offer()).status, 409);
}

TEST(ReceiverRoutes, ForgetsCancelledIdentifiersWhenTheSixtyFifthArrives) {
    FakeState state;
    const auto disconnect = [&](const std::string& id) {
        EXPECT_EQ(post(state, "/api/disconnect", json{{"sessionID", id}}.dump()).status, 200);
    };
    disconnect(receiverID);
    for (int i = 1; i < 64; ++i) disconnect(std::to_string(i));
    EXPECT_EQ(post(state, "/api/connect", offer()).status, 409);
    disconnect("64");
    EXPECT_EQ(post(state, "/api/connect", offer()).status, 200);
    EXPECT_EQ(state.cancelled, std::set<std::string>{"64"});
}

} // namespace
} // namespace tavelin
