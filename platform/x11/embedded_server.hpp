#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <sys/types.h>

namespace tavelin::x11 {

// The X server could not be started; the text is one sentence for the user.
class EmbeddedServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Tavelin's own X server for a machine without a desktop: Xorg with the dummy driver,
// run as the current user with a generated configuration in a private temporary folder,
// on a display number the server picks itself. Its sixteen outputs DUMMY0 to DUMMY15
// take the modes we create, so virtual displays work as on a real desktop. Access needs
// a cookie that only this user can read. Destruction stops the server and removes the
// folder.
class EmbeddedServer {
public:
    // Starts the server and waits until it answers. The Xorg binary is
    // $TAVELIN_XORG when set, else /usr/lib/xorg/Xorg. Throws EmbeddedServerError.
    static std::unique_ptr<EmbeddedServer> start(std::chrono::milliseconds limit = std::chrono::seconds(20));
    ~EmbeddedServer();
    EmbeddedServer(const EmbeddedServer&) = delete;
    EmbeddedServer& operator=(const EmbeddedServer&) = delete;

    // ":N", for $DISPLAY.
    const std::string& displayName() const { return displayName_; }
    // The cookie file a client needs, for $XAUTHORITY.
    const std::filesystem::path& authorityFile() const { return clientAuthority_; }
    // The server's process, to notice when it ends.
    pid_t pid() const { return pid_; }
    // Sets $DISPLAY and $XAUTHORITY of this process (and so of the programs it starts).
    void exportEnvironment() const;

private:
    EmbeddedServer() = default;
    void stop() noexcept;

    std::filesystem::path folder_;
    std::filesystem::path clientAuthority_;
    std::string displayName_;
    pid_t pid_ = -1;
};

} // namespace tavelin::x11
