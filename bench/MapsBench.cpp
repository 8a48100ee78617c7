// Decoding speed and memory of the portable map reader against stb_image, and against a plain
// memcpy of the raster's bytes, on 12-megapixel raw pixel and grey maps written by independent
// encoders (make_maps_inputs.py). Pillow times the same files in maps_pillow.py.
//
// Fairness as in ReaderBench: every file is read into memory once and each side decodes those
// bytes from memory into pixels in its usual layout (ours: bitmap rows, blue first; stb_image:
// packed rows, red first; memcpy: the raster into a new block). All sides use the same
// allocator, set up so that large blocks stay in the heap; the counter PeakMiB is the most
// memory a side held at once during one decode, besides the input.
//
// Run: build-bench/bench/maps_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNM
#include <stb/stb_image.h>

#include "imaging/formats/PPMGraphic.h"
#include "platform/graphics/Stream.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

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
    if (!pointer) return pointer;
    const int64_t live = g_live += int64_t(malloc_usable_size(pointer));
    for (int64_t peak = g_peak.load(); live > peak && !g_peak.compare_exchange_weak(peak, live);) {
    }
    return pointer;
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
    if (pointer) g_live -= int64_t(malloc_usable_size(pointer));
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
}

namespace {

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
        std::ifstream file(std::string(CHRONOLITH_BENCH_DATA) + "/maps/" + name, std::ios::binary);
        it = files.emplace(name, Bytes(std::istreambuf_iterator<char>(file), {})).first;
    }
    return it->second;
}

template <class Decode>
void Measure(benchmark::State& state, const std::string& name, Decode decode) {
    const Bytes& data = Input(name);
    if (data.empty()) {
        state.SkipWithError(("missing input " + name + ": build maps_bench_inputs").c_str());
        return;
    }
    (void)g_allocatorSetUp;
    const int64_t base = g_live.load();
    g_peak = base;
    for (auto _ : state) decode(data);
    state.counters["PeakMiB"] = double(g_peak.load() - base) / (1 << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void Ours(benchmark::State& state, const std::string& name) {
    TMemoryStream stream(Input(name));
    Measure(state, name, [&](const Bytes&) {
        stream.SetPosition(0);
        TPPMGraphic image;
        image.DecodeImage(stream);
        benchmark::DoNotOptimize(image.ScanLine(0));
    });
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
