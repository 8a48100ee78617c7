#include "FormatTestSupport.h"

#include "imaging/formats/PPMGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

using namespace formats_test;

namespace {

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
uint8_t Gray(const TBitmap& image, int32_t x, int32_t y) {
    return image.PixelColor(x, y).rgbRed;
}

const char ReadErrorText[] = "Stream read error in PPM file.";

} // namespace

TEST(PortableMapReader, FilesOfIndependentWritersLoadPixelForPixel) {
    // Every maximum value (1, 15, 100, 255, 1000, 65535), plain and raw, and headers with
    // comments, one line, tabs and CR LF.
    size_t count = 0;
    for (const char* extension : {".pbm", ".pgm", ".ppm"}) {
        count += ForEachFile("pnm", extension, [](const std::string& name, const Bytes& bytes) {
            SCOPED_TRACE(name);
            const auto image = Load<TPPMGraphic>(bytes);
            EXPECT_EQ(
                CompareWithReference(*image, ReadReference(DataPath("pnm/" + name + ".rgba.gz"))),
                "");
        });
    }
    EXPECT_GE(count, 30u);
    // Rows read through a file stream rather than taken from memory.
    for (const char* name : {"pil_rgb.ppm", "nb_rgb_max1000.ppm", "pil_gray.pgm"}) {
        TPPMGraphic image;
        image.LoadFromFile(DataPath(std::string("pnm/") + name));
        EXPECT_EQ(CompareWithReference(
                      image, ReadReference(DataPath(std::string("pnm/") + name + ".rgba.gz"))),
                  "")
            << name;
    }
}

TEST(PortableMapReader, RastersHeldInMemoryWithoutRowPaddingLoadInOneGo) {
    // Rows the bitmap takes without padding (width a multiple of 4) are converted as one block
    // when the stream holds them; they must read as the rows of a file stream do.
    for (const auto& [header, channels] :
         {std::pair{"P6 8 3 255\n", 3}, std::pair{"P5\n# grey\n12 2 255\n", 1}}) {
        SCOPED_TRACE(header);
        Bytes raster(size_t(channels) * 24);
        for (size_t i = 0; i < raster.size(); ++i) raster[i] = uint8_t(i * 37 + 11);
        const Bytes bytes = Concat(Text(header), raster);
        const auto held = Load<TPPMGraphic>(bytes);
        TPlainStream stream(bytes);
        TPPMGraphic read;
        read.LoadFromStream(stream);
        ASSERT_EQ(held->Width() * held->Height(), 24);
        for (int32_t y = 0; y < held->Height(); ++y)
            for (int32_t x = 0; x < held->Width(); ++x) {
                const uint8_t* sample = &raster[size_t(y * held->Width() + x) * channels];
                const TRGBQuad expected{sample[channels - 1], sample[channels == 3 ? 1 : 0],
                                        sample[0], 255};
                ASSERT_EQ(held->PixelColor(x, y), expected) << x << "," << y;
                ASSERT_EQ(read.PixelColor(x, y), expected) << x << "," << y;
            }
    }
}

TEST(PortableMapReader, MaximumValueScalesSamplesRoundedAndClampsBeyondIt) {
    // Maximum 15: 15 is white, 7 is 7 x 255 / 15 = 119, and 20 (beyond the maximum) white.
    const auto gray = Load<TPPMGraphic>(Text("P2 4 1 15 0 7 15 20"));
    EXPECT_EQ(Gray(*gray, 0, 0), 0);
    EXPECT_EQ(Gray(*gray, 1, 0), 119);
    EXPECT_EQ(Gray(*gray, 2, 0), 255);
    EXPECT_EQ(Gray(*gray, 3, 0), 255);
    // Two-byte raw samples, most significant byte first: 500 of 1000 is 128.
    const auto wide =
        Load<TPPMGraphic>(Concat(Text("P6 1 1 1000\n"), {0x01, 0xF4, 0x03, 0xE8, 0, 0}));
    EXPECT_EQ(wide->PixelColor(0, 0), (TRGBQuad{0, 255, 128, 255}));
    EXPECT_EQ(wide->PixelFormat(), bf24Bit);
    EXPECT_EQ(wide->ImageProperties.BitsPerSample, 16);
    // Maximum 1: a grey map of two levels.
    const auto two = Load<TPPMGraphic>(Concat(Text("P5\n2 1\n1\n"), {1, 0}));
    EXPECT_EQ(Gray(*two, 0, 0), 255);
    EXPECT_EQ(Gray(*two, 1, 0), 0);
}

TEST(PortableMapReader, HeaderNumbersFollowTheFormatsRules) {
    // On the magic line, comments between any two numbers, any white space.
    const auto oneLine = Load<TPPMGraphic>(Concat(Text("P5 3 1 255\n"), {10, 20, 30}));
    ASSERT_EQ(oneLine->Width(), 3);
    EXPECT_EQ(Gray(*oneLine, 2, 0), 30);
    const auto comments =
        Load<TPPMGraphic>(Concat(Text("P5#a\n#b\n2\t# w\n#\n#\n1\v255#end\n"), {40, 50}));
    ASSERT_EQ(comments->Width(), 2);
    EXPECT_EQ(Gray(*comments, 0, 0), 40);
    EXPECT_EQ(Gray(*comments, 1, 0), 50);
    // The raster of a raw map starts after the one character that ends the header: a CR LF
    // after the maximum leaves the LF as the first sample.
    const auto crlf = Load<TPPMGraphic>(Concat(Text("P5\r\n2 1\r\n255\r\n"), {60}));
    EXPECT_EQ(Gray(*crlf, 0, 0), '\n');
    EXPECT_EQ(Gray(*crlf, 1, 0), 60);
    // Junk where a number should stand.
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P5 3,1 255\n...")),
              "Cannot load image. The PBM, PGM or PPM file holds an unexpected character ',' in "
              "its header.");
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P2 2 1 255 7 x")),
              "Cannot load image. The PBM, PGM or PPM file holds an unexpected character 'x' in "
              "its pixel data.");
}

TEST(PortableMapReader, PlainBitmapsTakeOneDigitAPixel) {
    // With or without separators, comments among them; 1 is black.
    for (const char* file :
         {"P1 4 2 0110 1001", "P1 4 2\n0 1 1 0\n1 0 0 1\n", "P1 4 2 01#c\n101001"}) {
        SCOPED_TRACE(file);
        const auto image = Load<TPPMGraphic>(Text(file));
        ASSERT_EQ(image->PixelFormat(), bf1Bit);
        const int expected[2][4] = {{0, 1, 1, 0}, {1, 0, 0, 1}};
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(Gray(*image, x, y), expected[y][x] ? 0 : 255) << x << "," << y;
    }
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P1 2 1 02")),
              "Cannot load image. The PBM, PGM or PPM file holds an unexpected character '2' in "
              "its pixel data.");
    // A raw bitmap of width 9 takes two bytes a row.
    const auto raw = Load<TPPMGraphic>(Concat(Text("P4 9 2\n"), {0xFF, 0x80, 0x00, 0x7F}));
    EXPECT_EQ(Gray(*raw, 8, 0), 0);
    EXPECT_EQ(Gray(*raw, 0, 1), 255);
    EXPECT_EQ(Gray(*raw, 8, 1), 255);
}

TEST(PortableMapReader, RecognitionAndOtherMagicNumbers) {
    EXPECT_TRUE(Recognized<TPPMGraphic>(Text("P6 1 1 255\n")));
    EXPECT_FALSE(Recognized<TPPMGraphic>(Text("P6 1 1 255"))); // 10 bytes
    EXPECT_FALSE(Recognized<TPPMGraphic>(Text("P7 1 1 255\n")));
    EXPECT_FALSE(Recognized<TPPMGraphic>(Text("Q6 1 1 255\n")));
    // P7 passes the header check and leaves the bitmap empty; a non-digit raises the
    // framework's conversion error; no "P" is not this format.
    EXPECT_TRUE(Load<TPPMGraphic>(Text("P7\nWIDTH 1\n"))->Empty());
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("Px 1 1")), "'x' n'est pas une valeur entière correcte");
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("GIF89a")),
              "Cannot load image. Invalid or unexpected PBM, PGM or PPM image format.");

    TPPMGraphic image;
    TMemoryStream stream(Text("P3\n# c\n300 200\n65535\n"));
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    EXPECT_EQ(image.ImageProperties.Width, 300u);
    EXPECT_EQ(image.ImageProperties.Height, 200u);
    EXPECT_EQ(image.ImageProperties.ColorModel, cmRGB);
    EXPECT_EQ(image.ImageProperties.BitsPerPixel, 48);
    EXPECT_EQ(image.ImageProperties.Compression, ckNone);
}

TEST(PortableMapReader, HostileFilesRaiseTableMessagesAndStayWithinTheirData) {
    // Cut at every length: the header or the raster raises, nothing overruns.
    for (const char* name : {"nb_rgb_max1000.ppm", "nb_plain_rgb_max15.ppm", "nb_bits.pbm",
                             "hd_comments.ppm", "nb_plain_bits.pbm"}) {
        const Bytes good = ReadFile(DataPath(std::string("pnm/") + name));
        // A plain map cut in its last number or after it still holds numbers to read.
        const bool plain = good[1] >= '1' && good[1] <= '3';
        for (size_t size = 0; size < good.size() - (plain ? 3 : 0); ++size) {
            const std::string error =
                LoadError<TPPMGraphic>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(size)));
            ASSERT_NE(error, "no error") << name << " cut at " << size;
        }
    }
    EXPECT_EQ(LoadError<TPPMGraphic>(Concat(Text("P5 4 4 255\n"), Bytes(15))), ReadErrorText);
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P5 4")), ReadErrorText);

    // A small file claiming a huge picture fails before anything is allocated.
    {
        TBudgetScope budget(size_t(64) << 20);
        const long before = PeakResidentKB();
        for (const char* header : {"P6 65535 65535 255\n", "P3 65535 65535 255\n",
                                   "P1 65535 65535\n", "P4 2000000000 2000000000\n"}) {
            SCOPED_TRACE(header);
            EXPECT_EQ(LoadError<TPPMGraphic>(Concat(Text(header), Bytes(100, '1'))), ReadErrorText);
        }
        EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
    }
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P5 1 1 0\n.")),
              "Cannot load image. The PBM, PGM or PPM file states an invalid maximum value 0.");
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P5 1 1 65536\n..")),
              "Cannot load image. The PBM, PGM or PPM file states an invalid maximum value 65536.");
    EXPECT_EQ(LoadError<TPPMGraphic>(Text("P5 3000000000 1 255\n.")),
              "The PBM, PGM or PPM image size is invalid (3000000000 x 1 pixels).");
    // Digits beyond any size stay a number (at its cap), never wrap around to a small one.
    EXPECT_NE(LoadError<TPPMGraphic>(Text("P5 18446744073709551617 1 255\n.")), "no error");
}

// Files of a megabyte shaped to cost much: each fails within a fraction of a second of
// processor time.
TEST(PortableMapReader, HostileMegabyteFilesCostLittle) {
    const size_t megabyte = size_t(1) << 20;
    const std::clock_t start = std::clock();
    // Comments where the samples should be, and digits that never end.
    Bytes comments = Text("P2 512 1024 255\n");
    while (comments.size() < megabyte) comments.insert(comments.end(), {'#', 'x', '\n'});
    EXPECT_EQ(LoadError<TPPMGraphic>(comments), ReadErrorText);
    Bytes digits = Text("P5 4 4 ");
    digits.resize(megabyte, '7');
    EXPECT_NE(LoadError<TPPMGraphic>(digits), "no error");
    EXPECT_NE(LoadError<TPPMGraphic>(Concat(Text("P6 65535 65535 255\n"), Bytes(megabyte))),
              "no error");
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, HostileCpuSeconds);
}
