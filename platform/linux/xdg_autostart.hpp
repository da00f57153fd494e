#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/login_items.hpp"

namespace tavelin {

// The desktop's own convention for programs opened at login (XDG autostart, honoured by
// GNOME, KDE, XFCE and others): a desktop entry in $XDG_CONFIG_HOME/autostart. Tavelin
// opens there in the tray, without its window. Only the file says whether it does: an
// entry that starts Tavelin and is neither hidden nor disabled.
class XdgAutostart final : public LoginItems {
public:
    // entry: the desktop entry file; program: what its Exec key starts.
    XdgAutostart(std::filesystem::path entry, std::string program);

    // $XDG_CONFIG_HOME/autostart/tavelin.desktop.
    static std::filesystem::path defaultEntry();
    // The program's name when the search path finds `executable` itself under it (the
    // installed copy), else the executable's absolute path (a build tree).
    static std::string programFor(const std::filesystem::path& executable, std::string_view searchPath);
    // The entry's whole text.
    static std::string entryText(std::string_view program);

    bool opensAtLogin() override;
    std::optional<std::string> setOpensAtLogin(bool open) override;

private:
    std::filesystem::path entry_;
    std::string program_;
};

} // namespace tavelin
