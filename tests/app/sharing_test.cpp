#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <asio/io_context.hpp>
#include <sys/stat.h>

#include "app/model.hpp"
#include "tests/support/scripted_sharing.hpp"
#include "tests/support/simulated_platform.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

using testing::ScriptedServer;
using testing::ScriptedSession;
using namespace std::chrono_literals;

class Sharing : public ::testing::Test {
public:
    std::shared_ptr<AppModel> makeModel(std::vector<std::string> arguments = {"tavelin"}) {
        Timings timings;
        timings.displayModePoll = 1ms;
        timings.mirrorStatePoll = 1ms;
        timings.serverReady = 50ms;
        auto model = AppModel::create(ModelDependencies{
            context.get_executor(), sim.platform(), store,
            [this] {
                sessions.push_back(std::make_shared<ScriptedSession>());
                sessions.back()->startFailure = sessionFailure;
                sessions.back()->captureDenied = captureDenied;
                return sessions.back();
            },
            [this] {
                auto server = std::make_unique<ScriptedServer>();
                server->behaviour = serverBehaviour;
                lastServer = server.get();
                return server;
            },
            std::move(arguments), timings, {}});
        return model;
    }

    void run(AppModel& model, Task<> operation) {
        model.spawn(std::move(operation));
        context.run();
        context.restart();
    }

    static void expectIdle(const AppModel& model) {
        EXPECT_EQ(model.status(), "Ready to extend your desktop");
        EXPECT_FALSE(model.isBusy());
        EXPECT_FALSE(model.isRunning());
        EXPECT_TRUE(model.token().empty());
        EXPECT_FALSE(model.hasServer());
        EXPECT_FALSE(model.session());
    }

    // Sends a request through the handler the model installed, as the server thread
    // would, and returns the answer.
    HTTPResponse request(const SharingServer::Handler& handler, std::string method, std::string path) {
        HTTPRequest sent;
        sent.method = std::move(method);
        sent.path = std::move(path);
        std::optional<HTTPResponse> answer;
        handler(sent, [&](HTTPResponse response) { answer = std::move(response); });
        context.run();
        context.restart();
        EXPECT_TRUE(answer);
        return answer.value_or(HTTPResponse{});
    }

    asio::io_context context;
    SimulatedPlatform sim;
    MemorySettingsStore store;
    std::vector<std::shared_ptr<ScriptedSession>> sessions;
    std::optional<std::string> sessionFailure;
    bool captureDenied = false;
    ScriptedServer::Behaviour serverBehaviour = ScriptedServer::Behaviour::ready;
    ScriptedServer* lastServer = nullptr;
};

TEST_F(Sharing, StartsAndStops) {
    auto model = makeModel();
    const auto code = model->pairingCode();
    run(*model, model->start());
    EXPECT_TRUE(model->isRunning());
    EXPECT_FALSE(model->isBusy());
    EXPECT_EQ(model->status(), "Waiting for receiver");
    EXPECT_FALSE(model->error());
    EXPECT_EQ(model->token().size(), 32u);
    EXPECT_EQ(model->token().find_first_not_of("0123456789abcdef"), std::string::npos);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]->startedDisplay, sim.created.at(0).display);
    EXPECT_EQ(lastServer->port, 8420);
    EXPECT_EQ(lastServer->addresses, std::vector<std::string>{"192.168.1.20"});
    EXPECT_EQ(model->receiverURL(), "http://192.168.1.20:8420/" + code);

    const auto firstToken = model->token();
    run(*model, model->stop());
    expectIdle(*model);
    EXPECT_EQ(sessions[0]->stops, 1);
    // The display stays live after stop, and a second run draws a new token.
    EXPECT_EQ(model->displays().size(), 1u);
    run(*model, model->start());
    EXPECT_NE(model->token(), firstToken);
    EXPECT_EQ(model->pairingCode(), code);
}

// Each row breaks one step of start; every failed start must leave the model idle.
struct StartFailure {
    const char* what;
    std::function<void(Sharing&, AppModel&)> arrange;
    std::string message;
};

class StartFailures : public Sharing, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, ReportAndLeaveIdle) {
    auto model = makeModel();
    GetParam().arrange(*this, *model);
    run(*model, model->start());
    EXPECT_EQ(model->error(), GetParam().message);
    expectIdle(*model);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailures,
    ::testing::Values(
        StartFailure{"no display", [](Sharing&, AppModel& m) { m.selectedDisplayID.set(UUID::random()); },
                     "Add a display in the Displays tab first."},
        StartFailure{"width with space", [](Sharing&, AppModel& m) { m.width.set("1920 "); },
                     "Use even dimensions between 640 \u00D7 480 and 7680 \u00D7 4320."},
        StartFailure{"empty height", [](Sharing&, AppModel& m) { m.height.set(""); },
                     "Use even dimensions between 640 \u00D7 480 and 7680 \u00D7 4320."},
        StartFailure{"fps", [](Sharing&, AppModel& m) { m.fps.set(29); }, "Choose a refresh rate between 30 and 240 Hz."},
        // A bitrate the arithmetic cannot truncate is out of bounds, not undefined.
        StartFailure{"bitrate not finite", [](Sharing&, AppModel& m) { m.bitrate.set(1e300); },
                     "Choose a bitrate between 5 and 150 Mbps."},
        StartFailure{"port 80", [](Sharing&, AppModel& m) { m.port.set("80"); }, "Choose a port between 1024 and 65535."},
        StartFailure{"port 70000", [](Sharing&, AppModel& m) { m.port.set("70000"); },
                     "Choose a port between 1024 and 65535."},
        StartFailure{"no address", [](Sharing& t, AppModel&) { t.sim.interfaces.clear(); },
                     "Connect this computer to Wi-Fi or Ethernet first."},
        StartFailure{"random fails", [](Sharing& t, AppModel&) { t.sim.failRandom = true; },
                     "Could not generate an access key."},
        StartFailure{"display creation", [](Sharing& t, AppModel&) { t.sim.newDisplays.failure = "No free output."; },
                     "No free output."},
        StartFailure{"session start", [](Sharing& t, AppModel&) { t.sessionFailure = "Capture failed."; },
                     "Capture failed."},
        StartFailure{"server fails first",
                     [](Sharing& t, AppModel&) { t.serverBehaviour = ScriptedServer::Behaviour::failBeforeReady; },
                     "Address already in use"},
        StartFailure{"server refuses", [](Sharing& t, AppModel&) { t.serverBehaviour = ScriptedServer::Behaviour::refuseToStart; },
                     std::generic_category().message(EADDRINUSE)},
        StartFailure{"server never ready",
                     [](Sharing& t, AppModel&) { t.serverBehaviour = ScriptedServer::Behaviour::neverReady; },
                     "The local server did not start. Try another port."}),
    support::CaseName());

TEST_F(Sharing, StartWhileBusyOrRunningChangesNothing) {
    auto model = makeModel();
    model->isBusy.set(true);
    model->setStatus("Working");
    run(*model, model->start());
    EXPECT_EQ(model->status(), "Working");
    EXPECT_TRUE(sessions.empty());
    model->isBusy.set(false);
    run(*model, model->start());
    run(*model, model->start());
    EXPECT_EQ(sessions.size(), 1u);
}

TEST_F(Sharing, CaptureRefusalClearsThePermission) {
    auto model = makeModel();
    captureDenied = true;
    run(*model, model->start());
    EXPECT_FALSE(model->permissionGranted());
    EXPECT_NE(model->error()->find("refused screen capture"), std::string::npos);
    expectIdle(*model);
}

TEST_F(Sharing, RequestsOfAnEndedRunAreRefused) {
    auto model = makeModel();
    run(*model, model->start());
    const auto firstHandler = lastServer->handler;
    EXPECT_NE(request(firstHandler, "GET", "/nowhere").status, 503);
    run(*model, model->stop());
    run(*model, model->start());
    ASSERT_TRUE(model->isRunning());
    const auto ended = request(firstHandler, "GET", "/");
    EXPECT_EQ(ended.status, 503);
    EXPECT_EQ(ended.body, R"({"error":"Session ended."})");
}

TEST_F(Sharing, FailuresWhileRunningStopWithTheirText) {
    auto model = makeModel();
    run(*model, model->start());
    sessions[0]->onFailure("The receiver connection failed.");
    context.run();
    context.restart();
    EXPECT_EQ(model->error(), "The receiver connection failed.");
    expectIdle(*model);

    run(*model, model->start());
    lastServer->onFailure("Network is down");
    context.run();
    context.restart();
    EXPECT_EQ(model->error(), "Network is down");
    expectIdle(*model);
    // A late callback of the stopped session does nothing.
    sessions[1]->onStatus("Receiver connected");
    EXPECT_EQ(model->status(), "Ready to extend your desktop");
}

TEST_F(Sharing, OnlyModeChangesRecreateTheDisplay) {
    auto model = makeModel();
    run(*model, model->start());
    run(*model, model->stop());
    model->bitrate.set(50.7);
    run(*model, model->start());
    EXPECT_EQ(sim.created.size(), 1u);
    EXPECT_EQ(model->selectedDisplay()->bitrateMbps, 50);
    run(*model, model->stop());
    model->fps.set(60);
    run(*model, model->start());
    EXPECT_EQ(sim.created.size(), 2u);
    EXPECT_EQ(sim.releasedDisplays, 1);
}

TEST_F(Sharing, ReceiverLinkFile) {
    const auto path = std::filesystem::temp_directory_path() / ("tavelin-link-" + UUID::random().uuidString());
    auto model = makeModel({"tavelin", "--receiver-link-file", path.string()});
    run(*model, model->start());
    std::ifstream in(path);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, model->receiverURL());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::filesystem::remove(path);

    auto unwritable = makeModel({"tavelin", "--receiver-link-file", "/proc/tavelin/link"});
    run(*unwritable, unwritable->start());
    EXPECT_TRUE(unwritable->isRunning());
    EXPECT_EQ(unwritable->error(), "Sharing started, but the receiver link file could not be written.");
}

TEST_F(Sharing, NewPairingCodeAlwaysDiffers) {
    auto model = makeModel();
    const auto code = model->pairingCode();
    ASSERT_EQ(code.size(), 4u);
    // Replay the bytes of the first draw: the same code comes out and must be drawn again.
    sim.nextRandomByte = 0;
    model->generatePairingCode();
    EXPECT_NE(model->pairingCode(), code);
    EXPECT_EQ(model->pairingCode().size(), 4u);
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
