#include <gmock/gmock.h>
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
        Connection withCookie(server->displayName());
        EXPECT_GT(withCookie.screen()->width_in_pixels, 0);

        ::setenv("XAUTHORITY", "/nonexistent", 1);
        EXPECT_THROW(Connection(server->displayName()), XError);
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(EmbeddedServer, AMissingServerIsOneSentence) {
    ::setenv("TAVELIN_XORG", "/nonexistent/Xorg", 1);
    EXPECT_THAT([] { EmbeddedServer::start(); },
                ::testing::ThrowsMessage<EmbeddedServerError>(::testing::StrEq(
                    "Tavelin could not start its own X server: /nonexistent/Xorg is missing; install the packages "
                    "xserver-xorg-core and xserver-xorg-video-dummy.")));
    // A server that stops before it answers is the program tests' case.
    ::unsetenv("TAVELIN_XORG");
}

} // namespace
} // namespace tavelin::x11
