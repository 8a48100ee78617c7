#include "FormatTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/GIFGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>

using namespace formats_test;

namespace {

// A GIF of a 2 x 2 image with a two-colour global table: indices 0 1 / 1 0.
Bytes SmallGIF(uint16_t descriptorWidth = 2) {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    PutLE16(out, 2);
    PutLE16(out, 2);
    out.insert(out.end(), {0x80, 0, 0, /* table */ 0, 0, 0, 255, 255, 255});
    out.insert(out.end(), {0x2C, 0, 0, 0, 0});
    PutLE16(out, descriptorWidth);
    PutLE16(out, 2);
    out.push_back(0);
    // Minimum code size 2: clear (4), 0, 1, 1, 0, end (5) in 3-bit codes.
    out.insert(out.end(), {2, 3, 0x44, 0x02, 0x05, 0, 0x3B});
    return out;
}

} // namespace

TEST(GIFReader, FilesOfIndependentEncodersLoadPixelForPixel) {
    const auto files = DataFiles("gif", ".gif");
    ASSERT_GE(files.size(), 8u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadFile(DataPath("gif/" + name));
        EXPECT_TRUE(Recognized<TGIFGraphic>(bytes));
        const auto image = Load<TGIFGraphic>(bytes);
        EXPECT_EQ(image->PixelFormat(), bf8Bit);
        EXPECT_EQ(CompareWithReference(*image, ReadReference(DataPath("gif/" + name + ".rgba.gz"))),
                  "");
    }
}

TEST(GIFReader, HandBuiltImageDecodes) {
    const auto image = Load<TGIFGraphic>(SmallGIF());
    ASSERT_EQ(image->Width(), 2);
    EXPECT_EQ(image->ScanLine(0)[0], 0);
    EXPECT_EQ(image->ScanLine(0)[1], 1);
    EXPECT_EQ(image->ScanLine(1)[0], 1);
    EXPECT_EQ(image->ScanLine(1)[1], 0);
}

TEST(GIFReader, RecognizeNeedsTwentyThreeBytesAndAnyCaseSignature) {
    Bytes bytes = SmallGIF();
    bytes.resize(22);
    EXPECT_FALSE(Recognized<TGIFGraphic>(bytes));
    bytes.push_back(0);
    EXPECT_TRUE(Recognized<TGIFGraphic>(bytes));
    bytes[0] = 'g', bytes[1] = 'i', bytes[2] = 'f';
    EXPECT_TRUE(Recognized<TGIFGraphic>(bytes));
    bytes[2] = 'x';
    EXPECT_FALSE(Recognized<TGIFGraphic>(bytes));
}

TEST(GIFReader, HeaderProperties) {
    TGIFGraphic image;
    TMemoryStream stream(ReadFile(DataPath("gif/pil_89a_interlaced_comment.gif")));
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.Version, 89u);
    EXPECT_EQ(p.Width, 40u);
    EXPECT_EQ(p.Height, 30u);
    EXPECT_EQ(p.ColorModel, cmPalette);
    EXPECT_EQ(p.Compression, ckLZW);
    EXPECT_EQ(p.BitsPerSample, 8);
    EXPECT_TRUE(p.Interlaced);
    EXPECT_FALSE(p.LocalColorMap);

    TMemoryStream small(ReadFile(DataPath("gif/gb_local_table.gif")));
    ASSERT_TRUE(image.ReadImageHeader(small, 0));
    EXPECT_EQ(image.ImageProperties.Version, 89u);
    EXPECT_TRUE(image.ImageProperties.LocalColorMap);
    EXPECT_EQ(image.ImageProperties.BitsPerSample, 2); // the local table's size wins
    EXPECT_EQ(image.ImageProperties.BitsPerPixel, 2);

    TMemoryStream old(ReadFile(DataPath("gif/pil_87a.gif")));
    ASSERT_TRUE(image.ReadImageHeader(old, 0));
    EXPECT_EQ(image.ImageProperties.Version, 87u);
    EXPECT_FALSE(image.ImageProperties.Interlaced);
}

TEST(GIFReader, BadSignatureAndVersion) {
    Bytes bytes = SmallGIF();
    bytes[1] = 'X';
    try {
        Load<TGIFGraphic>(bytes);
        FAIL() << "no error";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected GIF image format.");
    }
    bytes = SmallGIF();
    bytes[3] = 'q';
    try {
        Load<TGIFGraphic>(bytes);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'q9' n'est pas une valeur entière correcte");
    }
}

TEST(GIFReader, DescriptorWidthZeroTakesTheScreenWidth) {
    const auto image = Load<TGIFGraphic>(SmallGIF(0));
    ASSERT_EQ(image->Width(), 2);
    EXPECT_EQ(image->ScanLine(1)[0], 1);
}

TEST(GIFReader, TrailerOnlyLeavesTheBitmapEmpty) {
    Bytes bytes = {'G', 'I', 'F', '8', '7', 'a', 4, 0, 4, 0, 0, 0, 0, 0x3B};
    bytes.resize(30, 0);
    const auto image = Load<TGIFGraphic>(bytes);
    EXPECT_TRUE(image->Empty());
    EXPECT_EQ(image->ImageProperties.Width, 0u);
}

TEST(GIFReader, LocalTableReplacesTheGlobalOne) {
    const auto image = Load<TGIFGraphic>(ReadFile(DataPath("gif/gb_local_table.gif")));
    ASSERT_EQ(image->Palette().Count(), 4u);
    EXPECT_EQ(image->Palette()[0], (TRGBQuad{0, 0, 255, 0}));
    EXPECT_EQ(image->Palette()[3], (TRGBQuad{30, 20, 10, 0}));
}

TEST(GIFReader, InterlacedImageOfOneRowFillsRowZero) {
    const auto image = Load<TGIFGraphic>(ReadFile(DataPath("gif/im_interlaced_5x1.gif")));
    EXPECT_TRUE(image->ImageProperties.Interlaced);
    EXPECT_EQ(image->Height(), 1);
}

TEST(GIFReader, DamagedFilesRaiseOrLoadPartlyButNeverOverrun) {
    const Bytes good = ReadFile(DataPath("gif/pil_89a_interlaced_comment.gif"));
    // Cut inside the image data: the gathering stops quietly and the rest stays 0.
    const auto cut = Load<TGIFGraphic>(Bytes(good.begin(), good.end() - 200));
    EXPECT_EQ(cut->Width(), 40);
    // Cut in the header or the colour table: a read error.
    EXPECT_THROW(Load<TGIFGraphic>(Bytes(good.begin(), good.begin() + 40)), EInvalidGraphic);
    // Every length, to be sure no cut reads or writes out of bounds.
    for (size_t size = 0; size < good.size(); size += 7) {
        try {
            Load<TGIFGraphic>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(size)));
        } catch (const Exception&) {
        }
    }
    // An enormous image is refused by the bitmap before any pixel buffer is made.
    Bytes huge = SmallGIF(0);
    huge[6] = huge[7] = huge[8] = huge[9] = 0xFF;
    huge[26] = huge[27] = 0;
    EXPECT_THROW(Load<TGIFGraphic>(huge), EInvalidGraphic);
    // Screen and image of width 0: rows without pixels, nothing to copy.
    Bytes noWidth = SmallGIF(0);
    noWidth[6] = noWidth[7] = 0;
    noWidth[28] = 0x40; // interlaced
    EXPECT_TRUE(Load<TGIFGraphic>(noWidth)->Empty());
    // A minimum code size no code can follow is a decoder error.
    Bytes badCode = SmallGIF();
    badCode[29] = 12;
    EXPECT_THROW(Load<TGIFGraphic>(badCode), EGraphicCompression);
}

// Files of a megabyte shaped to cost much: each fails, or gives no more picture than its data
// decodes to, within a fraction of a second of processor time.
TEST(GIFReader, HostileMegabyteFilesCostLittle) {
    const size_t megabyte = size_t(1) << 20;
    const std::clock_t start = std::clock();
    // A 32768 x 32700 image whose data holds nothing but clear codes (4 in 3 bits, packed
    // 0b100'100'10 ...): no pixel, so no picture.
    Bytes clears = SmallGIF(0);
    clears.resize(clears.size() - 6); // up to the minimum code size
    clears[6] = 0x00, clears[7] = 0x80, clears[8] = 0xBC, clears[9] = 0x7F;
    clears[26] = clears[27] = 0; // the descriptor takes the screen's size
    while (clears.size() < megabyte) {
        clears.push_back(255);
        for (int i = 0; i < 85; ++i) clears.insert(clears.end(), {0x24, 0x49, 0x92});
    }
    clears.insert(clears.end(), {0, 0x3B});
    EXPECT_EQ(LoadError<TGIFGraphic>(clears), "no error");
    EXPECT_TRUE(Load<TGIFGraphic>(clears)->Empty());
    // A megabyte of bytes that introduce no block before the image, then sub-blocks of one
    // byte each.
    Bytes walk = SmallGIF();
    walk.insert(walk.begin() + 19, megabyte / 2, 0x00);
    walk.resize(walk.size() - 6); // up to the minimum code size
    while (walk.size() < megabyte + megabyte / 2) walk.insert(walk.end(), {1, 0x44});
    walk.insert(walk.end(), {0, 0x3B});
    EXPECT_EQ(Load<TGIFGraphic>(walk)->Width(), 2);
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, HostileCpuSeconds);
}
