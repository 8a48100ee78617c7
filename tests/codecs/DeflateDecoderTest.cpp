#include "imaging/codecs/DeflateDecoder.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::vector<uint8_t> packed(size);
    EXPECT_EQ(compress2(packed.data(), &size, data.data(), static_cast<uLong>(data.size()), 9),
              Z_OK);
    packed.resize(size);
    return packed;
}

std::vector<uint8_t> Sample(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
    return data;
}

} // namespace

TEST(LZ77Decoder, InflatesInPiecesAndMovesBothPointers) {
    const auto plain = Sample(5000);
    const auto packed = Compress(plain);
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecoding();
    std::vector<uint8_t> out(plain.size());
    const uint8_t* in = packed.data();
    uint8_t* o = out.data();
    // First half of the output, all input offered.
    decoder.Decode(in, o, static_cast<int32_t>(packed.size()), 2500);
    EXPECT_EQ(decoder.ZResult(), Z_OK);
    EXPECT_EQ(o, out.data() + 2500);
    EXPECT_EQ(decoder.OutputLeft(), 0u);
    const int32_t rest = static_cast<int32_t>(packed.data() + packed.size() - in);
    EXPECT_EQ(static_cast<uint32_t>(rest), decoder.InputLeft());
    decoder.Decode(in, o, rest, 2500);
    EXPECT_EQ(decoder.ZResult(), Z_STREAM_END);
    EXPECT_EQ(o, out.data() + out.size());
    EXPECT_EQ(in, packed.data() + packed.size());
    EXPECT_EQ(out, plain);
    decoder.EndDecoding();
}

TEST(LZ77Decoder, EndedStreamIgnoresFurtherBlocksUnlessResetPerBlock) {
    const auto plain = Sample(300);
    const auto packed = Compress(plain);
    std::vector<uint8_t> out(plain.size());

    TLZ77Decoder once(Z_PARTIAL_FLUSH, false);
    once.BeginDecoding();
    const uint8_t* in = packed.data();
    uint8_t* o = out.data();
    once.Decode(in, o, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
    ASSERT_EQ(once.ZResult(), Z_STREAM_END);
    // After the end, the arguments are left as they are.
    in = packed.data();
    o = out.data();
    out.assign(out.size(), 0xEE);
    once.Decode(in, o, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(in, packed.data());
    EXPECT_EQ(o, out.data());
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xEE));
    EXPECT_EQ(once.ZResult(), Z_STREAM_END);
    once.EndDecoding();

    // Strips: every block is a stream of its own.
    TLZ77Decoder strips(Z_PARTIAL_FLUSH, true);
    strips.BeginDecoding();
    for (int strip = 0; strip < 3; ++strip) {
        in = packed.data();
        o = out.data();
        out.assign(out.size(), 0);
        strips.Decode(in, o, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
        EXPECT_EQ(strips.ZResult(), Z_STREAM_END);
        EXPECT_EQ(out, plain);
    }
    strips.EndDecoding();
}

TEST(LZ77Decoder, TruncatedAndCorruptStreamsStayWithinBuffersAndReportInZResult) {
    const auto plain = Sample(4000);
    const auto packed = Compress(plain);
    std::vector<uint8_t> out(plain.size());

    // Truncated input: no error raised, output partly filled, the rest counted.
    TLZ77Decoder decoder(Z_FINISH, false);
    decoder.BeginDecoding();
    const uint8_t* in = packed.data();
    uint8_t* o = out.data();
    decoder.Decode(in, o, static_cast<int32_t>(packed.size() / 2),
                   static_cast<int32_t>(out.size()));
    EXPECT_EQ(decoder.ZResult(), Z_BUF_ERROR);
    EXPECT_GT(decoder.OutputLeft(), 0u);
    EXPECT_EQ(o, out.data() + out.size() - decoder.OutputLeft());
    decoder.EndDecoding();

    // Output smaller than the data: inflate stops at the end of the output.
    std::vector<uint8_t> small(100 + 16, 0x5A);
    TLZ77Decoder limited(Z_PARTIAL_FLUSH, false);
    limited.BeginDecoding();
    in = packed.data();
    o = small.data();
    limited.Decode(in, o, static_cast<int32_t>(packed.size()), 100);
    EXPECT_EQ(o, small.data() + 100);
    EXPECT_EQ(std::vector<uint8_t>(small.begin() + 100, small.end()),
              std::vector<uint8_t>(16, 0x5A));
    limited.EndDecoding();

    // Garbage: the error is left in ZResult, nothing raised.
    std::vector<uint8_t> garbage(64);
    std::iota(garbage.begin(), garbage.end(), uint8_t{0x40});
    TLZ77Decoder bad(Z_PARTIAL_FLUSH, true);
    bad.BeginDecoding();
    in = garbage.data();
    o = out.data();
    bad.Decode(in, o, static_cast<int32_t>(garbage.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(bad.ZResult(), Z_DATA_ERROR);
    bad.EndDecoding();
}

TEST(LZ77Decoder, EndWithoutBeginRaisesAndDecodeWithoutBeginDoesNothing) {
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, true);
    uint8_t data[4] = {1, 2, 3, 4};
    const uint8_t* in = data;
    uint8_t* o = data;
    decoder.Decode(in, o, 4, 4);
    EXPECT_LT(decoder.ZResult(), 0);
    try {
        decoder.EndDecoding();
        FAIL() << "no exception";
    } catch (const EGraphicCompression& e) {
        EXPECT_STREQ(e.what(), "LZ77 decompression error.");
    }
}

namespace {

// Filtered-image-like data: smooth ramps with noise, so that the stream holds matches and
// literals of every kind and dynamic Huffman blocks.
std::vector<uint8_t> ImageLike(size_t size, uint32_t seed) {
    std::vector<uint8_t> data(size);
    uint32_t state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<uint8_t>((i % 997) / 4 + ((state >> 24) & 7));
    }
    return data;
}

struct TOutcome {
    int32_t Result;
    size_t Consumed, Produced;
    std::vector<uint8_t> Output;
};

// The whole stream in one zlib call, as a reference.
TOutcome ZlibOnce(const std::vector<uint8_t>& packed, size_t outputSize, int flush) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, MAX_WBITS), Z_OK);
    std::vector<uint8_t> out(outputSize, 0);
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, flush);
    TOutcome outcome{result, packed.size() - z.avail_in, out.size() - z.avail_out, out};
    inflateEnd(&z);
    return outcome;
}

TOutcome DecoderOnce(const std::vector<uint8_t>& packed, size_t outputSize, int flush,
                     bool resetPerBlock) {
    TLZ77Decoder decoder(flush, resetPerBlock);
    decoder.BeginDecoding();
    std::vector<uint8_t> out(outputSize, 0);
    const uint8_t* in = packed.data();
    uint8_t* o = out.data();
    decoder.Decode(in, o, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(decoder.InputLeft(), packed.size() - size_t(in - packed.data()));
    EXPECT_EQ(decoder.OutputLeft(), out.size() - size_t(o - out.data()));
    TOutcome outcome{decoder.ZResult(), size_t(in - packed.data()), size_t(o - out.data()), out};
    decoder.EndDecoding();
    return outcome;
}

// Row by row with the input in pieces, as the PNG reader feeds it: true when the stream ended
// with every row filled, `out` holding what was produced.
bool DecoderRows(const std::vector<uint8_t>& packed, size_t piece, size_t rowBytes,
                 std::vector<uint8_t>& out) {
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecoding();
    size_t position = 0, filled = 0;
    while (decoder.ZResult() == Z_OK && filled < out.size()) {
        const size_t available = std::min(piece, packed.size() - position);
        const size_t room = std::min(rowBytes - filled % rowBytes, out.size() - filled);
        const uint8_t* in = packed.data() + position;
        uint8_t* o = out.data() + filled;
        decoder.Decode(in, o, static_cast<int32_t>(available), static_cast<int32_t>(room));
        const size_t consumed = size_t(in - (packed.data() + position));
        const size_t produced = size_t(o - (out.data() + filled));
        if (consumed == 0 && produced == 0) break;
        position += consumed;
        filled += produced;
    }
    // The stream's end may only be seen once the last row is in.
    if (decoder.ZResult() == Z_OK) {
        const uint8_t* in = packed.data() + position;
        uint8_t* o = out.data() + filled;
        decoder.Decode(in, o, static_cast<int32_t>(packed.size() - position), 0);
    }
    const bool ended = decoder.ZResult() == Z_STREAM_END && filled == out.size();
    decoder.EndDecoding();
    return ended;
}

} // namespace

TEST(LZ77Decoder, RowsAndPiecesOfEverySizeGiveTheData) {
    const auto plain = ImageLike(300000, 7);
    const auto packed = Compress(plain);
    for (const size_t piece : {size_t(1), size_t(7), size_t(8192), packed.size()}) {
        for (const size_t rowBytes : {size_t(1), size_t(13), size_t(12001)}) {
            if (piece == 1 && rowBytes == 1) continue; // slow, and covered by its neighbours
            std::vector<uint8_t> out(plain.size(), 0);
            EXPECT_TRUE(DecoderRows(packed, piece, rowBytes, out)) << piece << " " << rowBytes;
            EXPECT_EQ(out, plain) << piece << " " << rowBytes;
        }
    }
}

TEST(LZ77Decoder, OutputDecodedAheadComesOutWithoutFurtherInput) {
    // All input in the first call, the output asked for in rows: the rows after the input
    // was consumed still come out, with no input left to offer. Bytes after the stream that
    // a call consumed before the end was seen are counted.
    const auto plain = ImageLike(200000, 3);
    auto packed = Compress(plain);
    const size_t streamSize = packed.size();
    packed.insert(packed.end(), {1, 2, 3});
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecoding();
    std::vector<uint8_t> out(plain.size(), 0);
    const uint8_t* in = packed.data();
    const uint8_t* end = packed.data() + packed.size();
    uint8_t* o = out.data();
    while (decoder.ZResult() == Z_OK)
        decoder.Decode(
            in, o, static_cast<int32_t>(end - in),
            static_cast<int32_t>(std::min<ptrdiff_t>(4000, out.data() + out.size() - o)));
    EXPECT_EQ(decoder.ZResult(), Z_STREAM_END);
    EXPECT_EQ(o, out.data() + out.size());
    EXPECT_EQ(size_t(in - packed.data()) - decoder.ReadPastEnd(), streamSize);
    EXPECT_EQ(out, plain);
    decoder.EndDecoding();
}

TEST(LZ77Decoder, BytesAfterTheStreamAreLeftAndCounted) {
    const auto plain = ImageLike(50000, 5);
    auto packed = Compress(plain);
    const size_t streamSize = packed.size();
    packed.insert(packed.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    for (const bool reset : {false, true}) {
        const TOutcome got = DecoderOnce(packed, plain.size() + 100, Z_PARTIAL_FLUSH, reset);
        EXPECT_EQ(got.Result, Z_STREAM_END);
        EXPECT_EQ(got.Consumed, streamSize);
        EXPECT_EQ(got.Produced, plain.size());
    }
}

TEST(LZ77Decoder, DamagedStreamsEndAsZlibEndsThem) {
    // Every damage of a stream (a byte changed, the stream cut) ends as zlib ends it: whole
    // blocks exactly (result, bytes consumed and produced, the output), streams read row by
    // row with the same success or failure and, on success, the same data.
    const auto plain = ImageLike(20000, 11);
    const auto packed = Compress(plain);
    uint32_t state = 12345;
    int failures = 0;
    for (int trial = 0; trial < 600; ++trial) {
        auto damaged = packed;
        state = state * 1664525u + 1013904223u;
        const size_t at = (state >> 8) % damaged.size();
        if (trial % 5 == 4)
            damaged.resize(at);
        else
            damaged[at] ^= static_cast<uint8_t>(1u << (state & 7));
        for (const int flush : {Z_PARTIAL_FLUSH, Z_FINISH}) {
            const TOutcome want = ZlibOnce(damaged, plain.size(), flush);
            const TOutcome whole = DecoderOnce(damaged, plain.size(), flush, true);
            EXPECT_EQ(whole.Result, want.Result) << trial;
            EXPECT_EQ(whole.Consumed, want.Consumed) << trial;
            EXPECT_EQ(whole.Produced, want.Produced) << trial;
            EXPECT_EQ(whole.Output, want.Output) << trial;
        }
        const TOutcome want = ZlibOnce(damaged, plain.size(), Z_PARTIAL_FLUSH);
        std::vector<uint8_t> rows(plain.size(), 0);
        const bool ended = DecoderRows(damaged, 1000, 600, rows);
        EXPECT_EQ(ended, want.Result == Z_STREAM_END) << trial;
        if (ended) {
            EXPECT_EQ(rows, want.Output) << trial;
        }
        failures += want.Result != Z_STREAM_END;
    }
    EXPECT_GT(failures, 300); // most damages are caught, by the checksum at the latest
}
