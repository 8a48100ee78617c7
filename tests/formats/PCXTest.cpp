#include "FormatTestSupport.h"
#include "PaintTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/PCXGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
using namespace formats_test;

namespace {

struct TPcxFields {
    uint8_t Maker = 10, Version = 5, Encoding = 1, Bits = 8;
    uint16_t Width = 4, Height = 2;
    uint8_t Planes = 1;
    uint16_t BytesPerLine = 4;
    uint16_t PaletteInfo = 1;
};

Bytes PcxHeader(const TPcxFields& fields) {
    Bytes out = {fields.Maker, fields.Version, fields.Encoding, fields.Bits};
    PutLE16(out, 0);
    PutLE16(out, 0);
    PutLE16(out, uint16_t(fields.Width - 1));
    PutLE16(out, uint16_t(fields.Height - 1));
    PutLE16(out, 300);
    PutLE16(out, 200);
    for (int i = 0; i < 16; ++i)
        out.insert(out.end(), {uint8_t(i * 16), uint8_t(i), uint8_t(255 - i)});
    out.push_back(0);
    out.push_back(fields.Planes);
    PutLE16(out, fields.BytesPerLine);
    PutLE16(out, fields.PaletteInfo);
    out.resize(128, 0);
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(PCXReader, FilesOfIndependentEncodersLoadPixelForPixel) {
    EXPECT_GE(ExpectFixturesMatchReferences<TPCXGraphic>("pcx", ".pcx"), 15u);
}

TEST(PCXReader, RecognizesBothMakersKnownVersionsAndEncodings) {
    const Bytes file = Concat(PcxHeader({}), Bytes(8, 0));
    EXPECT_TRUE(Recognized<TPCXGraphic>(file));
    Bytes capture = file;
    capture[0] = 205;
    EXPECT_TRUE(Recognized<TPCXGraphic>(capture));
    Bytes other = file;
    other[0] = 12; // the palette block's marker, not a maker
    EXPECT_FALSE(Recognized<TPCXGraphic>(other));
    other = file;
    other[1] = 4;
    EXPECT_FALSE(Recognized<TPCXGraphic>(other));
    other = file;
    other[2] = 2;
    EXPECT_FALSE(Recognized<TPCXGraphic>(other));
    EXPECT_FALSE(Recognized<TPCXGraphic>(PcxHeader({}))); // the header alone
}

TEST(PCXReader, ScreenCapturesLoadLikePaintbrushFilesAndOtherMakersLeaveTheBitmapEmpty) {
    const Bytes file = ReadFile(DataPath("pcx/nb_8bit.pcx"));
    Bytes capture = file;
    capture[0] = 205;
    const auto a = Load<TPCXGraphic>(file);
    const auto b = Load<TPCXGraphic>(capture);
    ASSERT_FALSE(b->Empty());
    for (int32_t y = 0; y < a->Height(); ++y)
        for (int32_t x = 0; x < a->Width(); ++x)
            ASSERT_EQ(a->PixelColor(x, y), b->PixelColor(x, y));

    Bytes unknown = file;
    unknown[0] = 12;
    EXPECT_EQ(LoadError<TPCXGraphic>(unknown), "no error");
    EXPECT_TRUE(Load<TPCXGraphic>(unknown)->Empty());
}

TEST(PCXReader, HeaderPropertiesFollowBitsAndPlanes) {
    TPCXGraphic image;
    TMemoryStream stream(PcxHeader({.Encoding = 0, .Bits = 8, .Planes = 3}));
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.Width, 4u);
    EXPECT_EQ(p.Height, 2u);
    EXPECT_EQ(p.BitsPerPixel, 24);
    EXPECT_EQ(p.ColorModel, cmRGB);
    EXPECT_EQ(p.Compression, ckNone);
    EXPECT_EQ(p.XResolution, 300.0f);
    EXPECT_EQ(p.YResolution, 200.0f);
    TMemoryStream four(PcxHeader({.Bits = 1, .Planes = 4}));
    ASSERT_TRUE(image.ReadImageHeader(four, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmPalette);
    EXPECT_EQ(image.ImageProperties.Compression, ckRunLength);
}

TEST(PCXReader, PalettesByDepthVersionAndPaletteInformation) {
    // A 2-bit image becomes a 4-bit bitmap showing the header's colours.
    const Bytes twoBit =
        Concat(PcxHeader({.Encoding = 0, .Bits = 2, .BytesPerLine = 2}), {0x1B, 0x00, 0xE4, 0x00});
    auto image = Load<TPCXGraphic>(twoBit);
    EXPECT_EQ(image->PixelFormat(), bf4Bit);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{255, 0, 0, 255}));  // index 0
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{254, 1, 16, 255})); // index 1
    EXPECT_EQ(image->PixelColor(3, 0), (TRGBQuad{252, 3, 48, 255})); // index 3

    // Version 3 carries no palette: the standard 16 colours.
    Bytes standard = Concat(PcxHeader({.Version = 3, .Encoding = 0, .Bits = 4, .BytesPerLine = 2}),
                            {0x9F, 0x00, 0x00, 0x00});
    image = Load<TPCXGraphic>(standard);
    EXPECT_EQ(image->Palette(), TPalette::Standard16());
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 255, 255}));

    // 8 bits without the 256-colour block: grey when the palette information says so, else
    // no palette of its own.
    const Bytes pixels(8, 0x40);
    image = Load<TPCXGraphic>(Concat(PcxHeader({.Encoding = 0, .PaletteInfo = 2}), pixels));
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0x40, 0x40, 0x40, 255}));
    image = Load<TPCXGraphic>(Concat(PcxHeader({.Encoding = 0, .PaletteInfo = 1}), pixels));
    EXPECT_TRUE(image->Palette().Empty());

    // The block is taken from the end of the file, and its bytes are not image data.
    Bytes block = {12};
    for (int i = 0; i < 256; ++i) block.insert(block.end(), {uint8_t(i), 7, uint8_t(255 - i)});
    image = Load<TPCXGraphic>(Concat(Concat(PcxHeader({.Encoding = 0}), pixels), block));
    EXPECT_EQ(image->PixelColor(3, 1), (TRGBQuad{0xBF, 7, 0x40, 255}));
    EXPECT_EQ(
        LoadError<TPCXGraphic>(Concat(Concat(PcxHeader({.Encoding = 0}), Bytes(7, 0)), block)),
        "Cannot load image. The PCX file holds too little data for the image size it "
        "states.");
}

TEST(PCXReader, BitPlanesCombineIntoIndicesAndColourPlanesIntoPixels) {
    // Two planes of 1 bit over 10 pixels (2 bytes per plane): pixel = plane1 * 2 + plane0.
    const Bytes planes = {0b10100000, 0b01000000, 0b11000000, 0b11000000};
    auto image = Load<TPCXGraphic>(Concat(
        PcxHeader(
            {.Encoding = 0, .Bits = 1, .Width = 10, .Height = 1, .Planes = 2, .BytesPerLine = 2}),
        planes));
    ASSERT_EQ(image->PixelFormat(), bf4Bit);
    const uint8_t* row = image->ScanLine(0);
    EXPECT_EQ(row[0], 0x32); // pixels 3, 2
    EXPECT_EQ(row[1], 0x10); // pixels 1, 0
    EXPECT_EQ(row[4], 0x23); // pixels 8, 9: plane 0 gives 0, 1; plane 1 gives 1, 1

    // Three planes of 8 bits at thirds of the row: red, green, blue; no palette.
    image = Load<TPCXGraphic>(
        Concat(PcxHeader({.Encoding = 0, .Width = 2, .Height = 1, .Planes = 3, .BytesPerLine = 2}),
               {10, 11, 20, 21, 30, 31}));
    ASSERT_EQ(image->PixelFormat(), bf24Bit);
    EXPECT_TRUE(image->Palette().Empty());
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{31, 21, 11, 255}));
}

TEST(PCXReader, RunsMayCarryOnIntoTheNextRow) {
    // Two rows of 4 bytes: a run of 6 covers the first row and half the second.
    const Bytes packed = {0xC6, 0x55, 0x01, 0x02};
    const auto image = Load<TPCXGraphic>(Concat(PcxHeader({}), packed));
    EXPECT_EQ(image->ScanLine(1)[0], 0x55);
    EXPECT_EQ(image->ScanLine(1)[1], 0x55);
    EXPECT_EQ(image->ScanLine(1)[2], 0x01);
    EXPECT_EQ(image->ScanLine(1)[3], 0x02);
}

TEST(PCXReader, WideRowsOfEveryPacketKindDecodeExactly) {
    // 8-bit rows of 1000 bytes (two of them padding) from runs of 0 to 63, single bytes below
    // 0xC0 and bytes from 0xC0 up stored as runs of one, runs going on into the next row.
    const uint16_t width = 998, height = 40, stride = 1000;
    Bytes pixels, packed;
    uint32_t seed = 7;
    while (pixels.size() < size_t(stride) * height) {
        seed = seed * 1103515245 + 12345;
        const uint8_t value = uint8_t(seed >> 24), kind = (seed >> 16) % 4;
        const size_t count = kind == 0 ? (seed >> 8) % 64 : 1;
        if (kind == 0 || value >= 0xC0)
            packed.insert(packed.end(), {uint8_t(0xC0 | (kind == 0 ? count : 1)), value});
        else
            packed.push_back(value);
        pixels.insert(pixels.end(), kind == 0 ? count : 1, value);
    }
    const auto image = Load<TPCXGraphic>(
        Concat(PcxHeader({.Width = width, .Height = height, .BytesPerLine = stride}), packed));
    for (int32_t y = 0; y < height; ++y)
        ASSERT_TRUE(std::equal(image->ScanLine(y), image->ScanLine(y) + width,
                               pixels.begin() + std::ptrdiff_t(y) * stride))
            << y;
}

TEST(PCXReader, BytesPerLineIsCheckedAgainstTheWidth) {
    EXPECT_EQ(LoadError<TPCXGraphic>(Concat(PcxHeader({.BytesPerLine = 3}), Bytes(64, 1))),
              "Cannot load image. The PCX file states an invalid bytes per line 3.");
    EXPECT_EQ(
        LoadError<TPCXGraphic>(Concat(
            PcxHeader({.Bits = 1, .Width = 17, .Planes = 4, .BytesPerLine = 2}), Bytes(64, 1))),
        "Cannot load image. The PCX file states an invalid bytes per line 2.");
    // A padded row is fine; the padding is not shown.
    const auto image = Load<TPCXGraphic>(
        Concat(PcxHeader({.Encoding = 0, .Width = 2, .Height = 1, .BytesPerLine = 6}),
               {1, 2, 9, 9, 9, 9}));
    EXPECT_EQ(image->Width(), 2);
    // Lying sizes: a large claimed row cannot make a small file allocate.
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    EXPECT_EQ(
        LoadError<TPCXGraphic>(Concat(
            PcxHeader({.Width = 10, .Height = 65535, .BytesPerLine = 65535}), Bytes(64, 0xC1))),
        "Cannot load image. The PCX file holds too little data for the image size it "
        "states.");
    EXPECT_EQ(LoadError<TPCXGraphic>(Concat(
                  PcxHeader({.Width = 65535, .Height = 65535, .Planes = 4, .BytesPerLine = 65535}),
                  Bytes(64, 0xFF))),
              "Cannot load image. The PCX file holds too little data for the image size it "
              "states.");
    EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
}

TEST(PCXReader, CombinationsWithoutABitmapFormatAndSwappedWindowsFail) {
    EXPECT_EQ(LoadError<TPCXGraphic>(
                  Concat(PcxHeader({.Bits = 2, .Planes = 2, .BytesPerLine = 2}), Bytes(64, 0))),
              "Invalid color format in PCX file.");
    EXPECT_EQ(LoadError<TPCXGraphic>(Concat(PcxHeader({.Bits = 16}), Bytes(64, 0))),
              "Invalid color format in PCX file.");
    Bytes swapped = Concat(PcxHeader({}), Bytes(64, 0));
    swapped[4] = 9; // X min above X max
    EXPECT_EQ(LoadError<TPCXGraphic>(swapped), "The PCX image size is invalid (-5 x 2 pixels).");
}

TEST(PCXReader, FilesCutAtEveryLengthRaiseOrLoadWithinBounds) {
    for (const char* name : {"pcx/nb_planes4.pcx", "pcx/im_rgba.pcx", "pcx/pil_p.pcx",
                             "pcx/im_palette_uncompressed.pcx"}) {
        SCOPED_TRACE(name);
        const Bytes file = ReadFile(DataPath(name));
        // A cut inside the 256-colour block leaves the image data whole.
        const bool block = file[3] == 8 && file[65] == 1;
        ExpectEveryCutFailsCleanly<TPCXGraphic>(file, file.size() - (block ? 769 : 0));
    }
}

// Files of a megabyte shaped to cost much: each fails within a fraction of a second of
// processor time, having allocated little.
TEST(PCXReader, HostileMegabyteFilesCostLittle) {
    const size_t megabyte = size_t(1) << 20;
    const std::clock_t start = std::clock();
    // Packets that produce nothing (a count of 0), for an image they could never fill.
    Bytes empty;
    while (empty.size() < megabyte) empty.insert(empty.end(), {0xC0, 0x55});
    EXPECT_EQ(LoadError<TPCXGraphic>(
                  Concat(PcxHeader({.Width = 4096, .Height = 4096, .BytesPerLine = 4096}), empty)),
              "Cannot load image. The PCX data ends unexpectedly.");
    // The largest image the header states, in 3 planes.
    EXPECT_NE(LoadError<TPCXGraphic>(Concat(
                  PcxHeader({.Width = 65535, .Height = 65535, .Planes = 3, .BytesPerLine = 65535}),
                  Bytes(megabyte, 0xFF))),
              "no error");
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, HostileCpuSeconds);
}
