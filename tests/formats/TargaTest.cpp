#include "FormatTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

using namespace formats_test;

namespace {

Bytes TargaHeader(uint8_t imageType, uint16_t width, uint16_t height, uint8_t depth,
                  uint8_t descriptor = 0, uint8_t mapType = 0, uint16_t mapLength = 0,
                  uint8_t mapBits = 0, uint8_t idLength = 0) {
    Bytes out = {idLength, mapType, imageType, 0, 0};
    PutLE16(out, mapLength);
    out.push_back(mapBits);
    PutLE16(out, 0);
    PutLE16(out, 0);
    PutLE16(out, width);
    PutLE16(out, height);
    out.push_back(depth);
    out.push_back(descriptor);
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(TargaReader, FilesOfIndependentEncodersLoadPixelForPixel) {
    const auto files = DataFiles("tga", ".tga");
    ASSERT_GE(files.size(), 20u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const auto image = Load<TTargaGraphic>(ReadFile(DataPath("tga/" + name)));
        EXPECT_EQ(CompareWithReference(*image, ReadReference(DataPath("tga/" + name + ".rgba.gz"))),
                  "");
    }
}

TEST(TargaReader, RecognizeNeedsNineteenBytesAndKnownFields) {
    Bytes header = TargaHeader(2, 1, 1, 24, 0, 0, 0, 24);
    EXPECT_FALSE(Recognized<TTargaGraphic>(header)); // 18 bytes
    header.push_back(0);
    EXPECT_TRUE(Recognized<TTargaGraphic>(header));

    Bytes bad = header;
    bad[2] = 4; // image type
    EXPECT_FALSE(Recognized<TTargaGraphic>(bad));
    bad = header;
    bad[1] = 2; // colour map type
    EXPECT_FALSE(Recognized<TTargaGraphic>(bad));
    bad = header;
    bad[16] = 12; // pixel depth
    EXPECT_FALSE(Recognized<TTargaGraphic>(bad));

    TMemoryStream stream(header);
    stream.SetPosition(0);
    TTargaGraphic::Recognize(stream);
    EXPECT_EQ(stream.Position(), 0);
}

TEST(TargaReader, MapEntrySizeZeroIsNotRecognizedButLoads) {
    const Bytes file = Concat(TargaHeader(2, 2, 1, 24, 0x20, 0, 0, 0), {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(Recognized<TTargaGraphic>(file));
    const auto image = Load<TTargaGraphic>(file);
    ASSERT_EQ(image->Width(), 2);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{1, 2, 3, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{4, 5, 6, 255}));
}

TEST(TargaReader, HeaderPropertiesByPixelDepth) {
    struct {
        uint8_t type, depth;
        TColorModel model;
        uint8_t bits, samples;
        TCompressionKind compression;
    } cases[] = {
        {1, 8, cmPalette, 8, 1, ckNone},    {3, 8, cmGray, 8, 1, ckNone},
        {11, 8, cmGray, 8, 1, ckRunLength}, {2, 15, cmRGB, 5, 3, ckNone},
        {10, 16, cmRGB, 5, 3, ckRunLength}, {2, 24, cmRGB, 8, 3, ckNone},
        {2, 32, cmRGBAlpha, 8, 4, ckNone},  {2, 12, cmUnknown, 8, 0, ckNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.depth));
        TTargaGraphic image;
        TMemoryStream stream(TargaHeader(c.type, 300, 200, c.depth));
        EXPECT_TRUE(image.ReadImageHeader(stream, 0));
        const TImageProperties& p = image.ImageProperties;
        EXPECT_EQ(p.Width, 300u);
        EXPECT_EQ(p.Height, 200u);
        EXPECT_EQ(p.ColorModel, c.model);
        EXPECT_EQ(p.BitsPerSample, c.bits);
        EXPECT_EQ(p.SamplesPerPixel, c.samples);
        EXPECT_EQ(p.BitsPerPixel, c.bits * c.samples);
        EXPECT_EQ(p.Compression, c.compression);
    }
}

TEST(TargaReader, GrayImageGetsGrayRampAndSkipsItsColourMap) {
    // A colour map of two 24-bit entries precedes the pixels; it is passed over.
    const Bytes file = Concat(TargaHeader(3, 3, 1, 8, 0x20, 1, 2, 24),
                              {9, 9, 9, 8, 8, 8, /* pixels */ 0, 128, 255});
    const auto image = Load<TTargaGraphic>(file);
    ASSERT_EQ(image->Palette().Count(), 256u);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 0, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{128, 128, 128, 255}));
    EXPECT_EQ(image->PixelColor(2, 0), (TRGBQuad{255, 255, 255, 255}));
}

TEST(TargaReader, FifteenBitMapEntriesShiftToTheTopOfEachByte) {
    const Bytes file = Concat(TargaHeader(1, 2, 1, 8, 0x20, 1, 2, 15),
                              {0xFF, 0x7F, 0x1F, 0x00, /* pixels */ 0, 1});
    const auto image = Load<TTargaGraphic>(file);
    ASSERT_EQ(image->Palette().Count(), 2u);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{248, 248, 248, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{248, 0, 0, 255}));
}

TEST(TargaReader, DescriptorSelectsRowOrder) {
    const Bytes rows = {1, 1, 1, 2, 2, 2};
    const auto bottomUp = Load<TTargaGraphic>(Concat(TargaHeader(2, 1, 2, 24, 0x00), rows));
    EXPECT_EQ(bottomUp->PixelColor(0, 0).rgbBlue, 2);
    EXPECT_EQ(bottomUp->PixelColor(0, 1).rgbBlue, 1);
    const auto topDown = Load<TTargaGraphic>(Concat(TargaHeader(2, 1, 2, 24, 0x20), rows));
    EXPECT_EQ(topDown->PixelColor(0, 0).rgbBlue, 1);
    EXPECT_EQ(topDown->PixelColor(0, 1).rgbBlue, 2);
}

TEST(TargaReader, AlphaOnlyWhereTheDescriptorAnnouncesAttributeBits) {
    // 32-bit pixels, 16-bit pixels with the attribute bit set and a 32-bit colour map, each
    // without and with alpha bits in the descriptor: without them the picture is opaque.
    const Bytes pixel32 = {1, 2, 3, 0x40}, pixel16 = {0x00, 0x7C}, indices = {0};
    const Bytes map32 = Concat({9, 8, 7, 0x40}, indices);
    for (const uint8_t alphaBits : {0, 8}) {
        SCOPED_TRACE(int(alphaBits));
        const uint8_t descriptor = uint8_t(0x20 | alphaBits);
        const uint8_t expected = alphaBits ? 0x40 : 255;
        auto image = Load<TTargaGraphic>(Concat(TargaHeader(2, 1, 1, 32, descriptor), pixel32));
        EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{1, 2, 3, expected}));
        EXPECT_EQ(image->ImageProperties.HasAlpha, alphaBits != 0);
        image = Load<TTargaGraphic>(Concat(TargaHeader(1, 1, 1, 8, descriptor, 1, 1, 32), map32));
        EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{9, 8, 7, expected}));
        image = Load<TTargaGraphic>(
            Concat(TargaHeader(2, 1, 1, 16, uint8_t(0x20 | (alphaBits ? 1 : 0))), pixel16));
        EXPECT_EQ(image->PixelFormat(), alphaBits ? bf32Bit : bf15Bit);
        EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 255, uint8_t(alphaBits ? 0 : 255)}));
    }
}

TEST(TargaReader, RunLengthRowsLeaveTheStreamAfterTheirLastPacket) {
    // Two rows of four 8-bit grey pixels: a run packet and a raw packet, then trailing bytes
    // that belong to no row.
    const Bytes packets = {0x83, 7, 0x03, 1, 2, 3, 4};
    const Bytes file = Concat(Concat(TargaHeader(11, 4, 2, 8, 0x20), packets), {0xEE, 0xEE});
    TMemoryStream stream(file);
    TTargaGraphic image;
    image.DecodeImage(stream);
    EXPECT_EQ(stream.Position(), int64_t(18 + packets.size()));
    EXPECT_EQ(image.ScanLine(0)[3], 7);
    EXPECT_EQ(image.ScanLine(1)[0], 1);
    EXPECT_EQ(image.ScanLine(1)[3], 4);
}

TEST(TargaReader, RunLengthFilesLongerThanTheReadChunkLoadAsTheirRawRows) {
    // 24-bit rows of runs and literals whose packets go on for several times the reader's
    // input chunk, so that rows straddle the chunks; then the same file cut at lengths around
    // the chunk boundaries, whose rows up to the cut are the same.
    const uint16_t width = 1500, height = 80;
    Bytes pixels;
    uint32_t seed = 99;
    while (pixels.size() < size_t(width) * height * 3) {
        seed = seed * 1103515245 + 12345;
        const size_t repeat = (seed >> 16) % 16 == 0 ? 1 + (seed >> 24) % 20 : 1;
        for (size_t r = 0; r < repeat; ++r)
            for (int b = 0; b < 3; ++b) pixels.push_back(uint8_t(seed >> (8 * b)));
    }
    pixels.resize(size_t(width) * height * 3);
    TTargaRLEDecoder encoder(24);
    Bytes packets(encoder.EncodedSizeBound(width));
    Bytes file = TargaHeader(10, width, height, 24, 0x20);
    for (size_t y = 0; y < height; ++y) {
        uint32_t written = 0;
        encoder.Encode(pixels.data() + y * width * 3, packets.data(), width, written);
        file.insert(file.end(), packets.begin(), packets.begin() + written);
    }
    ASSERT_GT(file.size(), size_t(3) << 16);
    const size_t rowBytes = size_t(width) * 3;
    const auto image = Load<TTargaGraphic>(file);
    for (int32_t y = 0; y < height; ++y)
        ASSERT_TRUE(std::equal(pixels.begin() + std::ptrdiff_t(y * rowBytes),
                               pixels.begin() + std::ptrdiff_t((y + 1) * rowBytes),
                               image->ScanLine(y)))
            << y;
    for (const size_t cut :
         {size_t(1) << 16, (size_t(1) << 16) + 18 + 7, (size_t(2) << 16) + 1, file.size() - 1}) {
        const auto part =
            Load<TTargaGraphic>(Bytes(file.begin(), file.begin() + std::ptrdiff_t(cut)));
        int32_t same = 0;
        while (same < height && std::equal(image->ScanLine(same), image->ScanLine(same) + rowBytes,
                                           part->ScanLine(same)))
            ++same;
        // Every row before the one the cut falls in; the bytes of 100 rows cannot be in 64 KB.
        EXPECT_GE(same, int32_t(cut / (rowBytes * 2)) - 1) << cut;
        EXPECT_LT(same, height) << cut;
    }
}

TEST(TargaReader, DamagedFilesRaiseOrLoadPartlyButNeverOverrun) {
    const Bytes good = ReadFile(DataPath("tga/pil_rgb_rle_bottomup.tga"));
    // Cut anywhere: the header and raw rows raise, run-length rows stop quietly.
    for (size_t size : {size_t(5), size_t(18), size_t(100), good.size() / 2, good.size() - 1}) {
        SCOPED_TRACE(size);
        const Bytes cut(good.begin(), good.begin() + std::ptrdiff_t(size));
        try {
            Load<TTargaGraphic>(cut);
        } catch (const Exception&) {
        }
    }
    const Bytes raw = ReadFile(DataPath("tga/pil_rgb_raw_topdown.tga"));
    EXPECT_THROW(Load<TTargaGraphic>(Bytes(raw.begin(), raw.end() - 100)), EInvalidGraphic);
    // A header claiming 65535 x 65535 at 32 bits exceeds the bitmap limit.
    EXPECT_THROW(Load<TTargaGraphic>(Concat(TargaHeader(10, 65535, 65535, 32), {0x80, 1, 2, 3, 4})),
                 EInvalidGraphic);
    // No pixels per row: nothing is read.
    EXPECT_TRUE(Load<TTargaGraphic>(Concat(TargaHeader(10, 0, 3, 24), {0x80, 1, 2, 3}))->Empty());
    // An unknown depth has no colour layout.
    EXPECT_THROW(Load<TTargaGraphic>(Concat(TargaHeader(2, 2, 2, 12), Bytes(8))), Exception);
}

TEST(TargaWriter, EightBitBitmapsWriteHeaderAndPaletteFirst) {
    TTargaGraphic image;
    image.SetPixelFormat(bf8Bit);
    std::vector<TRGBQuad> entries(256);
    for (int i = 0; i < 256; ++i) entries[i] = {uint8_t(i), uint8_t(255 - i), 7, 0};
    image.SetPalette(TPalette(entries));
    image.SetSize(5, 2);
    for (int x = 0; x < 5; ++x) image.ScanLine(0)[x] = uint8_t(x < 3 ? 9 : x);
    TMemoryStream out;
    image.EncodeImage(out);
    const Bytes& bytes = out.Data();
    ASSERT_GT(bytes.size(), 18u + 768u);
    EXPECT_EQ(bytes[1], 1); // colour map present
    EXPECT_EQ(bytes[2], 9); // indexed, run-length
    EXPECT_EQ(bytes[5], 0); // 256 entries
    EXPECT_EQ(bytes[6], 1);
    EXPECT_EQ(bytes[7], 24);
    EXPECT_EQ(bytes[16], 8);
    EXPECT_EQ(bytes[17], 0x20);      // top row first
    EXPECT_EQ(bytes[18 + 3 * 9], 9); // entry 9: blue, green, red
    EXPECT_EQ(bytes[18 + 3 * 9 + 1], 246);
    EXPECT_EQ(bytes[18 + 3 * 9 + 2], 7);
    EXPECT_EQ(bytes[18 + 768], 0x82); // run of three 9s
    EXPECT_EQ(bytes[18 + 769], 9);
}

TEST(TargaWriter, WrittenFilesReadBackToTheSamePixels) {
    for (const char* name :
         {"pil_rgb_raw_topdown.tga", "pil_rgba_rle_bottomup.tga", "pil_p_raw_bottomup.tga",
          "pil_l_rle_topdown.tga", "py_rgb15_raw.tga", "bb_cmap32_alpha.tga",
          "pil_la_rle_topdown.tga", "bb_rgb16_alpha.tga"}) {
        for (bool compress : {true, false}) {
            SCOPED_TRACE(std::string(name) + (compress ? " compressed" : " raw"));
            const auto original =
                Load<TTargaGraphic>(ReadFile(DataPath(std::string("tga/") + name)));
            TMemoryStream out;
            WriteTargaImage(*original, out, compress);
            EXPECT_EQ(out.Data()[2] >= 9, compress);
            const auto copy = Load<TTargaGraphic>(out.Data());
            ASSERT_EQ(copy->Width(), original->Width());
            ASSERT_EQ(copy->Height(), original->Height());
            EXPECT_EQ(copy->PixelFormat(), original->PixelFormat());
            for (int32_t y = 0; y < copy->Height(); ++y)
                for (int32_t x = 0; x < copy->Width(); ++x)
                    ASSERT_EQ(copy->PixelColor(x, y), original->PixelColor(x, y)) << x << "," << y;
        }
    }
}

TEST(TargaWriter, NarrowFormatsAreWidenedAndEmptyBitmapsWriteNothing) {
    TTargaGraphic image;
    TMemoryStream empty;
    image.EncodeImage(empty);
    EXPECT_EQ(empty.Size(), 0);

    // 4-bit indices become bytes; 5-6-5 pixels become 5-5-5.
    image.SetPixelFormat(bf4Bit);
    image.SetPalette(TPalette::Standard16());
    image.SetSize(3, 1);
    image.ScanLine(0)[0] = 0x9C;
    image.ScanLine(0)[1] = 0xF0;
    TMemoryStream out;
    WriteTargaImage(image, out, false);
    const auto copy = Load<TTargaGraphic>(out.Data());
    for (int x = 0; x < 3; ++x) EXPECT_EQ(copy->PixelColor(x, 0), image.PixelColor(x, 0));

    TTargaGraphic wide;
    wide.SetPixelFormat(bf16Bit);
    wide.SetSize(2, 1);
    wide.FillRect({0, 0, 1, 1}, RGBColor(255, 128, 8));
    wide.FillRect({1, 0, 2, 1}, RGBColor(16, 255, 248));
    TMemoryStream out16;
    wide.EncodeImage(out16);
    const auto copy16 = Load<TTargaGraphic>(out16.Data());
    EXPECT_EQ(copy16->PixelColor(0, 0), (TRGBQuad{8, 132, 255, 255}));
    EXPECT_EQ(copy16->PixelColor(1, 0), (TRGBQuad{255, 255, 16, 255}));
}

// Independent readers see what the writer wrote. Pillow is asked when it is installed.
TEST(TargaWriter, PillowReadsWrittenFiles) {
    if (!std::filesystem::exists("/usr/bin/python3") ||
        std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") != 0)
        GTEST_SKIP() << "Pillow is not installed";
    const std::string folder = ::testing::TempDir() + "targa_writer";
    std::filesystem::create_directories(folder);
    for (const char* name : {"pil_rgb_raw_topdown.tga", "pil_rgba_raw_bottomup.tga",
                             "pil_p_rle_bottomup.tga", "pil_l_raw_bottomup.tga"}) {
        SCOPED_TRACE(name);
        const auto original = Load<TTargaGraphic>(ReadFile(DataPath(std::string("tga/") + name)));
        const std::string written = folder + "/" + name;
        original->SaveToFile(written);
        const std::string reference = written + ".rgba.gz";
        const std::string command =
            "/usr/bin/python3 -c \"import sys, gzip, struct; from PIL import Image; "
            "im = Image.open(sys.argv[1]); keep = im.mode == 'RGBA'; im = im.convert('RGBA'); "
            "d = bytearray(im.tobytes()); d[3::4] = d[3::4] if keep else b'\\xff' * (len(d) // 4); "
            "open(sys.argv[2], 'wb').write(gzip.compress(b'RGBA' + struct.pack('<II', *im.size) + "
            "d))\" " +
            written + " " + reference;
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(CompareWithReference(*original, ReadReference(reference)), "");
    }
}

// Files of a megabyte shaped to cost much: each fails, or loads no more than the file can hold,
// within a fraction of a second of processor time.
TEST(TargaReader, HostileMegabyteFilesCostLittle) {
    const size_t megabyte = size_t(1) << 20;
    const std::clock_t start = std::clock();
    // No image data, whatever size is stated: an empty picture.
    auto image = Load<TTargaGraphic>(Concat(TargaHeader(0, 65535, 65535, 32), Bytes(megabyte)));
    EXPECT_TRUE(image->Empty());
    // Runs of 128 pixels fill at most about 100 times the file; half of that is loaded.
    Bytes runs;
    while (runs.size() < megabyte) runs.insert(runs.end(), {0xFF, 1, 2, 3, 4});
    EXPECT_EQ(LoadError<TTargaGraphic>(Concat(TargaHeader(10, 8192, 3300, 32), runs)),
              "Cannot load image. The TGA file holds too little data for the image size it "
              "states.");
    image = Load<TTargaGraphic>(Concat(TargaHeader(10, 4096, 3200, 32), runs));
    EXPECT_EQ(image->PixelColor(4095, 3199), (TRGBQuad{1, 2, 3, 255}));
    // A colour map of 65535 entries the file does not hold.
    EXPECT_NE(LoadError<TTargaGraphic>(
                  Concat(TargaHeader(9, 64, 64, 8, 0, 1, 65535, 32), Bytes(megabyte / 4))),
              "no error");
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, HostileCpuSeconds);
}
