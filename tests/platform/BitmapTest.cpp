#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

TEST(Bitmap, RowsAreFourByteAlignedAndTopDown) {
    TBitmap b;
    b.SetPixelFormat(bf24Bit);
    b.SetSize(5, 3);
    EXPECT_EQ(b.BytesPerLine(), 16u);
    b.ScanLine(0)[0] = 7;
    EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), 16);
    EXPECT_EQ(b.PixelColor(0, 0).rgbBlue, 7);
    EXPECT_THROW(b.ScanLine(3), EInvalidGraphic);
}

TEST(Bitmap, HugeSizeRaisesInsteadOfAllocating) {
    TBitmap b;
    b.SetPixelFormat(bf32Bit);
    EXPECT_THROW(b.SetSize(100000, 100000), EInvalidGraphic);
    EXPECT_TRUE(b.Empty());
}

TEST(Bitmap, FillRectUsesNearestPaletteEntryAndClips) {
    TBitmap b;
    b.SetPixelFormat(bf4Bit);
    b.SetPalette(TPalette::Standard16());
    b.SetSize(3, 2);
    b.FillRect({-5, -5, 2, 9}, RGBColor(250, 0, 0));
    EXPECT_EQ(b.ScanLine(0)[0], 0x99);
    EXPECT_EQ(b.PixelColor(2, 1).rgbRed, 0);
    EXPECT_EQ(b.PixelColor(1, 1).rgbRed, 255);
}

TEST(Bitmap, UprightCopyFollowsTheOrientationTag) {
    // Where stored pixel (x, y) of a W x H picture shows, by the TIFF/EXIF definitions of the
    // eight orientations (which visual side the stored row 0 and column 0 are).
    constexpr int32_t W = 3, H = 2;
    const auto shown = [](uint8_t orientation, int32_t x, int32_t y) -> std::pair<int, int> {
        switch (orientation) {
        case 2:
            return {W - 1 - x, y};
        case 3:
            return {W - 1 - x, H - 1 - y};
        case 4:
            return {x, H - 1 - y};
        case 5:
            return {y, x};
        case 6:
            return {H - 1 - y, x};
        case 7:
            return {H - 1 - y, W - 1 - x};
        case 8:
            return {y, W - 1 - x};
        default:
            return {x, y};
        }
    };
    TBitmap stored;
    stored.SetPixelFormat(bf24Bit);
    stored.SetSize(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) stored.ScanLine(y)[3 * x] = uint8_t(10 * y + x);
    for (uint8_t orientation = 0; orientation <= 8; ++orientation) {
        const std::unique_ptr<TBitmap> upright = UprightCopy(stored, orientation);
        const bool turned = orientation >= 5;
        ASSERT_EQ(upright->Width(), turned ? H : W) << int(orientation);
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                const auto [u, v] = shown(orientation, x, y);
                EXPECT_EQ(upright->PixelColor(u, v).rgbBlue, 10 * y + x)
                    << "orientation " << int(orientation) << " at " << x << "," << y;
            }
    }
}
