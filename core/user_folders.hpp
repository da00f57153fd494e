#pragma once

#include <filesystem>

namespace tavelin {

// An XDG base folder: the variable's value when it is an absolute path, else the
// default below the user's home (from $HOME, else the password database).
std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& defaultBelowHome);

} // namespace tavelin
