#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/yuv_conversion.hpp"

namespace tavelin {
namespace {

using RGB = std::array<int, 3>;
using YUV = std::array<int, 3>;

// A picture of BGRx pixels whose row padding is white, so a converter reading past a
// row's width shows.
struct Picture {
    int width, height, stride;
    std::vector<std::uint8_t> pixels;
    Picture(int w, int h, RGB fill) : width(w), height(h), stride(4 * w + 8), pixels(stride * h, 255) {
        for (int y = 0; y < h; ++y) for (int x = 0; x < w; ++x) set(x, y, fill);
    }
    void set(int x, int y, RGB c) {
        std::uint8_t* p = &pixels[y * stride + 4 * x];
        p[0] = static_cast<std::uint8_t>(c[2]), p[1] = static_cast<std::uint8_t>(c[1]), p[2] = static_cast<std::uint8_t>(c[0]);
    }
};

struct Converted {
    int chromaWidth;
    std::vector<std::uint8_t> y, u, v;
    YUV at(int x, int y0, int width) const { // luma at (x, y0), chroma of its block
        const auto c = (y0 / 2) * chromaWidth + x / 2;
        return {y[y0 * width + x], u[c], v[c]};
    }
};

Converted convert(const Picture& picture, YUVMatrix matrix) {
    const int cw = (picture.width + 1) / 2, ch = (picture.height + 1) / 2;
    Converted out{cw, std::vector<std::uint8_t>(picture.width * picture.height), std::vector<std::uint8_t>(cw * ch),
                  std::vector<std::uint8_t>(cw * ch)};
    convertToI420(picture.pixels.data(), picture.stride, picture.width, picture.height,
                  {out.y.data(), picture.width, out.u.data(), cw, out.v.data(), cw}, matrix);
    return out;
}

void expectNear(const YUV& got, const YUV& expected, const char* what) {
    for (int k = 0; k < 3; ++k) EXPECT_LE(std::abs(got[k] - expected[k]), 1) << what << ", component " << k;
}

TEST(YUVConversion, ChromaIsTheMeanOfItsBlockAndOddEdgesStandAlone) {
    // Block (0, 0) mixes red, green, blue and white: grey chroma, its own luma each.
    // Column 2 (odd width) is blue, row 2 (odd height) is red.
    Picture picture(3, 3, {0, 0, 0});
    picture.set(0, 0, {255, 0, 0}), picture.set(1, 0, {0, 255, 0});
    picture.set(0, 1, {0, 0, 255}), picture.set(1, 1, {255, 255, 255});
    picture.set(2, 0, {0, 0, 255}), picture.set(2, 1, {0, 0, 255});
    for (int x = 0; x < 3; ++x) picture.set(x, 2, {255, 0, 0});
    const auto out = convert(picture, YUVMatrix::bt709);
    expectNear(out.at(0, 0, 3), {63, 128, 128}, "mixed block, red pixel");
    expectNear(out.at(1, 1, 3), {235, 128, 128}, "mixed block, white pixel");
    expectNear(out.at(2, 1, 3), {32, 240, 118}, "lone last column");
    expectNear(out.at(0, 2, 3), {63, 102, 240}, "lone last row");
    expectNear(out.at(2, 2, 3), {63, 102, 240}, "lone corner");
}

} // namespace
} // namespace tavelin
