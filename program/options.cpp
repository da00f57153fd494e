#include "program/options.hpp"

#include <algorithm>

namespace tavelin {

ProgramOptions parseOptions(int argc, char** argv) {
    ProgramOptions options;
    options.arguments.assign(argv, argv + argc);
    const auto& arguments = options.arguments;
    const auto has = [&](const char* option) { return std::ranges::find(arguments, option) != arguments.end(); };
    options.headless = has("--headless");
    options.benchmark = has("--benchmark");
    if (const auto file = std::ranges::find(arguments, "--window-state-file");
        file != arguments.end() && std::next(file) != arguments.end()) {
        options.windowStateFile = *std::next(file);
    }
    return options;
}

} // namespace tavelin
