#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/stream_error.hpp"
#include "server/sharing_server.hpp"
#include "streaming/stream_session.hpp"
#include "tests/support/case_name.hpp"
#include "tests/support/model_fixture.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

// Stand-ins for the stream session and the HTTP server of a sharing run, scripted by
// each test and recording what the model asked of them.
struct ScriptedSession : StreamSession {
    // What start does: succeed, throw a StreamError with this text, or refuse capture.
    std::optional<std::string> startFailure;
    bool captureDenied = false;
    nlohmann::json statisticsResult = nlohmann::json::object();

    int stops = 0;
    DisplayID startedDisplay = nullDisplay;
    std::vector<std::string> offers, disconnected;

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

struct ScriptedServer : SharingServer {
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
        if (behaviour == Behaviour::ready) ready();
        if (behaviour == Behaviour::failBeforeReady) onFailure("Address already in use");
    }
    void stop() override {}
};


struct Sharing : support::ModelTest {
    using ModelTest::model;
    using ModelTest::sim;

    Sharing() { makeModel(); }

    std::shared_ptr<AppModel> makeModel(std::vector<std::string> arguments = {"tavelin"}) {
        auto dependencies = sim.modelDependencies(ctx.get_executor(), store);
        dependencies.timings.serverReady = 50ms;
        dependencies.arguments = std::move(arguments);
        dependencies.makeSession = [this] { return sessions.emplace_back(std::make_shared<ScriptedSession>(script)); };
        dependencies.makeServer = [this] {
            auto server = std::make_unique<ScriptedServer>();
            (lastServer = server.get())->behaviour = serverBehaviour;
            return server;
        };
        return model = AppModel::create(std::move(dependencies));
    }

    void expectIdle() const {
        EXPECT_EQ(std::tuple(model->status(), model->isBusy(), model->isRunning(), model->token(), model->hasServer(),
                             model->session() != nullptr),
                  std::tuple("Ready to extend your desktop", false, false, "", false, false));
    }

    // Sends a request through a handler the model installed, as the server thread would.
    HTTPResponse request(const SharingServer::Handler& handler, const std::string& path = "/",
                         const nlohmann::json& body = {}, const std::string& token = "") {
        HTTPRequest sent{path == "/" ? "GET" : "POST", path, {}, body.is_null() ? "" : body.dump()};
        if (!token.empty()) sent.headers["authorization"] = "Bearer " + token;
        std::optional<HTTPResponse> answer;
        handler(sent, [&](HTTPResponse response) { answer = std::move(response); });
        drain();
        EXPECT_TRUE(answer);
        return answer.value_or(HTTPResponse{});
    }

    std::vector<std::shared_ptr<ScriptedSession>> sessions;
    ScriptedSession script; // what each new session is made from
    ScriptedServer::Behaviour serverBehaviour = ScriptedServer::Behaviour::ready;
    ScriptedServer* lastServer = nullptr;
};

TEST_F(Sharing, OneRunAtATimeEachWithItsOwnTokenAndHandler) {
    // Nothing starts while another operation runs, nor a second time while running.
    model->isBusy.set(true);
    run(model->start());
    EXPECT_TRUE(sessions.empty());
    model->isBusy.set(false);
    const auto code = model->pairingCode();
    run(model->start());
    run(model->start());
    EXPECT_EQ(std::tuple(model->isRunning(), model->isBusy(), model->status(), model->error()),
              std::tuple(true, false, "Waiting for receiver", std::nullopt));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(std::tuple(sessions[0]->startedDisplay, lastServer->port, lastServer->addresses, model->receiverURL()),
              std::tuple(sim.created.at(0).display, 8420, std::vector<std::string>{"192.168.1.20"},
                         "http://192.168.1.20:8420/" + code));

    const auto firstToken = model->token();
    const auto firstHandler = lastServer->handler;
    const auto expectEnded = [&] {
        const auto ended = request(firstHandler);
        EXPECT_EQ(std::tuple(ended.status, ended.body), std::tuple(503, R"({"error":"Session ended."})"));
    };
    run(model->stop());
    expectIdle();
    expectEnded();
    EXPECT_EQ(sessions[0]->stops, 1);

    run(model->start());
    ASSERT_TRUE(model->isRunning());
    EXPECT_NE(model->token(), firstToken);
    expectEnded();
}

// The receiver routes read the model of the current run: its pairing code and gate, token,
// session, cancelled identifiers, picture settings and input permission.
TEST_F(Sharing, ReceiverRequestsReadTheRunningModel) {
    using nlohmann::json;
    run(model->start());
    ASSERT_TRUE(model->isRunning());
    // Each setting distinct from the others, so that no two can be swapped unseen.
    model->receiverBrightness.set(0.5);
    model->receiverContrast.set(1.5);
    model->receiverSaturation.set(2.0);
    model->receiverRotation.set(90);
    model->receiverFlip.set(true);
    model->receiverFit.set("cover");
    sim.inputTrusted = false;
    sessions[0]->statisticsResult = {{"pointerOwner", "Host"}};
    const auto send = [&](const std::string& path, const json& body, bool bearer = true) {
        const auto answer = request(lastServer->handler, path, body, bearer ? model->token() : "");
        return std::pair(answer.status, json::parse(answer.body, nullptr, false));
    };
    const auto code = model->pairingCode(), wrong = std::string(code == "0000" ? "1111" : "0000");
    const auto id = UUID::random().uuidString();
    const json offer = {{"type", "offer"}, {"sdp", "v=0\r\ns=-\r\n"}, {"sessionID", id}};
    const json picture = {{"brightness", 0.5}, {"contrast", 1.5}, {"saturation", 2.0},
                          {"rotation", 90}, {"flip", true}, {"blank", false}, {"fit", "cover"}};
    const json status = {{"pointerOwner", "Host"}, {"mouseEnabled", false}, {"receiver", picture}};

    const auto paired = std::pair(200, json{{"token", model->token()}});
    EXPECT_EQ(send("/api/pair", {{"code", code}}, false), paired);
    EXPECT_EQ(send("/api/status", json::object()), std::pair(200, status));
    const json answer = {{"type", "answer"}, {"sdp", "v=0 answer"}, {"sessionID", id}};
    EXPECT_EQ(send("/api/connect", offer), std::pair(200, answer));
    EXPECT_EQ(send("/api/disconnect", {{"sessionID", id}}).first, 200);
    EXPECT_EQ(send("/api/connect", offer), std::pair(409, json{{"error", "Connection cancelled."}}));
    EXPECT_EQ(std::tuple(sessions[0]->offers, sessions[0]->disconnected),
              std::tuple(std::vector<std::string>{"v=0\r\ns=-\r\n"}, std::vector{id}));
    // The gate keeps its count from one request to the next.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(send("/api/pair", {{"code", wrong}}, false).first, 401);
    EXPECT_EQ(send("/api/pair", {{"code", code}}, false).first, 429);
}

// Each row breaks one step of start; every failed start must leave the model idle.
struct StartFailure { const char* what; std::function<void(Sharing&)> arrange; std::string message; };

class StartFailures : public Sharing, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, ReportAndLeaveIdle) {
    GetParam().arrange(*this);
    run(model->start());
    EXPECT_EQ(model->error(), GetParam().message);
    EXPECT_EQ(model->permissionGranted(), !script.captureDenied) << "only a refused capture clears it";
    expectIdle();
}

using Behaviour = ScriptedServer::Behaviour;
const std::string badSize = "Use even dimensions between 640 \u00D7 480 and 7680 \u00D7 4320.";
const std::string badPort = "Choose a port between 1024 and 65535.";

INSTANTIATE_TEST_SUITE_P(Table, StartFailures, ::testing::ValuesIn(std::vector<StartFailure>{
    {"no display", [](auto& t) { t.model->selectedDisplayID.set(UUID::random()); },
     "Add a display in the Displays tab first."},
    {"width with space", [](auto& t) { t.model->width.set("1920 "); }, badSize},
    {"empty height", [](auto& t) { t.model->height.set(""); }, badSize},
    {"fps", [](auto& t) { t.model->fps.set(29); }, "Choose a refresh rate between 30 and 240 Hz."},
    // A bitrate the arithmetic cannot truncate is out of bounds, not undefined.
    {"bitrate not finite", [](auto& t) { t.model->bitrate.set(1e300); }, "Choose a bitrate between 5 and 150 Mbps."},
    {"port 80", [](auto& t) { t.model->port.set("80"); }, badPort},
    {"port 70000", [](auto& t) { t.model->port.set("70000"); }, badPort},
    {"no address", [](auto& t) { t.sim.interfaces.clear(); }, "Connect this computer to Wi-Fi or Ethernet first."},
    {"random fails", [](auto& t) { t.sim.failRandom = true; }, "Could not generate an access key."},
    {"display creation", [](auto& t) { t.sim.newDisplays.failure = "No free output."; }, "No free output."},
    {"session start", [](auto& t) { t.script.startFailure = "Capture failed."; }, "Capture failed."},
    {"capture refused", [](auto& t) { t.script.captureDenied = true; }, CaptureDeniedError().message()},
    {"server fails first", [](auto& t) { t.serverBehaviour = Behaviour::failBeforeReady; }, "Address already in use"},
    {"server never ready", [](auto& t) { t.serverBehaviour = Behaviour::neverReady; },
     "The local server did not start. Try another port."}}),
    support::CaseName());

TEST_F(Sharing, FailuresWhileRunningStopWithTheirText) {
    const std::vector<std::pair<std::function<void()>, std::string>> failures{
        {[&] { sessions.back()->onFailure("The receiver connection failed."); }, "The receiver connection failed."},
        {[&] { lastServer->onFailure("Network is down"); }, "Network is down"}};
    for (const auto& [fail, message] : failures) {
        run(model->start());
        fail();
        drain();
        EXPECT_EQ(model->error(), message);
        expectIdle();
    }
    // A late callback of the stopped session does nothing.
    sessions[1]->onStatus("Receiver connected");
    EXPECT_EQ(model->status(), "Ready to extend your desktop");
}

TEST_F(Sharing, OnlyModeChangesRecreateTheDisplay) {
    run(model->start());
    run(model->stop());
    model->bitrate.set(50.7);
    run(model->start());
    EXPECT_EQ(std::tuple(sim.created.size(), model->selectedDisplay()->bitrateMbps), std::tuple(1u, 50));
    run(model->stop());
    model->fps.set(60);
    run(model->start());
    EXPECT_EQ(std::tuple(sim.created.size(), sim.releasedDisplays), std::tuple(2u, 1));
}

TEST_F(Sharing, ReceiverLinkFile) {
    const auto path = std::filesystem::temp_directory_path() / ("tavelin-link-" + UUID::random().uuidString());
    makeModel({"tavelin", "--receiver-link-file", path.string()});
    run(model->start());
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), model->receiverURL());
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600));
    std::filesystem::remove(path);

    makeModel({"tavelin", "--receiver-link-file", "/proc/tavelin/link"});
    run(model->start());
    EXPECT_EQ(std::tuple(model->isRunning(), model->error()),
              std::tuple(true, "Sharing started, but the receiver link file could not be written."));
    // The option without a path asks for no file.
    makeModel({"tavelin", "--receiver-link-file"});
    run(model->start());
    EXPECT_EQ(std::tuple(model->isRunning(), model->error()), std::tuple(true, std::nullopt));
}

TEST_F(Sharing, NewPairingCodeAlwaysDiffers) {
    // Replay the bytes of this model's first draw: the same code comes out and must be drawn
    // again. (The fixture's own model drew before it, from other bytes.)
    sim.nextRandomByte = 0;
    makeModel();
    const auto code = model->pairingCode();
    sim.nextRandomByte = 0;
    model->generatePairingCode();
    EXPECT_NE(model->pairingCode(), code);
    EXPECT_EQ(model->pairingCode().size(), 4u);
}

TEST_F(Sharing, WithoutARandomSourceNoCodePairsUntilStartDrawsOne) {
    sim.failRandom = true;
    makeModel();
    EXPECT_EQ(model->pairingCode(), "");
    EXPECT_NE(model->pairingGate().check("", model->pairingCode(), 0), PairingGate::Result::accepted);
    sim.failRandom = false;
    run(model->start());
    EXPECT_EQ(std::tuple(model->isRunning(), model->pairingCode().size()), std::tuple(true, 4u));
}

TEST(UsableAddresses, PrivateRangesFirstThenListOrder) {
    const std::vector<InterfaceAddress> interfaces{
        {"10.0.0.5", true, true, false},  {"172.16.0.2", true, true, false}, {"192.168.1.7", true, true, false},
        {"127.0.0.1", true, true, true},  {"192.168.9.9", true, false, false}, {"10.0.0.5", true, true, false},
        {"192.168.2.2", true, true, false}, {"", true, true, false}};
    EXPECT_EQ(usableAddresses(interfaces),
              (std::vector<std::string>{"192.168.1.7", "192.168.2.2", "10.0.0.5", "172.16.0.2"}));
}

} // namespace
} // namespace tavelin
