#pragma once

// A system bus of the test's own: a dbus-daemon on a socket in a temporary folder that
// lets everyone own and call everything and starts the given service on demand, with
// "%STATE%" in its command replaced by a folder of its own. $DBUS_SYSTEM_BUS_ADDRESS
// points at it while it lives, for this process and what the bus starts.

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>

namespace tavelin::testing {

class PrivateSystemBus {
public:
    explicit PrivateSystemBus(const std::string& service = {}, const std::string& command = {}) {
        static std::atomic<int> count{0};
        std::filesystem::remove_all(dir_ /= "tavelin-system-bus-" + std::to_string(::getpid()) + "-" + std::to_string(count++));
        std::filesystem::create_directories(dir_ / "services");
        std::filesystem::create_directories(dir_ / "state");
        address_ = "unix:path=" + (dir_ / "bus").string();
        std::ofstream(dir_ / "bus.conf") << "<busconfig><type>system</type><listen>" << address_
                                         << "</listen><auth>EXTERNAL</auth><servicedir>" << (dir_ / "services").string()
                                         << "</servicedir><policy context=\"default\"><allow user=\"*\"/>"
                                            "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                                            "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        if (!service.empty())
            std::ofstream(dir_ / "services" / (service + ".service"))
                << "[D-BUS Service]\nName=" << service
                << "\nExec=" << std::regex_replace(command, std::regex("%STATE%"), (dir_ / "state").string()) << "\n";
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        std::string program = "dbus-daemon", nofork = "--nofork", print = "--print-pid=1";
        std::string config = "--config-file=" + (dir_ / "bus.conf").string();
        char* argv[] = {program.data(), config.data(), nofork.data(), print.data(), nullptr};
        int ready = -1;
        g_spawn_async_with_pipes(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                 nullptr, nullptr, &pid_, nullptr, &ready, nullptr, nullptr);
        char line[32] = {};
        const bool started = ::read(ready, line, sizeof line) > 0; // written once it listens
        ::close(ready);
        if (!started) throw std::runtime_error("dbus-daemon did not start");
    }
    ~PrivateSystemBus() {
        // The services it started leave as soon as their bus is gone.
        if (pid_) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        std::filesystem::remove_all(dir_);
    }
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    const std::string& address() const { return address_; }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_ = std::filesystem::temp_directory_path();
    std::string address_;
    pid_t pid_ = 0;
};

} // namespace tavelin::testing
