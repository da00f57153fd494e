// The main() of every test program that needs a display server: one fresh embedded X
// server for the whole program, never the developer's own desktop.

#include <cstdio>

#include <gtest/gtest.h>

#include "platform/x11/embedded_server.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time) needs no server.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    try {
        const auto server = tavelin::x11::EmbeddedServer::start();
        server->exportEnvironment();
        return RUN_ALL_TESTS();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
