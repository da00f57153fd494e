#include "core/atomic_file.hpp"

#include <cerrno>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavelin {

namespace fs = std::filesystem;

namespace {

std::string systemMessage(int error) { return std::generic_category().message(error); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now so that a failing close (a delayed write error) is seen.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

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

} // namespace

std::optional<std::string> writeFileAtomically(const fs::path& path, std::string_view content, mode_t mode) {
    const auto folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (const auto failure = createPrivateFolders(folder)) return failure;
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) return systemMessage(errno);
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
    if (::fsync(file.get()) != 0 || !file.close()) {
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
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
    return std::nullopt;
}

} // namespace tavelin
