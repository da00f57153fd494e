#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>

namespace tavelin {

class AppModel;

// Listens on the single instance's socket: a second copy connects and asks this one to
// show its main window, and the control options ask it what control.hpp answers, quit
// included, which calls `quit` on the engine. Only this user is served. Without the
// socket this copy runs on, logging why.
void listenForActivation(asio::io_context& engine, const std::filesystem::path& socketPath,
                         std::weak_ptr<AppModel> model, std::function<void()> quit);

} // namespace tavelin
