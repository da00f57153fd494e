// Runs one command with a fresh embedded X server in its environment (DISPLAY and
// XAUTHORITY) and returns its exit status; the server goes when the command has ended,
// or with this process however it ends.

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <spawn.h>
#include <sys/wait.h>

#include "platform/x11/embedded_server.hpp"

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<tavelin::x11::EmbeddedServer> server;
    try {
        server = tavelin::x11::EmbeddedServer::start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    server->exportEnvironment();
    pid_t child = 0;
    if (const int failed = ::posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(failed));
        return 1;
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
