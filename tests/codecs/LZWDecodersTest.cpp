#include "imaging/codecs/LZWDecoders.h"

#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Packs codes of given widths, most significant bit first (TIFF) or least significant bit
// first (GIF).
class TCodeWriter {
public:
    explicit TCodeWriter(bool msbFirst) : msbFirst_(msbFirst) {}

    void Put(uint32_t code, uint32_t width) {
        for (uint32_t i = 0; i < width; ++i) {
            const uint32_t bit = msbFirst_ ? (code >> (width - 1 - i)) & 1 : (code >> i) & 1;
            if (used_ % 8 == 0) bytes_.push_back(0);
            if (bit)
                bytes_.back() |=
                    msbFirst_ ? uint8_t(0x80 >> (used_ % 8)) : uint8_t(1 << (used_ % 8));
            ++used_;
        }
    }
    const Bytes& Data() const { return bytes_; }

private:
    bool msbFirst_;
    Bytes bytes_;
    size_t used_ = 0;
};

// Decodes into a buffer of exactly `room` bytes pre-filled with 0xEE; checks that neither
// pointer moves.
Bytes Unpack(TDecoder& decoder, const Bytes& packed, size_t room) {
    auto in = std::make_unique<uint8_t[]>(packed.size() + 1);
    std::copy(packed.begin(), packed.end(), in.get());
    auto out = std::make_unique<uint8_t[]>(room + 1);
    std::fill_n(out.get(), room, 0xEE);
    const uint8_t* input = in.get();
    uint8_t* output = out.get();
    decoder.Decode(input, output, int32_t(packed.size()), int32_t(room));
    EXPECT_EQ(input, in.get());
    EXPECT_EQ(output, out.get());
    return Bytes(out.get(), out.get() + room);
}

// A plain GIF LZW encoder for round trips: it grows the width once the entry 2^width has been
// added, and when the table is full either sends a clear code or (`deferClear`) goes on with
// the full table. Counts how often it sends the code 4095 while the table is full.
struct TGIFTestEncoder {
    uint32_t minimumCodeSize;
    bool deferClear;
    size_t fullTableUsesOfLastCode = 0;

    Bytes Encode(const Bytes& pixels) {
        TCodeWriter w(false);
        const uint32_t clear = 1u << minimumCodeSize;
        uint32_t width = minimumCodeSize + 1, next = clear + 2;
        std::map<std::pair<uint32_t, uint8_t>, uint32_t> table;
        w.Put(clear, width);
        uint32_t current = pixels.at(0);
        for (size_t i = 1; i < pixels.size(); ++i) {
            const auto key = std::make_pair(current, pixels[i]);
            if (auto it = table.find(key); it != table.end()) {
                current = it->second;
                continue;
            }
            w.Put(current, width);
            if (next == 4096 && current == 4095) ++fullTableUsesOfLastCode;
            if (next < 4096) {
                table[key] = next;
                if (next == (1u << width) && width < 12) ++width;
                ++next;
            } else if (!deferClear) {
                w.Put(clear, width);
                table.clear();
                width = minimumCodeSize + 1;
                next = clear + 2;
            }
            current = pixels[i];
        }
        w.Put(current, width);
        w.Put(clear + 1, width);
        return w.Data();
    }
};

Bytes NoisyPixels(size_t count, uint32_t levels, uint32_t seed) {
    Bytes pixels(count);
    for (auto& p : pixels) {
        seed = seed * 1664525 + 1013904223;
        p = uint8_t((seed >> 24) % levels);
    }
    return pixels;
}

} // namespace

TEST(TIFFLZW, StringNotYetInTheTableAndEndCode) {
    // 256 (clear), 65, 258 (not yet defined: "A" + "A"), 257 (end): "A" then "AA".
    TCodeWriter w(true);
    for (uint32_t code : {256u, 65u, 258u, 257u, 66u}) w.Put(code, 9);
    TTIFFLZWDecoder d;
    EXPECT_EQ(Unpack(d, w.Data(), 5), (Bytes{0x41, 0x41, 0x41, 0xEE, 0xEE}));
    // Data need not start with a clear code.
    TCodeWriter w2(true);
    for (uint32_t code : {65u, 66u, 258u, 257u}) w2.Put(code, 9);
    EXPECT_EQ(Unpack(d, w2.Data(), 4), (Bytes{0x41, 0x42, 0x41, 0x42}));
}

TEST(TIFFLZW, WidthGrowsOnceTheNextFreeCodeReaches511) {
    // The first code adds no entry; codes 2 to 254 add entries 258 to 510, after which the
    // next code is read with 10 bits.
    TCodeWriter w(true);
    w.Put(256, 9);
    Bytes expected;
    for (int i = 0; i < 254; ++i) {
        w.Put(uint32_t(i & 0x7F), 9);
        expected.push_back(uint8_t(i & 0x7F));
    }
    w.Put(0x55, 10);
    w.Put(257, 10);
    expected.push_back(0x55);
    TTIFFLZWDecoder d;
    EXPECT_EQ(Unpack(d, w.Data(), expected.size() + 1), [&] {
        Bytes e = expected;
        e.push_back(0xEE);
        return e;
    }());
}

TEST(GIFLZW, WidthGrowsOnceEntry511HasBeenAdded) {
    // One code later than TIFF: codes 2 to 255 add entries 258 to 511.
    TCodeWriter w(false);
    w.Put(256, 9);
    Bytes expected;
    for (int i = 0; i < 255; ++i) {
        w.Put(uint32_t(i & 0x7F), 9);
        expected.push_back(uint8_t(i & 0x7F));
    }
    w.Put(0x55, 10);
    w.Put(257, 10);
    expected.push_back(0x55);
    TGIFLZWDecoder d(8);
    EXPECT_EQ(Unpack(d, w.Data(), expected.size()), expected);
}

TEST(GIFLZW, EndCodeWithMoreDataDoesNotEndDecoding) {
    // Minimum code size 2: clear 4, end 5, codes of 3 bits. The codes after the end code are
    // still decoded once the next byte has been added.
    TCodeWriter w(false);
    for (uint32_t code : {4u, 1u, 5u, 2u, 3u, 0u, 0u, 0u}) w.Put(code, 3);
    TGIFLZWDecoder d(2);
    EXPECT_EQ(Unpack(d, w.Data(), 3), (Bytes{1, 2, 3}));
    // An end code in the last byte ends decoding: the codes held after it are lost.
    TCodeWriter last(false);
    for (uint32_t code : {4u, 1u, 5u, 2u, 3u}) last.Put(code, 3);
    EXPECT_EQ(Unpack(d, last.Data(), 3), (Bytes{1, 0xEE, 0xEE}));
}

TEST(LZW, InvalidCodesAreDroppedWithoutOutput) {
    // TIFF: 65, then 300 (two above the next free code 259), then 66, end.
    TCodeWriter w(true);
    for (uint32_t code : {256u, 65u, 66u, 300u, 67u, 68u, 257u}) w.Put(code, 9);
    TTIFFLZWDecoder tiff;
    EXPECT_EQ(Unpack(tiff, w.Data(), 5), (Bytes{0x41, 0x42, 0x43, 0x44, 0xEE}));
    // A first code after a clear that is not a single byte is dropped too.
    TCodeWriter w2(true);
    for (uint32_t code : {256u, 258u, 65u, 257u}) w2.Put(code, 9);
    EXPECT_EQ(Unpack(tiff, w2.Data(), 2), (Bytes{0x41, 0xEE}));
    // GIF: the same with codes of 4 bits (minimum code size 3, next free code 11 at 15).
    TCodeWriter g(false);
    for (uint32_t code : {8u, 1u, 2u, 15u, 3u, 0u}) g.Put(code, 4);
    TGIFLZWDecoder gif(3);
    const Bytes out = Unpack(gif, g.Data(), 3);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(out[2], 3);
}

TEST(LZW, NeverWritesPastTheOutputWanted) {
    // A long string as the last code: "AAAA..." grows by KwKwK codes.
    TCodeWriter w(true);
    w.Put(256, 9);
    w.Put(65, 9);
    for (uint32_t code = 258; code < 270; ++code) w.Put(code, 9);
    w.Put(257, 9);
    TTIFFLZWDecoder d;
    for (size_t room : {1u, 2u, 7u, 50u})
        EXPECT_EQ(Unpack(d, w.Data(), room), Bytes(room, 0x41)) << room;
}

TEST(LZW, TruncatedDataStopsSilently) {
    const Bytes pixels = NoisyPixels(5000, 16, 3);
    TGIFTestEncoder encoder{4, false};
    const Bytes packed = encoder.Encode(pixels);
    TGIFLZWDecoder d(4);
    for (size_t keep : {size_t(0), size_t(1), packed.size() / 2}) {
        const Bytes part(packed.begin(), packed.begin() + keep);
        const Bytes out = Unpack(d, part, pixels.size());
        size_t good = 0;
        while (good < out.size() && out[good] == pixels[good]) ++good;
        EXPECT_LT(good, pixels.size());
        EXPECT_GE(good, keep / 2); // what the bytes given hold is decoded
        for (size_t i = good; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
    }
}

TEST(GIFLZW, RoundTripsAtEveryCodeSize) {
    for (uint32_t size = 2; size <= 8; ++size) {
        const Bytes pixels = NoisyPixels(20000, 1u << size, size);
        TGIFTestEncoder encoder{size, false};
        TGIFLZWDecoder d{uint8_t(size)};
        EXPECT_EQ(Unpack(d, encoder.Encode(pixels), pixels.size()), pixels) << size;
    }
}

TEST(GIFLZW, FullTableWithoutClearKeepsItsEntries) {
    // Data that goes on with a full table and then uses the last entry, 4095.
    const Bytes pixels = NoisyPixels(200000, 3, 11);
    TGIFTestEncoder encoder{2, true};
    const Bytes packed = encoder.Encode(pixels);
    ASSERT_GT(encoder.fullTableUsesOfLastCode, 0u);
    TGIFLZWDecoder d(2);
    EXPECT_EQ(Unpack(d, packed, pixels.size()), pixels);
}

TEST(GIFLZW, RefusesCodeSizesAbove11) {
    TGIFLZWDecoder d(12);
    EXPECT_THROW(Unpack(d, {0, 0}, 1), EGraphicCompression);
    TGIFLZWDecoder d11(11);
    EXPECT_NO_THROW(Unpack(d11, {0, 0}, 1));
}
