// Decoding speed and memory of the TIFF reader against libtiff's strip path on 12-megapixel
// RGB files (written by Pillow and tiffcp, see make_tiff_inputs.py). Pillow's times come from
// tiff_pillow.py on the same files.
//
// Fairness: every file is read into memory once; each side decodes those bytes from memory.
// libtiff gets the file mapped (its fastest path) and decodes every strip with
// TIFFReadEncodedStrip, one after another, into one image-sized buffer: it undoes the
// compression and the predictor but converts no colour (our reader also turns RGB into the
// bitmap's BGR). For the JPEG file it is told to deliver RGB (JPEGCOLORMODE_RGB), as it would
// otherwise hand out raw subsampled YCbCr rather than pixels. The shared allocator and the
// counter PeakMiB: see BenchSupport.h.
// libtiff 4.5 inflates whole strips through libdeflate; ours through ISA-L.
//
// Run: build-bench/bench/tiff_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// and compare the medians of one file.
#include "BenchSupport.h"
#include "imaging/formats/TIFFGraphic.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using bench::Bytes;
using bench::Measure;

void Ours(benchmark::State& state, const std::string& name) {
    bench::Ours<TTIFFGraphic>(state, name);
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

#define TIFF_BENCH(label, file)                                                                    \
    BENCHMARK_CAPTURE(Ours, label, std::string(file))->Unit(benchmark::kMillisecond);              \
    BENCHMARK_CAPTURE(LibTiff, label, std::string(file))->Unit(benchmark::kMillisecond)

TIFF_BENCH(rgb_none, "rgb_none.tif");
TIFF_BENCH(rgb_lzw, "rgb_lzw.tif");
TIFF_BENCH(rgb_lzw_pred, "rgb_lzw_pred.tif");
TIFF_BENCH(rgb_zip, "rgb_zip.tif");
TIFF_BENCH(rgb_zip_pred, "rgb_zip_pred.tif");
TIFF_BENCH(rgb_packbits, "rgb_packbits.tif");
TIFF_BENCH(rgb_jpeg, "rgb_jpeg.tif");
TIFF_BENCH(rgb_float_zip_fpred, "rgb_float_zip_fpred.tif");
TIFF_BENCH(page_g4, "page_g4.tif");

} // namespace
