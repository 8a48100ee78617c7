// Decoding speed and memory of the PCX, SGI and Photoshop readers on 12-megapixel files
// written by independent encoders (make_paint_inputs.py), against stb_image where it reads the
// format (Photoshop). Pillow, which reads all three, is timed on the same files by
// paint_pillow.py.
//
// Fairness as in ReaderBench: every file is read into memory once and each side decodes those
// bytes into pixels in its usual layout; all sides share one allocator, set up so that large
// blocks stay in the heap, and every allocation is counted: PeakMiB is the most memory a side
// held at once during one decode, besides the input.
//
// Run: build-bench/bench/paint_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only
// and /usr/bin/python3 bench/paint_pillow.py 9; compare the medians of one file.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PSD
#include <stb/stb_image.h>

#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PSDGraphic.h"
#include "imaging/formats/SGIGraphic.h"
#include "platform/graphics/Stream.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
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
        std::ifstream file(std::string(CHRONOLITH_BENCH_DATA) + "/paint/" + name, std::ios::binary);
        it = files.emplace(name, Bytes(std::istreambuf_iterator<char>(file), {})).first;
    }
    return it->second;
}

template <class Decode>
void Measure(benchmark::State& state, const std::string& name, Decode decode) {
    const Bytes& data = Input(name);
    if (data.empty()) {
        state.SkipWithError(("missing input " + name + ": build paint_bench_inputs").c_str());
        return;
    }
    (void)g_allocatorSetUp;
    const int64_t base = g_live.load();
    g_peak = base;
    for (auto _ : state) decode(data);
    state.counters["PeakMiB"] = double(g_peak.load() - base) / (1 << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

template <class Reader> void Ours(benchmark::State& state, const std::string& name) {
    TMemoryStream stream(Input(name));
    Measure(state, name, [&](const Bytes&) {
        stream.SetPosition(0);
        Reader image;
        image.DecodeImage(stream);
        benchmark::DoNotOptimize(image.ScanLine(0));
    });
}

void OursPCX(benchmark::State& state, const std::string& name) {
    Ours<TPCXGraphic>(state, name);
}
void OursSGI(benchmark::State& state, const std::string& name) {
    Ours<TSGIGraphic>(state, name);
}
void OursPSD(benchmark::State& state, const std::string& name) {
    Ours<TPSDGraphic>(state, name);
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
