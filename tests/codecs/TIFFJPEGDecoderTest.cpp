#include "imaging/codecs/TIFFJPEGDecoder.h"
#include "imaging/ColorManager.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Warning.h"
#include "tests/codecs/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// What the TIFF reader records for a JPEG-compressed file.
TImageProperties PropertiesOf(const TTiffFile& tiff) {
    TImageProperties p;
    p.Width = tiff.Tag(256);
    p.Height = tiff.Tag(257);
    p.BitsPerSample = static_cast<uint8_t>(tiff.Tag(258, 1));
    p.SamplesPerPixel = static_cast<uint8_t>(tiff.Tag(277, 1));
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    p.PlanarConfig = tiff.Tag(284);
    p.RowsPerStrip = {tiff.Tag(278, p.Height)};
    p.BytesPerRow = (p.BitsPerPixel * p.Width + 7) / 8;
    if (tiff.Tag(262) == 6) {
        p.ColorModel = cmYCbCr;
        p.YCbCrSubSampling = {2, 2};
        if (tiff.Tags.count(530))
            p.YCbCrSubSampling = {static_cast<uint8_t>(tiff.TagValues(530)[0]),
                                  static_cast<uint8_t>(tiff.TagValues(530)[1])};
    }
    p.JPEGTables = tiff.JPEGTables;
    return p;
}

// Decodes every strip as the TIFF reader does; answers the rows.
std::vector<uint8_t> DecodeStrips(const TTiffFile& tiff, TImageProperties& p,
                                  TTIFFJPEGDecoder& decoder) {
    std::vector<uint8_t> image;
    p.CurrentRow = 0;
    const size_t stripSize = size_t(p.RowsPerStrip[0]) * p.BytesPerRow;
    for (const auto& strip : tiff.Strips) {
        std::vector<uint8_t> rows(stripSize + 16, 0xAA);
        const uint8_t* in = strip.data();
        uint8_t* out = rows.data();
        decoder.Decode(in, out, static_cast<int32_t>(strip.size()),
                       static_cast<int32_t>(stripSize));
        EXPECT_EQ(in, strip.data());
        EXPECT_EQ(out, rows.data());
        EXPECT_EQ(std::vector<uint8_t>(rows.end() - 16, rows.end()),
                  std::vector<uint8_t>(16, 0xAA));
        const uint32_t n = std::min(p.RowsPerStrip[0], p.Height - p.CurrentRow);
        image.insert(image.end(), rows.begin(), rows.begin() + n * p.BytesPerRow);
        p.CurrentRow += n;
    }
    return image;
}

// Largest difference from the gradient the fixtures were made from, in blue, green, red.
// Only the first `columns` columns are compared when given.
int ColorError(const std::vector<uint8_t>& image, uint32_t width, uint32_t height,
               uint32_t columns = 0) {
    int worst = 0;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < (columns ? columns : width); ++x) {
            const uint8_t* px = &image[(y * width + x) * 3];
            const int expected[3] = {int(200 - 2 * x - y), int(30 + 5 * y), int(20 + 4 * x)};
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(px[c] - expected[c]));
        }
    return worst;
}

std::string CompressionMessage(const TTiffFile& tiff, TImageProperties p) {
    TTIFFJPEGDecoder decoder(p);
    decoder.BeginDecoding();
    try {
        DecodeStrips(tiff, p, decoder);
    } catch (const EGraphicCompression& e) {
        decoder.EndDecoding();
        return e.what();
    }
    decoder.EndDecoding();
    return "";
}

} // namespace

TEST(TIFFJPEGDecoder, StripsWithSharedTablesDecodeInBlueGreenRedOrder) {
    for (const char* name : {"jpeg_ycbcr.tif", "jpeg_rgb.tif"}) {
        const TTiffFile tiff = ReadTiff(ReadFixture(name));
        TImageProperties p = PropertiesOf(tiff);
        ASSERT_FALSE(p.JPEGTables.empty());
        TTIFFJPEGDecoder decoder(p);
        decoder.BeginDecoding();
        const auto image = DecodeStrips(tiff, p, decoder);
        decoder.EndDecoding();
        ASSERT_EQ(image.size(), size_t(p.Width) * p.Height * 3);
        EXPECT_LE(ColorError(image, p.Width, p.Height), 12) << name;
    }
    const TTiffFile gray = ReadTiff(ReadFixture("jpeg_gray.tif"));
    TImageProperties p = PropertiesOf(gray);
    TTIFFJPEGDecoder decoder(p);
    decoder.BeginDecoding();
    const auto image = DecodeStrips(gray, p, decoder);
    decoder.EndDecoding();
    ASSERT_EQ(image.size(), size_t(p.Width) * p.Height);
    for (uint32_t y = 0; y < p.Height; ++y)
        for (uint32_t x = 0; x < p.Width; ++x)
            EXPECT_NEAR(image[y * p.Width + x], 10 + 3 * x + 2 * y, 4);
}

TEST(TIFFJPEGDecoder, StripsThatDoNotMatchThePropertiesAreRefused) {
    const TTiffFile gray = ReadTiff(ReadFixture("jpeg_gray.tif"));
    const TImageProperties good = PropertiesOf(gray);
    ASSERT_EQ(CompressionMessage(gray, good), "");
    // 24 rows in the first strip where 23 or 25 are expected.
    for (uint32_t rows : {23u, 25u}) {
        TImageProperties p = good;
        p.RowsPerStrip = {rows};
        EXPECT_EQ(CompressionMessage(gray, p), "Improper JPEG strip/tile size.");
    }
    TImageProperties p = good;
    p.Width = good.Width - 1;
    EXPECT_EQ(CompressionMessage(gray, p), "Improper JPEG strip/tile size.");
    p = good;
    p.SamplesPerPixel = 3;
    EXPECT_EQ(CompressionMessage(gray, p), "Improper JPEG component count.");
    p = good;
    p.BitsPerSample = 12;
    EXPECT_EQ(CompressionMessage(gray, p), "Improper JPEG data precision.");
    // An output area that is not a whole number of rows.
    TTIFFJPEGDecoder decoder(good);
    decoder.BeginDecoding();
    std::vector<uint8_t> rows(24 * good.BytesPerRow);
    const uint8_t* in = gray.Strips[0].data();
    uint8_t* out = rows.data();
    try {
        decoder.Decode(in, out, static_cast<int32_t>(gray.Strips[0].size()),
                       static_cast<int32_t>(rows.size() - 1));
        ADD_FAILURE() << "no exception";
    } catch (const EGraphicCompression& e) {
        EXPECT_STREQ(e.what(), "Fractional JPEG scanline unsupported.");
    }
    decoder.EndDecoding();

    const TTiffFile ycbcr = ReadTiff(ReadFixture("jpeg_ycbcr.tif"));
    p = PropertiesOf(ycbcr);
    p.YCbCrSubSampling = {1, 1};
    EXPECT_EQ(CompressionMessage(ycbcr, p), "Improper JPEG sampling factors.");
    // Separate planes: one component per strip.
    p = PropertiesOf(ycbcr);
    p.PlanarConfig = 2;
    EXPECT_EQ(CompressionMessage(ycbcr, p), "Improper JPEG component count.");
}

TEST(TIFFJPEGDecoder, BadTablesAndLibraryErrors) {
    const TTiffFile gray = ReadTiff(ReadFixture("jpeg_gray.tif"));
    // A whole image where the tables belong.
    TImageProperties p = PropertiesOf(gray);
    std::vector<uint8_t> image = gray.JPEGTables;
    image.pop_back(), image.pop_back();
    image.insert(image.end(), gray.Strips[0].begin() + 2, gray.Strips[0].end());
    p.JPEGTables = image;
    TTIFFJPEGDecoder withImage(p);
    try {
        withImage.BeginDecoding();
        FAIL() << "no exception";
    } catch (const EGraphicCompression& e) {
        EXPECT_STREQ(e.what(), "Bogus JPEG tables field.");
    }
    withImage.EndDecoding();

    // Not JPEG at all: libjpeg's own error, with its message code.
    p.JPEGTables = {0x12, 0x34, 0x56};
    TTIFFJPEGDecoder garbage(p);
    try {
        garbage.BeginDecoding();
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(std::string(e.what()).rfind("JPEG error #", 0), 0u) << e.what();
    }

    // A strip without the tables it needs.
    p = PropertiesOf(gray);
    p.JPEGTables.clear();
    TTIFFJPEGDecoder noTables(p);
    noTables.BeginDecoding();
    EXPECT_THROW(DecodeStrips(gray, p, noTables), EInvalidGraphic);
    noTables.EndDecoding();
}

TEST(TIFFJPEGDecoder, TruncatedStripWarnsOnceAndDecodesWhatIsThere) {
    std::vector<std::pair<std::string, std::string>> warnings;
    auto previous = SetWarningHandler([&](const std::string& message, const std::string& caption) {
        warnings.emplace_back(message, caption);
    });
    TTiffFile tiff = ReadTiff(ReadFixture("jpeg_ycbcr.tif"));
    TImageProperties p = PropertiesOf(tiff);
    auto& strip = tiff.Strips[0];
    strip.resize(strip.size() / 2);
    tiff.Strips.resize(1);
    TTIFFJPEGDecoder decoder(p);
    decoder.BeginDecoding();
    const auto image = DecodeStrips(tiff, p, decoder);
    decoder.EndDecoding();
    SetWarningHandler(previous);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].first, "JPEG decompression error. Unexpected end of input.");
    EXPECT_EQ(warnings[0].second, "Warning");
    // The blocks before the cut are right.
    EXPECT_LE(ColorError(image, p.Width, 16, 8), 12);

    // Every cut of every strip stays within its buffers.
    SetWarningHandler([](const std::string&, const std::string&) {});
    const TTiffFile whole = ReadTiff(ReadFixture("jpeg_rgb.tif"));
    for (size_t cut = 0; cut < whole.Strips[0].size(); cut += 13) {
        TTiffFile part = whole;
        part.Strips.resize(1);
        part.Strips[0].resize(cut);
        TImageProperties q = PropertiesOf(part);
        TTIFFJPEGDecoder d(q);
        d.BeginDecoding();
        try {
            DecodeStrips(part, q, d);
        } catch (const EInvalidGraphic&) {
        }
        d.EndDecoding();
    }
    SetWarningHandler(previous);
}

TEST(Warning, HandlerIsReplaceableAndNeverRaises) {
    int calls = 0;
    auto previous = SetWarningHandler([&](const std::string&, const std::string&) {
        ++calls;
        throw EInvalidGraphic("from the handler");
    });
    EXPECT_NO_THROW(ShowWarning("text", "Warning"));
    EXPECT_EQ(calls, 1);
    // An empty handler restores the default, which prints to the error output.
    SetWarningHandler({});
    testing::internal::CaptureStderr();
    ShowWarning("text", "Warning");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: text\n");
    SetWarningHandler(previous);
}
