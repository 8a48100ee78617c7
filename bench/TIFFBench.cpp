// Decoding speed and memory of the TIFF reader against libtiff's strip path on 12-megapixel
// RGB files (written by Pillow and tiffcp, see make_tiff_inputs.py). Pillow's times come from
// tiff_pillow.py on the same files.
//
// Fairness: every file is read into memory once; each side decodes those bytes from memory.
// libtiff gets the file mapped (its fastest path) and decodes every strip with
// TIFFReadEncodedStrip, one after another, into one image-sized buffer: it undoes the
// compression and the predictor but converts no colour (our reader also turns RGB into the
// bitmap's BGR). For the JPEG file it is told to deliver RGB (JPEGCOLORMODE_RGB), as it would
// otherwise hand out raw subsampled YCbCr rather than pixels. Both sides use the same
// allocator, set up so that large blocks stay in the heap and are reused, and every
// allocation is counted: PeakMiB is the most memory a side held at once during one decode,
// besides the input.
//
// Zlib inflates the strips of the deflate files with zlib alone (no predictor, no colour),
// into one image-sized buffer: the floor of any reader that inflates through zlib, as ours
// does; libtiff 4.5 inflates whole strips through libdeflate instead.
//
// Run: build-bench/bench/tiff_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// and compare the medians of one file.
#include "imaging/formats/TIFFGraphic.h"
#include "platform/graphics/Stream.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <zlib.h>

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
        std::ifstream file(std::string(CHRONOLITH_BENCH_DATA) + "/tiff/" + name, std::ios::binary);
        it = files.emplace(name, Bytes(std::istreambuf_iterator<char>(file), {})).first;
    }
    return it->second;
}

template <class Decode>
void Measure(benchmark::State& state, const std::string& name, Decode decode) {
    const Bytes& data = Input(name);
    if (data.empty()) {
        state.SkipWithError(("missing input " + name + ": build tiff_bench_inputs").c_str());
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
        TTIFFGraphic image;
        image.DecodeImage(stream);
        benchmark::DoNotOptimize(image.ScanLine(0));
    });
}

// --- libtiff over memory ---

struct TMemoryFile {
    const Bytes* Data;
    toff_t Position;
};

tsize_t ReadProc(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* file = static_cast<TMemoryFile*>(handle);
    const toff_t left = file->Data->size() - std::min<toff_t>(file->Position, file->Data->size());
    const toff_t n = std::min<toff_t>(toff_t(size), left);
    std::memcpy(buffer, file->Data->data() + file->Position, n);
    file->Position += n;
    return tsize_t(n);
}
tsize_t WriteProc(thandle_t, tdata_t, tsize_t) {
    return 0;
}
toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<TMemoryFile*>(handle);
    if (whence == SEEK_SET) file->Position = offset;
    if (whence == SEEK_CUR) file->Position += offset;
    if (whence == SEEK_END) file->Position = file->Data->size() + offset;
    return file->Position;
}
int CloseProc(thandle_t) {
    return 0;
}
toff_t SizeProc(thandle_t handle) {
    return static_cast<TMemoryFile*>(handle)->Data->size();
}
int MapProc(thandle_t handle, tdata_t* base, toff_t* size) {
    auto* file = static_cast<TMemoryFile*>(handle);
    *base = const_cast<uint8_t*>(file->Data->data());
    *size = file->Data->size();
    return 1;
}
void UnmapProc(thandle_t, tdata_t, toff_t) {}

void LibTiff(benchmark::State& state, const std::string& name) {
    TIFFSetWarningHandler(nullptr);
    Measure(state, name, [](const Bytes& data) {
        TMemoryFile file{&data, 0};
        TIFF* tif = TIFFClientOpen("bench", "rm", &file, ReadProc, WriteProc, SeekProc, CloseProc,
                                   SizeProc, MapProc, UnmapProc);
        if (!tif) std::abort();
        uint16_t compression = 0;
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
        if (compression == COMPRESSION_JPEG)
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        const tmsize_t stripSize = TIFFStripSize(tif);
        const uint32_t strips = TIFFNumberOfStrips(tif);
        auto* pixels = static_cast<uint8_t*>(std::malloc(size_t(stripSize) * strips));
        for (uint32_t s = 0; s < strips; ++s)
            if (TIFFReadEncodedStrip(tif, s, pixels + size_t(stripSize) * s, -1) < 0) std::abort();
        benchmark::DoNotOptimize(pixels[0]);
        std::free(pixels);
        TIFFClose(tif);
    });
}

void Zlib(benchmark::State& state, const std::string& name) {
    const Bytes& data = Input(name);
    TMemoryFile file{&data, 0};
    TIFF* tif = TIFFClientOpen("bench", "rm", &file, ReadProc, WriteProc, SeekProc, CloseProc,
                               SizeProc, MapProc, UnmapProc);
    if (!tif) {
        state.SkipWithError(("missing input " + name).c_str());
        return;
    }
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets);
    TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    const size_t stripSize = size_t(TIFFStripSize(tif));
    const std::vector<uint64_t> offset(offsets, offsets + strips), count(counts, counts + strips);
    TIFFClose(tif);
    Measure(state, name, [&](const Bytes& bytes) {
        auto* pixels = static_cast<uint8_t*>(std::malloc(stripSize * strips));
        for (uint32_t s = 0; s < strips; ++s) {
            uLongf size = uLongf(stripSize);
            uncompress(pixels + stripSize * s, &size, bytes.data() + offset[s], uLong(count[s]));
        }
        benchmark::DoNotOptimize(pixels[0]);
        std::free(pixels);
    });
}

#define TIFF_BENCH(label, file)                                                                    \
    BENCHMARK_CAPTURE(Ours, label, std::string(file))->Unit(benchmark::kMillisecond);              \
    BENCHMARK_CAPTURE(LibTiff, label, std::string(file))->Unit(benchmark::kMillisecond)

TIFF_BENCH(rgb_none, "rgb_none.tif");
TIFF_BENCH(rgb_lzw, "rgb_lzw.tif");
TIFF_BENCH(rgb_lzw_pred, "rgb_lzw_pred.tif");
TIFF_BENCH(rgb_zip, "rgb_zip.tif");
TIFF_BENCH(rgb_zip_pred, "rgb_zip_pred.tif");
BENCHMARK_CAPTURE(Zlib, rgb_zip, std::string("rgb_zip.tif"))->Unit(benchmark::kMillisecond);
TIFF_BENCH(rgb_packbits, "rgb_packbits.tif");
TIFF_BENCH(rgb_jpeg, "rgb_jpeg.tif");

} // namespace
