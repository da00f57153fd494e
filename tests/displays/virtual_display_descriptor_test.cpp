#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "displays/edid.hpp"
#include "displays/virtual_display_descriptor.hpp"

namespace tavelin::displays {
namespace {

TEST(VirtualDisplayDescriptor, IdentityComesFromTheIdentifierAlone) {
    struct Case {
        const char* identifier;
        std::uint32_t hash;
        std::uint16_t productID;
        std::uint32_t serial;
    };
    for (const auto& c : {
             Case{"", 0x811C9DC5, 0x9DC5, 0x811C9DC5},
             Case{"abc", 0x1A47E90B, 0xE90B, 0x1A47E90B},
             // "é" is one UTF-16 unit 0x00E9, not its two UTF-8 bytes.
             Case{"\xC3\xA9", (0x811C9DC5u ^ 0xE9u) * 16777619u, 0, 0},
             // U+1F600 is the surrogate pair D83D DE00.
             Case{"\xF0\x9F\x98\x80", ((0x811C9DC5u ^ 0xD83Du) * 16777619u ^ 0xDE00u) * 16777619u, 0, 0},
         }) {
        SCOPED_TRACE(c.identifier);
        EXPECT_EQ(identifierHash(c.identifier), c.hash);
        if (c.productID == 0) continue;
        const auto a = VirtualDisplayDescriptor::describe(1920, 1080, 60, false, "One", c.identifier);
        const auto b = VirtualDisplayDescriptor::describe(1280, 720, 30, true, "Other", c.identifier);
        EXPECT_EQ(a.productID, c.productID);
        EXPECT_EQ(a.serialNumber, c.serial);
        EXPECT_EQ(b.productID, a.productID);
        EXPECT_EQ(b.serialNumber, a.serialNumber);
    }
}

TEST(VirtualDisplayDescriptor, SizeAndModes) {
    struct Case {
        std::int64_t width, height;
        bool hiDPI;
        std::vector<ModeSize> modes;
    };
    // 1365 guards the rounding of an odd half: down, to 682.
    for (const auto& c : {Case{3840, 2160, true, {{3840, 2160}, {1920, 1080}}}, Case{1920, 1080, false, {{1920, 1080}}},
                          Case{1365, 767, true, {{1365, 767}, {682, 383}}}}) {
        const auto d = VirtualDisplayDescriptor::describe(c.width, c.height, 60, c.hiDPI, "n", "id");
        EXPECT_EQ(d.modes, c.modes);
        const double dpi = c.hiDPI ? 220 : 110;
        EXPECT_DOUBLE_EQ(d.widthMillimetres, c.width * 25.4 / dpi);
        EXPECT_DOUBLE_EQ(d.heightMillimetres, c.height * 25.4 / dpi);
    }
    const auto hiDPI = VirtualDisplayDescriptor::describe(3840, 2160, 60, true, "n", "id");
    EXPECT_NEAR(hiDPI.widthMillimetres, 443.3, 0.05);
    EXPECT_NEAR(hiDPI.heightMillimetres, 249.4, 0.05);
}

TEST(ModeTiming, RefreshIsTheDotClockOverTheFrame) {
    // The CVT 1920x1080 "75 Hz" mode reads 74.95 Hz.
    ModeTiming t{.dotClockHz = 220750000, .hDisplay = 1920, .hSyncStart = 2064, .hSyncEnd = 2272, .hTotal = 2624,
                 .vDisplay = 1080, .vSyncStart = 1083, .vSyncEnd = 1088, .vTotal = 1123};
    EXPECT_NEAR(t.refreshRate(), 74.91, 0.01);
    t.interlaced = true;
    EXPECT_NEAR(t.refreshRate(), 149.83, 0.01);
    t.interlaced = false;
    t.doubleScan = true;
    EXPECT_NEAR(t.refreshRate(), 37.46, 0.01);
}

// Reads back what a monitor-side parser would.
struct Decoded {
    std::string manufacturer;
    std::uint16_t product;
    std::uint32_t serial;
    int widthCM, heightCM;
    std::array<std::uint16_t, 8> chromaticity;
    std::string name;
    int pixelClock10kHz = 0, hActive = 0, hBlank = 0, vActive = 0, vBlank = 0;
    int hSyncOffset = 0, hSyncWidth = 0, vSyncOffset = 0, vSyncWidth = 0, flags = 0;
};

Decoded decode(const EDID& e) {
    Decoded d;
    const int packed = e[8] << 8 | e[9];
    for (int shift : {10, 5, 0}) d.manufacturer += static_cast<char>('A' - 1 + ((packed >> shift) & 31));
    d.product = static_cast<std::uint16_t>(e[10] | e[11] << 8);
    d.serial = e[12] | e[13] << 8 | e[14] << 16 | static_cast<std::uint32_t>(e[15]) << 24;
    d.widthCM = e[21];
    d.heightCM = e[22];
    for (int i = 0; i < 8; ++i) d.chromaticity[i] = static_cast<std::uint16_t>(e[27 + i] << 2 | ((e[25 + i / 4] >> (6 - 2 * (i % 4))) & 3));
    for (int slot = 54; slot < 126; slot += 18) {
        const auto* s = &e[slot];
        if (s[0] || s[1]) {
            d.pixelClock10kHz = s[0] | s[1] << 8;
            d.hActive = s[2] | (s[4] >> 4) << 8;
            d.hBlank = s[3] | (s[4] & 15) << 8;
            d.vActive = s[5] | (s[7] >> 4) << 8;
            d.vBlank = s[6] | (s[7] & 15) << 8;
            d.hSyncOffset = s[8] | (s[11] >> 6) << 8;
            d.hSyncWidth = s[9] | ((s[11] >> 4) & 3) << 8;
            d.vSyncOffset = (s[10] >> 4) | ((s[11] >> 2) & 3) << 4;
            d.vSyncWidth = (s[10] & 15) | (s[11] & 3) << 4;
            d.flags = s[17];
        } else if (s[3] == 0xFC) {
            d.name.assign(s + 5, s + 18);
        }
    }
    return d;
}

TEST(EDID, CarriesTheDescriptor) {
    const ModeTiming cvt1280{.dotClockHz = 74500000, .hDisplay = 1280, .hSyncStart = 1344, .hSyncEnd = 1472,
                             .hTotal = 1664, .vDisplay = 720, .vSyncStart = 723, .vSyncEnd = 728, .vTotal = 748,
                             .vSyncPositive = true};
    const auto descriptor = VirtualDisplayDescriptor::describe(1280, 720, 60, false, "Desk", "abc");
    const EDID e = makeEDID(descriptor, cvt1280);
    EXPECT_EQ(std::accumulate(e.begin(), e.end(), 0u) % 256, 0u);
    EXPECT_EQ(e[18], 1);
    EXPECT_EQ(e[19], 3);
    const auto d = decode(e);
    EXPECT_EQ(d.manufacturer, "ZYN"); // 0x6B2E in the packed form
    EXPECT_EQ(d.product, 0xE90B);
    EXPECT_EQ(d.serial, 0x1A47E90Bu);
    EXPECT_EQ(d.widthCM, 30); // 295.6 mm
    EXPECT_EQ(d.heightCM, 17); // 166.3 mm
    // round(x × 1024) of the sRGB primaries and D65.
    EXPECT_EQ(d.chromaticity, (std::array<std::uint16_t, 8>{655, 338, 307, 614, 154, 61, 320, 337}));
    EXPECT_EQ(d.name, "Desk\n        ");
    EXPECT_EQ(d.pixelClock10kHz, 7450);
    EXPECT_EQ((std::array{d.hActive, d.hBlank, d.vActive, d.vBlank}), (std::array{1280, 384, 720, 28}));
    EXPECT_EQ((std::array{d.hSyncOffset, d.hSyncWidth, d.vSyncOffset, d.vSyncWidth}), (std::array{64, 128, 3, 5}));
    EXPECT_EQ(d.flags, 0x1C); // digital separate, vsync +, hsync −
}

TEST(EDID, NameAndOversizedModes) {
    struct Case {
        const char* name;
        std::string stored;
    };
    // A 13-byte name leaves no room for the newline; "é" at byte 12–13 must not be cut.
    for (const auto& c : {Case{"Thirteen char", "Thirteen char"}, Case{"Twelve chars\xC3\xA9", "Twelve chars\n"},
                          Case{"Tab\there", "Tab here\n    "}, Case{"", "\n            "}}) {
        const auto e = makeEDID(VirtualDisplayDescriptor::describe(1280, 720, 60, false, c.name, "id"), {});
        EXPECT_EQ(decode(e).name, c.stored) << c.name;
        EXPECT_EQ(std::accumulate(e.begin(), e.end(), 0u) % 256, 0u);
    }
    // 5120 pixels do not fit a detailed timing; the rest of the block still does.
    const ModeTiming wide{.dotClockHz = 938250000, .hDisplay = 5120, .hSyncStart = 5560, .hSyncEnd = 6128,
                          .hTotal = 7136, .vDisplay = 2880, .vSyncStart = 2883, .vSyncEnd = 2888, .vTotal = 2926};
    const auto d = decode(makeEDID(VirtualDisplayDescriptor::describe(5120, 2880, 60, true, "Wide", "id"), wide));
    EXPECT_EQ(d.pixelClock10kHz, 0);
    EXPECT_EQ(d.name, "Wide\n        ");
    EXPECT_EQ(d.widthCM, 59);
}

} // namespace
} // namespace tavelin::displays
