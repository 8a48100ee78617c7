// Data written by independent encoders (libtiff's tiffcp, Pillow, ImageMagick, netpbm) decodes
// to the pixels those tools started from.
#include "imaging/codecs/LZWDecoders.h"
#include "imaging/codecs/RunLengthDecoders.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& name) {
    std::ifstream file(std::string(CHRONOLITH_TEST_DATA) + "/codecs/" + name, std::ios::binary);
    EXPECT_TRUE(file) << name;
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// The samples of a binary PGM or PPM with maxval 255.
Bytes PnmSamples(const std::string& name) {
    const Bytes file = ReadFile(name);
    size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        while (pos < file.size() && std::isspace(file[pos])) ++pos;
        while (pos < file.size() && !std::isspace(file[pos])) ++pos;
    }
    return Bytes(file.begin() + ptrdiff_t(pos) + 1, file.end());
}

// The strips of the first image of a little-endian TIFF file, with the rows per strip.
struct TStrips {
    std::vector<Bytes> data;
    uint32_t rowsPerStrip = 0;
};

TStrips ReadStrips(const std::string& name) {
    const Bytes f = ReadFile(name);
    auto u16 = [&](size_t at) { return uint32_t(f.at(at) | (f.at(at + 1) << 8)); };
    auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
    EXPECT_EQ(u16(0), 0x4949u) << "expected a little-endian TIFF";
    const size_t ifd = u32(4);
    std::vector<uint32_t> offsets, counts;
    TStrips strips;
    for (uint32_t i = 0; i < u16(ifd); ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        const uint32_t tag = u16(entry), type = u16(entry + 2), count = u32(entry + 4);
        const size_t size = type == 3 ? 2 : 4;
        const size_t values = count * size <= 4 ? entry + 8 : u32(entry + 8);
        std::vector<uint32_t> list;
        for (uint32_t k = 0; k < count; ++k)
            list.push_back(size == 2 ? u16(values + 2 * k) : u32(values + 4 * k));
        if (tag == 273) offsets = list;
        if (tag == 279) counts = list;
        if (tag == 278) strips.rowsPerStrip = list.at(0);
    }
    EXPECT_EQ(offsets.size(), counts.size());
    for (size_t s = 0; s < offsets.size(); ++s)
        strips.data.emplace_back(f.begin() + offsets[s], f.begin() + offsets[s] + counts[s]);
    return strips;
}

// Decodes every strip into its part of an image of `expected.size()` bytes.
Bytes DecodeStrips(TDecoder& decoder, const TStrips& strips, size_t rowBytes, size_t total) {
    Bytes image(total, 0xEE);
    size_t at = 0;
    for (const Bytes& strip : strips.data) {
        const size_t size = std::min(rowBytes * strips.rowsPerStrip, total - at);
        Bytes out(size, 0xEE); // exactly the strip's size
        const uint8_t* input = strip.data();
        uint8_t* output = out.data();
        decoder.Decode(input, output, int32_t(strip.size()), int32_t(size));
        std::copy(out.begin(), out.end(), image.begin() + ptrdiff_t(at));
        at += size;
    }
    return image;
}

// The minimum code size and the gathered data sub-blocks of the first image of a GIF file.
Bytes GifImageData(const std::string& name, uint8_t& minimumCodeSize) {
    const Bytes f = ReadFile(name);
    size_t p = 13;
    if (f.at(10) & 0x80) p += 3u << ((f[10] & 7) + 1);
    while (f.at(p) == 0x21) { // extensions
        p += 2;
        while (f.at(p)) p += f[p] + 1u;
        ++p;
    }
    EXPECT_EQ(f.at(p), 0x2C);
    const uint8_t flags = f.at(p + 9);
    p += 10;
    if (flags & 0x80) p += 3u << ((flags & 7) + 1);
    minimumCodeSize = f.at(p++);
    Bytes data;
    while (f.at(p)) {
        data.insert(data.end(), f.begin() + ptrdiff_t(p) + 1, f.begin() + ptrdiff_t(p) + 1 + f[p]);
        p += f[p] + 1u;
    }
    return data;
}

} // namespace

TEST(IndependentEncoders, TiffcpLZWStrips) {
    TTIFFLZWDecoder decoder;
    const Bytes rose = PnmSamples("lzw_rose.ppm");
    ASSERT_EQ(rose.size(), 70u * 46 * 3);
    const TStrips strips = ReadStrips("lzw_rose.tif");
    ASSERT_EQ(strips.data.size(), 6u);
    EXPECT_EQ(DecodeStrips(decoder, strips, 70 * 3, rose.size()), rose);
    const Bytes logo = PnmSamples("lzw_logo.pgm");
    ASSERT_EQ(logo.size(), 200u * 150);
    EXPECT_EQ(DecodeStrips(decoder, ReadStrips("lzw_logo.tif"), 200, logo.size()), logo);
}

TEST(IndependentEncoders, TiffcpPackBitsStrips) {
    TPackbitsRLEDecoder decoder;
    const Bytes rose = PnmSamples("lzw_rose.ppm");
    EXPECT_EQ(DecodeStrips(decoder, ReadStrips("packbits_rose.tif"), 70 * 3, rose.size()), rose);
}

TEST(IndependentEncoders, GifImageData) {
    for (const char* name :
         {"gif_rose_pillow", "gif_logo_magick", "gif_rose16_netpbm", "gif_logo4_netpbm"}) {
        uint8_t minimumCodeSize = 0;
        const Bytes data = GifImageData(std::string(name) + ".gif", minimumCodeSize);
        const Bytes expected = ReadFile(std::string(name) + ".idx");
        Bytes out(expected.size(), 0xEE);
        TGIFLZWDecoder decoder(minimumCodeSize);
        const uint8_t* input = data.data();
        uint8_t* output = out.data();
        decoder.Decode(input, output, int32_t(data.size()), int32_t(out.size()));
        EXPECT_EQ(out, expected) << name;
        // Cut short, the data decodes as far as it goes and no further.
        Bytes part(expected.size(), 0xEE);
        output = part.data();
        decoder.Decode(input, output, int32_t(data.size() / 2), int32_t(part.size()));
        size_t same = 0;
        while (same < part.size() && part[same] == expected[same]) ++same;
        EXPECT_GT(same, expected.size() / 4) << name;
        EXPECT_LT(same, expected.size()) << name;
    }
}
