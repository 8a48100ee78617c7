// Colour manager set-up: settings and their validation, converter selection, gamma and chroma
// tables, bitmap formats and palettes.
#include "imaging/ColorManager.h"

#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string kBitDepth = "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
const std::string kChannels =
    "Sample count per pixel does not correspond to the given color scheme.";
const std::string kSubsampling = "Subsampling value is invalid. Allowed are 1, 2 and 4.";
const std::string kSubsamplingOrder =
    "Vertical subsampling value must be <= horizontal subsampling value.";
const std::string kIndexed =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
const std::string kNoMethod = "Color conversion failed. Could not find a proper method.";

// The message of the EColorConversionError that `action` raises, empty when it raises none.
template <class Action> std::string ErrorOf(Action action) {
    try {
        action();
    } catch (const EColorConversionError& e) {
        return e.Message();
    }
    return {};
}

std::string ConvertError(TColorManager& manager) {
    uint8_t source[8] = {}, target[8] = {};
    return ErrorOf([&] { manager.ConvertRows(source, target, 1); });
}

TColorManager Manager(TColorModel source, TColorModel target, uint8_t sourceBits,
                      uint8_t targetBits) {
    TColorManager m;
    m.SetSourceModel(source);
    m.SetTargetModel(target);
    m.SetSourceSampleBits(sourceBits);
    m.SetTargetSampleBits(targetBits);
    return m;
}

TRGBQuad Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return TRGBQuad{b, g, r, 0};
}

} // namespace

TEST(ColorManagerSettings, RejectedDepthsAndChannelsKeepTheStoredValue) {
    TColorManager m;
    ConvertError(m); // select once, so that Changed is clear
    ASSERT_FALSE(m.Changed());

    EXPECT_EQ(ErrorOf([&] { m.SetSourceSampleBits(0); }), kBitDepth);
    EXPECT_EQ(ErrorOf([&] { m.SetSourceSampleBits(17); }), kBitDepth);
    EXPECT_EQ(ErrorOf([&] { m.SetTargetSampleBits(0); }), kBitDepth);
    EXPECT_EQ(m.SourceSampleBits(), 8);
    EXPECT_EQ(m.TargetSampleBits(), 8);
    EXPECT_EQ(ErrorOf([&] { m.SetSourceChannels(0); }), kChannels);
    EXPECT_EQ(ErrorOf([&] { m.SetTargetChannels(5); }), kChannels);
    EXPECT_EQ(m.SourceChannels(), 3);
    EXPECT_EQ(m.TargetChannels(), 3);
    EXPECT_FALSE(m.Changed());

    // Equal values change nothing; 5 bits (15/16-bit pixels) is a valid depth.
    m.SetSourceSampleBits(8);
    m.SetTargetModel(cmBGR);
    EXPECT_FALSE(m.Changed());
    m.SetSourceSampleBits(5);
    EXPECT_EQ(m.SourceSampleBits(), 5);
    EXPECT_TRUE(m.Changed());

    // Flags are plain fields.
    ConvertError(m);
    m.SourceFlags = cfSwapBytes | cfLabScaledL;
    EXPECT_FALSE(m.Changed());
    EXPECT_EQ(m.SourceFlags.Bits(), 4 + 8);
}

TEST(ColorManagerSettings, ChromaParametersKeepCoefficientsWhenSubsamplingIsRejected) {
    TColorManager m;
    EXPECT_EQ(ErrorOf([&] { m.SetChromaParameters({0.25f, 0.5f}, 1, 2); }), kSubsamplingOrder);
    EXPECT_FLOAT_EQ(m.YCbCrCoefficients()[0], 0.25f);
    EXPECT_FLOAT_EQ(m.YCbCrCoefficients()[1], 0.5f);
    EXPECT_FLOAT_EQ(m.YCbCrCoefficients()[2], 0.114f); // not given, kept
    EXPECT_EQ(m.HorizontalSubsampling(), 1);
    EXPECT_EQ(m.VerticalSubsampling(), 1);

    EXPECT_EQ(ErrorOf([&] { m.SetChromaParameters({0.299f}, 3, 1); }), kSubsampling);
    EXPECT_EQ(ErrorOf([&] { m.SetChromaParameters({0.299f}, 2, 3); }), kSubsampling);
    EXPECT_EQ(ErrorOf([&] { m.SetChromaParameters({}, 4, 2); }), "");
    EXPECT_EQ(m.HorizontalSubsampling(), 4);
    EXPECT_EQ(m.VerticalSubsampling(), 2);
    EXPECT_FLOAT_EQ(m.YCbCrCoefficients()[0], 0.299f);
}

TEST(ColorManagerSelection, IndexedAndNonIndexedDoNotMix) {
    TColorManager gray = Manager(cmGray, cmBGR, 8, 8);
    EXPECT_EQ(ConvertError(gray), kIndexed);
    EXPECT_TRUE(gray.Changed()); // selection is tried again on the next row
    EXPECT_EQ(ConvertError(gray), kIndexed);

    // A grey-with-alpha target is not palette-like.
    TColorManager grayAlpha = Manager(cmGrayAlpha, cmGrayAlpha, 8, 8);
    EXPECT_EQ(ConvertError(grayAlpha), kIndexed);
    TColorManager rgbToPalette = Manager(cmRGB, cmPalette, 8, 8);
    EXPECT_EQ(ConvertError(rgbToPalette), kIndexed);
}

TEST(ColorManagerSelection, CombinationsWithoutAConverterFail) {
    TColorManager cmy = Manager(cmCMY, cmBGR, 8, 8);
    EXPECT_EQ(ConvertError(cmy), kNoMethod);
    EXPECT_FALSE(cmy.Changed());
    EXPECT_EQ(ConvertError(cmy), kNoMethod);

    TColorManager unknown = Manager(cmUnknown, cmBGR, 8, 8);
    EXPECT_EQ(ConvertError(unknown), kNoMethod);
    TColorManager toCMYK = Manager(cmRGB, cmCMYK, 8, 8);
    EXPECT_EQ(ConvertError(toCMYK), kNoMethod);
    // Grey of 16 bits into 4 bits fits no row.
    TColorManager gray = Manager(cmGray, cmGray, 16, 4);
    EXPECT_EQ(ConvertError(gray), kNoMethod);
    TColorManager grayAlpha = Manager(cmGrayAlpha, cmGray, 4, 8);
    EXPECT_EQ(ConvertError(grayAlpha), kNoMethod);

    // A setting that changes lets the selection run again.
    cmy.SetSourceModel(cmCMYK);
    EXPECT_EQ(ConvertError(cmy), "");
}

TEST(ColorManagerSelection, AlphaFlagFollowsTheModels) {
    TColorManager m = Manager(cmRGB, cmBGRAlpha, 8, 8);
    m.SourceFlags = cfAlpha | cfSwapBytes;
    ConvertError(m);
    EXPECT_EQ(m.SourceFlags, TConversionFlags(cfSwapBytes));
    EXPECT_EQ(m.TargetFlags, TConversionFlags(cfAlpha));
}

TEST(ColorManagerSelection, PlanarRowsNeedAPlanePerSample) {
    TColorManager m = Manager(cmYCbCr, cmBGR, 8, 8);
    uint8_t y[1] = {}, cb[1] = {}, target[3] = {};
    EXPECT_EQ(ErrorOf([&] { m.ConvertRows({y, cb}, target, 1); }), kChannels);
    EXPECT_EQ(
        ErrorOf([&] { m.ConvertRows(std::span<const std::span<const uint8_t>>(), target, 1); }),
        kChannels);
}

TEST(ColorManagerGamma, TablesFollowTheDepths) {
    TColorManager m;
    EXPECT_FLOAT_EQ(m.MainGamma(), 1.0f);
    EXPECT_FLOAT_EQ(m.DisplayGamma(), 2.2f);
    const auto& table = m.GammaTable();
    const std::vector<std::pair<int, int>> expected = {
        {0, 0}, {1, 21}, {2, 28}, {10, 59}, {64, 136}, {128, 186}, {200, 228}, {255, 255}};
    for (auto [i, v] : expected) EXPECT_EQ(table[i], v) << i;

    // Values of 0 or below take the defaults.
    m.SetGammaValues(0, -1);
    EXPECT_FLOAT_EQ(m.MainGamma(), 1.0f);
    EXPECT_FLOAT_EQ(m.DisplayGamma(), 2.2f);

    // Under 8 bits both ends come from the target's depth; entries above stay.
    m.SetSourceSampleBits(4);
    m.SetTargetSampleBits(4);
    m.SetGammaValues(2.0f, 1.0f);
    const int sqrtRamp[16] = {0, 4, 5, 7, 8, 9, 9, 10, 11, 12, 12, 13, 13, 14, 14, 15};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(table[i], sqrtRamp[i]) << i;
    EXPECT_EQ(table[64], 136);

    // A 16-bit target keeps the table within its 256 entries.
    m.SetTargetSampleBits(16);
    m.SetGammaValues(1.0f, 1.0f);
    EXPECT_EQ(table[255], 255);
    EXPECT_EQ(table[100], 100);
}

TEST(ColorManagerChroma, TablesForYCbCrAndPhotoYCC) {
    TColorManager m = Manager(cmYCbCr, cmBGR, 8, 8);
    EXPECT_TRUE(m.CrToRed().empty());
    ConvertError(m);
    ASSERT_EQ(m.CrToRed().size(), 256u);
    EXPECT_EQ(m.CrToRed()[255], 178);
    EXPECT_EQ(m.CrToRed()[0], -179);
    EXPECT_EQ(m.CrToRed()[128], 0);
    EXPECT_EQ(m.CbToBlue()[255], 225);
    EXPECT_EQ(m.CbToBlue()[0], -227);
    EXPECT_EQ(m.CrToGreen()[255], -91);
    EXPECT_EQ(m.CrToGreen()[0], 91);
    EXPECT_EQ(m.CbToGreen()[255], -44);
    EXPECT_EQ(m.CbToGreen()[129], 0);

    m.SetSourceModel(cmPhotoYCC);
    ConvertError(m);
    EXPECT_EQ(m.CrToRed()[137], 0);
    EXPECT_EQ(m.CbToBlue()[156], 0);
    EXPECT_EQ(m.CrToRed()[255], 165);
    EXPECT_EQ(m.CbToBlue()[255], 175);
    EXPECT_EQ(m.CrToGreen()[0], 98);
    EXPECT_EQ(m.CbToGreen()[0], 54);
}

TEST(ColorManagerFormats, TargetPixelFormat) {
    TColorManager m;
    const auto format = [&](uint8_t channels, uint8_t bits) {
        m.SetTargetChannels(channels);
        m.SetTargetSampleBits(bits);
        return m.TargetPixelFormat(true);
    };
    EXPECT_EQ(format(1, 1), bf1Bit);
    EXPECT_EQ(format(1, 2), bf4Bit);
    EXPECT_EQ(format(1, 4), bf4Bit);
    EXPECT_EQ(format(1, 5), bfCustom);
    EXPECT_EQ(format(1, 8), bf8Bit);
    EXPECT_EQ(format(1, 16), bf8Bit);
    EXPECT_EQ(format(2, 8), bfCustom);
    EXPECT_EQ(format(3, 5), bf15Bit);
    EXPECT_EQ(format(3, 8), bf24Bit);
    EXPECT_EQ(format(3, 16), bf24Bit);
    EXPECT_EQ(format(4, 4), bfCustom);
    EXPECT_EQ(format(4, 8), bf32Bit);
    // The source side reads the source settings.
    m.SetSourceChannels(1);
    m.SetSourceSampleBits(1);
    EXPECT_EQ(m.TargetPixelFormat(false), bf1Bit);
}

TEST(ColorManagerPalettes, GrayRamps) {
    TColorManager m;
    m.SetTargetChannels(1);
    m.SetTargetSampleBits(1);
    TPalette twoEntries = m.MakeGrayPalette(true);
    ASSERT_EQ(twoEntries.Count(), 2u);
    EXPECT_EQ(twoEntries[0], Rgb(255, 255, 255));
    EXPECT_EQ(twoEntries[1], Rgb(0, 0, 0));

    m.SetTargetSampleBits(4);
    TPalette sixteen = m.MakeGrayPalette(false);
    ASSERT_EQ(sixteen.Count(), 16u);
    EXPECT_EQ(sixteen[1], Rgb(17, 17, 17));
    EXPECT_EQ(sixteen[15], Rgb(255, 255, 255));

    // 8 bits x 2 channels is capped at 256 entries; gamma goes through the table.
    m.SetTargetSampleBits(8);
    m.SetTargetChannels(2);
    m.TargetFlags = cfApplyGamma;
    TPalette ramp = m.MakeGrayPalette(false);
    ASSERT_EQ(ramp.Count(), 256u);
    EXPECT_EQ(ramp[1], Rgb(21, 21, 21));
    EXPECT_EQ(ramp[128], Rgb(186, 186, 186));
}

TEST(ColorManagerPalettes, LayoutsAndOrders) {
    TColorManager m;
    const std::vector<uint8_t> packed = {1, 2, 3, 4, 5, 6};
    TPalette rgb = m.MakeColorPalette({packed}, plPacked8x3, 2, false);
    ASSERT_EQ(rgb.Count(), 2u);
    EXPECT_EQ(rgb[0], Rgb(1, 2, 3));
    EXPECT_EQ(rgb[1], Rgb(4, 5, 6));
    TPalette bgr = m.MakeColorPalette({packed}, plPacked8x3, 2, true);
    EXPECT_EQ(bgr[0], Rgb(3, 2, 1));

    const std::vector<uint8_t> quads = {1, 2, 3, 99, 4, 5, 6, 99};
    TPalette four = m.MakeColorPalette({quads}, plPacked8x4, 2, true);
    EXPECT_EQ(four[1], Rgb(6, 5, 4));

    const std::vector<uint8_t> red = {10, 11}, green = {20, 21}, blue = {30, 31};
    TPalette planar = m.MakeColorPalette({red, green, blue}, plPlanar8x3, 2, true);
    EXPECT_EQ(planar[1], Rgb(11, 21, 31));

    // 16-bit maps are scaled to 8 bits; packed 16-bit maps read blue first unless bgrOrder.
    const std::vector<uint16_t> wide = {0xFFFF, 0x8080, 0x0000};
    const std::span<const uint8_t> wideBytes(reinterpret_cast<const uint8_t*>(wide.data()), 6);
    EXPECT_EQ(m.MakeColorPalette({wideBytes}, plPacked16x3, 1, false)[0], Rgb(0, 128, 255));
    EXPECT_EQ(m.MakeColorPalette({wideBytes}, plPacked16x3, 1, true)[0], Rgb(255, 128, 0));

    // Planar 16-bit with swapped bytes and gamma.
    const std::vector<uint8_t> r16 = {0xFF, 0xFF}, g16 = {0x00, 0x01}, b16 = {0x80, 0x00};
    m.SourceFlags = cfSwapBytes;
    EXPECT_EQ(m.MakeColorPalette({r16, g16, b16}, plPlanar16x3, 1, false)[0], Rgb(255, 0, 127));
    m.TargetFlags = cfApplyGamma;
    EXPECT_EQ(m.MakeColorPalette({r16, g16, b16}, plPlanar16x3, 1, false)[0], Rgb(255, 0, 186));
}

TEST(ColorManagerPalettes, ShortMapsStayBlackAndCountsAreCapped) {
    TColorManager m;
    const std::vector<uint8_t> oneEntry = {7, 8, 9};
    TPalette p = m.MakeColorPalette({oneEntry}, plPacked8x3, 3, false);
    ASSERT_EQ(p.Count(), 3u);
    EXPECT_EQ(p[0], Rgb(7, 8, 9));
    EXPECT_EQ(p[2], Rgb(0, 0, 0));

    const std::vector<uint8_t> big(300 * 3, 0x55);
    EXPECT_EQ(m.MakeColorPalette({big}, plPacked8x3, 300, false).Count(), 256u);
    // A planar map given fewer planes than it needs reads black for the missing ones.
    EXPECT_EQ(m.MakeColorPalette({big}, plPlanar8x3, 2, false)[1], Rgb(0x55, 0, 0));
}

TEST(ColorManagerPalettes, IndexRescaling) {
    // 4-bit indices shown in an 8-bit bitmap: entry i takes colour i * 15 div 255.
    TColorManager m;
    m.SetSourceSampleBits(4);
    std::vector<uint8_t> map(16 * 3);
    for (int i = 0; i < 16; ++i) map[i * 3] = map[i * 3 + 1] = map[i * 3 + 2] = uint8_t(i * 10);
    TPalette spread = m.MakeColorPalette({map}, plPacked8x3, 16, false);
    ASSERT_EQ(spread.Count(), 256u);
    for (int i : {0, 16, 17, 100, 254, 255}) EXPECT_EQ(spread[i].rgbRed, (i * 15 / 255) * 10) << i;

    // 8-bit indices into a 2-bit bitmap: entry i takes colour i * 255 div 3.
    std::vector<uint8_t> ramp(256 * 3);
    for (int i = 0; i < 256; ++i) ramp[i * 3] = uint8_t(i);
    m.SetSourceSampleBits(8);
    m.SetTargetSampleBits(2);
    TPalette narrow = m.MakeColorPalette({ramp}, plPacked8x3, 256, false);
    ASSERT_EQ(narrow.Count(), 4u);
    EXPECT_EQ(narrow[1].rgbRed, 85);
    EXPECT_EQ(narrow[3].rgbRed, 255);

    // 16-bit indices into an 8-bit bitmap address the whole map: entry i is map entry
    // i * 257, the index the row converters reduce to i.
    std::vector<uint16_t> wide(65536 * 3);
    for (size_t i = 0; i < 65536; ++i) wide[i] = uint16_t(i);
    const std::span<const uint8_t> r(reinterpret_cast<const uint8_t*>(wide.data()), 65536 * 2);
    const std::span<const uint8_t> g = r, b = r;
    m.SetSourceSampleBits(16);
    m.SetTargetSampleBits(8);
    TPalette deep = m.MakeColorPalette({r, g, b}, plPlanar16x3, 65536, false);
    ASSERT_EQ(deep.Count(), 256u);
    EXPECT_EQ(deep[1].rgbRed, 257 * 255 / 65535);
    EXPECT_EQ(deep[200].rgbGreen, 200);
    // With a shorter map the entries it lacks are black.
    TPalette partial = m.MakeColorPalette({r, g, b}, plPlanar16x3, 300, false);
    EXPECT_EQ(partial[1].rgbRed, 1);
    EXPECT_EQ(partial[2].rgbRed, 0);
}
