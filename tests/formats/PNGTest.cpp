#include "FormatTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/PNGGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <gtest/gtest.h>

#include <memory>

using namespace formats_test;

namespace {

// A 3 x 2 8-bit grey image, unfiltered: 10 20 30 / 40 50 60.
const Bytes GrayRows = {0, 10, 20, 30, 0, 40, 50, 60};

Bytes GrayPNG(const std::vector<Bytes>& beforeData = {}, const std::vector<Bytes>& afterData = {},
              const char* end = "IEND") {
    std::vector<Bytes> chunks = {PngChunk("IHDR", PngHeaderData(3, 2, 8, 0))};
    chunks.insert(chunks.end(), beforeData.begin(), beforeData.end());
    chunks.push_back(PngChunk("IDAT", Deflate(GrayRows)));
    chunks.insert(chunks.end(), afterData.begin(), afterData.end());
    chunks.push_back(PngChunk(end, {}));
    return PngFile(chunks);
}

void ExpectGrayPixels(const TBitmap& image) {
    ASSERT_EQ(image.Width(), 3);
    ASSERT_EQ(image.Height(), 2);
    EXPECT_EQ(image.PixelColor(0, 0).rgbRed, 10);
    EXPECT_EQ(image.PixelColor(2, 0).rgbGreen, 30);
    EXPECT_EQ(image.PixelColor(1, 1).rgbBlue, 50);
}

// A chunk whose stored CRC is wrong.
Bytes BadCrcChunk(const char* type, const Bytes& data) {
    Bytes chunk = PngChunk(type, data);
    chunk.back() ^= 1;
    return chunk;
}

const std::string CriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";

} // namespace

TEST(PNGReader, FilesOfIndependentEncodersLoadPixelForPixel) {
    const auto files = DataFiles("png", ".png");
    ASSERT_GE(files.size(), 70u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadFile(DataPath("png/" + name));
        EXPECT_TRUE(Recognized<TPNGGraphic>(bytes));
        const auto image = Load<TPNGGraphic>(bytes);
        EXPECT_EQ(CompareWithReference(*image, ReadReference(DataPath("png/" + name + ".rgba.gz"))),
                  "");
    }
}

TEST(PNGReader, OneImageObjectLoadsFileAfterFile) {
    // Gamma, depth and palette settings of one load do not leak into the next.
    TPNGGraphic image;
    for (const char* name : {"basn0g02.png", "im_filter_paeth_rgb8.png", "basn3p04.png",
                             "im_filter_up_rgb16.png", "basn0g16.png", "pil_bilevel.png"}) {
        SCOPED_TRACE(name);
        TMemoryStream stream(ReadFile(DataPath(std::string("png/") + name)));
        image.DecodeImage(stream);
        EXPECT_EQ(CompareWithReference(
                      image, ReadReference(DataPath(std::string("png/") + name + ".rgba.gz"))),
                  "");
    }
}

TEST(PNGReader, RecognizeNeedsMoreThanTheSignature) {
    Bytes bytes = GrayPNG();
    bytes.resize(9);
    EXPECT_TRUE(Recognized<TPNGGraphic>(bytes));
    bytes.resize(8);
    EXPECT_FALSE(Recognized<TPNGGraphic>(bytes));
    bytes = GrayPNG();
    bytes[1] = 'Q';
    EXPECT_FALSE(Recognized<TPNGGraphic>(bytes));
}

TEST(PNGReader, HeaderPropertiesAndGamma) {
    TPNGGraphic image;
    TMemoryStream plain(GrayPNG());
    ASSERT_TRUE(image.ReadImageHeader(plain, 0));
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.Width, 3u);
    EXPECT_EQ(p.Height, 2u);
    EXPECT_EQ(p.ColorModel, cmGray);
    EXPECT_EQ(p.Compression, ckDeflate);
    EXPECT_EQ(p.BitsPerPixel, 8);
    EXPECT_TRUE(p.Flags.Contains(flBigEndian));
    EXPECT_FLOAT_EQ(p.SourceGamma, 1.0f);
    EXPECT_EQ(plain.Position(), plain.Size()); // walked to the end chunk

    Bytes gamma;
    PutBE32(gamma, 45455);
    TMemoryStream withGamma(GrayPNG({PngChunk("gAMA", gamma)}));
    ASSERT_TRUE(image.ReadImageHeader(withGamma, 0));
    EXPECT_FLOAT_EQ(image.ImageProperties.SourceGamma, 0.45455f);

    TMemoryStream rgba(ReadFile(DataPath("png/ibasn6a16.png")));
    ASSERT_TRUE(image.ReadImageHeader(rgba, 0));
    EXPECT_TRUE(image.ImageProperties.HasAlpha);
    EXPECT_TRUE(image.ImageProperties.Interlaced);
    EXPECT_EQ(image.ImageProperties.SamplesPerPixel, 4);
    EXPECT_EQ(image.ImageProperties.BitsPerSample, 16);

    // Zero width is no image.
    TMemoryStream zero(PngFile({PngChunk("IHDR", PngHeaderData(0, 2, 8, 0))}));
    EXPECT_FALSE(image.ReadImageHeader(zero, 0));
    EXPECT_EQ(LoadError<TPNGGraphic>(zero.Data()),
              "Cannot load image. Invalid or unexpected PNG image format.");
}

TEST(PNGReader, ChunkNamesMatchInAnyCase) {
    ExpectGrayPixels(*Load<TPNGGraphic>(GrayPNG({}, {}, "iend")));
    // Image data chunks in lower case count as image data.
    Bytes bytes = PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                           PngChunk("idat", Deflate(GrayRows)), PngChunk("IEND", {})});
    ExpectGrayPixels(*Load<TPNGGraphic>(bytes));
}

TEST(PNGReader, UnknownChunksAncillarySkippedCriticalFatal) {
    ExpectGrayPixels(
        *Load<TPNGGraphic>(GrayPNG({PngChunk("teSt", {1, 2, 3})}, {PngChunk("zzZz", {9})})));
    EXPECT_EQ(LoadError<TPNGGraphic>(GrayPNG({PngChunk("TEST", {1})})), CriticalChunk);
    EXPECT_EQ(LoadError<TPNGGraphic>(GrayPNG({}, {PngChunk("TEST", {1})})), CriticalChunk);
    // The chunk right after the image data is passed over unread: a palette there is an
    // unexpected critical chunk, a background or transparency chunk is skipped unchecked.
    EXPECT_EQ(LoadError<TPNGGraphic>(GrayPNG({}, {PngChunk("PLTE", {1, 2, 3})})), CriticalChunk);
    ExpectGrayPixels(*Load<TPNGGraphic>(GrayPNG({}, {BadCrcChunk("bKGD", {0, 1})})));
    ExpectGrayPixels(*Load<TPNGGraphic>(GrayPNG({}, {BadCrcChunk("tRNS", {0, 1})})));
    // A second header is critical too.
    EXPECT_EQ(LoadError<TPNGGraphic>(GrayPNG({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0))})),
              CriticalChunk);
}

TEST(PNGReader, ErrorMessages) {
    EXPECT_EQ(LoadError<TPNGGraphic>(GrayPNG({BadCrcChunk("gAMA", {0, 1, 0x86, 0xA0})})),
              "Cannot load image. CRC error found in PNG file.");
    Bytes badData = GrayPNG();
    badData[8 + 25 + 10] ^= 0xFF; // inside the image data, whose CRC no longer matches
    EXPECT_EQ(LoadError<TPNGGraphic>(badData), "Cannot load image. CRC error found in PNG file.");

    EXPECT_EQ(LoadError<TPNGGraphic>(
                  PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0, 0, 1)),
                           PngChunk("IDAT", Deflate(GrayRows)), PngChunk("IEND", {})})),
              "Cannot load image. The compression scheme is not supported for PNG files.");
    for (auto [depth, type] :
         {std::pair<uint8_t, uint8_t>{8, 5}, {3, 0}, {4, 2}, {16, 3}, {4, 6}}) {
        EXPECT_EQ(LoadError<TPNGGraphic>(
                      PngFile({PngChunk("IHDR", PngHeaderData(3, 2, depth, type)),
                               PngChunk("IDAT", Deflate(GrayRows)), PngChunk("IEND", {})})),
                  "Invalid color format in PNG file.");
    }

    // Broken deflate data; deflate data that ends before the last row; data after the end.
    Bytes broken = Deflate(GrayRows);
    broken[2] = 0xFF;
    EXPECT_EQ(LoadError<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                                              PngChunk("IDAT", broken), PngChunk("IEND", {})})),
              "Cannot load image. Compression error found in PNG file.");
    EXPECT_EQ(LoadError<TPNGGraphic>(
                  PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                           PngChunk("IDAT", Deflate(Bytes(GrayRows.begin(), GrayRows.begin() + 6))),
                           PngChunk("IEND", {})})),
              "Cannot load image. Extra compressed data found in PNG file.");
    Bytes trailing = Deflate(GrayRows);
    trailing.push_back(0x42);
    EXPECT_EQ(LoadError<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                                              PngChunk("IDAT", trailing), PngChunk("IEND", {})})),
              "Cannot load image. Extra compressed data found in PNG file.");
}

TEST(PNGReader, PaletteLengths) {
    Bytes palette(768);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i / 3);
    const Bytes indices = {0, 0, 255, 128};
    const auto image = Load<TPNGGraphic>(
        PngFile({PngChunk("IHDR", PngHeaderData(3, 1, 8, 3)), PngChunk("PLTE", palette),
                 PngChunk("IDAT", Deflate(indices)), PngChunk("IEND", {})}));
    EXPECT_EQ(image->Palette().Count(), 256u);
    EXPECT_EQ(image->PixelColor(1, 0).rgbGreen, 255);
    EXPECT_EQ(image->PixelColor(2, 0).rgbBlue, 128);

    palette.resize(770);
    EXPECT_EQ(LoadError<TPNGGraphic>(
                  PngFile({PngChunk("IHDR", PngHeaderData(3, 1, 8, 3)), PngChunk("PLTE", palette),
                           PngChunk("IDAT", Deflate(indices)), PngChunk("IEND", {})})),
              "Cannot load image. Palette in PNG file is invalid.");
    // A palette in a grey image is read and ignored.
    ExpectGrayPixels(*Load<TPNGGraphic>(GrayPNG({PngChunk("PLTE", {1, 2, 3})})));
}

TEST(PNGReader, PixelFormatsByColourType) {
    // 16-bit samples are big-endian: 0x1234 shows as 0x1234 * 255 / 65535 = 18.
    const auto rgb16 = Load<TPNGGraphic>(PngFile(
        {PngChunk("IHDR", PngHeaderData(1, 1, 16, 2)),
         PngChunk("IDAT", Deflate({0, 0x12, 0x34, 0xFF, 0xFF, 0, 0})), PngChunk("IEND", {})}));
    EXPECT_EQ(rgb16->PixelFormat(), bf24Bit);
    EXPECT_EQ(rgb16->PixelColor(0, 0), (TRGBQuad{0, 255, 18, 255}));

    const auto rgba = Load<TPNGGraphic>(ReadFile(DataPath("png/basn6a08.png")));
    EXPECT_EQ(rgba->PixelFormat(), bf32Bit);

    const auto gray2 = Load<TPNGGraphic>(ReadFile(DataPath("png/basn0g02.png")));
    EXPECT_EQ(gray2->PixelFormat(), bf4Bit);
    EXPECT_EQ(gray2->Palette().Count(), 16u);

    // Grey with alpha keeps its alpha in 32-bit pixels.
    const auto grayAlpha = Load<TPNGGraphic>(ReadFile(DataPath("png/basn4a16.png")));
    EXPECT_EQ(grayAlpha->PixelFormat(), bf32Bit);
    EXPECT_EQ(grayAlpha->AlphaFormat, afDefined);

    EXPECT_TRUE(
        Load<TPNGGraphic>(ReadFile(DataPath("png/im_adam7_1x9.png")))->ImageProperties.Interlaced);
}

TEST(PNGReader, ImageDataSplitAcrossChunks) {
    const Bytes data = Deflate(GrayRows);
    std::vector<Bytes> chunks = {PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)), PngChunk("IDAT", {})};
    for (uint8_t b : data) {
        chunks.push_back(PngChunk("IDAT", {b}));
        chunks.push_back(PngChunk("IDAT", {}));
    }
    chunks.push_back(PngChunk("IEND", {}));
    ExpectGrayPixels(*Load<TPNGGraphic>(PngFile(chunks)));
}

TEST(PNGReader, FiltersIncludingUnknownTypes) {
    // Each row of a 2 x 1 RGB image: Sub, Up, Average, Paeth, then type 7, left as stored.
    const Bytes rows = {1, 10, 20, 30, 5, 5, 5, 2, 1, 1, 1, 1, 1, 1, 3, 0, 0, 0,
                        2, 2,  2,  4,  1, 2, 3, 4, 5, 6, 7, 9, 8, 7, 6, 5, 4};
    const auto image =
        Load<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(2, 5, 8, 2)),
                                   PngChunk("IDAT", Deflate(rows)), PngChunk("IEND", {})}));
    auto rgb = [&](int x, int y) {
        const TRGBQuad q = image->PixelColor(x, y);
        return std::array<int, 3>{q.rgbRed, q.rgbGreen, q.rgbBlue};
    };
    EXPECT_EQ(rgb(0, 0), (std::array<int, 3>{10, 20, 30}));
    EXPECT_EQ(rgb(1, 0), (std::array<int, 3>{15, 25, 35}));
    EXPECT_EQ(rgb(0, 1), (std::array<int, 3>{11, 21, 31}));
    EXPECT_EQ(rgb(1, 1), (std::array<int, 3>{16, 26, 36}));
    EXPECT_EQ(rgb(0, 2), (std::array<int, 3>{5, 10, 15}));  // up / 2
    EXPECT_EQ(rgb(1, 2), (std::array<int, 3>{12, 20, 27})); // (left + up) / 2 + 2
    EXPECT_EQ(rgb(0, 3), (std::array<int, 3>{6, 12, 18}));  // Paeth: up
    EXPECT_EQ(rgb(1, 3), (std::array<int, 3>{16, 25, 33})); // Paeth: up again
    EXPECT_EQ(rgb(0, 4), (std::array<int, 3>{9, 8, 7}));
    EXPECT_EQ(rgb(1, 4), (std::array<int, 3>{6, 5, 4}));
}

TEST(PNGReader, BackgroundTransparencyAndEarlyEnd) {
    // The image data holds the first row only: the second shows the bKGD colour.
    const Bytes firstRow = {0, 255, 0, 0, 0, 0, 255};
    Bytes background = {0, 10, 0, 20, 0, 30};
    Bytes key = {0, 255, 0, 0, 0, 0};
    const auto image = Load<TPNGGraphic>(
        PngFile({PngChunk("IHDR", PngHeaderData(2, 2, 8, 2)), PngChunk("bKGD", background),
                 PngChunk("tRNS", key), PngChunk("IDAT", DeflateUnfinished(firstRow)),
                 PngChunk("IEND", {})}));
    // The transparent colour is transparent; the rows the data does not reach are opaque.
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 255, 0}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{255, 0, 0, 255}));
    EXPECT_EQ(image->PixelColor(0, 1), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_EQ(image->PixelColor(1, 1), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_TRUE(image->Transparent);
    EXPECT_EQ(image->TransparentColor, RGBColor(255, 0, 0));

    // Without a background the default is white; grey backgrounds are grey levels.
    const auto white = Load<TPNGGraphic>(
        PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                 PngChunk("IDAT", DeflateUnfinished({0, 1, 2, 3})), PngChunk("IEND", {})}));
    EXPECT_EQ(white->PixelColor(2, 1), (TRGBQuad{255, 255, 255, 255}));
    const auto gray = Load<TPNGGraphic>(
        PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)), PngChunk("bKGD", {0, 77}),
                 PngChunk("IDAT", DeflateUnfinished({0, 1, 2, 3})), PngChunk("IEND", {})}));
    EXPECT_EQ(gray->PixelColor(2, 1), (TRGBQuad{77, 77, 77, 255}));
    EXPECT_FALSE(gray->Transparent);

    // Palette transparency is the palette's alpha, 255 beyond the listed entries.
    const auto indexed = Load<TPNGGraphic>(ReadFile(DataPath("png/ftp1n3p08.png")));
    EXPECT_EQ(indexed->AlphaFormat, afDefined);
    EXPECT_EQ(indexed->Palette().Entries().back().rgbReserved, 255);
    // Values beyond the depth do not fault.
    Load<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 1, 0)),
                               PngChunk("bKGD", {0xFF, 0xFF}), PngChunk("tRNS", {0xFF, 0xFF}),
                               PngChunk("IDAT", Deflate({0, 0, 0, 0})), PngChunk("IEND", {})}));
}

TEST(PNGReader, EndChunkBeforeImageDataLeavesTheBitmapEmpty) {
    const auto image =
        Load<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(3, 2, 8, 0)),
                                   PngChunk("IEND", {}), PngChunk("IDAT", Deflate(GrayRows))}));
    EXPECT_TRUE(image->Empty());
}

TEST(PNGReader, DamagedFilesRaiseButNeverOverrun) {
    const Bytes good = ReadFile(DataPath("png/basn2c16.png"));
    EXPECT_THROW(Load<TPNGGraphic>(Bytes(good.begin(), good.end() - 5)), EInvalidGraphic);
    for (size_t size = 0; size < good.size(); size += 3) {
        try {
            Load<TPNGGraphic>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(size)));
        } catch (const Exception&) {
        }
    }
    // A chunk that claims more than the stream holds raises before anything is allocated.
    Bytes liar = GrayPNG();
    liar[8 + 25 + 0] = 0x7F;
    EXPECT_THROW(Load<TPNGGraphic>(liar), EInvalidGraphic);
    // An enormous image is refused by the bitmap.
    EXPECT_THROW(
        Load<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(0x7FFFFFFF, 0x7FFFFFFF, 16, 6)),
                                   PngChunk("IDAT", Deflate(GrayRows)), PngChunk("IEND", {})})),
        EInvalidGraphic);
    EXPECT_THROW(
        Load<TPNGGraphic>(PngFile({PngChunk("IHDR", PngHeaderData(0x80000000u, 1, 8, 0)),
                                   PngChunk("IDAT", Deflate(GrayRows)), PngChunk("IEND", {})})),
        EInvalidGraphic);
}

TEST(PNGReader, GammaAfterThePaletteKeepsThePaletteDepth) {
    // 37 x 5 palette images of 1, 2 and 4 bits whose gAMA follows PLTE: pixel (x, y) shows
    // palette entry (x + y) mod 2^depth, entry i being (40 i, 255 - 40 i, 7) without gamma
    // (the gamma came too late for the palette).
    const size_t files =
        ForEachFile("regress", ".png", [](const std::string& name, const Bytes& bytes) {
            SCOPED_TRACE(name);
            const int depth = name.find("_1bit") != std::string::npos   ? 1
                              : name.find("_2bit") != std::string::npos ? 2
                                                                        : 4;
            const auto image = Load<TPNGGraphic>(bytes);
            ASSERT_EQ(image->Width(), 37);
            ASSERT_EQ(image->Height(), 5);
            EXPECT_TRUE(image->ImageProperties.Flags.Contains(flGammaCorrected));
            for (int y = 0; y < 5; ++y) {
                for (int x = 0; x < 37; ++x) {
                    const int index = (x + y) % (1 << depth);
                    const TRGBQuad pixel = image->PixelColor(x, y);
                    ASSERT_EQ(pixel,
                              (TRGBQuad{7, uint8_t(255 - 40 * index), uint8_t(40 * index), 255}))
                        << x << "," << y;
                }
            }
        });
    EXPECT_EQ(files, 6u);
}

TEST(PNGReader, FuzzFindingsFailCleanly) {
    // Inputs the fuzzer found overrunning the row converter (chunk CRCs repaired): gAMA after
    // PLTE in a 4-bit palette image, tRNS and gAMA after the first IDAT of an interlaced 2-bit
    // grey image. They now fail with a message of the table.
    const size_t files =
        ForEachFile("regress/fuzz", ".png", [](const std::string& name, const Bytes& bytes) {
            const std::string error = LoadError<TPNGGraphic>(bytes);
            EXPECT_TRUE(error.rfind("Cannot load image.", 0) == 0 ||
                        error == "Stream read error in PNG file.")
                << name << ": " << error;
        });
    EXPECT_EQ(files, 2u);
}

TEST(PNGReader, AskedForLessItConvertsEveryKthRowOrStopsAfterThePasses) {
    // 32 x 32 files, plain and Adam7, asked for at least 8 x 8 (k = 4), 4 x 4 (8) and 11 x 11
    // (2): every k-th pixel of every k-th row of the full load.
    for (const char* name : {"basn2c08.png", "ibasn2c08.png", "basn3p08.png", "ibasn6a16.png",
                             "ftbrn2c08.png", "iftbrn2c08.png", "ibasn0g08.png"}) {
        const Bytes bytes = ReadFile(DataPath(std::string("png/") + name));
        const auto full = Load<TPNGGraphic>(bytes);
        for (const auto& [asked, k] : {std::pair{8, 4}, std::pair{4, 8}, std::pair{11, 2}}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(asked));
            TPNGGraphic small;
            small.SetRequestedSize(asked, asked);
            small.SetSamplingMargin(1);
            TMemoryStream stream(bytes);
            small.LoadFromStream(stream);
            ASSERT_EQ(small.Width(), 32 / k);
            EXPECT_EQ(small.FullWidth(), 32);
            for (int32_t y = 0; y < small.Height(); ++y)
                for (int32_t x = 0; x < small.Width(); ++x)
                    ASSERT_EQ(small.PixelColor(x, y), full->PixelColor(x * k, y * k))
                        << x << "," << y;
            // By default sampling keeps four times the size asked for: the caller's filter
            // makes the rest.
            TPNGGraphic smooth;
            smooth.SetRequestedSize(asked, asked);
            TMemoryStream again(bytes);
            smooth.LoadFromStream(again);
            EXPECT_EQ(smooth.Width(), 32 / std::max(k / 4, 1));
        }
    }
}
