#include "imaging/codecs/DeflateDecoder.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

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
