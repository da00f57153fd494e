#include "ui/display_settings.hpp"

#include <array>
#include <cctype>

namespace tavelin::ui {

namespace {

struct Tool {
    std::string_view desktop; // as XDG_CURRENT_DESKTOP names it
    std::string_view program;
    std::string_view argument; // the display page, where the tool has pages
};

constexpr std::array<Tool, 10> tools{{
    {"GNOME", "gnome-control-center", "display"},
    {"KDE", "systemsettings", "kcm_kscreen"},
    {"KDE", "kcmshell5", "kcm_kscreen"},
    {"XFCE", "xfce4-display-settings", ""},
    {"X-Cinnamon", "cinnamon-settings", "display"},
    {"MATE", "mate-display-properties", ""},
    {"LXQt", "lxqt-config-monitor", ""},
    {"Budgie", "budgie-control-center", "display"},
    {"", "arandr", ""},
    {"", "lxrandr", ""},
}};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

bool runsOn(const Tool& tool, std::string_view desktops) {
    if (tool.desktop.empty()) return false;
    while (!desktops.empty()) {
        const auto end = desktops.find(':');
        if (equalIgnoringCase(desktops.substr(0, end), tool.desktop)) return true;
        if (end == std::string_view::npos) break;
        desktops.remove_prefix(end + 1);
    }
    return false;
}

DisplaySettingsCommand commandOf(const Tool& tool) {
    DisplaySettingsCommand command{std::string(tool.program), {}};
    if (!tool.argument.empty()) command.arguments.emplace_back(tool.argument);
    return command;
}

} // namespace

std::optional<DisplaySettingsCommand> displaySettingsCommand(std::string_view desktops,
                                                             const std::function<bool(const std::string&)>& installed) {
    for (const bool ownDesktop : {true, false}) {
        for (const auto& tool : tools) {
            if (ownDesktop && !runsOn(tool, desktops)) continue;
            if (installed(std::string(tool.program))) return commandOf(tool);
        }
    }
    return std::nullopt;
}

} // namespace tavelin::ui
