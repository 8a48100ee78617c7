// What every load shares: small files that claim huge images fail at once, buffers and the
// bitmap together stay within the load's memory budget, and one reader object gives each file
// it loads its own state.
#include "FormatTestSupport.h"

#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PNGGraphic.h"
#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/ImageMessages.h"

#include <gtest/gtest.h>

using namespace formats_test;

namespace {

// A GIF whose image claims `width` x `height` pixels with a few bytes of LZW data.
Bytes TinyGIF(uint16_t width, uint16_t height, bool interlaced) {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    PutLE16(out, width);
    PutLE16(out, height);
    out.insert(out.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255, 0x2C, 0, 0, 0, 0});
    PutLE16(out, width);
    PutLE16(out, height);
    out.push_back(interlaced ? 0x40 : 0);
    out.insert(out.end(), {2, 2, 0x4C, 0x01, 0, 0x3B});
    return out;
}

// A PNG whose header claims `width` x `height` pixels of `colorType` with `rows` of data.
Bytes TinyPNG(uint32_t width, uint32_t height, uint8_t colorType, uint8_t interlace,
              const Bytes& rows) {
    return PngFile({PngChunk("IHDR", PngHeaderData(width, height, 8, colorType, interlace)),
                    PngChunk("IDAT", Deflate(rows)), PngChunk("IEND", {})});
}

// A Targa header of a 32-bit image and a few packets.
Bytes TinyTarga(uint8_t imageType, uint16_t width, uint16_t height) {
    Bytes out = {0, 0, imageType, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PutLE16(out, width);
    PutLE16(out, height);
    out.insert(out.end(), {32, 0x20});
    for (int i = 0; i < 9; ++i) out.insert(out.end(), {0xFF, 0, 0, 0, 0xFF});
    return out;
}

const std::string TooShort = "holds too little data for the image size it states.";

} // namespace

TEST(LoadLimits, SmallFilesClaimingHugeImagesFailAtOnceWithinFewMiB) {
    const long before = PeakResidentKB();
    const struct {
        const char* name;
        std::string error;
    } cases[] = {
        {"GIF interlaced", LoadError<TGIFGraphic>(TinyGIF(32768, 32767, true))},
        {"GIF", LoadError<TGIFGraphic>(TinyGIF(32768, 32767, false))},
        {"PNG RGBA", LoadError<TPNGGraphic>(TinyPNG(16384, 16383, 6, 0, Bytes(10)))},
        {"PNG Adam7", LoadError<TPNGGraphic>(TinyPNG(16384, 16383, 6, 1, Bytes(10)))},
        {"PNG grey", LoadError<TPNGGraphic>(TinyPNG(1u << 30, 1, 0, 0, Bytes(10)))},
        {"Targa RLE", LoadError<TTargaGraphic>(TinyTarga(10, 16384, 16383))},
        {"Targa raw", LoadError<TTargaGraphic>(TinyTarga(2, 16384, 16383))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(c.error.find("Cannot load image."), std::string::npos) << c.error;
    }
    EXPECT_NE(cases[0].error.find("The GIF file " + TooShort), std::string::npos);
    EXPECT_NE(cases[2].error.find("The PNG file " + TooShort), std::string::npos);
    EXPECT_NE(cases[5].error.find("The TGA file " + TooShort), std::string::npos);
    EXPECT_NE(cases[6].error.find("The TGA data ends unexpectedly."), std::string::npos);
    EXPECT_LT(PeakResidentKB() - before, 16 * 1024);
}

TEST(LoadLimits, TheBitmapAndTheReadersBuffersShareOneBudget) {
    // A 40 x 30 interlaced GIF: a 1200-byte bitmap, a 1200-byte buffer of the passes and the
    // gathered image data.
    const Bytes gif = ReadFile(DataPath("gif/pil_89a_interlaced_comment.gif"));
    const auto loaded = Load<TGIFGraphic>(gif);
    const size_t bitmap = loaded->BytesPerLine() * size_t(loaded->Height());
    // The smallest budget that loads the file holds the bitmap and the buffer of the passes,
    // and at most the file's data besides.
    size_t low = 0, high = 4 * bitmap + gif.size();
    while (low + 1 < high) {
        const size_t middle = (low + high) / 2;
        TBudgetScope budget(middle);
        (LoadError<TGIFGraphic>(gif) == "no error" ? high : low) = middle;
    }
    EXPECT_GE(high, 2 * bitmap);
    EXPECT_LE(high, 2 * bitmap + gif.size());
    TBudgetScope budget(low);
    const std::string error = LoadError<TGIFGraphic>(gif);
    EXPECT_TRUE(error == "Cannot load image. The GIF image needs more memory than the limit of " +
                             std::to_string(low) + " bytes." ||
                error.find("The GIF image of 40 x 30 pixels at 8 bits per pixel exceeds the "
                           "memory limit") != std::string::npos)
        << error;
}

TEST(LoadLimits, OneObjectGivesEachFileItsOwnTransparencyAndPalette) {
    TPNGGraphic image;
    const auto load = [&](const std::string& name) {
        TMemoryStream stream(ReadFile(DataPath("png/" + name)));
        image.LoadFromStream(stream);
    };
    const auto loadBytes = [&](const Bytes& bytes) {
        TMemoryStream stream(bytes);
        image.LoadFromStream(stream);
    };
    // RGB with a transparent colour, then without.
    loadBytes(
        PngFile({PngChunk("IHDR", PngHeaderData(1, 1, 8, 2)), PngChunk("tRNS", {0, 1, 0, 2, 0, 3}),
                 PngChunk("IDAT", Deflate({0, 1, 2, 3})), PngChunk("IEND", {})}));
    ASSERT_TRUE(image.Transparent);
    EXPECT_EQ(image.TransparentColor, RGBColor(1, 2, 3));
    load("basn2c08.png");
    EXPECT_FALSE(image.Transparent);
    EXPECT_EQ(image.TransparentColor, 0u);
    EXPECT_TRUE(image.Palette().Empty());

    load("ftp1n3p08.png"); // palette with alpha entries
    EXPECT_EQ(image.AlphaFormat, afDefined);
    load("basn3p04.png"); // 15 colours, no alpha
    EXPECT_EQ(image.AlphaFormat, afIgnored);
    EXPECT_EQ(image.Palette().Count(), 15u);
    load("basn2c08.png");
    EXPECT_TRUE(image.Palette().Empty());

    // A Targa object after a palette image has no palette left either.
    TTargaGraphic targa;
    for (const std::string name : {"im_palette_rle.tga", "im_rgb_raw.tga"}) {
        TMemoryStream stream(ReadFile(DataPath("tga/" + name)));
        targa.LoadFromStream(stream);
    }
    EXPECT_TRUE(targa.Palette().Empty());
}
