// Test main for WebRTC tests. ICE (libnice) ignores loopback addresses, so the tests run
// in a private network namespace with a veth pair and an address of their own; nothing
// they do reaches the host's network. libnice also skips interfaces named veth*, so the
// pair is named tav0/tav1.
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

bool runIP(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "ip");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (const int error = posix_spawnp(&child, "ip", nullptr, nullptr, argv.data(), environ); error != 0) {
        std::fprintf(stderr, "Could not run ip (iproute2): %s\n", std::strerror(error));
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::string command;
    for (const auto& argument : arguments) command += argument + ' ';
    std::fprintf(stderr, "Network namespace setup failed: %s\n", command.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists: unshare applies to the calling thread only.
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr,
                     "These tests need a private network namespace and could not make one (%s); run them as root.\n",
                     std::strerror(errno));
        return 1;
    }
    const std::vector<std::vector<std::string>> setup = {
        {"link", "set", "lo", "up"},
        {"link", "add", "tav0", "type", "veth", "peer", "name", "tav1"},
        {"addr", "add", "10.213.0.1/24", "dev", "tav0"},
        {"link", "set", "tav0", "up"},
        {"link", "set", "tav1", "up"},
        {"route", "add", "default", "dev", "tav0"},
    };
    for (const auto& command : setup) {
        if (!runIP(command)) return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
