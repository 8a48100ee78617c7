// Decoding speed and memory of the PNG, GIF and Targa readers against libpng, giflib and
// stb_image, on the same files (written by independent encoders, see make_reader_inputs.py).
//
// Fairness: every file is read into memory once; each side decodes those bytes from memory
// into pixels in its usual output layout. All sides use the same allocator, set up so that
// large blocks stay in the heap and are reused (no fresh pages per iteration for anyone), and
// every allocation is counted: the counter PeakMiB is the most memory a side held at once
// during one decode, besides the input.
//
// Run: build/bench/reader_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// and compare the medians of one file.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_GIF
#define STBI_ONLY_TGA
#include <stb/stb_image.h>

#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PNGGraphic.h"
#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/Stream.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <png.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

// --- Allocation accounting: the C allocator, replaced by a counting front over glibc's. ---

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* Counted(void* pointer) {
    if (pointer) {
        const int64_t live = g_live += int64_t(malloc_usable_size(pointer));
        int64_t peak = g_peak.load(std::memory_order_relaxed);
        while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
        }
    }
    return pointer;
}
void Uncount(void* pointer) {
    if (pointer) g_live -= int64_t(malloc_usable_size(pointer));
}
} // namespace

extern "C" {
void* malloc(size_t size) {
    return Counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) {
    return Counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, size_t size) {
    const size_t old = pointer ? malloc_usable_size(pointer) : 0;
    void* result = __libc_realloc(pointer, size);
    if (result || size == 0) {
        g_live -= int64_t(old);
        Counted(result);
    }
    return result;
}
void free(void* pointer) {
    Uncount(pointer);
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
    return Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    void* pointer = memalign(alignment, size);
    if (!pointer) return ENOMEM;
    *result = pointer;
    return 0;
}
void* valloc(size_t size) {
    return memalign(4096, size);
}
void* pvalloc(size_t size) {
    return memalign(4096, (size + 4095) & ~size_t(4095));
}
}

namespace {

// Large blocks come from the heap and go back to it, so that no side pays for fresh pages
// after the first iteration.
const bool g_allocatorSetUp = [] {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return true;
}();

using Bytes = std::vector<uint8_t>;

const Bytes& Input(const std::string& name) {
    static std::map<std::string, Bytes> files;
    auto it = files.find(name);
    if (it == files.end()) {
        std::ifstream file(std::string(CHRONOLITH_BENCH_DATA) + "/readers/" + name,
                           std::ios::binary);
        it = files.emplace(name, Bytes(std::istreambuf_iterator<char>(file), {})).first;
    }
    return it->second;
}

// Runs `decode` once per iteration and reports the peak memory of one decode.
template <class Decode>
void Measure(benchmark::State& state, const std::string& name, Decode decode) {
    const Bytes& data = Input(name);
    if (data.empty()) {
        state.SkipWithError(("missing input " + name + ": build reader_bench_inputs").c_str());
        return;
    }
    (void)g_allocatorSetUp;
    const int64_t base = g_live.load();
    g_peak = base;
    for (auto _ : state) decode(data);
    state.counters["PeakMiB"] = double(g_peak.load() - base) / (1 << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// --- Our readers ---

template <class Reader> void Ours(benchmark::State& state, const std::string& name) {
    // The stream holds its own copy of the file, made before the measure starts.
    TMemoryStream stream(Input(name));
    Measure(state, name, [&](const Bytes&) {
        stream.SetPosition(0);
        Reader image;
        image.DecodeImage(stream);
        benchmark::DoNotOptimize(image.ScanLine(0));
    });
}

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
    Ours<TPNGGraphic>(state, name);
}
void OursGIF(benchmark::State& state, const std::string& name) {
    Ours<TGIFGraphic>(state, name);
}
void OursTarga(benchmark::State& state, const std::string& name) {
    Ours<TTargaGraphic>(state, name);
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
