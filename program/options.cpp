#include "program/options.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace tavelin {

namespace {

struct Option {
    std::string_view name;
    std::string_view value; // empty for a switch
    std::string_view effect;
};

// The order of `--help`, one line each.
constexpr std::array options{
    Option{"--start", "", "start sharing once the saved displays are restored"},
    Option{"--port", "N", "the HTTP port (1024 to 65535; default 8420)"},
    Option{"--width", "W", "preset the width of the selected display's mode"},
    Option{"--height", "H", "preset the height of the selected display's mode"},
    Option{"--fps", "F", "preset the refresh rate of the selected display's mode"},
    Option{"--hidpi", "", "preset the selected display's mode to HiDPI"},
    Option{"--receiver-link-file", "PATH", "write the receiver link into PATH each time sharing starts"},
    Option{"--headless", "", "no windows; status and error lines go to stderr"},
    Option{"--tray", "", "start in the tray without opening the main window"},
    Option{"--benchmark", "", "show the motion test on the shared display once sharing has started"},
    Option{"--window-state-file", "PATH", "write the main window's frame and flags as JSON into PATH"},
    Option{"--status", "", "print the running copy's state: sharing, link, pairing code, receiver"},
    Option{"--disconnect", "", "disconnect the running copy's receiver"},
    Option{"--new-code", "", "give the running copy a new pairing code"},
    Option{"--stop-sharing", "", "make the running copy stop sharing"},
    Option{"--start-sharing", "", "make the running copy start sharing"},
    Option{"--quit", "", "stop sharing cleanly and end the running copy"},
    Option{"--help", "", "show this help and exit (also -h)"},
    Option{"--version", "", "show the version and exit"},
};

// They ask the running copy, by their name without the dashes, and stand alone.
constexpr std::array controlOptions{"--status", "--disconnect", "--new-code", "--stop-sharing", "--start-sharing",
                                    "--quit"};

// The options Qt's application object takes out of the command line itself, with one
// dash or two, those that name a value either followed by it or as -option=value.
constexpr std::array qtSwitches{"reverse", "nograb", "dograb", "sync", "widgetcount"};
constexpr std::array qtValueOptions{"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
                                    "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                                    "geometry", "style", "stylesheet", "name", "title", "visual"};

template <typename List>
bool contains(const List& list, std::string_view name) {
    return std::ranges::find(list, name) != list.end();
}

std::string helpText() {
    std::string text = "Usage: tavelin [option...]\nExtends this computer's desktop to a browser on another computer.\n\n";
    for (const auto& option : options) {
        std::string head = "  " + std::string(option.name);
        if (!option.value.empty()) head += " " + std::string(option.value);
        head.resize(std::max<std::size_t>(head.size() + 2, 30), ' ');
        text += head + std::string(option.effect) + "\n";
    }
    return text + "\nThe mode presets take effect on the selected display when sharing starts, "
                  "which saves them with it.\n";
}

ProgramOptions usage(ProgramOptions options, const std::string& problem) {
    options.action = ProgramOptions::Action::usage;
    options.output = "tavelin: " + problem + "\nTry 'tavelin --help'.\n";
    return options;
}

} // namespace

ProgramOptions parseOptions(int argc, char** argv) {
    ProgramOptions result;
    result.arguments.assign(argv, argv + argc);
    const auto& arguments = result.arguments;
    for (std::size_t at = 1; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--help" || argument == "-h") {
            result.action = ProgramOptions::Action::help;
            result.output = helpText();
            return result;
        }
        if (argument == "--version") {
            result.action = ProgramOptions::Action::version;
            result.output = "Tavelin " TAVELIN_VERSION "\n";
            return result;
        }
        const auto ours = std::ranges::find(options, std::string_view(argument), &Option::name);
        if (ours != options.end()) {
            if (ours->value.empty()) continue;
            if (++at == arguments.size()) return usage(std::move(result), "option '" + argument + "' needs a value");
            continue;
        }
        // Qt's own options: -style fusion, --style fusion, -style=fusion.
        std::string_view name = argument;
        if (name.starts_with("--")) name.remove_prefix(1);
        if (name.size() > 1 && name.starts_with('-')) {
            name.remove_prefix(1);
            const auto equals = name.find('=');
            if (contains(qtSwitches, name)) continue;
            if (contains(qtValueOptions, name.substr(0, equals))) {
                if (equals == std::string_view::npos && ++at == arguments.size()) {
                    return usage(std::move(result), "option '" + argument + "' needs a value");
                }
                continue;
            }
            return usage(std::move(result), "unknown option '" + argument + "'");
        }
        return usage(std::move(result), "unexpected argument '" + argument + "'");
    }
    if (const auto control = std::ranges::find_first_of(arguments, controlOptions); control != arguments.end()) {
        if (arguments.size() > 2) return usage(std::move(result), "option '" + *control + "' stands alone");
        result.controlRequest = control->substr(2);
        return result;
    }
    const auto has = [&](const char* option) { return std::ranges::find(arguments, option) != arguments.end(); };
    result.headless = has("--headless");
    result.benchmark = has("--benchmark");
    result.tray = has("--tray");
    if (const auto file = std::ranges::find(arguments, "--window-state-file");
        file != arguments.end() && std::next(file) != arguments.end()) {
        result.windowStateFile = *std::next(file);
    }
    return result;
}

} // namespace tavelin
