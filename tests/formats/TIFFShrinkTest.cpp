// TIFF loads asked for a smaller picture: sampled rows and pixels, libjpeg's scaled transform,
// reduced-resolution subfiles.
#include "../ShrinkCompare.h"
#include "FormatTestSupport.h"

#include "imaging/formats/TIFFGraphic.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace formats_test;

namespace {

int32_t Sampled(int32_t size, int32_t k) {
    return (size + k - 1) / k;
}

// A load of `bytes` asked for at least width x height, from memory or through a plain stream.
std::unique_ptr<TTIFFGraphic> LoadAsked(const Bytes& bytes, int32_t width, int32_t height,
                                        bool plain = false) {
    auto image = std::make_unique<TTIFFGraphic>();
    image->SetRequestedSize(width, height);
    image->SetSamplingMargin(1); // sampling all the way: each k is checked as it is
    if (plain) {
        TPlainStream stream(bytes);
        image->LoadFromStream(stream);
    } else {
        TMemoryStream stream(bytes);
        image->LoadFromStream(stream);
    }
    return image;
}

} // namespace

TEST(TIFFShrink, StoredRunLengthAndOtherStripsGiveEveryKthPixelOfEveryKthRow) {
    // 37 x 23 files: stored strips, PackBits strips of 3 and 23 rows, planes apart, tiles,
    // 16-bit grey, LZW and deflate with the predictor. Rows of the sampled picture come from
    // strips passed over in part or whole.
    for (const char* name :
         {"pil_rgb_raw.tif", "cp_rgb_packbits.tif", "raw_rgb_packbits.tif", "cp_planar_none.tif",
          "cp_planar_rgba_packbits.tif", "cp_tiles_packbits.tif", "cp_tiles_none.tif",
          "pil_gray16.tif", "cp_rgb_lzw_pred.tif", "cp_rgb_zip_pred_be.tif"}) {
        const Bytes bytes = ReadFile(DataPath(std::string("tiff/") + name));
        const auto full = Load<TTIFFGraphic>(bytes);
        const int32_t width = full->Width(), height = full->Height();
        for (const int32_t k : {2, 3, 5}) {
            for (const bool plain : {false, true}) {
                SCOPED_TRACE(std::string(name) + " k=" + std::to_string(k) +
                             (plain ? " plain" : ""));
                const auto small = LoadAsked(bytes, width / k, height / k, plain);
                ASSERT_EQ(small->Width(), Sampled(width, k));
                ASSERT_EQ(small->Height(), Sampled(height, k));
                EXPECT_EQ(small->FullWidth(), width);
                EXPECT_EQ(small->FullHeight(), height);
                EXPECT_EQ(small->PixelFormat(), full->PixelFormat());
                for (int32_t y = 0; y < small->Height(); ++y)
                    for (int32_t x = 0; x < small->Width(); ++x)
                        ASSERT_EQ(small->PixelColor(x, y), full->PixelColor(x * k, y * k))
                            << x << "," << y;
            }
        }
    }
}

TEST(TIFFShrink, JPEGStripsAndTilesDecodeThroughTheScaledTransform) {
    // 100 x 70 in strips of 16 rows and in tiles of 32 x 32, the edge tiles' padding beginning
    // inside JPEG blocks (it must not bleed into the picture's last rows and columns): scaled
    // by 1/2, 1/4, 1/8 (sizes rounded up), and beyond 1/8 sampled from there.
    for (const char* name : {"shrink_jpeg_strips.tif", "shrink_jpeg_tiles.tif"}) {
        const Bytes bytes = ReadFile(DataPath(std::string("tiff/") + name));
        const auto full = Load<TTIFFGraphic>(bytes);
        const int32_t width = full->Width(), height = full->Height();
        for (const int32_t k : {2, 4, 8}) {
            SCOPED_TRACE(std::string(name) + " k=" + std::to_string(k));
            const auto small = LoadAsked(bytes, width / k, height / k);
            ASSERT_EQ(small->Width(), Sampled(width, k));
            ASSERT_EQ(small->Height(), Sampled(height, k));
            EXPECT_EQ(small->FullWidth(), width);
            EXPECT_GT(shrink_test::BlockPSNR(*small, *full, k), 38.0);
        }
        const auto tiny = LoadAsked(bytes, width / 16, height / 16);
        EXPECT_EQ(tiny->Width(), Sampled(Sampled(width, 8), 2));
        EXPECT_EQ(tiny->Height(), Sampled(Sampled(height, 8), 2));
    }
}

TEST(TIFFShrink, AReducedResolutionSubfileThatCoversTheSizeIsLoadedInstead) {
    // 100 x 70 followed by its 50 x 35 and 25 x 18 block averages.
    const Bytes bytes = ReadFile(DataPath("tiff/shrink_pyramid.tif"));
    const auto full = Load<TTIFFGraphic>(bytes);
    ASSERT_EQ(full->Width(), 100);
    struct TCase {
        int32_t AskedWidth, AskedHeight, Width, Height, K;
    };
    // The smallest subfile that covers the request, sampled further when it is still larger.
    for (const TCase& c : {TCase{25, 18, 25, 18, 4}, TCase{26, 18, 50, 35, 2},
                           TCase{12, 9, 13, 9, 8}, TCase{51, 10, 100, 70, 1}}) {
        SCOPED_TRACE(std::to_string(c.AskedWidth) + "x" + std::to_string(c.AskedHeight));
        const auto small = LoadAsked(bytes, c.AskedWidth, c.AskedHeight);
        ASSERT_EQ(small->Width(), c.Width);
        ASSERT_EQ(small->Height(), c.Height);
        EXPECT_EQ(small->FullWidth(), 100);
        EXPECT_EQ(small->FullHeight(), 70);
        EXPECT_GT(shrink_test::BlockPSNR(*small, *full, c.K), c.K == 8 ? 25.0 : 40.0);
    }
    // A subfile that cannot be loaded (a compression no reader knows): the first image, shrunk
    // (asked for 25 x 18 of 100 x 70, every third pixel).
    const auto fallback =
        LoadAsked(ReadFile(DataPath("tiff/shrink_pyramid_bad_subfile.tif")), 25, 18);
    ASSERT_EQ(fallback->Width(), 34);
    ASSERT_EQ(fallback->Height(), 24);
    for (int32_t y = 0; y < fallback->Height(); ++y)
        for (int32_t x = 0; x < fallback->Width(); ++x)
            ASSERT_EQ(fallback->PixelColor(x, y), full->PixelColor(x * 3, y * 3)) << x << "," << y;
}
