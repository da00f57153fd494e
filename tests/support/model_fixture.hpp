#pragma once

#include <memory>

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include "app/model.hpp"
#include "tests/support/engine_runner.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin::support {

// The model on the simulated desktop with in-memory settings; the test runs its engine.
class ModelTest : public ::testing::Test {
protected:
    void run(Task<> operation) { runToEnd(ctx, *model, std::move(operation)); }
    void drain() { support::drain(ctx); }
    const DisplayProfile& first() const { return model->displayProfiles().front(); }

    SimulatedPlatform sim;
    MemorySettingsStore store;
    asio::io_context ctx;
    std::shared_ptr<AppModel> model = AppModel::create(sim.modelDependencies(ctx.get_executor(), store));
};

} // namespace tavelin::support
