#include "displays/virtual_display_descriptor.hpp"

namespace tavelin::displays {

namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one scalar at `at` and advances past it; malformed input yields U+FFFD and
// skips one byte.
char32_t nextScalar(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    int length = 1;
    char32_t scalar = lead;
    char32_t lowest = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, scalar = lead & 0x07, lowest = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, scalar = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, scalar = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0x80) {
        ++at;
        return replacement;
    }
    if (at + length > text.size()) {
        ++at;
        return replacement;
    }
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            ++at;
            return replacement;
        }
        scalar = (scalar << 6) | (next & 0x3F);
    }
    if (scalar < lowest || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        ++at;
        return replacement;
    }
    at += length;
    return scalar;
}

} // namespace

std::uint32_t identifierHash(std::string_view identifier) {
    std::uint32_t hash = 0x811C9DC5u;
    const auto mix = [&](std::uint32_t unit) { hash = (hash ^ unit) * 16777619u; };
    for (std::size_t at = 0; at < identifier.size();) {
        const char32_t scalar = nextScalar(identifier, at);
        if (scalar >= 0x10000) {
            mix(0xD800 + ((scalar - 0x10000) >> 10));
            mix(0xDC00 + ((scalar - 0x10000) & 0x3FF));
        } else {
            mix(scalar);
        }
    }
    return hash;
}

VirtualDisplayDescriptor VirtualDisplayDescriptor::describe(std::int64_t width, std::int64_t height,
                                                            double refreshRate, bool hiDPI, std::string name,
                                                            std::string_view identifier) {
    VirtualDisplayDescriptor descriptor;
    descriptor.name = std::move(name);
    descriptor.width = width;
    descriptor.height = height;
    descriptor.refreshRate = refreshRate;
    descriptor.hiDPI = hiDPI;
    const double pixelsPerInch = hiDPI ? 220 : 110;
    descriptor.widthMillimetres = static_cast<double>(width) * 25.4 / pixelsPerInch;
    descriptor.heightMillimetres = static_cast<double>(height) * 25.4 / pixelsPerInch;
    const std::uint32_t hash = identifierHash(identifier);
    const auto low = static_cast<std::uint16_t>(hash & 0xFFFF);
    descriptor.productID = low <= 1 ? 1 : low;
    descriptor.serialNumber = hash <= 1 ? 1 : hash;
    descriptor.modes.push_back({width, height});
    if (hiDPI) descriptor.modes.push_back({width / 2, height / 2});
    return descriptor;
}

} // namespace tavelin::displays
