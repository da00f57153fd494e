#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavelin::ui {

// The desktop's own display settings, where the user arranges the displays. Linux has
// no common link to them, so the program opens the first settings tool that is
// installed, the current desktop's own before the others.
struct DisplaySettingsCommand {
    std::string program;
    std::vector<std::string> arguments;
    friend bool operator==(const DisplaySettingsCommand&, const DisplaySettingsCommand&) = default;
};

// `installed` answers whether a program is on the search path; `desktops` is
// XDG_CURRENT_DESKTOP, a colon-separated list such as "ubuntu:GNOME".
std::optional<DisplaySettingsCommand> displaySettingsCommand(std::string_view desktops,
                                                             const std::function<bool(const std::string&)>& installed);

} // namespace tavelin::ui
