#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "app/model.hpp"

namespace tavelin::support {

// Runs everything queued on the test's engine to its end, then readies the context for
// the next operation.
inline void drain(asio::io_context& context) { context.run(); context.restart(); }

inline void runToEnd(asio::io_context& context, AppModel& model, Task<> operation) {
    model.spawn(std::move(operation));
    drain(context);
}

// Runs one task on a context of its own to its end: its value, or its exception rethrown.
template <typename T>
T runTask(Task<T> task) {
    asio::io_context context;
    auto result = asio::co_spawn(context, std::move(task), asio::use_future);
    context.run();
    return result.get();
}

} // namespace tavelin::support
