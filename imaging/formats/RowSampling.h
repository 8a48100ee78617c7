// Loads that shrink a picture by point sampling: the bitmap takes every k-th row and every k-th
// pixel of it, from the first, so that bitmap pixel (x, y) is stored pixel (k x, k y) and stands
// for the k x k block from there.
#pragma once

#include <cstddef>
#include <cstdint>

// Pixels 0, step, 2 step, ... of `source` (`count` of them, `pixelBytes` bytes each) copied to
// `target`, one after another. The source holds at least (count - 1) x step + 1 pixels.
void SamplePixels(const uint8_t* source, size_t pixelBytes, size_t count, size_t step,
                  uint8_t* target);

// Pixels of a row of `size` stored pixels the bitmap takes: ceil(size / step).
constexpr size_t SampledCount(size_t size, size_t step) {
    return size / step + (size % step != 0);
}

// The first row from `first` on whose number is a multiple of `step`: its distance from `first`.
constexpr size_t SampledOffset(size_t first, size_t step) {
    return (step - first % step) % step;
}
