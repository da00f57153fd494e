#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/stream_error.hpp"
#include "server/receiver_routes.hpp"
#include "streaming/stream_session.hpp"
#include "tests/support/engine_runner.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Lower case, so a test fails if the identifier is normalised instead of used as sent.
const std::string receiverID = "0f8e2b4c-61a7-4c1e-9d3b-5a2f7e8c9d10";
const std::string alreadyConnected = "A receiver is already connected. Disconnect it on the host computer first.";

// The model as the routes see it, with its session: answers and statistics come after a
// suspension, as from the engine.
struct FakeState : ReceiverState {
    bool sharing = true, running = true;
    std::string token = "secret-token";
    PairingGate gate;
    std::exception_ptr answerFailure;
    std::set<std::string> cancelled;
    fs::path root;

    FakeState() {
        std::string pattern = (fs::temp_directory_path() / "tavelin-web-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        for (const char* name : {"index.html", "receiver.js", "style.css", "icon.svg"}) std::ofstream(root / name) << name;
    }
    ~FakeState() override { fs::remove_all(root); }

    bool isSharing() override { return sharing; }
    std::string accessToken() override { return token; }
    PairingGate::Result checkPairingCode(const std::string& code) override { return gate.check(code, "0427", 1000); }
    Task<std::optional<json>> streamStatistics() override {
        if (!running) co_return std::nullopt;
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        co_return json{{"framesSent", 42}};
    }
    Task<std::optional<json>> answerOffer(std::string offer, std::string id) override {
        if (!running) co_return std::nullopt;
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        if (answerFailure) std::rethrow_exception(answerFailure);
        co_return json{{"type", "answer"}, {"sessionID", id}, {"offerBytes", offer.size()}};
    }
    void disconnectReceiver(const std::string&) override {}
    std::set<std::string>& cancelledSessions() override { return cancelled; }
    ReceiverSettings receiverSettings() override { return {0.5, 1.25, 2, 270, true, false, "cover"}; }
    bool mouseEnabled() override { return true; }
    fs::path webRoot() override { return root; }
};

HTTPResponse send(FakeState& state, HTTPRequest request) { return support::runTask(handleReceiverRequest(state, request)); }

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

TEST(ReceiverRoutes, ServesTheReceiverFilesAsTheyAreNowForGETWhetherSharingOrNot) {
    const std::string html = "text/html; charset=utf-8";
    const struct { std::string path, type = {}, body = {}; } cases[] = { // no type: 404
        {"/", html, "index.html"}, {"/1234", html, "index.html"}, {"/0000/", html, "index.html"},
        {"/receiver.js", "text/javascript; charset=utf-8", "receiver.js"},
        {"/style.css", "text/css; charset=utf-8", "style.css"},
        {"/icon.svg", "image/svg+xml", "icon.svg"}, {"/favicon.ico"},
        {"/12345"}, {"/123"}, {"/?x=1"}, {"/1234//"},
        {"/index.html"}, // only "/" names the page; no other file of the folder leaks
    };
    FakeState state;
    state.sharing = false;
    const std::tuple<int, std::string, std::string> notFound{404, "application/json; charset=utf-8",
                                                             error("Not found.").dump()};
    for (const auto& c : cases) {
        const auto response = send(state, {"GET", c.path, {}, {}});
        EXPECT_EQ(std::tuple(response.status, response.type, response.body),
                  c.type.empty() ? notFound : std::tuple(200, c.type, c.body)) << c.path;
    }
    // Each file is read afresh: an edit shows at once, a removed file is not found.
    std::ofstream(state.root / "style.css") << "edited";
    EXPECT_EQ(send(state, {"GET", "/style.css", {}, {}}).body, "edited");
    fs::remove(state.root / "style.css");
    EXPECT_EQ(send(state, {"GET", "/style.css", {}, {}}).status, 404);
}

TEST(ReceiverRoutes, AnswersEachPOSTWithItsStatusAndBody) {
    const std::string expired = "Session expired. Open the current receiver link from the host computer.";
    const std::string outOfDate = "This receiver link is out of date. Copy the current link from the Tavelin app.";
    const json stopped = error("Sharing has stopped."), badOffer = error("Invalid connection offer.");
    const json badBody = error("Invalid request body."), noID = error("Missing connection identifier.");
    const json cancelled = error("Connection cancelled.");
    // The most clusters an offer may have, twice as many bytes: each CR LF counts once.
    std::string longest = "v=0";
    for (int i = 0; i < 262'140; ++i) longest += "\r\n";
    const std::string tooLong = "v=0" + std::string(262'141, 'a');
    json withStatistics = settings;
    withStatistics["framesSent"] = 42;
    using Setup = void (*)(FakeState&);
    const Setup noSession = [](FakeState& s) { s.running = false; };
    static const Setup cancel = [](FakeState& s) { s.cancelled.insert(receiverID); };
    const Setup refuse = [](FakeState& s) { s.answerFailure = std::make_exception_ptr(StreamError(alreadyConnected)); };
    const Setup other = [](FakeState& s) { s.answerFailure = std::make_exception_ptr(std::runtime_error("ICE")); };
    const struct {
        std::string path, body; Setup setup; int status; json expected;
        std::string authorization = "Bearer secret-token", method = "POST";
    } cases[] = {
        {"/", "", {}, 503, stopped, "", "PUT"}, {"/api/status", "{}", {}, 503, stopped, "Bearer secret-token", "post"},
        // A stopped share wins over a bad body, and the body is judged before the token.
        {"/api/pair", "", [](FakeState& s) { s.sharing = false; }, 503, stopped, ""},
        {"/api/status", "", {}, 400, badBody, ""}, {"/api/pair", "[]", {}, 400, badBody, ""},
        {"/api/unknown", "{}", {}, 404, error("Not found.")}, {"/api/unknown", "{}", {}, 401, error(expired), ""},
        {"/api/status?x=1", "{}", {}, 404, error("Not found.")},
        {"/api/status", "{}", {}, 401, error(expired), "bearer secret-token"},
        {"/api/status", "{}", {}, 401, error(expired), "Bearer secret-token-2"},
        // Not sharing leaves the token empty; "Bearer " must not match it.
        {"/api/status", "{}", [](FakeState& s) { s.token.clear(); }, 401, error(expired), "Bearer "},
        {"/api/pair", R"({"code":"427"})", {}, 401, error(outOfDate), ""},
        {"/api/pair", R"({"code":427})", {}, 401, error(outOfDate), ""},
        {"/api/pair", R"({"code":"0427"})",
         [](FakeState& s) { for (int i = 0; i < 5; ++i) s.gate.check("9999", "0427", 1000); }, 429,
         error("Too many incorrect codes. Wait one minute and try again."), ""},
        {"/api/receiver", "{}", {}, 200, settings},
        {"/api/status", "{}", noSession, 200, settings}, {"/api/status", "{}", {}, 200, withStatistics},
        {"/api/connect", offer(), {}, 401, error(expired), ""}, {"/api/connect", offer(longest), {}, 200, answerTo(longest)},
        {"/api/connect", offer(tooLong), {}, 400, badOffer}, {"/api/connect", offer("x=0"), {}, 400, badOffer},
        {"/api/connect", offer("v=0", "answer"), {}, 400, badOffer},
        // The offer is judged before the identifier.
        {"/api/connect", offer("v=1", "offer", "x"), {}, 400, badOffer},
        {"/api/connect", offer("v=0", "offer", "not-a-uuid"), {}, 400, noID},
        {"/api/connect", offer("v=0", "offer", 7), {}, 400, noID}, {"/api/connect", offer(), cancel, 409, cancelled},
        // A cancelled identifier is refused even when no session runs.
        {"/api/connect", offer(), [](FakeState& s) { cancel(s), s.running = false; }, 409, cancelled},
        {"/api/connect", offer(), noSession, 503, stopped}, {"/api/connect", offer(), other, 409, error("ICE")},
        {"/api/connect", offer(), refuse, 409, error(alreadyConnected)},
        {"/api/disconnect", "{}", {}, 400, error("Missing session.")},
        {"/api/disconnect", R"({"sessionID":"any"})", noSession, 200, {{"ok", true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " " + c.body.substr(0, 60) + " | " + c.authorization);
        FakeState state;
        if (c.setup) c.setup(state);
        HTTPRequest request{c.method, c.path, {}, c.body};
        if (!c.authorization.empty()) request.headers["authorization"] = c.authorization;
        const auto response = send(state, request);
        EXPECT_EQ(std::tuple(response.status, response.type, json::parse(response.body)),
                  std::tuple(c.status, "application/json; charset=utf-8", c.expected));
    }
}

// A late retry of a page that already disconnected must not take the stream back, yet the
// set of such identifiers stays bounded.
TEST(ReceiverRoutes, RefusesDisconnectedIdentifiersUntilTheSixtyFifthArrives) {
    FakeState state;
    const auto post = [&](const std::string& path, const std::string& body) {
        return send(state, {"POST", path, {{"authorization", "Bearer secret-token"}}, body}).status;
    };
    const auto disconnect = [&](std::string id) { EXPECT_EQ(post("/api/disconnect", json{{"sessionID", id}}.dump()), 200); };
    disconnect(receiverID);
    for (int i = 1; i < 64; ++i) disconnect(std::to_string(i));
    EXPECT_EQ(post("/api/connect", offer()), 409);
    disconnect("64");
    EXPECT_EQ(post("/api/connect", offer()), 200);
    EXPECT_EQ(state.cancelled, std::set<std::string>{"64"});
}

} // namespace
} // namespace tavelin
