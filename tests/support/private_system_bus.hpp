#pragma once

// A system bus of the test's own: a dbus-daemon on a socket in a temporary folder that
// lets everyone own and call everything and starts the given services on demand, each
// with "%STATE%" in its command replaced by a folder of its own. $DBUS_SYSTEM_BUS_ADDRESS
// points at it while it lives, for this process and what the bus starts.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace tavelin::testing {

class PrivateSystemBus {
public:
    struct Service {
        std::string name;
        std::string command;
    };

    explicit PrivateSystemBus(const std::vector<Service>& services = {}) {
        static std::atomic<int> count{0};
        namespace fs = std::filesystem;
        dir_ = fs::temp_directory_path() /
               ("tavelin-system-bus-" + std::to_string(::getpid()) + "-" + std::to_string(count++));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "services");
        fs::create_directories(dir_ / "state");
        address_ = "unix:path=" + (dir_ / "bus").string();
        std::ofstream(dir_ / "bus.conf") << "<busconfig><type>system</type><listen>" << address_
                                         << "</listen><auth>EXTERNAL</auth><servicedir>"
                                         << (dir_ / "services").string()
                                         << "</servicedir><policy context=\"default\"><allow user=\"*\"/>"
                                            "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                                            "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        for (const auto& service : services) {
            std::string command = service.command;
            for (auto at = command.find("%STATE%"); at != std::string::npos; at = command.find("%STATE%")) {
                command.replace(at, 7, (dir_ / "state").string());
            }
            std::ofstream(dir_ / "services" / (service.name + ".service"))
                << "[D-BUS Service]\nName=" << service.name << "\nExec=" << command << "\n";
        }
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        const std::string config = "--config-file=" + (dir_ / "bus.conf").string();
        const std::string print = "--print-pid=" + std::to_string(ready[1]);
        const char* argv[] = {"dbus-daemon", config.c_str(), "--nofork", print.c_str(), nullptr};
        if (posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = 0;
        ::close(ready[1]);
        char line[32] = {};
        const bool started = pid_ && ::read(ready[0], line, sizeof line) > 0; // written once it listens
        ::close(ready[0]);
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
    std::filesystem::path dir_;
    std::string address_;
    pid_t pid_ = 0;
};

} // namespace tavelin::testing
