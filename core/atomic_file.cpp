#include "core/atomic_file.hpp"

#include <cerrno>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/unique_fd.hpp"

namespace tavelin {

namespace fs = std::filesystem;

namespace {

std::string systemMessage(int error) { return std::generic_category().message(error); }

// Creates every missing folder of the path with mode 0700, outermost first. Folders that
// exist keep their mode: they are the user's.
std::optional<std::string> createPrivateFolders(const fs::path& folder) {
    std::vector<fs::path> missing;
    std::error_code error;
    for (auto current = folder; !current.empty() && !fs::exists(current, error); current = current.parent_path()) {
        missing.push_back(current);
        if (current == current.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return systemMessage(errno);
    }
    return std::nullopt;
}

// "." + name + ".XXXXXX", as mkostemp fills it in.
std::string temporaryPattern(const fs::path& path) { return "." + path.filename().string() + ".XXXXXX"; }

} // namespace

std::optional<std::string> writeFileAtomically(const fs::path& path, std::string_view content, mode_t mode) {
    const auto folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (const auto failure = createPrivateFolders(folder)) return failure;
    std::string temporary = (folder / temporaryPattern(path)).string();
    UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file) return systemMessage(errno);
    auto removeTemporary = [&] { ::unlink(temporary.c_str()); };
    if (::fchmod(file.get(), mode) != 0) {
        const int failure = errno;
        removeTemporary();
        return systemMessage(failure);
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const auto n = ::write(file.get(), content.data() + written, content.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int failure = errno;
            removeTemporary();
            return systemMessage(failure);
        }
        written += static_cast<std::size_t>(n);
    }
    // Closed here so that a failing close (a delayed write error) is seen.
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0) {
        const int failure = errno;
        removeTemporary();
        return systemMessage(failure);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        removeTemporary();
        return systemMessage(failure);
    }
    // Make the rename itself durable.
    if (const UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); directory) {
        ::fsync(directory.get());
    }
    return std::nullopt;
}

void removeStaleTemporaries(const fs::path& path) {
    const auto pattern = temporaryPattern(path);
    const auto prefix = pattern.substr(0, pattern.size() - 6);
    const auto folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const auto name = entry.path().filename().string();
        if (name.size() == pattern.size() && name.starts_with(prefix) && entry.is_regular_file(error)) {
            fs::remove(entry.path(), error);
        }
    }
}

} // namespace tavelin
