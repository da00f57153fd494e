#pragma once

#include <cstdint>

#include "platform/screen_capture.hpp"

namespace tavelin {

// A pointer image as the display servers hand it out: premultiplied-alpha ARGB, one
// 32-bit word a pixel in native order (B, G, R, A in memory), rows `width` words long.
struct CursorImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    const std::uint32_t* pixels = nullptr;
};

// Draws the pointer image over a BGRX picture with its top-left corner at (left, top)
// of the picture; whatever falls outside the picture is left out.
void compositeCursor(const CursorImage& cursor, const PixelBuffer& target, std::int64_t left, std::int64_t top);

} // namespace tavelin
