#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavelin {

// What the program itself reads from its command line; the model reads the rest from
// the same arguments.
struct ProgramOptions {
    std::vector<std::string> arguments; // program name first
    bool headless = false;
    bool benchmark = false;
    std::optional<std::filesystem::path> windowStateFile;
};

ProgramOptions parseOptions(int argc, char** argv);

} // namespace tavelin
