// Files written by other tools convert to PAM as those tools decode them.
#include "app/ImageWriters.h"
#include "imaging/FileFormatList.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

const std::string Data = CHRONOLITH_TEST_DATA "/platform/";

std::vector<uint8_t> Convert(const std::string& name) {
    TPicture picture;
    picture.LoadFromFile(Data + name);
    TMemoryStream pam;
    WritePAM(*picture.Graphic()->AsBitmap(), pam);
    return pam.Data();
}

std::vector<uint8_t> Reference(const std::string& name) {
    TMemoryStream stream;
    stream.LoadFromFile(Data + name.substr(0, name.rfind('.')) + ".ref.pam");
    return stream.Data();
}

class ConvertTest : public ::testing::Test {
protected:
    TImagingLibrary imaging;
};

TEST_F(ConvertTest, BitmapsJPEGAndOpaqueIconsMatchPixelForPixel) {
    for (const char* name :
         {"bmp1.bmp", "bmp4.bmp", "bmp8.bmp", "bmp8rle.bmp", "bmp15.bmp", "bmp16.bmp", "bmp24.bmp",
          "bmptopdown.bmp", "bmp32.bmp", "icon4.ico", "jpeg_rgb.jpg", "jpeg_progressive.jpg",
          "jpeg_gray.jpg", "jpeg_cmyk.jpg"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Convert(name), Reference(name));
    }
}

// The system's icon reader hands over premultiplied pixels: partly transparent pixels come
// back within one level of the stored colour, fully transparent ones lose their colour.
TEST_F(ConvertTest, TranslucentIconMatchesWithinPremultiplicationLoss) {
    const std::vector<uint8_t> pam = Convert("icon.ico"), reference = Reference("icon.ico");
    ASSERT_EQ(pam.size(), reference.size());
    const size_t header = reference.size() - 16 * 10 * 4;
    ASSERT_TRUE(std::equal(pam.begin(), pam.begin() + std::ptrdiff_t(header), reference.begin()));
    for (size_t i = header; i < pam.size(); i += 4) {
        const uint8_t alpha = reference[i + 3];
        ASSERT_EQ(pam[i + 3], alpha);
        if (alpha == 0) continue;
        for (size_t c = 0; c < 3; ++c)
            EXPECT_LE(std::abs(int(pam[i + c]) - int(reference[i + c])), alpha == 255 ? 0 : 1);
    }
}

TEST_F(ConvertTest, WriterPacksEveryPixelFormat) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(bf4Bit);
    bitmap.SetPalette(TPalette({{1, 2, 3, 0}, {4, 5, 6, 0}}));
    bitmap.SetSize(3, 1);
    bitmap.ScanLine(0)[0] = 0x1F; // index 15 is beyond the palette: black
    TMemoryStream pam;
    WritePAM(bitmap, pam);
    const std::string header =
        "P7\nWIDTH 3\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    ASSERT_EQ(std::string(pam.Data().begin(), pam.Data().begin() + std::ptrdiff_t(header.size())),
              header);
    EXPECT_EQ(
        std::vector<uint8_t>(pam.Data().begin() + std::ptrdiff_t(header.size()), pam.Data().end()),
        (std::vector<uint8_t>{6, 5, 4, 255, 0, 0, 0, 255, 3, 2, 1, 255}));

    // 15 and 16 bits widen by bit replication; 32 bits keep their alpha where it is defined.
    const std::tuple<TBitmapFormat, std::vector<uint8_t>, std::vector<uint8_t>> cases[] = {
        {bf15Bit, {0x21, 0x7C}, {0xFF, 0x08, 0x08, 255}}, // r 31, g 1, b 1
        {bf16Bit, {0x21, 0xF8}, {0xFF, 0x04, 0x08, 255}}, // r 31, g 1, b 1
        {bf24Bit, {10, 20, 30}, {30, 20, 10, 255}},
        {bf32Bit, {10, 20, 30, 40}, {30, 20, 10, 40}}};
    for (const auto& [format, pixel, rgba] : cases) {
        TBitmap one;
        one.SetPixelFormat(format);
        one.SetSize(1, 1);
        one.AlphaFormat = afDefined;
        std::copy(pixel.begin(), pixel.end(), one.ScanLine(0));
        TMemoryStream out;
        WritePAM(one, out);
        EXPECT_EQ(std::vector<uint8_t>(out.Data().end() - 4, out.Data().end()), rgba)
            << int(format);
    }
    EXPECT_THROW(WritePAM(TBitmap(), pam), EInvalidGraphic);
    EXPECT_NE(FindImageWriter("PAM"), nullptr);
    EXPECT_NE(FindImageWriter("png"), nullptr);
    EXPECT_EQ(FindImageWriter("gif"), nullptr);
}

QImage ReadPNG(const TBitmap& bitmap) {
    TMemoryStream png;
    WritePNG(bitmap, png);
    QImage image;
    EXPECT_TRUE(image.loadFromData(png.Memory(), int(png.Size()), "png"));
    return image;
}

TEST_F(ConvertTest, PNGKeepsThePaletteGrownToTheLargestIndex) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(bf4Bit);
    bitmap.SetSize(3, 1);
    bitmap.SetPalette(TPalette({{10, 20, 30, 0}, {40, 50, 60, 0}}));
    bitmap.ScanLine(0)[0] = 0x01; // indexes 0, 1, then 5, past the palette's end
    bitmap.ScanLine(0)[1] = 0x50;
    const QImage image = ReadPNG(bitmap);
    ASSERT_EQ(image.format(), QImage::Format_Indexed8);
    ASSERT_EQ(image.colorCount(), 6);
    EXPECT_EQ(image.pixel(0, 0), qRgb(30, 20, 10));
    EXPECT_EQ(image.pixel(1, 0), qRgb(60, 50, 40));
    EXPECT_EQ(image.pixel(2, 0), qRgb(0, 0, 0));
}

// Fourth bytes all 0 are unused: the PNG is opaque RGB. Any other alpha makes it RGBA.
TEST_F(ConvertTest, PNGHasAlphaOnlyWhenTheBitmapDefinesIt) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(bf32Bit);
    bitmap.SetSize(2, 1);
    const uint8_t pixels[] = {1, 2, 3, 0, 4, 5, 6, 0};
    std::copy(std::begin(pixels), std::end(pixels), bitmap.ScanLine(0));
    QImage image = ReadPNG(bitmap);
    EXPECT_FALSE(image.hasAlphaChannel());
    EXPECT_EQ(image.pixel(1, 0), qRgb(6, 5, 4));
    bitmap.AlphaFormat = afDefined;
    bitmap.ScanLine(0)[7] = 128;
    image = ReadPNG(bitmap);
    ASSERT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(image.pixel(0, 0), qRgba(3, 2, 1, 0));
    EXPECT_EQ(image.pixel(1, 0), qRgba(6, 5, 4, 128));
    // A palette with alpha keeps it.
    TBitmap indexed;
    indexed.SetPixelFormat(bf8Bit);
    indexed.SetPalette(TPalette({{1, 2, 3, 255}, {4, 5, 6, 0}}));
    indexed.SetSize(2, 1);
    indexed.ScanLine(0)[1] = 1;
    indexed.AlphaFormat = afDefined;
    image = ReadPNG(indexed);
    EXPECT_EQ(image.pixel(0, 0), qRgba(3, 2, 1, 255));
    EXPECT_EQ(qAlpha(image.pixel(1, 0)), 0);
    TBitmap empty;
    TMemoryStream png;
    EXPECT_THROW(WritePNG(empty, png), EInvalidGraphic);
}

} // namespace
