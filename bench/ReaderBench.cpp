// Decoding speed and memory of the PNG, GIF and Targa readers against libpng, giflib and
// stb_image, on the same files (written by independent encoders, see make_reader_inputs.py).
//
// Fairness and the counter PeakMiB: see BenchSupport.h.
//
// Run: build/bench/reader_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// and compare the medians of one file.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_GIF
#define STBI_ONLY_TGA
#include <stb/stb_image.h>

#include "BenchSupport.h"
#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PNGGraphic.h"
#include "imaging/formats/TargaGraphic.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Bytes;
using bench::Measure;

// --- libpng: rows in the same layouts as ours (BGR, BGRA, 8-bit indices), 16 bits stripped ---

struct TPngSource {
    const Bytes* Data;
    size_t Position;
};

void PngRead(png_structp png, png_bytep out, png_size_t count) {
    auto* source = static_cast<TPngSource*>(png_get_io_ptr(png));
    if (count > source->Data->size() - source->Position) png_error(png, "read past end");
    std::memcpy(out, source->Data->data() + source->Position, count);
    source->Position += count;
}

void LibPng(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        TPngSource source{&data, 0};
        uint8_t* pixels = nullptr;
        std::vector<png_bytep> rows;
        if (setjmp(png_jmpbuf(png))) {
            std::free(pixels);
            png_destroy_read_struct(&png, &info, nullptr);
            std::abort();
        }
        png_set_read_fn(png, &source, PngRead);
        png_read_info(png, info);
        png_set_strip_16(png);
        png_set_bgr(png);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        const size_t stride = (png_get_rowbytes(png, info) + 3) & ~size_t(3);
        pixels = static_cast<uint8_t*>(std::calloc(height, stride));
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels + y * stride;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        benchmark::DoNotOptimize(pixels[0]);
        std::free(pixels);
        png_destroy_read_struct(&png, &info, nullptr);
    });
}

// --- giflib: the whole file, as its users read it ---

int GifRead(GifFileType* gif, GifByteType* out, int count) {
    auto* source = static_cast<TPngSource*>(gif->UserData);
    const size_t n = std::min(size_t(count), source->Data->size() - source->Position);
    std::memcpy(out, source->Data->data() + source->Position, n);
    source->Position += n;
    return int(n);
}

void Giflib(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        TPngSource source{&data, 0};
        int error = 0;
        GifFileType* gif = DGifOpen(&source, GifRead, &error);
        if (!gif || DGifSlurp(gif) != GIF_OK) std::abort();
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits[0]);
        DGifCloseFile(gif, &error);
    });
}

// --- stb_image: its own output layout (RGB or RGBA, top row first) ---

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

void OursPNG(benchmark::State& state, const std::string& name) {
    bench::Ours<TPNGGraphic>(state, name);
}
void OursGIF(benchmark::State& state, const std::string& name) {
    bench::Ours<TGIFGraphic>(state, name);
}
void OursTarga(benchmark::State& state, const std::string& name) {
    bench::Ours<TTargaGraphic>(state, name);
}

#define READER_BENCH(function, label, file)                                                        \
    BENCHMARK_CAPTURE(function, label, std::string(file))->Unit(benchmark::kMillisecond)

READER_BENCH(OursPNG, png_rgb_12mp, "rgb_12mp.png");
READER_BENCH(LibPng, png_rgb_12mp, "rgb_12mp.png");
READER_BENCH(Stb, png_rgb_12mp, "rgb_12mp.png");
READER_BENCH(OursPNG, png_rgba, "rgba.png");
READER_BENCH(LibPng, png_rgba, "rgba.png");
READER_BENCH(Stb, png_rgba, "rgba.png");
READER_BENCH(OursPNG, png_palette, "palette.png");
READER_BENCH(LibPng, png_palette, "palette.png");
READER_BENCH(Stb, png_palette, "palette.png");
READER_BENCH(OursPNG, png_adam7, "adam7.png");
READER_BENCH(LibPng, png_adam7, "adam7.png");
READER_BENCH(Stb, png_adam7, "adam7.png");
READER_BENCH(OursGIF, gif_8bit, "palette.gif");
READER_BENCH(Giflib, gif_8bit, "palette.gif");
READER_BENCH(Stb, gif_8bit, "palette.gif");
READER_BENCH(OursTarga, tga_rgb_rle, "rgb_rle.tga");
READER_BENCH(Stb, tga_rgb_rle, "rgb_rle.tga");
READER_BENCH(OursTarga, tga_rgba_raw, "rgba_raw.tga");
READER_BENCH(Stb, tga_rgba_raw, "rgba_raw.tga");

} // namespace
