// Loads asked for a smaller picture: every reader that shrinks gives every k-th pixel of every
// k-th row of its full load, at ceil(width / k) x ceil(height / k), with the stored size kept.
#include "FormatTestSupport.h"

#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PPMGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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
    TMemoryStream memory(bytes);
    TPlainStream file(bytes);
    image->LoadFromStream(plain ? static_cast<TStream&>(file) : memory);
    return image;
}

// Sizes asked of a 37 x 23 picture and the factor each allows.
struct TAsked {
    int32_t Width, Height, Factor;
};
constexpr TAsked Asked[] = {{18, 11, 2}, {12, 7, 3}, {9, 5, 4}, {5, 3, 7}};

// Expects every size asked of each file (37 x 23 pixels) of a folder, loaded from memory and
// through a plain stream, to give the full load shrunk by the factor it allows.
template <class T>
void ExpectFilesShrunk(const std::string& folder, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadFile(DataPath(folder + "/" + name));
        const auto full = Load<T>(bytes);
        for (const TAsked& asked : Asked)
            for (const bool plain : {false, true}) {
                SCOPED_TRACE(plain ? "plain stream" : "memory");
                ExpectSampled(*LoadAsked<T>(bytes, asked.Width, asked.Height, plain), *full,
                              asked.Factor);
            }
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
