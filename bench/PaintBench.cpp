// Decoding speed and memory of the PCX, SGI and Photoshop readers on 12-megapixel files
// written by independent encoders (make_paint_inputs.py), against stb_image where it reads the
// format (Photoshop). Pillow, which reads all three, is timed on the same files by
// paint_pillow.py.
//
// Fairness and the counter PeakMiB: see BenchSupport.h.
//
// Run: build-bench/bench/paint_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only
// and /usr/bin/python3 bench/paint_pillow.py 9; compare the medians of one file.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PSD
#include <stb/stb_image.h>

#include "BenchSupport.h"
#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PSDGraphic.h"
#include "imaging/formats/SGIGraphic.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using bench::Bytes;
using bench::Measure;

void OursPCX(benchmark::State& state, const std::string& name) {
    bench::Ours<TPCXGraphic>(state, name);
}
void OursSGI(benchmark::State& state, const std::string& name) {
    bench::Ours<TSGIGraphic>(state, name);
}
void OursPSD(benchmark::State& state, const std::string& name) {
    bench::Ours<TPSDGraphic>(state, name);
}

// stb_image: its own output layout (RGB, top row first).
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

#define PAINT_BENCH(function, label, file)                                                         \
    BENCHMARK_CAPTURE(function, label, std::string(file))->Unit(benchmark::kMillisecond)

PAINT_BENCH(OursPCX, pcx_rgb24_rle, "rgb24_rle.pcx");
PAINT_BENCH(OursPCX, pcx_palette_rle, "palette_rle.pcx");
PAINT_BENCH(OursSGI, sgi_rgb_rle, "rgb_rle.sgi");
PAINT_BENCH(OursPSD, psd_rgb_raw, "rgb_raw.psd");
PAINT_BENCH(Stb, psd_rgb_raw, "rgb_raw.psd");
PAINT_BENCH(OursPSD, psd_rgb_rle, "rgb_rle.psd");
PAINT_BENCH(Stb, psd_rgb_rle, "rgb_rle.psd");

} // namespace
