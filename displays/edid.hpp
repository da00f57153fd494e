#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "displays/virtual_display_descriptor.hpp"

namespace tavelin::displays {

// The timing of one display mode, as the display server programs it.
struct ModeTiming {
    std::uint64_t dotClockHz = 0;
    std::uint32_t hDisplay = 0, hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
    std::uint32_t vDisplay = 0, vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
    bool hSyncPositive = false;
    bool vSyncPositive = false;
    bool interlaced = false;
    bool doubleScan = false;

    // Frames per second: the dot clock over the pixels of one frame. An interlaced
    // mode shows two fields per frame, a double-scanned one each line twice.
    double refreshRate() const;
};

using EDID = std::array<std::uint8_t, 128>;

// An EDID 1.3 base block for the descriptor, with `preferred` as its first detailed
// timing. The monitor name keeps its UTF-8 bytes, cut at a character boundary to 13
// bytes; control characters become spaces. A preferred mode beyond what a detailed
// timing can hold (4095 pixels a side, 655.35 MHz) is left out, the block stays valid.
EDID makeEDID(const VirtualDisplayDescriptor& descriptor, const ModeTiming& preferred);

// What a monitor's EDID says about who it is.
struct EDIDIdentity {
    std::string name;          // the monitor name descriptor (0xFC), empty without one
    std::string manufacturer;  // the three-letter PNP code, such as "DEL"
    std::uint32_t vendor = 0;  // bytes 8 and 9, big-endian
    std::uint32_t model = 0;   // bytes 10 and 11, little-endian
    std::uint32_t serial = 0;  // bytes 12 to 15, little-endian
    friend bool operator==(const EDIDIdentity&, const EDIDIdentity&) = default;
};

// Reads the base block; nothing when the bytes are not an EDID (too short, or without
// its fixed header). The name is cut at its line feed and trailing spaces, control
// characters become spaces, and a name that is not UTF-8 is read as Latin-1.
std::optional<EDIDIdentity> readEDID(std::span<const std::uint8_t> bytes);

} // namespace tavelin::displays
