// Runs a command with a fresh embedded X server in its environment and returns the
// command's exit status; the server ends with this process.

#include <cstdio>
#include <exception>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/x11/embedded_server.hpp"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    try {
        const auto server = tavelin::x11::EmbeddedServer::start();
        server->exportEnvironment();
        const pid_t child = ::fork();
        if (child == 0) {
            ::execvp(argv[1], argv + 1);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
