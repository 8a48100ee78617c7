// Helpers of the codec tests: reading fixtures, the strips of a little-endian TIFF file, the
// rows of a raw PBM file, bit strings, and one decode call over a whole input.
#pragma once

#include "imaging/codecs/Decoder.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Stream.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

inline std::vector<uint8_t> ReadFixture(const std::string& name) {
    TFileStream file(std::string(CHRONOLITH_TEST_DATA) + "/codecs/" + name, fmOpenRead);
    return ReadRest(file, 1 << 24);
}

// The tags of the first image of a little-endian TIFF file, with the raw bytes of its strips.
struct TTiffFile {
    std::map<uint16_t, std::vector<uint32_t>> Tags;
    std::vector<std::vector<uint8_t>> Strips;
    std::vector<uint8_t> JPEGTables;

    uint32_t Tag(uint16_t tag, uint32_t fallback = 0) const {
        auto it = Tags.find(tag);
        return it == Tags.end() || it->second.empty() ? fallback : it->second[0];
    }
    const std::vector<uint32_t>& TagValues(uint16_t tag) const { return Tags.at(tag); }
};

inline TTiffFile ReadTiff(const std::vector<uint8_t>& data) {
    TByteReader r(data.data(), data.size());
    if (r.LE16() != 0x4949 || r.LE16() != 42) throw EInvalidGraphic("not a little-endian TIFF");
    r.Seek(r.LE32());
    TTiffFile tiff;
    const uint16_t count = r.LE16();
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t tag = r.LE16();
        const uint16_t type = r.LE16();
        const uint32_t n = r.LE32();
        const size_t size = type == 3 ? 2 : type == 4 ? 4 : 1;
        const size_t entryEnd = r.Position() + 4;
        if (size * n > 4) r.Seek(r.LE32());
        std::vector<uint32_t> values;
        for (uint32_t k = 0; k < n; ++k)
            values.push_back(size == 2 ? r.LE16() : size == 4 ? r.LE32() : r.U8());
        tiff.Tags[tag] = values;
        r.Seek(entryEnd);
    }
    const auto& offsets = tiff.TagValues(273);
    const auto& counts = tiff.TagValues(279);
    for (size_t i = 0; i < offsets.size(); ++i) {
        r.Seek(offsets[i]);
        const uint8_t* p = r.Take(counts[i]);
        tiff.Strips.emplace_back(p, p + counts[i]);
    }
    if (tiff.Tags.count(347))
        for (uint32_t v : tiff.Tags[347]) tiff.JPEGTables.push_back(static_cast<uint8_t>(v));
    return tiff;
}

// A raw (P4) PBM file: 1 bits are black, rows padded to whole bytes.
struct TPbm {
    uint32_t Width = 0, Height = 0;
    std::vector<uint8_t> Bits;
};

inline TPbm ReadPbm(const std::vector<uint8_t>& data) {
    TPbm pbm;
    size_t pos = 0;
    auto number = [&] {
        while (pos < data.size() &&
               (data[pos] == ' ' || data[pos] == '\n' || data[pos] == '\r' || data[pos] == '\t'))
            ++pos;
        uint32_t value = 0;
        while (pos < data.size() && data[pos] >= '0' && data[pos] <= '9')
            value = value * 10 + (data[pos++] - '0');
        return value;
    };
    if (data.size() < 2 || data[0] != 'P' || data[1] != '4') throw EInvalidGraphic("not a PBM");
    pos = 2;
    pbm.Width = number();
    pbm.Height = number();
    ++pos;
    pbm.Bits.assign(data.begin() + static_cast<ptrdiff_t>(pos), data.end());
    return pbm;
}

// Packs code words given as '0'/'1' strings, most significant bit first, zero-padded; "|"
// pads to the next byte.
inline std::vector<uint8_t> Bits(const std::vector<std::string_view>& codes) {
    std::vector<uint8_t> out;
    size_t n = 0;
    for (std::string_view code : codes)
        for (char c : code) {
            if (c == '|') {
                n = out.size() * 8;
                continue;
            }
            if (n % 8 == 0) out.push_back(0);
            if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
            ++n;
        }
    return out;
}

// One Decode call over the whole input into `outputSize` bytes first set to 0xAA (so that
// bytes left alone show); the decoder must not move the caller's pointers.
inline std::vector<uint8_t> Decode(TDecoder& decoder, const std::vector<uint8_t>& input,
                                   size_t outputSize) {
    std::vector<uint8_t> output(outputSize, 0xAA);
    const uint8_t* in = input.data();
    uint8_t* out = output.data();
    decoder.Decode(in, out, static_cast<int32_t>(input.size()), static_cast<int32_t>(outputSize));
    EXPECT_EQ(in, input.data());
    EXPECT_EQ(out, output.data());
    return output;
}
