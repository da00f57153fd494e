#include "program/single_instance.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
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

namespace {

UniqueFd connectTo(const fs::path& socketPath) {
    const auto path = socketPath.string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return socket;
}

bool sendAll(int socket, std::string_view text) {
    return ::send(socket, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

} // namespace

bool SingleInstance::activateRunningCopy(const fs::path& folder) {
    const auto socket = connectTo(socketPath(folder));
    return socket && sendAll(socket.get(), "show\n");
}

std::optional<std::string> SingleInstance::askRunningCopy(const fs::path& folder, std::string_view request) {
    const auto socket = connectTo(socketPath(folder));
    if (!socket) return std::nullopt;
    // Starting to share takes seconds; only a copy that is stuck takes this long.
    const timeval limit{60, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (!sendAll(socket.get(), std::string(request) + "\n")) return answer;
    char chunk[512];
    for (;;) {
        const auto length = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) return std::string();
        answer.append(chunk, static_cast<std::size_t>(length));
        if (const auto end = answer.find('\n'); end != std::string::npos) return answer.substr(0, end);
    }
}

} // namespace tavelin
