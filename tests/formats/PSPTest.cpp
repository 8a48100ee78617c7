#include "FormatTestSupport.h"
#include "PaintTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/PSPGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace formats_test;

namespace {

// Offsets in the fixtures: the attributes start after the file header and the first block
// header (and, above version 3, the chunk length), 50 bytes from the start either way.
constexpr size_t Attributes = 50;
constexpr size_t WidthAt = Attributes, HeightAt = Attributes + 4, ResolutionAt = Attributes + 8,
                 MetricAt = Attributes + 16, CompressionAt = Attributes + 17;

void PutLE32At(Bytes& file, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = uint8_t(value >> (8 * i));
}

Bytes Fixture(const std::string& name) {
    return ReadFile(DataPath("psp/" + name));
}

} // namespace

TEST(PSPReader, BuiltFilesOfVersionsThreeAndFiveLoadPixelForPixel) {
    EXPECT_GE(ExpectFixturesMatchReferences<TPSPGraphic>("psp", ".psp"), 14u);
}

TEST(PSPReader, RecognizeTakesTheSignatureInAnyCaseFromVersionThree) {
    Bytes file = Fixture("psp3_rgb_none.psp");
    EXPECT_TRUE(Recognized<TPSPGraphic>(file));
    std::memcpy(file.data(), "PAINT SHOP PRO IMAGE FILE", 25);
    EXPECT_TRUE(Recognized<TPSPGraphic>(file));
    file[32] = 2; // major version 2
    EXPECT_FALSE(Recognized<TPSPGraphic>(file));
    EXPECT_EQ(LoadError<TPSPGraphic>(file),
              "Cannot load image. Invalid or unexpected PSP image format.");
    EXPECT_FALSE(Recognized<TPSPGraphic>(Bytes(file.begin(), file.begin() + 36)));
}

TEST(PSPReader, HeaderPropertiesAndResolutionMetric) {
    Bytes file = Fixture("psp5_rgb_rle.psp");
    const double resolution = 28.35;
    std::memcpy(&file[ResolutionAt], &resolution, sizeof(resolution));
    file[MetricAt] = 2; // per centimetre
    TPSPGraphic image;
    {
        TMemoryStream stream(file);
        ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    }
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.Version, 5u);
    EXPECT_EQ(p.Width, 13u);
    EXPECT_EQ(p.Height, 7u);
    EXPECT_EQ(p.ColorModel, cmRGB);
    EXPECT_EQ(p.BitsPerPixel, 24);
    EXPECT_EQ(p.Compression, ckRunLength);
    EXPECT_NEAR(p.XResolution, 72.009f, 1e-3);
    EXPECT_EQ(p.YResolution, p.XResolution);
    file[MetricAt] = 1;
    TMemoryStream inch(file);
    ASSERT_TRUE(image.ReadImageHeader(inch, 0));
    EXPECT_NEAR(image.ImageProperties.XResolution, 28.35f, 1e-5);

    TMemoryStream grey(Fixture("psp5_gray_lz77.psp"));
    ASSERT_TRUE(image.ReadImageHeader(grey, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmGray);
    EXPECT_EQ(image.ImageProperties.Compression, ckDeflate);
}

TEST(PSPReader, AlphaLayersLoadAsThirtyTwoBitsAndGreyAsItsComposite) {
    const auto rgba = Load<TPSPGraphic>(Fixture("psp5_rgba_lz77.psp"));
    EXPECT_EQ(rgba->PixelFormat(), bf32Bit);
    const auto grey = Load<TPSPGraphic>(Fixture("psp5_gray_lz77.psp"));
    EXPECT_EQ(grey->PixelFormat(), bf8Bit);
    EXPECT_EQ(grey->Palette().Count(), 256u);
}

TEST(PSPReader, FilesItCannotShowAreRefusedWithTheirReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"missing_blue.psp", "Cannot load image. The PSP layer has no blue channel."},
        {"palette_without_composite.psp",
         "Cannot load image. The PSP layer has no composite channel."},
        {"short_channel.psp",
         "Cannot load image. The PSP file states an invalid channel length 90."},
        {"jpeg_channels.psp",
         "Cannot load image. The compression scheme is not supported for PSP files."},
        {"no_layer.psp", "Cannot load image. The PSP file holds no raster layer."},
        {"cut_deflate.psp", "Cannot load image. Compression error found in PSP file."},
    };
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(LoadError<TPSPGraphic>(Fixture(std::string("bad/") + name)), message);
    }
    Bytes unknown = Fixture("psp5_rgb_none.psp");
    unknown[CompressionAt] = 7;
    EXPECT_EQ(LoadError<TPSPGraphic>(unknown),
              "Cannot load image. The compression scheme is not supported for PSP files.");
    Bytes depth = Fixture("psp5_rgb_none.psp");
    depth[CompressionAt + 2] = 16;
    EXPECT_EQ(LoadError<TPSPGraphic>(depth), "Invalid color format in PSP file.");
}

TEST(PSPReader, BlocksLongerThanTheirContainerOrTheFileAreNamed) {
    // Version 5: the layer bank's length at 98, its first layer's at 108.
    constexpr size_t BankLengthAt = 98, LayerLengthAt = 108;
    const Bytes file = Fixture("psp5_rgb_none.psp");
    Bytes bank = file;
    PutLE32At(bank, BankLengthAt, 0x00FFFFFF);
    EXPECT_EQ(LoadError<TPSPGraphic>(bank),
              "Cannot load image. The PSP file ends inside its layer bank block.");
    Bytes layer = file;
    const uint32_t bankLength =
        uint32_t(file[BankLengthAt] | file[BankLengthAt + 1] << 8 | file[BankLengthAt + 2] << 16);
    PutLE32At(layer, LayerLengthAt, bankLength);
    EXPECT_EQ(LoadError<TPSPGraphic>(layer),
              "Cannot load image. The PSP file's layer block runs past the layer bank block that "
              "holds it.");
}

TEST(PSPReader, ClaimedSizesBeyondTheFileFailFast) {
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    for (const char* name : {"psp5_rgb_none.psp", "psp5_rgb_rle.psp", "psp3_rgb_lz77.psp"}) {
        SCOPED_TRACE(name);
        Bytes file = Fixture(name);
        PutLE32At(file, WidthAt, 65535);
        PutLE32At(file, HeightAt, 65535);
        EXPECT_EQ(LoadError<TPSPGraphic>(file),
                  "Cannot load image. The PSP file holds too little data for the image size it "
                  "states.");
    }
    EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
}

TEST(PSPReader, FilesCutAtEveryLengthRaise) {
    for (const char* name : {"psp3_rgb_rle.psp", "psp5_rgba_lz77.psp", "psp5_p4_rle.psp"}) {
        SCOPED_TRACE(name);
        const Bytes file = Fixture(name);
        ExpectEveryCutFailsCleanly<TPSPGraphic>(file, file.size());
    }
}
