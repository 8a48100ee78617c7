// Decoding speed and memory of the portable map reader against stb_image, and against a plain
// memcpy of the raster's bytes, on 12-megapixel raw pixel and grey maps written by independent
// encoders (make_maps_inputs.py). Pillow times the same files in maps_pillow.py.
//
// Each side decodes the same bytes from memory into pixels in its usual layout (ours: bitmap
// rows, blue first; stb_image: packed rows, red first; memcpy: the raster into a new block).
// Fairness and the counter PeakMiB: see BenchSupport.h.
//
// Run: build-bench/bench/maps_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNM
#include <stb/stb_image.h>

#include "BenchSupport.h"
#include "imaging/formats/PPMGraphic.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using bench::Bytes;
using bench::Measure;

void Ours(benchmark::State& state, const std::string& name) {
    bench::Ours<TPPMGraphic>(state, name);
}

void Stb(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        int width, height, channels;
        stbi_uc* pixels =
            stbi_load_from_memory(data.data(), int(data.size()), &width, &height, &channels, 0);
        if (!pixels) std::abort();
        benchmark::DoNotOptimize(pixels[0]);
        stbi_image_free(pixels);
    });
}

// The raster's bytes (the end of the file) copied into a new block.
void Memcpy(benchmark::State& state, const std::string& name, size_t rasterBytes) {
    Measure(state, name, [rasterBytes](const Bytes& data) {
        auto* pixels = static_cast<uint8_t*>(std::malloc(rasterBytes));
        std::memcpy(pixels, data.data() + data.size() - rasterBytes, rasterBytes);
        benchmark::DoNotOptimize(pixels[0]);
        std::free(pixels);
    });
}

#define MAPS_BENCH(function, label, ...)                                                           \
    BENCHMARK_CAPTURE(function, label, __VA_ARGS__)->Unit(benchmark::kMillisecond)

MAPS_BENCH(Ours, ppm_rgb_12mp, std::string("rgb_12mp.ppm"));
MAPS_BENCH(Stb, ppm_rgb_12mp, std::string("rgb_12mp.ppm"));
MAPS_BENCH(Memcpy, ppm_rgb_12mp, std::string("rgb_12mp.ppm"), size_t(4000) * 3000 * 3);
MAPS_BENCH(Ours, pgm_gray_12mp, std::string("gray_12mp.pgm"));
MAPS_BENCH(Stb, pgm_gray_12mp, std::string("gray_12mp.pgm"));
MAPS_BENCH(Memcpy, pgm_gray_12mp, std::string("gray_12mp.pgm"), size_t(4000) * 3000);

} // namespace
