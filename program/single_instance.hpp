#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// The folder for this user's application data: $XDG_DATA_HOME/tavelin, or
// ~/.local/share/tavelin.
std::filesystem::path dataFolder();

// The process-wide lock that keeps a second copy from running. The lock is an advisory
// flock on "instance.lock" in the application support folder, held until the process
// ends, so a lock file left by a crashed run never blocks.
class SingleInstance {
public:
    enum class Outcome { acquired, heldByAnother, folderUnavailable };

    // Creates the folder (0700) and takes the lock.
    static Outcome acquire(const std::filesystem::path& folder);

    // The running copy listens here for a request to show its main window.
    static std::filesystem::path socketPath(const std::filesystem::path& folder) { return folder / "instance.sock"; }
    // Asks the running copy to show its main window; false when it cannot be reached.
    static bool activateRunningCopy(const std::filesystem::path& folder);
    // Sends the running copy one request line and reads its one-line answer, without the
    // line break: nullopt when no copy listens, empty when it gave no answer in time.
    static std::optional<std::string> askRunningCopy(const std::filesystem::path& folder, std::string_view request);
};

} // namespace tavelin
