// The receiver API as a browser reaches it: the model on the simulated desktop with the
// real HTTP server of each sharing run, over TCP on 127.0.0.1. The engine runs on its
// own thread; the test reaches the model only through work posted to it.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "app/model.hpp"
#include "server/local_sharing_server.hpp"
#include "tests/support/loopback_http.hpp"
#include "tests/support/scripted_sharing.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

namespace fs = std::filesystem;
using testing::HTTPReply;
using testing::LoopbackConnection;
using testing::ScriptedSession;
using Json = nlohmann::json;

constexpr const char* indexPage = "<!doctype html><title>receiver</title>";
constexpr const char* foreignOrigin = "Open the receiver directly from the host computer's address.";

std::string errorOf(const HTTPReply& reply) {
    const auto body = Json::parse(reply.body, nullptr, false);
    return body.is_object() ? body.value("error", "") : "";
}

class ReceiverApi : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(webRoot);
        std::ofstream(webRoot / "index.html") << indexPage;
        std::ofstream(webRoot / "receiver.js") << "//";
        std::ofstream(webRoot / "style.css") << "*{}";
        // 192.0.2.1 is only ever named in a Host header, never connected to.
        sim.interfaces = {{"192.0.2.1", true, true, false}, {"127.0.0.1", true, true, true}};
        auto dependencies = sim.modelDependencies(engine.get_executor(), store);
        dependencies.makeSession = [this] {
            session = std::make_shared<ScriptedSession>();
            session->statisticsResult = {{"pointerOwner", "Host"}};
            return session;
        };
        dependencies.makeServer = [timings = dependencies.timings] { return std::make_unique<LocalSharingServer>(timings); };
        dependencies.webRoot = webRoot;
        model = AppModel::create(std::move(dependencies));
        model->port.set(std::to_string(port));
        engineThread = std::thread([this] { engine.run(); });
        startSharing();
    }

    void TearDown() override {
        run([](AppModel& m) { return m.stop(); });
        onEngine([this] {
            model.reset();
            session.reset();
        });
        // Stopped rather than run dry: start leaves its server-ready time limit pending.
        engine.stop();
        engineThread.join();
        fs::remove_all(webRoot);
    }

    template <typename Work>
    std::invoke_result_t<Work> onEngine(Work work) {
        std::packaged_task<std::invoke_result_t<Work>()> task(std::move(work));
        auto result = task.get_future();
        asio::post(engine, [&task] { task(); });
        awaitOrAbort(result);
        return result.get();
    }

    // Runs one of the model's operations on the engine until it ends.
    void run(std::function<Task<>(AppModel&)> operation) {
        std::promise<void> finished;
        auto done = finished.get_future();
        asio::post(engine, [&] {
            auto notifying = [](Task<> work, std::promise<void>& end) -> Task<> {
                co_await std::move(work);
                end.set_value();
            };
            model->spawn(notifying(operation(*model), finished));
        });
        awaitOrAbort(done);
    }

    // The engine holds references into the waiting frame, so a hung engine cannot be
    // turned into an ordinary test failure.
    template <typename Future>
    static void awaitOrAbort(Future& future) {
        if (future.wait_for(LoopbackConnection::safetyTimeout) == std::future_status::ready) return;
        std::fputs("the engine did not finish its work\n", stderr);
        std::abort();
    }

    void startSharing() {
        run([](AppModel& m) { return m.start(); });
        const auto [running, error] = onEngine([this] { return std::pair(model->isRunning(), model->error()); });
        ASSERT_TRUE(running) << error.value_or("");
    }
    std::string token() {
        return onEngine([this] { return model->token(); });
    }

    HTTPReply get(const std::string& path, const std::string& hostHeader) {
        return testing::loopbackGet(port, path, hostHeader);
    }
    HTTPReply post(const std::string& path, const Json& body, const std::string& bearer = "",
                   const std::string& origin = "") {
        return testing::loopbackPost(port, path, body.dump(), bearer, origin);
    }
    HTTPReply connect(const std::string& sessionID) {
        return post("/api/connect", {{"type", "offer"}, {"sdp", "v=0\r\ns=-\r\n"}, {"sessionID", sessionID}}, token());
    }

    // Declared before the engine: work still queued at its end may hold the model.
    SimulatedPlatform sim;
    MemorySettingsStore store;
    const fs::path webRoot = fs::temp_directory_path() / ("tavelin-web-" + UUID::random().uuidString());
    asio::io_context engine;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(engine);
    std::shared_ptr<AppModel> model;
    std::shared_ptr<ScriptedSession> session; // the latest one
    std::thread engineThread;
    const std::uint16_t port = testing::freeLoopbackPort();
    const std::string host = "127.0.0.1:" + std::to_string(port);
};

TEST_F(ReceiverApi, GuardsAndPairingLimitStandBeforeTheToken) {
    const auto onPort = ":" + std::to_string(port);
    const auto right = onEngine([this] { return model->pairingCode(); });
    const std::string wrong = right == "0000" ? "1111" : "0000";
    const auto pair = [this](const std::string& code, const std::string& origin = "") {
        return post("/api/pair", {{"code", code}}, "", origin);
    };
    struct Case {
        const char* what;
        HTTPReply reply;
        int status;
        std::string error;
    };
    const Case cases[] = {
        // The model hands the server its web folder and its interface addresses, not only
        // the loopback one.
        {"page on the loopback address", get("/1234", host), 200, ""},
        {"interface address", get("/1234", "192.0.2.1" + onPort), 200, ""},
        // The server tests hold the host and origin rules; an origin naming another of
        // the model's own addresses is still foreign.
        {"origin of another host", pair(wrong, "http://192.0.2.1" + onPort), 403, foreignOrigin},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.reply.status, c.status) << c.what;
        EXPECT_EQ(errorOf(c.reply), c.error) << c.what;
        if (c.status == 200) {
            EXPECT_EQ(c.reply.body, indexPage) << c.what;
        }
    }
    // Refused guesses never reach the pairing gate, so they cannot lock the page out.
    for (int i = 0; i < 5; ++i) pair(wrong, "http://example.com");
    const auto paired = pair(right);
    EXPECT_EQ(paired.status, 200);
    EXPECT_EQ(Json::parse(paired.body, nullptr, false), Json({{"token", token()}}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pair(wrong).status, 401) << i;
    EXPECT_EQ(pair(right).status, 429);
}

TEST_F(ReceiverApi, StatusNeedsTheTokenOfTheCurrentRun) {
    onEngine([this] { model->receiverContrast.set(1.5); });
    const auto first = token();
    const auto status = post("/api/status", Json::object(), first);
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(Json::parse(status.body, nullptr, false),
              Json({{"pointerOwner", "Host"},
                    {"mouseEnabled", true},
                    {"receiver",
                     {{"brightness", 1.0}, {"contrast", 1.5}, {"saturation", 1.0}, {"rotation", 0},
                      {"flip", false}, {"blank", false}, {"fit", "contain"}}}}));

    // Stopping takes the run's server with it: its open connections and its listener.
    LoopbackConnection waiting(port);
    waiting.send("POST /api/status HTTP/1.1\r\nHost: " + host);
    run([](AppModel& m) { return m.stop(); });
    EXPECT_EQ(waiting.readToEnd(), "");
    EXPECT_FALSE(LoopbackConnection(port).connected());

    startSharing();
    const auto stale = post("/api/status", Json::object(), first);
    EXPECT_EQ(stale.status, 401);
    EXPECT_EQ(errorOf(stale), "Session expired. Open the current receiver link from the host computer.");
    EXPECT_EQ(post("/api/status", Json::object(), token()).status, 200);
}

TEST_F(ReceiverApi, ConnectIsAnsweredByTheSessionUntilDisconnected) {
    const auto id = UUID::random().uuidString();
    const auto answer = connect(id);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(Json::parse(answer.body, nullptr, false), Json({{"type", "answer"}, {"sdp", "v=0 answer"}, {"sessionID", id}}));

    EXPECT_EQ(post("/api/disconnect", {{"sessionID", id}}, token()).status, 200);
    const auto late = connect(id);
    EXPECT_EQ(late.status, 409);
    EXPECT_EQ(errorOf(late), "Connection cancelled.");

    const auto [offers, disconnected] = onEngine([this] { return std::pair(session->offers, session->disconnected); });
    EXPECT_EQ(offers, std::vector<std::string>{"v=0\r\ns=-\r\n"});
    EXPECT_EQ(disconnected, std::vector<std::string>{id});
}

} // namespace
} // namespace tavelin
