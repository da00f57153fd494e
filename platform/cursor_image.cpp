#include "platform/cursor_image.hpp"

#include <algorithm>

namespace tavelin {

void compositeCursor(const CursorImage& cursor, const PixelBuffer& target, std::int64_t left, std::int64_t top) {
    for (std::int32_t row = 0; row < cursor.height; ++row) {
        const std::int64_t y = top + row;
        if (y < 0 || y >= target.height) continue;
        auto* line = reinterpret_cast<std::uint32_t*>(target.data + y * target.stride);
        for (std::int32_t column = 0; column < cursor.width; ++column) {
            const std::int64_t x = left + column;
            if (x < 0 || x >= target.width) continue;
            const std::uint32_t source = cursor.pixels[row * cursor.width + column];
            const std::uint32_t alpha = source >> 24;
            if (alpha == 0) continue;
            const std::uint32_t destination = line[x];
            std::uint32_t blended = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                const std::uint32_t s = (source >> shift) & 0xff;
                const std::uint32_t d = (destination >> shift) & 0xff;
                blended |= std::min<std::uint32_t>(255, s + (d * (255 - alpha) + 127) / 255) << shift;
            }
            line[x] = blended;
        }
    }
}

} // namespace tavelin
