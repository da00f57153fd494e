#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "engine/task.hpp"
#include "tests/support/engine_runner.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

TEST(TaskHandle, CancellingEndsASleepAtOnce) {
    asio::io_context context;
    std::vector<std::string> steps;
    auto work = [&]() -> Task<> {
        steps.push_back("sleeping");
        steps.push_back(co_await sleepFor(1h) ? "woke" : "cancelled");
    };
    auto handle = TaskHandle::spawn(context.get_executor(), work());
    context.run_one(); // runs until the sleep starts
    EXPECT_TRUE(handle.isRunning());
    handle.cancel();
    // The hour-long sleep must not hold the context: run() returns once the task ends.
    context.run();
    EXPECT_EQ(steps, (std::vector<std::string>{"sleeping", "cancelled"}));
    EXPECT_FALSE(handle.isRunning());
    handle.cancel(); // harmless after the end
}

TEST(OneShot, FirstOutcomeDecides) {
    // outcomes: >= 0 succeed with that value, -1 fail
    struct Case { const char* what; std::vector<int> outcomes; std::string expected; bool beforeTheWait = false; };
    for (const auto& c : {Case{"success first", {7, -1}, "7"}, Case{"failure first", {-1, 7}, "failed"},
                          Case{"two successes", {1, 2}, "1"}, Case{"settled before the wait", {3, 4}, "3", true}}) {
        asio::io_context context;
        OneShot<int> race(context.get_executor());
        std::vector<bool> first;
        const auto settle = [&] {
            for (const int outcome : c.outcomes) {
                first.push_back(outcome >= 0 ? race.succeed(outcome)
                                             : race.fail(std::make_exception_ptr(std::runtime_error("x"))));
            }
        };
        std::string seen;
        auto waiter = [&]() -> Task<> {
            try {
                seen = std::to_string(co_await race.wait());
            } catch (const std::runtime_error&) {
                seen = "failed";
            }
        };
        if (c.beforeTheWait) settle();
        TaskHandle::spawn(context.get_executor(), waiter());
        context.run_one(); // the waiter is now suspended, or already done
        if (!c.beforeTheWait) settle();
        context.run();
        EXPECT_EQ(seen, c.expected) << c.what;
        EXPECT_EQ(first, (std::vector<bool>{true, false})) << c.what;
    }
}

TEST(PostWeak, SkipsAnOwnerThatIsGone) {
    asio::io_context context;
    auto owner = std::make_shared<int>(1);
    int calls = 0;
    for (int i = 0; i < 2; ++i) postWeak(context.get_executor(), std::weak_ptr(owner), [&](int& v) { calls += v; });
    context.run_one();
    owner.reset();
    context.run();
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace tavelin
