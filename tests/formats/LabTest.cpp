// CIE L*a*b* pictures shown in sRGB: a Lab TIFF that Pillow made from an RGB picture comes back
// as that picture, within the rounding of the two conversions (the simplified matrix used
// before put colours up to 76 levels off).
#include "FormatTestSupport.h"

#include "imaging/formats/TIFFGraphic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace formats_test;

namespace {

TEST(LabPictures, TIFFComesBackAsThePictureItWasMadeFrom) {
    const auto lab = Load<TTIFFGraphic>(ReadFile(DataPath("tiff/pil_lab.tif")));
    const auto rgb = Load<TTIFFGraphic>(ReadFile(DataPath("tiff/pil_rgb_raw.tif")));
    ASSERT_EQ(lab->Width(), rgb->Width());
    ASSERT_EQ(lab->Height(), rgb->Height());
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
    EXPECT_GT(10 * std::log10(255.0 * 255.0 / mse), 40.0);
    EXPECT_LE(worst, 12);
}

} // namespace
