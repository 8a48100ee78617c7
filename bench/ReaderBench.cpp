// Decoding speed and memory of the PNG, GIF, Targa, JPEG, PCX and portable map readers against
// libpng (classic and simplified API), libspng, stb_image, giflib and libjpeg-turbo (and Pillow,
// by reader_pillow.py), on the same 12-megapixel files
// (written by independent encoders, see make_reader_inputs.py). Each peer delivers the layout it
// gives its users with the least work: ours and the classic APIs the bitmap's layouts (BGR,
// BGRA, 8-bit indices), libspng the file's own samples, the simplified API and stb_image RGB(A).
//
// Fairness and the counter PeakMiB: see BenchSupport.h.
//
// Benchmarks are named side/file. `make bench-peers` (bench/bench_peers.py) runs them with
// Pillow's times (bench/reader_pillow.py) and prints one table of medians and ratios.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_GIF
#define STBI_ONLY_TGA
#define STBI_ONLY_PNM
#include <stb/stb_image.h>

#include "BenchSupport.h"
#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PNGGraphic.h"
#include "imaging/formats/PPMGraphic.h"
#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/JPEGImage.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <png.h>
#include <spng.h>
// libjpeg's header needs size_t and FILE declared first.
#include <cstdio>
#include <jpeglib.h>

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

// --- libpng's simplified API: 8-bit BGR(A), 16-bit grey kept linear ---

void LibPngSimple(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) std::abort();
        if (image.format & PNG_FORMAT_FLAG_LINEAR)
            image.format = PNG_FORMAT_LINEAR_Y;
        else
            image.format =
                (image.format & PNG_FORMAT_FLAG_ALPHA) ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) std::abort();
        benchmark::DoNotOptimize(pixels.data());
    });
}

// --- libspng: the file's own samples (SPNG_FMT_PNG), no conversion ---

void Spng(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        spng_ctx* context = spng_ctx_new(0);
        size_t size = 0;
        if (!context || spng_set_png_buffer(context, data.data(), data.size()) ||
            spng_decoded_image_size(context, SPNG_FMT_PNG, &size))
            std::abort();
        std::vector<uint8_t> pixels(size);
        if (spng_decode_image(context, pixels.data(), size, SPNG_FMT_PNG, 0)) std::abort();
        benchmark::DoNotOptimize(pixels.data());
        spng_ctx_free(context);
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

// --- libjpeg-turbo: BGR rows, its default (integer) transform, as our reader asks ---

void LibJpeg(benchmark::State& state, const std::string& name) {
    Measure(state, name, [](const Bytes& data) {
        jpeg_decompress_struct info{};
        jpeg_error_mgr errors{};
        info.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&info);
        const size_t stride = (size_t(info.output_width) * 3 + 3) & ~size_t(3);
        std::vector<uint8_t> pixels(stride * info.output_height);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels.data() + size_t(info.output_scanline) * stride;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        benchmark::DoNotOptimize(pixels.data());
    });
}

void OursJPEG(benchmark::State& state, const std::string& name) {
    TMemoryStream stream(bench::Input(name));
    Measure(state, name, [&](const Bytes&) {
        stream.SetPosition(0);
        TJPEGImage image;
        image.LoadFromStream(stream);
        benchmark::DoNotOptimize(image.AsBitmap()->ScanLine(0));
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
void OursPCX(benchmark::State& state, const std::string& name) {
    bench::Ours<TPCXGraphic>(state, name);
}
void OursMap(benchmark::State& state, const std::string& name) {
    bench::Ours<TPPMGraphic>(state, name);
}

using TSide = void (*)(benchmark::State&, const std::string&);

[[maybe_unused]] const bool g_registered = [] {
    const auto add = [](const char* side, TSide run, const std::string& file) {
        benchmark::RegisterBenchmark((std::string(side) + "/" + file).c_str(), run, file)
            ->Unit(benchmark::kMillisecond);
    };
    for (const char* file :
         {"png_rgb.png", "png_rgba.png", "png_palette.png", "png_gray16.png", "png_adam7.png"}) {
        add("Ours", OursPNG, file);
        add("libpng", LibPng, file);
        add("libpng-simplified", LibPngSimple, file);
        add("libspng", Spng, file);
        add("stb_image", Stb, file);
    }
    add("Ours", OursGIF, "gif_8bit.gif");
    add("giflib", Giflib, "gif_8bit.gif");
    add("stb_image", Stb, "gif_8bit.gif");
    for (const char* file : {"tga_24_raw.tga", "tga_24_rle.tga", "tga_32_rle.tga"}) {
        add("Ours", OursTarga, file);
        add("stb_image", Stb, file);
    }
    add("Ours", OursJPEG, "jpeg.jpg");
    add("libjpeg-turbo", LibJpeg, "jpeg.jpg");
    // Pillow is the peer of PCX (bench_peers.py).
    for (const char* file : {"pcx_8bit.pcx", "pcx_24bit.pcx"}) add("Ours", OursPCX, file);
    for (const char* file : {"ppm_rgb.ppm", "pgm_gray.pgm"}) {
        add("Ours", OursMap, file);
        add("stb_image", Stb, file);
    }
    return true;
}();

} // namespace
