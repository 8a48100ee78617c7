#include "platform/graphics/Bitmap.h"
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
