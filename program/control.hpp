#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "engine/task.hpp"

namespace tavelin {

class AppModel;

// Control of the running copy from the command line over its activation socket: one
// request line, the control option's name without its dashes ("status", "new-code", …),
// and one answer line, "ok TEXT" or "error TEXT".
struct ControlAnswer {
    bool ok = true;
    std::string text;
    bool quit = false; // the program ends once the answer is sent
};

// Carries out one request on the engine.
Task<ControlAnswer> answerControlRequest(std::shared_ptr<AppModel> model, std::string request);

// The command-line side: sends the request, prints the answer's text (an error on
// stderr) and returns the exit status, 1 when no copy runs.
int controlRunningCopy(const std::filesystem::path& folder, std::string_view request);

} // namespace tavelin
