#pragma once

#include <asio/io_context.hpp>

#include "app/model.hpp"

namespace tavelin::support {

// Runs everything queued on the test's engine to its end, then readies the context for
// the next operation.
inline void drain(asio::io_context& context) {
    context.run();
    context.restart();
}

inline void runToEnd(asio::io_context& context, AppModel& model, Task<> operation) {
    model.spawn(std::move(operation));
    drain(context);
}

} // namespace tavelin::support
