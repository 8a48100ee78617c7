// Comparing a picture loaded at a smaller size with the whole picture shrunk by the same factor:
// each pixel of the small picture against the average of its k x k block of the large one.
#pragma once

#include "platform/graphics/Bitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace shrink_test {

// Peak signal-to-noise ratio in dB of `small` against `full` averaged over k x k blocks (the
// last blocks of a row or column hold what is left); 99 when they are equal.
inline double BlockPSNR(const TBitmap& small, const TBitmap& full, int32_t k) {
    double squares = 0;
    uint64_t samples = 0;
    for (int32_t y = 0; y < small.Height(); ++y)
        for (int32_t x = 0; x < small.Width(); ++x) {
            double sum[3] = {};
            int count = 0;
            for (int32_t v = y * k; v < std::min(full.Height(), (y + 1) * k); ++v)
                for (int32_t u = x * k; u < std::min(full.Width(), (x + 1) * k); ++u) {
                    const TRGBQuad q = full.PixelColor(u, v);
                    sum[0] += q.rgbRed;
                    sum[1] += q.rgbGreen;
                    sum[2] += q.rgbBlue;
                    ++count;
                }
            const TRGBQuad q = small.PixelColor(x, y);
            const double got[3] = {double(q.rgbRed), double(q.rgbGreen), double(q.rgbBlue)};
            for (int c = 0; c < 3; ++c) {
                const double d = got[c] - sum[c] / count;
                squares += d * d;
                ++samples;
            }
        }
    if (squares == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * double(samples) / squares);
}

} // namespace shrink_test
