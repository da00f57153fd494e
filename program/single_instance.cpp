#include "program/single_instance.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/unique_fd.hpp"
#include "core/user_folders.hpp"

namespace tavelin {

namespace fs = std::filesystem;

fs::path dataFolder() { return xdgFolder("XDG_DATA_HOME", ".local/share") / "tavelin"; }

SingleInstance::Outcome SingleInstance::acquire(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || ::chmod(folder.c_str(), 0700) != 0) return Outcome::folderUnavailable;
    UniqueFd lock(::open((folder / "instance.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return Outcome::heldByAnother;
    // The descriptor stays open for the life of the process: closing it would drop the lock.
    lock.release();
    return Outcome::acquired;
}

bool SingleInstance::activateRunningCopy(const fs::path& folder) {
    const auto path = socketPath(folder).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    constexpr char request[] = "show\n";
    return ::send(socket.get(), request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1);
}

} // namespace tavelin
