#include "imaging/formats/RowSampling.h"

#include <cstring>

namespace {

template <size_t Bytes>
void SampleFixed(const uint8_t* source, size_t count, size_t step, uint8_t* target) {
    const size_t stride = step * Bytes;
    for (size_t i = 0; i < count; ++i, source += stride, target += Bytes)
        std::memcpy(target, source, Bytes);
}

} // namespace

void SamplePixels(const uint8_t* source, size_t pixelBytes, size_t count, size_t step,
                  uint8_t* target) {
    switch (pixelBytes) {
    case 1:
        SampleFixed<1>(source, count, step, target);
        return;
    case 2:
        SampleFixed<2>(source, count, step, target);
        return;
    case 3:
        SampleFixed<3>(source, count, step, target);
        return;
    case 4:
        SampleFixed<4>(source, count, step, target);
        return;
    case 6:
        SampleFixed<6>(source, count, step, target);
        return;
    case 8:
        SampleFixed<8>(source, count, step, target);
        return;
    default:
        for (size_t i = 0; i < count; ++i)
            std::memcpy(target + i * pixelBytes, source + i * step * pixelBytes, pixelBytes);
        return;
    }
}
