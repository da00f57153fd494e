#include "platform/linux/xdg_autostart.hpp"

#include <fstream>
#include <map>
#include <optional>
#include <system_error>

#include <unistd.h>

#include "core/atomic_file.hpp"
#include "core/user_folders.hpp"

namespace tavelin {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view programName = "tavelin";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

using Keys = std::map<std::string, std::string, std::less<>>;

// The keys of the entry's [Desktop Entry] group, values as written; none without a file.
std::optional<Keys> desktopEntryKeys(const fs::path& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    Keys keys;
    bool inGroup = false;
    for (std::string line; std::getline(file, line);) {
        const auto text = trimmed(line);
        if (text.empty() || text.front() == '#') continue;
        if (text.front() == '[') {
            inGroup = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (inGroup && equals != std::string_view::npos) {
            keys.emplace(trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)));
        }
    }
    return keys;
}

// The program an Exec value starts: its first word, with the escapes of the string type
// undone, then those of the quoting rules.
fs::path execProgram(std::string_view exec) {
    std::string value;
    for (std::size_t at = 0; at < exec.size(); ++at) {
        if (exec[at] != '\\' || at + 1 == exec.size()) {
            value += exec[at];
            continue;
        }
        const char escaped = exec[++at];
        value += escaped == 's' ? ' ' : escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
    }
    std::string word;
    bool quoted = false;
    for (std::size_t at = 0; at < value.size(); ++at) {
        const char c = value[at];
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && at + 1 < value.size()) {
            word += value[++at];
        } else if (!quoted && (c == ' ' || c == '\t')) {
            break;
        } else {
            word += c;
        }
    }
    return word;
}

// Starts Tavelin, whatever its other keys say.
bool startsTavelin(const Keys& keys) {
    const auto exec = keys.find("Exec");
    return exec != keys.end() && execProgram(exec->second).filename() == programName;
}

// One word of an Exec value: quoted when it holds a reserved character, '%' doubled, and
// then the backslashes of the quoting rules escaped again as the string type asks.
std::string execWord(std::string_view word) {
    const bool quote = word.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
    std::string text = quote ? "\"" : "";
    for (const char c : word) {
        if (c == '%') {
            text += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) text += "\\\\";
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    return quote ? text + "\"" : text;
}

} // namespace

XdgAutostart::XdgAutostart(fs::path entry, std::string program)
    : entry_(std::move(entry)), program_(std::move(program)) {}

fs::path XdgAutostart::defaultEntry() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") / "autostart" / "tavelin.desktop";
}

std::string XdgAutostart::programFor(const fs::path& executable, std::string_view searchPath) {
    while (!searchPath.empty()) {
        const auto end = searchPath.find(':');
        const fs::path folder = searchPath.substr(0, end);
        searchPath.remove_prefix(end == std::string_view::npos ? searchPath.size() : end + 1);
        // An empty or relative entry names the current folder, which the desktop's is not.
        if (!folder.is_absolute()) continue;
        const auto candidate = folder / programName;
        std::error_code error;
        if (::access(candidate.c_str(), X_OK) != 0) continue;
        // The first match is what the desktop would start.
        return fs::equivalent(candidate, executable, error) ? std::string(programName) : executable.string();
    }
    return executable.string();
}

std::string XdgAutostart::entryText(std::string_view program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tavelin\n"
           "Comment=Extend your desktop onto another computer's screen through a browser\n"
           "Exec=" + execWord(program) + " --tray\n"
           "Icon=tavelin\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostart::opensAtLogin() {
    const auto keys = desktopEntryKeys(entry_);
    if (!keys || !startsTavelin(*keys)) return false;
    const auto says = [&](const char* key, const char* value) {
        const auto found = keys->find(key);
        return found != keys->end() && found->second == value;
    };
    // Hidden is how a desktop removes an entry; GNOME's own switch turns one off.
    return !says("Hidden", "true") && !says("X-GNOME-Autostart-enabled", "false");
}

std::optional<std::string> XdgAutostart::setOpensAtLogin(bool open) {
    if (open) {
        if (const auto failure = writeFileAtomically(entry_, entryText(program_), 0644)) {
            return "Tavelin cannot open at login: writing " + entry_.string() + " failed (" + *failure + ").";
        }
        return std::nullopt;
    }
    // Another program's entry of that name is not ours to remove.
    const auto keys = desktopEntryKeys(entry_);
    std::error_code error;
    if (keys && startsTavelin(*keys) && !fs::remove(entry_, error) && error) {
        return "Tavelin still opens at login: removing " + entry_.string() + " failed (" + error.message() + ").";
    }
    return std::nullopt;
}

} // namespace tavelin
