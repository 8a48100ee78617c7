#include "FormatTestSupport.h"
#include "PaintTestSupport.h"

#include "imaging/formats/RLAGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <ctime>
#include <locale>
#include <string>

using namespace formats_test;

namespace {

Bytes Fixture(const std::string& name) {
    return ReadFile(DataPath("rla/" + name));
}

void PutBE16At(Bytes& bytes, size_t at, uint16_t value) {
    bytes[at] = uint8_t(value >> 8);
    bytes[at + 1] = uint8_t(value);
}

// A number format with a decimal comma, as a French desktop writes numbers.
struct TCommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

} // namespace

TEST(RLAReader, FilesLoadPixelForPixel) {
    // Bottom-up and top-down, rows stored in reverse order, a matte, 16- and 10-bit channels
    // with an 8-bit matte, an upper-case channel space, gamma written with a point and a comma.
    const size_t count =
        ForEachFile("rla", ".rla", [](const std::string& name, const Bytes& bytes) {
            SCOPED_TRACE(name);
            const auto image = Load<TRLAGraphic>(bytes);
            EXPECT_EQ(
                CompareWithReference(*image, ReadReference(DataPath("rla/" + name + ".rgba.gz"))),
                "");
        });
    EXPECT_GE(count, 8u);
    const auto upper = Load<TRLAGraphic>(Fixture("upper_space.rpf"));
    EXPECT_EQ(CompareWithReference(*upper, ReadReference(DataPath("rla/upper_space.rpf.rgba.gz"))),
              "");

    const auto matte = Load<TRLAGraphic>(Fixture("rgb_matte.rla"));
    EXPECT_EQ(matte->PixelFormat(), bf32Bit);
    EXPECT_EQ(matte->ImageProperties.ColorModel, cmRGBAlpha);
    EXPECT_EQ(matte->ImageProperties.SamplesPerPixel, 4);
    const auto plain = Load<TRLAGraphic>(Fixture("rgb.rla"));
    EXPECT_EQ(plain->PixelFormat(), bf24Bit);
    EXPECT_TRUE(plain->ImageProperties.BottomUp);
    EXPECT_FALSE(plain->ImageProperties.Flags.Contains(flGammaCorrected));
    const auto gamma = Load<TRLAGraphic>(Fixture("gamma_comma.rla"));
    EXPECT_FLOAT_EQ(gamma->ImageProperties.SourceGamma, 2.2f);
    EXPECT_TRUE(gamma->ImageProperties.Flags.Contains(flGammaCorrected));
    // The gamma is the display's the image was made for: made for 2.2, it shows as stored;
    // made for 1.8 (darker displays), it is brightened.
    for (int x = 0; x < plain->Width(); ++x)
        ASSERT_EQ(gamma->PixelColor(x, 3), plain->PixelColor(x, 3)) << x;
    const auto mac = Load<TRLAGraphic>(Fixture("gamma_mac.rla"));
    EXPECT_GT(mac->PixelColor(5, 3).rgbGreen, plain->PixelColor(5, 3).rgbGreen);
}

TEST(RLAReader, GammaTextReadsTheSameWhateverTheUsersLocale) {
    const std::locale saved =
        std::locale::global(std::locale(std::locale::classic(), new TCommaDecimal));
    const std::string savedC = std::setlocale(LC_ALL, nullptr);
    // A French C locale where the system has one.
    for (const char* name : {"fr_FR.UTF-8", "fr_FR.utf8", "fr_FR"})
        if (std::setlocale(LC_ALL, name)) break;
    EXPECT_FLOAT_EQ(TRLAGraphic::ParseGamma("2.2"), 2.2f);
    EXPECT_FLOAT_EQ(TRLAGraphic::ParseGamma("2,2"), 2.2f);
    EXPECT_FLOAT_EQ(TRLAGraphic::ParseGamma(" 1.5 "), 1.5f);
    EXPECT_FLOAT_EQ(TRLAGraphic::ParseGamma("1e0"), 1.0f);
    for (const char* bad : {"", "abc", "2.2x", "-1", "0", "inf", "nan"})
        EXPECT_FLOAT_EQ(TRLAGraphic::ParseGamma(bad), 1.0f) << bad;
    const auto image = Load<TRLAGraphic>(Fixture("gamma_point.rla"));
    EXPECT_EQ(CompareWithReference(*image, ReadReference(DataPath("rla/gamma_point.rla.rgba.gz"))),
              "");
    std::setlocale(LC_ALL, savedC.c_str());
    std::locale::global(saved);
}

TEST(RLAReader, RecognitionAndChannelSpaces) {
    Bytes header = Fixture("rgb.rla");
    EXPECT_TRUE(Recognized<TRLAGraphic>(header));
    EXPECT_FALSE(Recognized<TRLAGraphic>(Bytes(header.begin(), header.begin() + 740)));
    Bytes other = header;
    PutBE16At(other, 26, 0xFFFF);
    EXPECT_FALSE(Recognized<TRLAGraphic>(other));

    // "xyz" is recognised but leaves the bitmap empty without an error; other spaces have no
    // conversion.
    Bytes xyz = header;
    std::memcpy(&xyz[580], "XYZ", 3);
    EXPECT_TRUE(Recognized<TRLAGraphic>(xyz));
    EXPECT_TRUE(Load<TRLAGraphic>(xyz)->Empty());
    Bytes unknown = header;
    std::memcpy(&unknown[580], "cmy", 3);
    EXPECT_FALSE(Recognized<TRLAGraphic>(unknown));
    EXPECT_EQ(LoadError<TRLAGraphic>(unknown),
              "Color conversion failed. Could not find a proper method.");

    // Bottom 0 and top 99 make 100 rows stored bottom-up; the other way round, top-down.
    TRLAGraphic image;
    Bytes window = header;
    PutBE16At(window, 12, 0);
    PutBE16At(window, 14, 99);
    TMemoryStream stream(window);
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    EXPECT_EQ(image.ImageProperties.Height, 100u);
    EXPECT_TRUE(image.ImageProperties.BottomUp);
    EXPECT_EQ(stream.Position(), 740);
    PutBE16At(window, 12, 99);
    PutBE16At(window, 14, 0);
    TMemoryStream topDown(window);
    ASSERT_TRUE(image.ReadImageHeader(topDown, 0));
    EXPECT_FALSE(image.ImageProperties.BottomUp);
    EXPECT_EQ(image.ImageProperties.Flags, TImageFlags(flBigEndian));
}

TEST(RLAReader, HostileFilesRaiseTableMessagesAndStayWithinTheirBuffers) {
    const Bytes good = Fixture("rgb10_matte8.rla");
    for (size_t size = 0; size < good.size(); size += 7) {
        const std::string error =
            LoadError<TRLAGraphic>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(size)));
        ASSERT_NE(error, "no error") << "cut at " << size;
    }
    auto withField = [&good](size_t at, uint16_t value) {
        Bytes bytes = good;
        PutBE16At(bytes, at, value);
        return LoadError<TRLAGraphic>(bytes);
    };
    EXPECT_EQ(withField(20, 1),
              "Cannot load image. The RLA file states an invalid number of colour channels 1.");
    EXPECT_EQ(withField(658, 32),
              "Cannot load image. The RLA file states an invalid colour channel depth of 32 bits.");
    EXPECT_EQ(withField(662, 17),
              "Cannot load image. The RLA file states an invalid matte channel depth of 17 bits.");
    EXPECT_EQ(withField(10, 0xFFF0), "The RLA image size is invalid (-15 x 23 pixels).");
    // A row offset beyond the file, a channel longer than the file.
    Bytes offset = good;
    PutBE16At(offset, 740 + 4 * 5, 0x7FFF);
    PutBE16At(offset, 740 + 4 * 5 + 2, 0);
    EXPECT_EQ(LoadError<TRLAGraphic>(offset),
              "Cannot load image. The RLA file states an invalid offset of row 5 (2147418112).");
    Bytes channel = good;
    const size_t row0 =
        size_t(channel[740] << 24 | channel[741] << 16 | channel[742] << 8 | channel[743]);
    PutBE16At(channel, row0, 0xFFFF);
    EXPECT_EQ(LoadError<TRLAGraphic>(channel),
              "Cannot load image. The RLA file ends inside its channel data.");
    // Every row at one offset: a small file cannot claim a large picture.
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    Bytes huge(good.begin(), good.begin() + 740);
    PutBE16At(huge, 10, 0x7FFF);
    PutBE16At(huge, 14, 0x7FFF);
    for (int i = 0; i < 0x8000; ++i) PutBE32(huge, 740 + 0x20000);
    huge.resize(huge.size() + 64, 0);
    EXPECT_EQ(
        LoadError<TRLAGraphic>(huge),
        "Cannot load image. The RLA file holds too little data for the image size it states.");
    EXPECT_LT(PeakResidentKB() - before, 16 * 1024);
}

TEST(RLAReader, RowsSharingOneOffsetCountOnce) {
    // 512 x 32767, every row at one offset whose channels state 65535 bytes each, in a 1 MB
    // file: the bytes of the one row (as many as its samples can take) cannot hold the image,
    // and saying so costs no reading of every row.
    TBudgetScope budget(size_t(256) << 20);
    Bytes file = Fixture("rgb.rla");
    file.resize(740);
    PutBE16At(file, 8, 0);
    PutBE16At(file, 10, 511);
    PutBE16At(file, 12, 0);
    PutBE16At(file, 14, 32766);
    PutBE16At(file, 22, 0); // no matte
    for (int i = 0; i < 32767; ++i) PutBE32(file, 740 + 4 * 32767);
    for (int channel = 0; channel < 3; ++channel) {
        file.insert(file.end(), {0xFF, 0xFF});
        for (int i = 0; i < 65535 / 2; ++i) file.insert(file.end(), {0x7F, uint8_t(40 * channel)});
        file.push_back(0);
    }
    file.resize(1 << 20, 0);
    const std::clock_t start = std::clock();
    EXPECT_EQ(
        LoadError<TRLAGraphic>(file),
        "Cannot load image. The RLA file holds too little data for the image size it states.");
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, 0.5);
}

TEST(RLAReader, MattesPremultiplyTheColoursTheyCover) {
    // OpenImageIO's file, its colours premultiplied: straight within two levels of its own
    // reading back (it truncates where this reader rounds).
    const auto image = Load<TRLAGraphic>(Fixture("oiio/matte.rla"));
    EXPECT_EQ(image->AlphaFormat, afDefined);
    ExpectNearReference(*image, ReadReference(DataPath("rla/oiio/matte.rla.rgba.gz")), 2);
}
