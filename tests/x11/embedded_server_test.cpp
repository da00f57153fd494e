#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "platform/x11/embedded_server.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {
namespace {

TEST(EmbeddedServer, AnswersOnlyWithItsCookieAndCleansUp) {
    std::filesystem::path folder;
    {
        auto server = EmbeddedServer::start();
        folder = server->authorityFile().parent_path();
        struct stat info{};
        ASSERT_EQ(::stat(server->authorityFile().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        ::setenv("XAUTHORITY", server->authorityFile().c_str(), 1);
        EXPECT_NO_THROW(Connection(server->displayName()));

        ::setenv("XAUTHORITY", "/nonexistent", 1);
        EXPECT_THROW(Connection(server->displayName()), XError);
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
}

} // namespace
} // namespace tavelin::x11
