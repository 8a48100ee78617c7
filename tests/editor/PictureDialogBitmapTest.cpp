#include "platform/graphics/Bitmap.h"
#include "platform/qt/BitmapImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

namespace {

// A bitmap of every pixel format filled with random bytes, with a palette of `paletteSize`
// random entries for the indexed formats.
std::unique_ptr<TBitmap> RandomBitmap(TBitmapFormat format, int width, int height,
                                      size_t paletteSize, unsigned seed) {
    std::mt19937 random(seed);
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelFormat(format);
    bitmap->SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap->ScanLine(y);
        for (size_t i = 0; i < bitmap->BytesPerLine(); ++i) row[i] = uint8_t(random());
    }
    std::vector<TRGBQuad> entries(paletteSize);
    for (TRGBQuad& q : entries)
        q = {uint8_t(random()), uint8_t(random()), uint8_t(random()), uint8_t(random())};
    bitmap->SetPalette(TPalette(entries));
    return bitmap;
}

QRgb Expected(const TBitmap& bitmap, int x, int y, bool opaque) {
    const TRGBQuad q = bitmap.PixelColor(x, y);
    return qRgba(q.rgbRed, q.rgbGreen, q.rgbBlue, opaque ? 255 : q.rgbReserved);
}

} // namespace

TEST(BitmapToQImage, EveryPixelFormatMatchesThePixelColours) {
    struct Case {
        TBitmapFormat format;
        size_t palette;
    };
    // Short palettes: indexes past the end are black. Alpha, where the bitmap defines it, is
    // the fourth byte of 32-bit pixels or the palette entry's.
    for (const TAlphaFormat alpha : {afIgnored, afDefined})
        for (const Case c : {Case{bf1Bit, 2}, Case{bf1Bit, 1}, Case{bf4Bit, 16}, Case{bf4Bit, 5},
                             Case{bf8Bit, 256}, Case{bf8Bit, 100}, Case{bf15Bit, 0},
                             Case{bf16Bit, 0}, Case{bf24Bit, 0}, Case{bf32Bit, 0}}) {
            // Odd widths leave partial bytes at the end of 1- and 4-bit rows.
            const auto owned = RandomBitmap(c.format, 37, 11, c.palette, c.format * 7 + 1);
            owned->AlphaFormat = alpha;
            const TBitmap& bitmap = *owned;
            const QImage image = BitmapToQImage(bitmap);
            ASSERT_EQ(image.size(), QSize(37, 11));
            EXPECT_EQ(image.format(),
                      alpha == afDefined ? QImage::Format_ARGB32 : QImage::Format_RGB32);
            for (int y = 0; y < 11; ++y)
                for (int x = 0; x < 37; ++x)
                    ASSERT_EQ(image.pixel(x, y), Expected(bitmap, x, y, false))
                        << "format " << int(c.format) << " palette " << c.palette << " alpha "
                        << int(alpha) << " at " << x << "," << y;
        }
}

TEST(BitmapToQImage, FourthBytesAreAlphaOnlyWhereTheBitmapSaysSo) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(bf32Bit);
    bitmap.SetSize(3, 2);
    bitmap.FillRect({0, 0, 3, 2}, RGBColor(10, 20, 30));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) bitmap.ScanLine(y)[4 * x + 3] = 0;
    const QImage image = BitmapToQImage(bitmap);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(image.pixel(2, 1), qRgb(10, 20, 30));
    EXPECT_EQ(qAlpha(reinterpret_cast<const QRgb*>(image.constScanLine(1))[2]), 255);

    // Defined alpha: a fully transparent picture stays transparent.
    bitmap.AlphaFormat = afDefined;
    bitmap.ScanLine(1)[4 * 2 + 3] = 128;
    const QImage withAlpha = BitmapToQImage(bitmap);
    EXPECT_EQ(withAlpha.format(), QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(withAlpha.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(withAlpha.pixel(2, 1)), 128);
}

// The block of `step` x `step` pixels at (x, y) of the bitmap, averaged with rounding.
QRgb BlockAverage(const TBitmap& bitmap, int x, int y, int step) {
    unsigned sum[3] = {}, count = 0;
    for (int v = y * step; v < std::min(bitmap.Height(), (y + 1) * step); ++v)
        for (int u = x * step; u < std::min(bitmap.Width(), (x + 1) * step); ++u) {
            const TRGBQuad q = bitmap.PixelColor(u, v);
            sum[0] += q.rgbRed, sum[1] += q.rgbGreen, sum[2] += q.rgbBlue;
            ++count;
        }
    return qRgb(int((sum[0] + count / 2) / count), int((sum[1] + count / 2) / count),
                int((sum[2] + count / 2) / count));
}

TEST(BitmapToQImage, LargeBitmapsAreShrunkToTheBoundByBlockAverages) {
    const auto owned = RandomBitmap(bf24Bit, 1001, 300, 0, 5);
    const TBitmap& bitmap = *owned;
    const QImage image = BitmapToQImage(bitmap, QSize(250, 250));
    // Step 5 (1001 / 250 rounded up): 201 x 60, the last column one pixel wide.
    ASSERT_EQ(image.size(), QSize(201, 60));
    for (int y = 0; y < 60; y += 7)
        for (int x = 0; x < 201; x += 3)
            ASSERT_EQ(image.pixel(x, y), BlockAverage(bitmap, x, y, 5)) << x << "," << y;
    EXPECT_EQ(image.pixel(200, 59), BlockAverage(bitmap, 200, 59, 5));

    const auto ownedIndexed = RandomBitmap(bf4Bit, 99, 10, 16, 6);
    const TBitmap& indexed = *ownedIndexed;
    const QImage small = BitmapToQImage(indexed, QSize(33, 33));
    ASSERT_EQ(small.size(), QSize(33, 4));
    for (int x = 0; x < 33; ++x) ASSERT_EQ(small.pixel(x, 3), BlockAverage(indexed, x, 3, 3));

    // Within the bound nothing is shrunk.
    EXPECT_EQ(BitmapToQImage(bitmap, QSize(2000, 2000)).size(), QSize(1001, 300));
}

TEST(BitmapToQImage, EmptyBitmapGivesANullImage) {
    TBitmap bitmap;
    EXPECT_TRUE(BitmapToQImage(bitmap).isNull());
    bitmap.SetPixelFormat(bf8Bit);
    bitmap.SetSize(0, 5);
    EXPECT_TRUE(BitmapToQImage(bitmap).isNull());
}
