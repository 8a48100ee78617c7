// Row conversion through the colour manager on 4096-pixel rows, each case beside a memcpy of
// its source row as the floor. Buffers are allocated and written once before timing, so every
// side works on warm memory.
#include "imaging/ColorManager.h"

#include "imaging/ColorConvertersSimd.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kPixels = 4096;

struct TCase {
    TColorModel source, target;
    uint8_t sourceBits, targetBits;
    size_t sourceBytesPerPixel, targetBytesPerPixel;
    TConversionFlags sourceFlags, targetFlags;
};

const TCase kRGBToBGR{cmRGB, cmBGR, 8, 8, 3, 3, {}, {}};
const TCase kRGBAToBGRAGamma{cmRGBAlpha, cmBGRAlpha, 8, 8, 4, 4, {}, cfApplyGamma};
const TCase kRGB16ToBGR{cmRGB, cmBGR, 16, 8, 6, 3, cfSwapBytes, {}};
const TCase kCMYKToBGR{cmCMYK, cmBGR, 8, 8, 4, 3, {}, {}};
const TCase kYCbCrToBGR{cmYCbCr, cmBGR, 8, 8, 3, 3, {}, {}};

std::vector<uint8_t> SourceRow(const TCase& c) {
    std::vector<uint8_t> row(kPixels * c.sourceBytesPerPixel);
    uint32_t seed = 12345;
    for (uint8_t& b : row) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return row;
}

void Convert(benchmark::State& state, const TCase& c) {
    TColorManager manager;
    manager.SetSourceModel(c.source);
    manager.SetTargetModel(c.target);
    manager.SetSourceSampleBits(c.sourceBits);
    manager.SetTargetSampleBits(c.targetBits);
    manager.SourceFlags = c.sourceFlags;
    manager.TargetFlags = c.targetFlags;
    if (c.targetFlags.Contains(cfApplyGamma)) manager.SetGammaValues(1.0f / 2.2f, 2.2f);
    const std::vector<uint8_t> source = SourceRow(c);
    std::vector<uint8_t> target(kPixels * c.targetBytesPerPixel, 1);
    for (auto _ : state) {
        manager.ConvertRows(source, target, kPixels);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The same through the general converters, as on processors without the vector kernels.
void ConvertGeneral(benchmark::State& state, const TCase& c) {
#ifdef CHRONOLITH_COLOR_SIMD
    ColorSimd::SetEnabled(false);
#endif
    Convert(state, c);
#ifdef CHRONOLITH_COLOR_SIMD
    ColorSimd::SetEnabled(true);
#endif
}

// The floor: a memcpy of the case's source row.
void Copy(benchmark::State& state, const TCase& c) {
    const std::vector<uint8_t> source = SourceRow(c);
    std::vector<uint8_t> target(source.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

} // namespace

BENCHMARK_CAPTURE(Copy, RGBToBGR8, kRGBToBGR);
BENCHMARK_CAPTURE(Convert, RGBToBGR8, kRGBToBGR);
BENCHMARK_CAPTURE(ConvertGeneral, RGBToBGR8, kRGBToBGR);
BENCHMARK_CAPTURE(Copy, RGBAToBGRAGamma, kRGBAToBGRAGamma);
BENCHMARK_CAPTURE(Convert, RGBAToBGRAGamma, kRGBAToBGRAGamma);
BENCHMARK_CAPTURE(ConvertGeneral, RGBAToBGRAGamma, kRGBAToBGRAGamma);
BENCHMARK_CAPTURE(Copy, RGB16BigEndianToBGR8, kRGB16ToBGR);
BENCHMARK_CAPTURE(Convert, RGB16BigEndianToBGR8, kRGB16ToBGR);
BENCHMARK_CAPTURE(ConvertGeneral, RGB16BigEndianToBGR8, kRGB16ToBGR);
BENCHMARK_CAPTURE(Copy, CMYKToBGR, kCMYKToBGR);
BENCHMARK_CAPTURE(Convert, CMYKToBGR, kCMYKToBGR);
BENCHMARK_CAPTURE(ConvertGeneral, CMYKToBGR, kCMYKToBGR);
BENCHMARK_CAPTURE(Copy, YCbCrToBGR, kYCbCrToBGR);
BENCHMARK_CAPTURE(Convert, YCbCrToBGR, kYCbCrToBGR);
BENCHMARK_CAPTURE(ConvertGeneral, YCbCrToBGR, kYCbCrToBGR);
