#include <gtest/gtest.h>

#include <string>

#include "displays/edid.hpp"
#include "displays/virtual_display_descriptor.hpp"

namespace tavelin::displays {
namespace {

TEST(VirtualDisplayDescriptor, IdentityComesFromTheIdentifierAlone) {
    constexpr std::uint32_t basis = 0x811C9DC5u, prime = 16777619u;
    // "é" is one UTF-16 unit 0x00E9, not its two UTF-8 bytes; U+1F600 the pair D83D DE00.
    EXPECT_EQ(identifierHash("\xC3\xA9"), (basis ^ 0xE9u) * prime);
    EXPECT_EQ(identifierHash("\xF0\x9F\x98\x80"), ((basis ^ 0xD83Du) * prime ^ 0xDE00u) * prime);
    const auto a = VirtualDisplayDescriptor::describe(1920, 1080, 60, false, "One", "");
    const auto b = VirtualDisplayDescriptor::describe(1280, 720, 30, true, "Other", "");
    EXPECT_EQ(std::pair(a.productID, a.serialNumber), std::pair(std::uint16_t{0x9DC5}, basis));
    EXPECT_EQ(std::pair(b.productID, b.serialNumber), std::pair(a.productID, a.serialNumber));
}

std::string hex(const EDID& e) {
    std::string text;
    for (const auto byte : e) text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text;
}

// The 13 bytes of the monitor name descriptor, wherever the block put it.
std::string nameIn(const EDID& e) {
    for (std::size_t slot = 54; slot < 126; slot += 18)
        if (e[slot] == 0 && e[slot + 1] == 0 && e[slot + 3] == 0xFC) return {&e[slot + 5], &e[slot + 18]};
    return "no name";
}

TEST(EDID, CarriesTheDescriptor) {
    const ModeTiming cvt1280{.dotClockHz = 74500000, .hDisplay = 1280, .hSyncStart = 1344, .hSyncEnd = 1472,
                             .hTotal = 1664, .vDisplay = 720, .vSyncStart = 723, .vSyncEnd = 728, .vTotal = 748,
                             .vSyncPositive = true};
    const auto e = makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, "Desk", "abc"), cvt1280);
    EXPECT_EQ(hex(e),
              "00FFFFFFFFFFFF00" "6B2E" "0BE9" "0BE9471A" // "ZYN", product 0xE90B, serial 0x1A47E90B
              "0022" "0103" "80" "1E11" "7806" // week 0 of 2024, EDID 1.3, digital, 30 x 17 cm (295.6 x 166.3 mm)
              "EE91A3544C99260F5054"           // round(x * 1024) of the sRGB primaries and D65
              "000000" "01010101010101010101010101010101" // no established or standard timings
              // 74.5 MHz, 1280 + 384 by 720 + 28, syncs 64/128 and 3/5; digital separate, vsync +, hsync -
              "1A1D" "008051" "D01C20" "40803500" "28A610" "0000" "1C"
              "000000FC00" "4465736B0A2020202020202020" // "Desk\n", padded with spaces
              "000000FD00013D012E09000A202020202020"    // range limits
              "00000010" "0000000000000000000000000000" "00B0"); // dummy descriptor, no extension, checksum
}

TEST(EDID, NameAndOversizedModes) {
    // A 13-byte name leaves no room for the newline; "é" at byte 12–13 must not be cut.
    for (const auto& [name, stored] : {std::pair{"Thirteen char", "Thirteen char"},
                                       {"Twelve chars\xC3\xA9", "Twelve chars\n"},
                                       {"Tab\there", "Tab here\n    "}, {"", "\n            "}})
        EXPECT_EQ(nameIn(makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, name, "id"), {})), stored)
            << name;
    // 5120 pixels do not fit a detailed timing; the rest of the block still does.
    const ModeTiming wide{.dotClockHz = 938250000, .hDisplay = 5120, .hSyncStart = 5560, .hSyncEnd = 6128,
                          .hTotal = 7136, .vDisplay = 2880, .vSyncStart = 2883, .vSyncEnd = 2888, .vTotal = 2926};
    const auto e = makeEDID(VirtualDisplayDescriptor::describe(5120, 2880, 60, true, "Wide", "id"), wide);
    EXPECT_EQ(e[54] | e[55], 0) << "no pixel clock: the first descriptor is no timing";
    EXPECT_EQ(nameIn(e), "Wide\n        ");
    EXPECT_EQ(e[21], 59);
}

TEST(EDID, ReadsBackWhoTheMonitorIs) {
    const auto made = makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, "Desk", "abc"), {});
    const auto read = readEDID(made);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, (EDIDIdentity{"Desk", "ZYN", 0x6B2E, 0xE90B, 0x1A47E90B}));
    EXPECT_FALSE(readEDID(std::span(made).first(127))) << "short";
    auto broken = made;
    broken[0] = 1;
    EXPECT_FALSE(readEDID(broken)) << "no fixed header";
}

} // namespace
} // namespace tavelin::displays
