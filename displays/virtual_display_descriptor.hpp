#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavelin::displays {

// A CIE 1931 chromaticity coordinate.
struct Chromaticity {
    double x = 0;
    double y = 0;
    friend bool operator==(const Chromaticity&, const Chromaticity&) = default;
};

struct ModeSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const ModeSize&, const ModeSize&) = default;
};

// Everything a virtual display tells the display server about itself. Product and
// serial numbers come from the identifier only, so a display created again from the
// same saved display is recognised as the same monitor; the name does not enter them.
struct VirtualDisplayDescriptor {
    static constexpr std::uint16_t vendorID = 0x6B2E;
    // sRGB with a D65 white point.
    static constexpr Chromaticity redPrimary{0.64, 0.33};
    static constexpr Chromaticity greenPrimary{0.30, 0.60};
    static constexpr Chromaticity bluePrimary{0.15, 0.06};
    static constexpr Chromaticity whitePoint{0.3127, 0.329};

    std::string name;
    std::int64_t width = 0;
    std::int64_t height = 0;
    double refreshRate = 0;
    bool hiDPI = false;
    double widthMillimetres = 0;
    double heightMillimetres = 0;
    std::uint16_t productID = 0;
    std::uint32_t serialNumber = 0;
    // The full size first; with HiDPI then the half size, rounded down.
    std::vector<ModeSize> modes;

    static VirtualDisplayDescriptor describe(std::int64_t width, std::int64_t height, double refreshRate, bool hiDPI,
                                             std::string name, std::string_view identifier);
};

// 32-bit FNV-1a over the UTF-16 code units of UTF-8 text; malformed bytes count as
// U+FFFD.
std::uint32_t identifierHash(std::string_view identifier);

} // namespace tavelin::displays
