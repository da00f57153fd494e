#pragma once

#include <cstdint>

namespace tavelin {

// The matrix that turns RGB into Y'CbCr. The encoder's caps name the same one, so the
// stream tells the receiver how to turn it back; both are limited range (16-235).
enum class YUVMatrix { bt601, bt709 };

// Where one I420 picture goes: luma at full size, chroma halved both ways (rounded up).
struct I420Planes {
    std::uint8_t* y;
    int yStride;
    std::uint8_t* u;
    int uStride;
    std::uint8_t* v;
    int vStride;
};

// BGRx pixels (a little-endian 32-bit xRGB word each) to limited-range I420. A chroma
// sample is taken from the mean of its 2×2 block; an odd last column or row stands in
// for its missing neighbour.
void convertToI420(const std::uint8_t* bgrx, int stride, int width, int height, const I420Planes& planes,
                   YUVMatrix matrix);

} // namespace tavelin
