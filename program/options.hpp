#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavelin {

// What the program itself reads from its command line; the model reads the rest from
// the same arguments.
struct ProgramOptions {
    // run: go on; help and version: print `output` and exit 0; usage: print `output` on
    // stderr and exit 2.
    enum class Action { run, help, version, usage };
    Action action = Action::run;
    std::string output;
    std::vector<std::string> arguments; // program name first
    bool headless = false;
    bool benchmark = false;
    bool tray = false;
    std::optional<std::filesystem::path> windowStateFile;
    // A control option ("--status", …) asks the running copy instead, by this request.
    std::optional<std::string> controlRequest;
};

// Every argument must be one of ours (matched exactly, a value option followed by its
// value) or one that Qt reads itself; anything else is a usage error.
ProgramOptions parseOptions(int argc, char** argv);

} // namespace tavelin
