// Autodesk animator images: files packed from the format's description, the palette's 6-bit
// values, and the header's checks.
#include "FormatTestSupport.h"

#include "imaging/formats/AutodeskGraphic.h"

#include <gtest/gtest.h>

using namespace formats_test;

namespace {

TEST(AutodeskReader, FilesLoadWithTheirSixBitPalette) {
    EXPECT_EQ(CompareFolder<TAutodeskGraphic>("autodesk", ".cel"), 1u);
    EXPECT_EQ(CompareFolder<TAutodeskGraphic>("autodesk", ".pic"), 1u);
    const Bytes cel = ReadFile(DataPath("autodesk/py_palette.cel"));
    EXPECT_TRUE(Recognized<TAutodeskGraphic>(cel));
    const auto image = Load<TAutodeskGraphic>(cel);
    EXPECT_EQ(image->Palette()[7], (TRGBQuad{252, 252, 252, 0}));
    // Depth 16 in the header: not recognised, loaded as 8-bit rows all the same.
    EXPECT_FALSE(Recognized<TAutodeskGraphic>(ReadFile(DataPath("autodesk/py_depth16.pic"))));
    EXPECT_FALSE(Recognized<TAutodeskGraphic>(Bytes(cel.begin(), cel.begin() + 32)));
    Bytes magic = cel;
    magic[1] = 0x92;
    EXPECT_EQ(LoadError<TAutodeskGraphic>(magic),
              "Cannot load image. Invalid or unexpected Autodesk image format.");
    EXPECT_EQ(LoadError<TAutodeskGraphic>(Bytes(cel.begin(), cel.end() - 1)),
              "Cannot load image. The Autodesk data ends unexpectedly.");
    // A header claiming 65535 x 65535 fails before the bitmap is sized.
    Bytes huge(cel.begin(), cel.begin() + 32 + 768 + 10);
    huge[2] = huge[3] = huge[4] = huge[5] = 0xFF;
    EXPECT_EQ(LoadError<TAutodeskGraphic>(huge),
              "Cannot load image. The Autodesk data ends unexpectedly.");
}

} // namespace
