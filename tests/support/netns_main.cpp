// Test main for WebRTC tests. ICE (libnice) ignores loopback addresses, so the tests run
// in a private network namespace with a veth pair and an address of their own; nothing
// they do reaches the host's network. libnice also skips interfaces named veth*, so the
// pair is named tav0/tav1.
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Before any thread exists: unshare applies to the calling thread only.
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr,
                     "These tests need a private network namespace and could not make one (%s); run them as root.\n",
                     std::strerror(errno));
        return 1;
    }
    // ip names what it refused on standard error.
    if (std::system("set -e; ip link set lo up; ip link add tav0 type veth peer name tav1;"
                    " ip addr add 10.213.0.1/24 dev tav0; ip link set tav0 up; ip link set tav1 up;"
                    " ip route add default dev tav0") != 0) {
        std::fputs("Network namespace setup failed (it needs iproute2).\n", stderr);
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
