// Inflating a realistic deflate stream (about 1 MB, PNG-like filtered image rows compressed
// by zlib itself, made by make_inflate_data.py before this benchmark is built) through
// TLZ77Decoder, through plain zlib and, for whole blocks, through libdeflate (which cannot
// stream), in the same binary. All sides inflate into the same output buffer, allocated and
// touched once before timing.
#include "imaging/codecs/DeflateDecoder.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct TInflateInput {
    Bytes Packed;
    size_t Size = 0;
    size_t RowBytes = 0;

    TInflateInput() {
        const std::string folder = std::string(CHRONOLITH_BENCH_DATA) + "/inflate/";
        std::ifstream packed(folder + "rows.zlib", std::ios::binary);
        std::ifstream sizes(folder + "rows.size");
        if (!packed || !sizes) throw std::runtime_error("missing benchmark input in " + folder);
        Packed.assign(std::istreambuf_iterator<char>(packed), {});
        sizes >> Size >> RowBytes;
    }
};

const TInflateInput& Input() {
    static const TInflateInput input;
    return input;
}

Bytes& Output() {
    static Bytes output(Input().Size, 0);
    return output;
}

void Check(benchmark::State& state, bool ok) {
    if (!ok) state.SkipWithError("inflate did not produce the whole image");
}

// One call for the whole stream, as for a TIFF strip.
void BM_InflateWhole_TLZ77Decoder(benchmark::State& state) {
    const TInflateInput& in = Input();
    Bytes& out = Output();
    for (auto _ : state) {
        TLZ77Decoder decoder(Z_PARTIAL_FLUSH, true);
        decoder.BeginDecoding();
        const uint8_t* src = in.Packed.data();
        uint8_t* dst = out.data();
        decoder.Decode(src, dst, int32_t(in.Packed.size()), int32_t(out.size()));
        Check(state, decoder.ZResult() == Z_STREAM_END && dst == out.data() + out.size());
        decoder.EndDecoding();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void BM_InflateWhole_zlib(benchmark::State& state) {
    const TInflateInput& in = Input();
    Bytes& out = Output();
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, MAX_WBITS);
        z.next_in = in.Packed.data();
        z.avail_in = uInt(in.Packed.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int result = inflate(&z, Z_PARTIAL_FLUSH);
        Check(state, result == Z_STREAM_END && z.avail_out == 0);
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void BM_InflateWhole_libdeflate(benchmark::State& state) {
    const TInflateInput& in = Input();
    Bytes& out = Output();
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        size_t produced = 0;
        const auto result = libdeflate_zlib_decompress(
            decompressor, in.Packed.data(), in.Packed.size(), out.data(), out.size(), &produced);
        Check(state, result == LIBDEFLATE_SUCCESS && produced == out.size());
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(decompressor);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

// One call per image row, as the PNG reader does.
void BM_InflateRows_TLZ77Decoder(benchmark::State& state) {
    const TInflateInput& in = Input();
    Bytes& out = Output();
    for (auto _ : state) {
        TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
        decoder.BeginDecoding();
        const uint8_t* src = in.Packed.data();
        const uint8_t* end = src + in.Packed.size();
        uint8_t* dst = out.data();
        for (size_t row = 0; row < in.Size / in.RowBytes; ++row) {
            uint8_t* rowEnd = out.data() + (row + 1) * in.RowBytes;
            while (dst < rowEnd && decoder.ZResult() == Z_OK)
                decoder.Decode(src, dst, int32_t(end - src), int32_t(rowEnd - dst));
        }
        Check(state, decoder.ZResult() == Z_STREAM_END && dst == out.data() + out.size());
        decoder.EndDecoding();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void BM_InflateRows_zlib(benchmark::State& state) {
    const TInflateInput& in = Input();
    Bytes& out = Output();
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, MAX_WBITS);
        z.next_in = in.Packed.data();
        z.avail_in = uInt(in.Packed.size());
        int result = Z_OK;
        for (size_t row = 0; row < in.Size / in.RowBytes; ++row) {
            z.next_out = out.data() + row * in.RowBytes;
            z.avail_out = uInt(in.RowBytes);
            while (z.avail_out && result == Z_OK) result = inflate(&z, Z_PARTIAL_FLUSH);
        }
        Check(state, result == Z_STREAM_END && z.avail_out == 0);
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

BENCHMARK(BM_InflateWhole_TLZ77Decoder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateWhole_zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateWhole_libdeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateRows_TLZ77Decoder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateRows_zlib)->Unit(benchmark::kMillisecond);

} // namespace
