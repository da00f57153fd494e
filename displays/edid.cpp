#include "displays/edid.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string_view>

#include "core/unicode_text.hpp"

namespace tavelin::displays {

namespace {

constexpr std::size_t nameLength = 13;

std::uint8_t clampByte(double value, double lowest = 0) {
    return static_cast<std::uint8_t>(std::clamp(std::round(value), lowest, 255.0));
}

std::uint16_t tenBits(double coordinate) {
    return static_cast<std::uint16_t>(std::clamp(std::lround(coordinate * 1024), 0L, 1023L));
}

void putChromaticity(EDID& block) {
    using D = VirtualDisplayDescriptor;
    const std::array<std::uint16_t, 8> values{tenBits(D::redPrimary.x),   tenBits(D::redPrimary.y),
                                              tenBits(D::greenPrimary.x), tenBits(D::greenPrimary.y),
                                              tenBits(D::bluePrimary.x),  tenBits(D::bluePrimary.y),
                                              tenBits(D::whitePoint.x),   tenBits(D::whitePoint.y)};
    for (int i = 0; i < 8; ++i) {
        // Two low bits of four values per byte, high bits first; then the high 8 bits.
        block[25 + i / 4] |= static_cast<std::uint8_t>((values[i] & 3) << (6 - 2 * (i % 4)));
        block[27 + i] = static_cast<std::uint8_t>(values[i] >> 2);
    }
}

bool fitsDetailedTiming(const ModeTiming& t) {
    const auto hBlank = t.hTotal - t.hDisplay, vBlank = t.vTotal - t.vDisplay;
    return t.dotClockHz / 10000 <= 0xFFFF && t.dotClockHz > 0 && t.hDisplay < 4096 && t.vDisplay < 4096 &&
           t.hTotal > t.hDisplay && t.vTotal > t.vDisplay && hBlank < 4096 && vBlank < 4096 &&
           t.hSyncStart >= t.hDisplay && t.hSyncStart - t.hDisplay < 1024 && t.hSyncEnd >= t.hSyncStart &&
           t.hSyncEnd - t.hSyncStart < 1024 && t.vSyncStart >= t.vDisplay && t.vSyncStart - t.vDisplay < 64 &&
           t.vSyncEnd >= t.vSyncStart && t.vSyncEnd - t.vSyncStart < 64;
}

void putDetailedTiming(std::uint8_t* d, const ModeTiming& t, double widthMM, double heightMM) {
    const auto clock = static_cast<std::uint16_t>(t.dotClockHz / 10000);
    const std::uint32_t hBlank = t.hTotal - t.hDisplay, vBlank = t.vTotal - t.vDisplay;
    const std::uint32_t hOffset = t.hSyncStart - t.hDisplay, hWidth = t.hSyncEnd - t.hSyncStart;
    const std::uint32_t vOffset = t.vSyncStart - t.vDisplay, vWidth = t.vSyncEnd - t.vSyncStart;
    const auto mmWide = static_cast<std::uint32_t>(std::clamp(std::lround(widthMM), 0L, 4095L));
    const auto mmHigh = static_cast<std::uint32_t>(std::clamp(std::lround(heightMM), 0L, 4095L));
    d[0] = clock & 0xFF;
    d[1] = clock >> 8;
    d[2] = t.hDisplay & 0xFF;
    d[3] = hBlank & 0xFF;
    d[4] = static_cast<std::uint8_t>(((t.hDisplay >> 8) << 4) | (hBlank >> 8));
    d[5] = t.vDisplay & 0xFF;
    d[6] = vBlank & 0xFF;
    d[7] = static_cast<std::uint8_t>(((t.vDisplay >> 8) << 4) | (vBlank >> 8));
    d[8] = hOffset & 0xFF;
    d[9] = hWidth & 0xFF;
    d[10] = static_cast<std::uint8_t>(((vOffset & 0xF) << 4) | (vWidth & 0xF));
    d[11] = static_cast<std::uint8_t>(((hOffset >> 8) << 6) | ((hWidth >> 8) << 4) | ((vOffset >> 4) << 2) |
                                      (vWidth >> 4));
    d[12] = mmWide & 0xFF;
    d[13] = mmHigh & 0xFF;
    d[14] = static_cast<std::uint8_t>(((mmWide >> 8) << 4) | (mmHigh >> 8));
    // Digital separate sync with the mode's polarities.
    d[17] = static_cast<std::uint8_t>((t.interlaced ? 0x80 : 0) | 0x18 | (t.vSyncPositive ? 0x04 : 0) |
                                      (t.hSyncPositive ? 0x02 : 0));
}

void putDescriptorHeader(std::uint8_t* d, std::uint8_t tag) { d[3] = tag; }

void putName(std::uint8_t* d, std::string_view name) {
    putDescriptorHeader(d, 0xFC);
    std::size_t kept = 0;
    for (std::size_t at = 0; at < name.size();) {
        const auto lead = static_cast<unsigned char>(name[at]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        length = std::min(length, name.size() - at);
        if (kept + length > nameLength) break;
        for (std::size_t i = 0; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(name[at + i]);
            d[5 + kept + i] = byte < 0x20 || byte == 0x7F ? ' ' : byte;
        }
        kept += length;
        at += length;
    }
    if (kept < nameLength) d[5 + kept++] = '\n';
    std::fill(d + 5 + kept, d + 18, ' ');
}

void putRangeLimits(std::uint8_t* d, const ModeTiming& t, double refreshRate) {
    putDescriptorHeader(d, 0xFD);
    const double hKHz = t.hTotal ? static_cast<double>(t.dotClockHz) / 1000 / t.hTotal : 0;
    d[5] = 1;
    d[6] = clampByte(std::ceil(refreshRate) + 1, 1);
    d[7] = 1;
    d[8] = clampByte(std::ceil(hKHz) + 1, 1);
    d[9] = clampByte(std::ceil(static_cast<double>(t.dotClockHz) / 1e7) + 1, 1);
    d[10] = 0x00;
    d[11] = '\n';
    std::fill(d + 12, d + 18, ' ');
}

// EDID text is ASCII by the standard; our own blocks carry UTF-8, and some monitors
// write Latin-1. Bytes that are not UTF-8 are read as Latin-1 (C1 controls as spaces),
// so the name is always text that D-Bus and the interface accept.
std::string monitorText(std::string bytes) {
    if (unicode::isValidUTF8(bytes)) return bytes;
    std::string text;
    for (const unsigned char byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else if (byte < 0xA0) {
            text += ' ';
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

} // namespace

double ModeTiming::refreshRate() const {
    double frame = static_cast<double>(hTotal) * vTotal;
    if (frame == 0) return 0;
    if (interlaced) frame /= 2;
    if (doubleScan) frame *= 2;
    return static_cast<double>(dotClockHz) / frame;
}

EDID makeEDID(const VirtualDisplayDescriptor& descriptor, const ModeTiming& preferred) {
    EDID block{};
    constexpr std::array<std::uint8_t, 8> header{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(header.begin(), header.end(), block.begin());
    // The manufacturer field is big-endian; the vendor number is already its packed form.
    block[8] = VirtualDisplayDescriptor::vendorID >> 8;
    block[9] = VirtualDisplayDescriptor::vendorID & 0xFF;
    block[10] = descriptor.productID & 0xFF;
    block[11] = descriptor.productID >> 8;
    for (int i = 0; i < 4; ++i) block[12 + i] = static_cast<std::uint8_t>(descriptor.serialNumber >> (8 * i));
    block[16] = 0;              // week unknown
    block[17] = 2024 - 1990;    // year of manufacture
    block[18] = 1;
    block[19] = 3;
    block[20] = 0x80;           // digital input
    block[21] = clampByte(descriptor.widthMillimetres / 10, 1);
    block[22] = clampByte(descriptor.heightMillimetres / 10, 1);
    block[23] = 120;            // gamma 2.2
    // sRGB is the default colour space; the first detailed timing is the preferred mode.
    block[24] = 0x06;
    putChromaticity(block);
    for (int i = 38; i < 54; ++i) block[i] = 1; // no standard timings

    std::uint8_t* slot = &block[54];
    if (fitsDetailedTiming(preferred)) {
        putDetailedTiming(slot, preferred, descriptor.widthMillimetres, descriptor.heightMillimetres);
        slot += 18;
    }
    putName(slot, descriptor.name);
    slot += 18;
    putRangeLimits(slot, preferred, descriptor.refreshRate);
    slot += 18;
    for (; slot < &block[126]; slot += 18) putDescriptorHeader(slot, 0x10);

    const unsigned sum = std::accumulate(block.begin(), block.end() - 1, 0u);
    block[127] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
    return block;
}

std::optional<EDIDIdentity> readEDID(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (bytes.size() < 128 || !std::equal(std::begin(header), std::end(header), bytes.begin())) return std::nullopt;
    EDIDIdentity result;
    result.vendor = static_cast<std::uint32_t>(bytes[8]) << 8 | bytes[9];
    result.model = static_cast<std::uint32_t>(bytes[10]) | static_cast<std::uint32_t>(bytes[11]) << 8;
    for (int i = 0; i < 4; ++i) result.serial |= static_cast<std::uint32_t>(bytes[12 + i]) << (8 * i);
    for (int shift : {10, 5, 0}) {
        const auto letter = (result.vendor >> shift) & 0x1F;
        result.manufacturer += letter >= 1 && letter <= 26 ? static_cast<char>('A' + letter - 1) : '?';
    }
    // Four 18-byte descriptors from byte 54; a display descriptor starts with 0, 0, 0, tag.
    for (std::size_t at = 54; at + 18 <= 126; at += 18) {
        if (bytes[at] != 0 || bytes[at + 1] != 0 || bytes[at + 2] != 0 || bytes[at + 3] != 0xFC) continue;
        std::string name;
        for (std::size_t i = at + 5; i < at + 18 && bytes[i] != '\n'; ++i) {
            const auto byte = bytes[i];
            name += byte < 0x20 || byte == 0x7F ? ' ' : static_cast<char>(byte);
        }
        result.name = monitorText(std::move(name));
        while (!result.name.empty() && result.name.back() == ' ') result.name.pop_back();
        break;
    }
    return result;
}

} // namespace tavelin::displays
