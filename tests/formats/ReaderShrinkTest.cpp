// Loads asked for a smaller picture: every reader that shrinks gives every k-th pixel of every
// k-th row of its full load, at ceil(width / k) x ceil(height / k), with the stored size kept.
#include "../ShrinkCompare.h"
#include "FormatTestSupport.h"

#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PCDGraphic.h"
#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PPMGraphic.h"
#include "imaging/formats/PSDGraphic.h"
#include "imaging/formats/SGIGraphic.h"
#include "imaging/formats/TargaGraphic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace formats_test;

namespace {

// Expects `small` to be every k-th pixel of every k-th row of `full`, its stored size kept.
void ExpectSampled(const TImageGraphic& small, const TImageGraphic& full, int32_t k) {
    SCOPED_TRACE("k " + std::to_string(k));
    ASSERT_EQ(small.Width(), (full.Width() + k - 1) / k);
    ASSERT_EQ(small.Height(), (full.Height() + k - 1) / k);
    EXPECT_EQ(small.FullWidth(), full.Width());
    EXPECT_EQ(small.FullHeight(), full.Height());
    EXPECT_EQ(small.PixelFormat(), full.PixelFormat());
    EXPECT_EQ(small.AlphaFormat, full.AlphaFormat);
    for (int32_t y = 0; y < small.Height(); ++y)
        for (int32_t x = 0; x < small.Width(); ++x)
            ASSERT_EQ(small.PixelColor(x, y), full.PixelColor(x * k, y * k)) << x << "," << y;
}

// Loads `bytes` asked for at least `width` x `height` pixels, from memory or through a plain
// stream.
template <class T>
std::unique_ptr<T> LoadAsked(const Bytes& bytes, int32_t width, int32_t height, bool plain) {
    auto image = std::make_unique<T>();
    image->SetRequestedSize(width, height);
    image->SetSamplingMargin(1); // sampling all the way: each k is checked as it is
    TMemoryStream memory(bytes);
    TPlainStream file(bytes);
    image->LoadFromStream(plain ? static_cast<TStream&>(file) : memory);
    return image;
}

// A size asked and the factor it gives.
struct TAsked {
    int32_t Width, Height, Factor;
};

// Expects `bytes` asked for at least `width` x `height` pixels, loaded from memory and through
// a plain stream, to give `full` shrunk by `k`.
template <class T>
void ExpectAsked(const Bytes& bytes, const T& full, int32_t width, int32_t height, int32_t k) {
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) +
                     (plain ? ", plain stream" : ", memory"));
        ExpectSampled(*LoadAsked<T>(bytes, width, height, plain), full, k);
    }
}

// Expects every size asked of `bytes` (a W x H picture asked for W / k x H / k, for a few k),
// loaded from memory and through a plain stream, to give the full load shrunk by the factor
// the size allows: the least of W / asked width and H / asked height.
template <class T> void ExpectBytesShrunk(const Bytes& bytes) {
    const auto full = Load<T>(bytes);
    const int32_t width = full->Width(), height = full->Height();
    for (const int32_t k : {2, 3, 4, 7}) {
        const int32_t askedWidth = width / k, askedHeight = height / k;
        if (askedWidth == 0 || askedHeight == 0) continue;
        ExpectAsked(bytes, *full, askedWidth, askedHeight,
                    std::min(width / askedWidth, height / askedHeight));
    }
}

// The same for files of a folder.
template <class T>
void ExpectFilesShrunk(const std::string& folder, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ExpectBytesShrunk<T>(ReadFile(DataPath(folder + "/" + name)));
    }
}

} // namespace

TEST(ReaderShrink, PortableMapsKeepEveryKthRowAndPixel) {
    // Raw and plain, grey and colour, maximum values that scale, two-byte samples.
    ExpectFilesShrunk<TPPMGraphic>("pnm", {"pil_gray.pgm", "pil_rgb.ppm", "nb_rgb_max100.ppm",
                                           "nb_gray_max1000.pgm", "nb_rgb_max65535.ppm",
                                           "nb_plain_gray_max15.pgm", "nb_plain_rgb_max1000.ppm",
                                           "im_plain_rgb.ppm", "hd_comments.ppm"});
    // Bitmaps load whole.
    EXPECT_EQ(LoadAsked<TPPMGraphic>(ReadFile(DataPath("pnm/nb_bits.pbm")), 9, 5, false)->Width(),
              37);
}

TEST(ReaderShrink, PCXDecodesEveryRunLengthRowAndReadsOnlyTheStoredRowsKept) {
    // 8-bit indices and grey, run-length and stored; three and four colour planes.
    ExpectFilesShrunk<TPCXGraphic>("pcx", {"pil_p.pcx", "pil_l.pcx", "im_palette_uncompressed.pcx",
                                           "pil_rgb.pcx", "nb_24bit.pcx", "im_rgba.pcx"});
    // Fewer bits a pixel load whole.
    EXPECT_EQ(
        LoadAsked<TPCXGraphic>(ReadFile(DataPath("pcx/nb_packed4.pcx")), 9, 5, false)->Width(), 37);
}

TEST(ReaderShrink, TargaReadsOnlyTheStoredRowsKeptInTheirOrder) {
    // Bottom-up and top-down, stored and run-length, indices, grey, colour, alpha.
    std::vector<std::string> names;
    for (const char* kind : {"l", "p", "rgb", "rgba"})
        for (const char* compression : {"raw", "rle"})
            for (const char* order : {"bottomup", "topdown"})
                names.push_back(std::string("pil_") + kind + "_" + compression + "_" + order +
                                ".tga");
    // Grey and alpha, 5-5-5 colour, 15-bit colour map, widened rows.
    for (const char* name : {"pil_la_raw_bottomup.tga", "pil_la_rle_topdown.tga",
                             "py_rgb16_rle.tga", "py_rgb15_raw.tga", "py_cmap15_topdown.tga"})
        names.push_back(name);
    ExpectFilesShrunk<TTargaGraphic>("tga", names);
    // Right to left (the descriptor's bit 4 set on files stored left to right), and 1-5-5-5
    // words whose attribute bit is alpha (bit 0 set: one alpha bit).
    for (const auto& [name, bits] :
         {std::pair{"pil_rgb_raw_bottomup.tga", 0x10}, std::pair{"pil_p_rle_topdown.tga", 0x10},
          std::pair{"py_rgb16_raw.tga", 0x11}, std::pair{"py_rgb16_rle.tga", 0x01}}) {
        SCOPED_TRACE(name);
        Bytes bytes = ReadFile(DataPath(std::string("tga/") + name));
        bytes[17] |= uint8_t(bits);
        ExpectBytesShrunk<TTargaGraphic>(bytes);
    }
}

TEST(ReaderShrink, GIFKeepsEveryKthRowAndStopsAfterThePassesThatHoldThem) {
    ExpectFilesShrunk<TGIFGraphic>("gif",
                                   {"pil_87a.gif", "pil_animated.gif", "gb_local_table.gif"});
    // Interlaced: a factor of 8 or more is cut to a multiple of 8 (the first pass), else to 4 or
    // 2 (the first two or three passes).
    for (const auto& [name, sizes] :
         {std::pair{"im_interlaced.gif",
                    std::vector<TAsked>{{18, 11, 2}, {12, 7, 2}, {9, 5, 4}, {6, 3, 4}, {4, 2, 8}}},
          std::pair{"pil_89a_interlaced_comment.gif",
                    std::vector<TAsked>{{5, 3, 8}, {3, 1, 8}, {2, 1, 16}}},
          std::pair{"im_interlaced_3x10.gif", std::vector<TAsked>{{1, 3, 2}}}}) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadFile(DataPath(std::string("gif/") + name));
        const auto full = Load<TGIFGraphic>(bytes);
        ASSERT_TRUE(full->ImageProperties.Interlaced);
        for (const TAsked& asked : sizes)
            ExpectAsked(bytes, *full, asked.Width, asked.Height, asked.Factor);
    }
}

TEST(ReaderShrink, SGIReadsOnlyTheRowsKept) {
    // Verbatim and run-length, one and two bytes a sample, grey, grey and alpha, colour, alpha.
    ExpectFilesShrunk<TSGIGraphic>("sgi", {"im_gray.sgi", "nb_gray_rle.sgi", "im_gray16.sgi",
                                           "nb_gray16_rle.sgi", "im_grayalpha.sgi",
                                           "nb_rgb_verbatim.sgi", "nb_rgb_rle.sgi", "im_rgb16.sgi",
                                           "nb_rgb16_rle.sgi", "pil_rgba.sgi", "im_rgba.sgi"});
}

TEST(ReaderShrink, PhotoshopReadsOnlyTheRowsKeptOfEachChannel) {
    // Raw and PackBits, 8 and 16 bits, grey, indices, colour, CMYK, alpha composed or not, the
    // large document format.
    ExpectFilesShrunk<TPSDGraphic>(
        "psd", {"im_gray_rle.psd", "im_gray16_raw.psd", "im_grayalpha_rle.psd",
                "im_palette_raw.psd", "palette_transparent.psd", "im_rgb_raw.psd", "im_rgb_rle.psd",
                "im_rgb16_rle.psd", "im_rgba_rle.psd", "im_cmyk_raw.psd", "im_cmyk16_rle.psd",
                "im_cmyka_rle.psd", "im_rgb_rle.psb"});
    // 1-bit images load whole.
    EXPECT_EQ(
        LoadAsked<TPSDGraphic>(ReadFile(DataPath("psd/im_bitmap_rle.psd")), 9, 5, false)->Width(),
        37);
}

TEST(ReaderShrink, PhotoCDLoadsTheSmallestStoredImageAtLeastTheSizeAsked) {
    // The pack holds Base/16 (192 x 128) and Base/4 (384 x 256), the Base image (768 x 512)
    // averaged over 4 x 4 and 2 x 2 blocks: each looks like the Base image averaged alike (about
    // 49 and 50 dB).
    Bytes pack = ReadGzipFile(DataPath("pcd/pack.pcd.gz"));
    const auto full = Load<TPCDGraphic>(pack);
    for (const auto& [asked, k] : {std::pair{192, 4}, std::pair{100, 4}, std::pair{193, 2},
                                   std::pair{384, 2}, std::pair{385, 1}}) {
        SCOPED_TRACE(asked);
        const auto small = LoadAsked<TPCDGraphic>(pack, asked, asked * 2 / 3, false);
        ASSERT_EQ(small->Width(), 768 / k);
        ASSERT_EQ(small->Height(), 512 / k);
        EXPECT_EQ(small->FullWidth(), 768);
        EXPECT_GT(shrink_test::BlockPSNR(*small, *full, k), 40.0);
    }
    // Turned a quarter, the size asked is of the picture shown.
    pack[3586] = uint8_t((pack[3586] & ~3) | 1);
    const auto turned = LoadAsked<TPCDGraphic>(pack, 128, 192, false);
    EXPECT_EQ(turned->Width(), 128);
    EXPECT_EQ(turned->Height(), 192);
    EXPECT_GT(shrink_test::BlockPSNR(*turned, *Load<TPCDGraphic>(pack), 4), 40.0);
    // An overview holds nothing smaller than its thumbnails.
    EXPECT_EQ(
        LoadAsked<TPCDGraphic>(ReadFile(DataPath("pcd/overview.pcd")), 48, 32, false)->Width(),
        192);
}
