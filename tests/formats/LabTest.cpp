// CIE L*a*b* pictures shown in sRGB: a Lab TIFF that Pillow (D50) or ImageMagick (D65, named by
// the WhitePoint tag) made from an RGB picture comes back as that picture, within the rounding
// of the two conversions (the simplified matrix used before put colours up to 76 levels off).
#include "FormatTestSupport.h"

#include "imaging/formats/TIFFGraphic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

using namespace formats_test;

namespace {

// The picture in `labFile` against pil_rgb_raw.tif, which it was made from: PSNR and the
// largest difference of one sample.
std::pair<double, int> CompareWithSource(const char* labFile) {
    const auto lab = Load<TTIFFGraphic>(ReadFile(DataPath(labFile)));
    const auto rgb = Load<TTIFFGraphic>(ReadFile(DataPath("tiff/pil_rgb_raw.tif")));
    EXPECT_EQ(lab->Width(), rgb->Width());
    EXPECT_EQ(lab->Height(), rgb->Height());
    double squares = 0;
    int worst = 0;
    for (int32_t y = 0; y < lab->Height(); ++y)
        for (int32_t x = 0; x < lab->Width(); ++x) {
            const TRGBQuad a = lab->PixelColor(x, y), b = rgb->PixelColor(x, y);
            for (const int d :
                 {a.rgbRed - b.rgbRed, a.rgbGreen - b.rgbGreen, a.rgbBlue - b.rgbBlue}) {
                squares += d * d;
                worst = std::max(worst, std::abs(d));
            }
        }
    const double mse = squares / (3.0 * lab->Width() * lab->Height());
    return {10 * std::log10(255.0 * 255.0 / mse), worst};
}

TEST(LabPictures, TIFFComesBackAsThePictureItWasMadeFrom) {
    const auto [psnr, worst] = CompareWithSource("tiff/pil_lab.tif");
    EXPECT_GT(psnr, 40.0);
    EXPECT_LE(worst, 12);
}

TEST(LabPictures, TIFFWhitePointNamesTheWhiteItIsRelativeTo) {
    // ImageMagick's D65 Lab in whole steps of a* and b*: a step moves a dark sample far near
    // the gamut's edge. Read as D50, the same file is 29 dB off with a sample 83 levels off.
    const auto [psnr, worst] = CompareWithSource("tiff/im_lab_d65.tif");
    EXPECT_GT(psnr, 36.0);
    EXPECT_LE(worst, 32);
}

} // namespace
