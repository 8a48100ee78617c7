#include "FormatTestSupport.h"
#include "PaintTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/PSDGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

using namespace formats_test;

namespace {

void PutBE16(Bytes& out, uint16_t value) {
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

enum Mode : uint16_t { Bitmap = 0, Gray = 1, Indexed = 2, RGB = 3, CMYK = 4, Duotone = 8, Lab = 9 };

// A file with the given colour mode data and planes (stored raw unless `compression` and the
// planes say otherwise), empty image resources and layer sections; a large document (version
// 2) with `large`.
Bytes PsdFile(uint16_t mode, uint16_t channels, uint32_t width, uint32_t height, uint16_t depth,
              const Bytes& planes, const Bytes& colorData = {}, uint16_t compression = 0,
              bool large = false, const Bytes& layers = {}) {
    Bytes out = {'8', 'B', 'P', 'S'};
    PutBE16(out, large ? 2 : 1);
    out.resize(12, 0);
    PutBE16(out, channels);
    PutBE32(out, height);
    PutBE32(out, width);
    PutBE16(out, depth);
    PutBE16(out, mode);
    PutBE32(out, uint32_t(colorData.size()));
    out = Concat(out, colorData);
    PutBE32(out, 0);
    out.resize(out.size() + (large ? 8 : 4), 0);
    out[out.size() - 2] = uint8_t(layers.size() >> 8);
    out[out.size() - 1] = uint8_t(layers.size());
    out = Concat(out, layers);
    PutBE16(out, compression);
    return Concat(out, planes);
}

} // namespace

TEST(PSDReader, FilesOfImageMagickLoadPixelForPixel) {
    EXPECT_GE(ExpectFixturesMatchReferences<TPSDGraphic>("psd", ".psd"), 14u);
    // Large documents: 8-byte layer section lengths, 4-byte run-length counts.
    EXPECT_GE(ExpectFixturesMatchReferences<TPSDGraphic>("psd", ".psb"), 2u);
}

TEST(PSDReader, RecognizeNeedsTheSignatureInCapitalsAndVersionOneOrTwo) {
    const Bytes file = PsdFile(Gray, 1, 1, 1, 8, {7});
    EXPECT_TRUE(Recognized<TPSDGraphic>(file));
    Bytes v3 = file;
    v3[5] = 3;
    EXPECT_FALSE(Recognized<TPSDGraphic>(v3));
    Bytes lower = file;
    lower[1] = 'b';
    lower[2] = 'p';
    lower[3] = 's';
    EXPECT_FALSE(Recognized<TPSDGraphic>(lower));
    EXPECT_EQ(LoadError<TPSDGraphic>(lower),
              "Cannot load image. Invalid or unexpected PSD or PDD image format.");
}

TEST(PSDReader, HeaderPropertiesByMode) {
    TPSDGraphic image;
    TMemoryStream stream(PsdFile(Bitmap, 1, 9, 2, 1, {}, {}, 1));
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmGray);
    EXPECT_TRUE(image.ImageProperties.Flags.Contains(flWhiteIsZero));
    EXPECT_EQ(image.ImageProperties.Compression, ckPackBits);
    TMemoryStream five(PsdFile(RGB, 5, 2, 2, 8, {}));
    ASSERT_TRUE(image.ReadImageHeader(five, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmRGBAlpha);
    EXPECT_EQ(image.ImageProperties.Channels, 5);
    EXPECT_EQ(image.ImageProperties.SamplesPerPixel, 4);
    EXPECT_EQ(image.ImageProperties.BitsPerPixel, 32);
    EXPECT_EQ(image.ImageProperties.Compression, ckNone);
}

TEST(PSDReader, ColourModesReachTheBitmapAsPhotoshopShowsThem) {
    // CMYK is stored inverted: a stored 255 is no ink, 0 full ink.
    auto image =
        Load<TPSDGraphic>(PsdFile(CMYK, 4, 2, 1, 8, {255, 0, 255, 255, 255, 255, 255, 255}));
    ASSERT_EQ(image->PixelFormat(), bf24Bit);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{255, 255, 0, 255})); // full cyan
    // L*a*b*: L scaled over 0..255, a and b offset by 128; 16-bit samples by their high byte.
    image = Load<TPSDGraphic>(PsdFile(Lab, 3, 1, 1, 8, {255, 128, 128}));
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{255, 255, 255, 255}));
    image = Load<TPSDGraphic>(
        PsdFile(Lab, 3, 2, 1, 16, {0xFF, 0xFF, 0, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0}));
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{0, 0, 0, 255}));
    // RGB with five channels: the fourth is alpha when a negative layer count says so, the
    // fifth is read past; without it the picture is opaque.
    const Bytes transparent = {0, 0, 0, 2, 0xFF, 0xFF}; // layer information: count -1
    image = Load<TPSDGraphic>(
        PsdFile(RGB, 5, 1, 1, 8, {10, 20, 30, 40, 50}, {}, 0, false, transparent));
    ASSERT_EQ(image->PixelFormat(), bf32Bit);
    EXPECT_EQ(image->AlphaFormat, afDefined);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{30, 20, 10, 40}));
    image = Load<TPSDGraphic>(PsdFile(RGB, 5, 1, 1, 8, {10, 20, 30, 40, 50}));
    ASSERT_EQ(image->PixelFormat(), bf24Bit);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{30, 20, 10, 255}));
    // Duotone shows its grey channel after its colour mode data.
    image = Load<TPSDGraphic>(PsdFile(Duotone, 1, 2, 1, 8, {0, 200}, Bytes(40, 0xAA)));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{200, 200, 200, 255}));
    // Bitmap rows hold 8 pixels a byte, 1 black.
    image = Load<TPSDGraphic>(PsdFile(Bitmap, 1, 10, 1, 1, {0x80, 0x40}));
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 0, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(image->PixelColor(9, 0), (TRGBQuad{0, 0, 0, 255}));
    // Multichannel documents of one or two channels show their first as grey.
    image = Load<TPSDGraphic>(PsdFile(7, 2, 2, 1, 8, {0, 200, 9, 9}));
    ASSERT_EQ(image->PixelFormat(), bf8Bit);
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{200, 200, 200, 255}));
    // 16-bit grey rows take two bytes a pixel.
    image = Load<TPSDGraphic>(PsdFile(Gray, 2, 2, 1, 16, {0x12, 0x34, 0xFF, 0xFF, 9, 9, 9, 9}));
    EXPECT_EQ(image->ScanLine(0)[0], 0x1234 * 255 / 65535);
    EXPECT_EQ(image->ScanLine(0)[1], 255);
}

TEST(PSDReader, IndexedPalettesTakeAtMost256Entries) {
    Bytes map(1000, 0);
    for (size_t i = 0; i < 256; ++i)
        map[i] = uint8_t(i), map[256 + i] = 7, map[512 + i] = uint8_t(255 - i);
    std::fill(map.begin() + 768, map.end(), uint8_t(0xEE));
    const auto image = Load<TPSDGraphic>(PsdFile(Indexed, 1, 2, 1, 8, {3, 255}, map));
    EXPECT_EQ(image->Palette().Count(), 256u);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{252, 7, 3, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{0, 7, 255, 255}));
    // A short map: count = length div 3, planes of that many entries.
    const auto small = Load<TPSDGraphic>(PsdFile(Indexed, 1, 1, 1, 8, {1}, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(small->PixelColor(0, 0), (TRGBQuad{6, 4, 2, 255}));
}

TEST(PSDReader, PackBitsRowsAreFoundThroughTheirCounts) {
    // Two channels of grey (the second not shown), two rows: counts, then rows.
    Bytes counts;
    for (uint16_t c : {2, 3, 2, 2}) PutBE16(counts, c);
    const Bytes rows = {0xFD, 9, 0x01, 1, 2, 0xFD, 5, 0xFD, 6};
    const auto image = Load<TPSDGraphic>(PsdFile(Gray, 2, 4, 2, 8, Concat(counts, rows), {}, 1));
    EXPECT_EQ(image->ScanLine(0)[3], 9);
    EXPECT_EQ(image->ScanLine(1)[0], 1);
    EXPECT_EQ(image->ScanLine(1)[1], 2);
    EXPECT_EQ(image->ScanLine(1)[2], 0); // the row's packets ended early
}

TEST(PSDReader, LengthsThatLieFailBeforeAnythingLarge) {
    Bytes section = PsdFile(Gray, 1, 1, 1, 8, {7});
    section[27] = 0x10; // colour mode data of 1 MiB
    EXPECT_EQ(LoadError<TPSDGraphic>(section),
              "Cannot load image. The PSD or PDD file ends inside its colour mode data.");
    Bytes counts;
    PutBE16(counts, 60000);
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(Gray, 1, 4, 1, 8, Concat(counts, {1, 2}), {}, 1)),
              "Cannot load image. The PSD or PDD file ends inside its image data.");
    Bytes largeCounts;
    PutBE32(largeCounts, 0x7FFFFFF0);
    EXPECT_EQ(
        LoadError<TPSDGraphic>(PsdFile(Gray, 1, 4, 1, 8, Concat(largeCounts, {1, 2}), {}, 1, true)),
        "Cannot load image. The PSD or PDD file ends inside its image data.");
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 3, 30000, 30000, 8, Bytes(100, 0))),
              "Cannot load image. The PSD or PDD data ends unexpectedly.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 3, 30000, 4, 8, Bytes(100, 0), {}, 1)),
              "Cannot load image. The PSD or PDD file holds too little data for the image size "
              "it states.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 3, 0x7FFFFFFF, 1, 8, Bytes(24, 0), {}, 1)),
              "Cannot load image. The PSD or PDD file holds too little data for the image size "
              "it states.");
    EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
}

TEST(PSDReader, ModesDepthsAndCompressionsItCannotShowFail) {
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 3, 1, 1, 8, Bytes(3, 0), {}, 2)),
              "Cannot load image. The compression scheme is not supported for PSD or PDD files.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(5, 1, 1, 1, 8, {0})),
              "Invalid color format in PSD or PDD file.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(Indexed, 1, 1, 1, 16, {0, 0})),
              "Invalid color format in PSD or PDD file.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(CMYK, 3, 1, 1, 8, {0, 0, 0})),
              "Invalid color format in PSD or PDD file.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 3, 1, 1, 32, Bytes(12, 0))),
              "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.");
    EXPECT_EQ(LoadError<TPSDGraphic>(PsdFile(RGB, 0, 1, 1, 8, {})),
              "Sample count per pixel does not correspond to the given color scheme.");
}

TEST(PSDReader, FilesCutAtEveryLengthRaise) {
    for (const char* name :
         {"psd/im_rgb_rle.psd", "psd/im_cmyk_raw.psd", "psd/im_bitmap_rle.psd"}) {
        SCOPED_TRACE(name);
        const Bytes file = ReadFile(DataPath(name));
        // The merged image ends the file.
        ExpectEveryCutFailsCleanly<TPSDGraphic>(file, file.size());
    }
}

TEST(PSDReader, MergedImagesMattedAgainstWhiteAreUnmatted) {
    // Photoshop's (version information resource): colours come back within two levels of
    // OpenImageIO's, which truncates where this reader rounds. ImageMagick's files keep their
    // colours as stored (the fixtures above).
    const auto image = Load<TPSDGraphic>(ReadFile(DataPath("psd/matted/rgba.psd")));
    ExpectNearReference(*image, ReadReference(DataPath("psd/matted/rgba.psd.rgba.gz")), 2);
}

TEST(PSDReader, ExifOrientationIsRecorded) {
    EXPECT_EQ(Load<TPSDGraphic>(ReadFile(DataPath("psd/exif_orientation.psd")))
                  ->ImageProperties.Orientation,
              6);
    EXPECT_EQ(
        Load<TPSDGraphic>(ReadFile(DataPath("psd/im_rgb_rle.psd")))->ImageProperties.Orientation,
        0);
}
