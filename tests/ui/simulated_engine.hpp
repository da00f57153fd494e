#pragma once

#include <filesystem>
#include <memory>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include <QCoreApplication>

#include "app/model.hpp"
#include "core/settings_store.hpp"
#include "core/uuid.hpp"
#include "platform/linux/xdg_autostart.hpp"
#include "tests/support/fake_desk.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin::testing {

// A model on the simulated platform, on an engine thread of its own, as the interface
// meets it in the program.
class SimulatedEngine {
public:
    ~SimulatedEngine() {
        context.stop();
        thread.join();
        std::filesystem::remove_all(configFolder);
    }

    template <typename Fn>
    auto call(Fn fn) { return asio::post(context, asio::use_future([&] { return fn(*model); })).get(); }

    // Lets what the engine posted to the GUI thread arrive, and what that posted back
    // to the engine run, a few times over.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            call([](AppModel&) {});
            QCoreApplication::processEvents();
        }
    }

    SimulatedPlatform platform;
    MemorySettingsStore store;
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    FakeDesk desk; // the lit displays the system displays menu lists
    const std::filesystem::path configFolder =
        std::filesystem::temp_directory_path() / ("tavelin-ui-config-" + UUID::random().uuidString());
    const std::filesystem::path autostartEntry = configFolder / "autostart" / "tavelin.desktop";
    const std::shared_ptr<AppModel> model = AppModel::create(withDesk(platform.modelDependencies(context.get_executor(), store)));
    std::thread thread{[this] { context.run(); }};

private:
    ModelDependencies withDesk(ModelDependencies dependencies) {
        dependencies.systemDisplays = SystemDisplayController::create(context.get_executor(), {desk, desk, desk, desk});
        dependencies.loginItems = std::make_shared<XdgAutostart>(autostartEntry, "tavelin");
        return dependencies;
    }
};

} // namespace tavelin::testing
