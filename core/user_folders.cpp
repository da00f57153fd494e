#include "core/user_folders.hpp"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace tavelin {

std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& defaultBelowHome) {
    // An unset, empty or relative value is ignored, as the XDG rules ask.
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    std::filesystem::path home;
    if (const char* value = std::getenv("HOME"); value && *value) {
        home = value;
    } else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    }
    return home / defaultBelowHome;
}

} // namespace tavelin
