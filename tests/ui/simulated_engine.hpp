#pragma once

#include <future>
#include <memory>
#include <thread>
#include <type_traits>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <QCoreApplication>

#include "app/model.hpp"
#include "core/settings_store.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin::testing {

// A model on the simulated platform, on an engine thread of its own, as the interface
// meets it in the program.
class SimulatedEngine {
public:
    SimulatedEngine() : model_(AppModel::create(platform.modelDependencies(context.get_executor(), store))) {
        thread_ = std::thread([this] { context.run(); });
    }
    ~SimulatedEngine() {
        work_.reset();
        context.stop();
        thread_.join();
    }

    const std::shared_ptr<AppModel>& model() const { return model_; }

    // Runs fn(model) on the engine and waits for its result.
    template <typename Fn>
    auto call(Fn fn) {
        std::packaged_task<std::invoke_result_t<Fn, AppModel&>()> task([&] { return fn(*model_); });
        auto result = task.get_future();
        asio::post(context, [&] { task(); });
        return result.get();
    }

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

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_{context.get_executor()};
    std::shared_ptr<AppModel> model_;
    std::thread thread_;
};

} // namespace tavelin::testing
