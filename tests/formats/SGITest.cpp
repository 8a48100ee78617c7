#include "FormatTestSupport.h"
#include "PaintTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/SGIGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace formats_test;

namespace {

void PutBE16(Bytes& out, uint16_t value) {
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

Bytes SgiHeader(uint8_t storage, uint8_t bytesPerChannel, uint16_t width, uint16_t height,
                uint16_t channels, uint16_t dimension = 3) {
    Bytes out;
    PutBE16(out, 474);
    out.push_back(storage);
    out.push_back(bytesPerChannel);
    PutBE16(out, dimension);
    PutBE16(out, width);
    PutBE16(out, height);
    PutBE16(out, channels);
    out.resize(512, 0);
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A run-length file of one grey channel whose rows are `packets`, placed one after another
// after the tables in the order given by `order` (row indices).
Bytes SgiRunLength(uint16_t width, const std::vector<Bytes>& packets,
                   const std::vector<size_t>& order) {
    const size_t rows = packets.size();
    std::vector<uint32_t> starts(rows), lengths(rows);
    Bytes data;
    uint32_t at = uint32_t(512 + 8 * rows);
    for (size_t row : order) {
        starts[row] = at + uint32_t(data.size());
        lengths[row] = uint32_t(packets[row].size());
        data.insert(data.end(), packets[row].begin(), packets[row].end());
    }
    Bytes out = SgiHeader(1, 1, width, uint16_t(rows), 1);
    for (uint32_t s : starts) PutBE32(out, s);
    for (uint32_t l : lengths) PutBE32(out, l);
    return Concat(out, data);
}

} // namespace

TEST(SGIReader, FilesOfIndependentEncodersLoadPixelForPixel) {
    EXPECT_GE(ExpectFixturesMatchReferences<TSGIGraphic>("sgi", ".sgi"), 14u);
}

TEST(SGIReader, RecognizeChecksMagicDepthAndDimension) {
    const Bytes file = Concat(SgiHeader(0, 1, 1, 1, 1), {7});
    EXPECT_TRUE(Recognized<TSGIGraphic>(file));
    EXPECT_FALSE(Recognized<TSGIGraphic>(SgiHeader(0, 1, 1, 1, 1))); // the header alone
    EXPECT_FALSE(Recognized<TSGIGraphic>(Concat(SgiHeader(0, 3, 1, 1, 1), {7})));
    EXPECT_FALSE(Recognized<TSGIGraphic>(Concat(SgiHeader(0, 1, 1, 1, 1, 4), {7})));
    Bytes wrong = file;
    wrong[1] = 0xDB;
    EXPECT_FALSE(Recognized<TSGIGraphic>(wrong));
    EXPECT_EQ(LoadError<TSGIGraphic>(wrong),
              "Cannot load image. Invalid or unexpected sgi, bw or rgb(a) image format.");
}

TEST(SGIReader, VerbatimChannelsFollowEachOtherAndTheFirstRowIsTheBottom) {
    // 2 x 1 RGB: R0 R1 G0 G1 B0 B1.
    auto image = Load<TSGIGraphic>(Concat(SgiHeader(0, 1, 2, 1, 3), {10, 11, 20, 21, 30, 31}));
    ASSERT_EQ(image->PixelFormat(), bf24Bit);
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{31, 21, 11, 255}));
    EXPECT_EQ(image->ImageProperties.ColorModel, cmRGB);
    EXPECT_TRUE(image->ImageProperties.Flags.Contains(flBigEndian));

    image = Load<TSGIGraphic>(Concat(SgiHeader(0, 1, 1, 2, 1), {1, 2}));
    EXPECT_EQ(image->ScanLine(1)[0], 1);
    EXPECT_EQ(image->ScanLine(0)[0], 2);
}

TEST(SGIReader, SixteenBitGreyConvertsThroughTheColourManager) {
    const auto image =
        Load<TSGIGraphic>(Concat(SgiHeader(0, 2, 2, 1, 1), {0x12, 0x34, 0xFF, 0xFF}));
    ASSERT_EQ(image->PixelFormat(), bf8Bit);
    EXPECT_EQ(image->ScanLine(0)[0], 0x1234 * 255 / 65535);
    EXPECT_EQ(image->ScanLine(0)[1], 255);
    EXPECT_EQ(image->ImageProperties.BitsPerSample, 16);
}

TEST(SGIReader, RowTablesAreUsedAsStoredAndCountBytes) {
    // Rows stored top first (in reverse): each row is found through its table entry.
    const Bytes file = SgiRunLength(3, {{0x03, 1, 0}, {0x83, 4, 5, 6, 0}}, {1, 0});
    auto image = Load<TSGIGraphic>(file);
    EXPECT_EQ(image->ScanLine(1)[2], 1);
    EXPECT_EQ(image->ScanLine(0)[0], 4);
    EXPECT_EQ(image->ScanLine(0)[2], 6);

    // 16-bit rows: the lengths are bytes, and the last row ends at the end of the file.
    Bytes wide = SgiHeader(1, 2, 2, 1, 1);
    PutBE32(wide, 520);
    PutBE32(wide, 6);
    wide = Concat(wide, {0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00});
    image = Load<TSGIGraphic>(wide);
    EXPECT_EQ(image->ScanLine(0)[1], 255);

    // A row that ends early keeps zeros.
    image = Load<TSGIGraphic>(SgiRunLength(3, {{0x01, 9, 0}}, {0}));
    EXPECT_EQ(image->ScanLine(0)[0], 9);
    EXPECT_EQ(image->ScanLine(0)[1], 0);
}

TEST(SGIReader, TablesThatLieAreRefusedBeforeAnyRowIsRead) {
    Bytes file = SgiRunLength(3, {{0x03, 1, 0}, {0x03, 2, 0}}, {0, 1});
    Bytes beyond = file;
    beyond[512 + 7] = 0xF0; // the second row starts past the end
    EXPECT_EQ(LoadError<TSGIGraphic>(beyond),
              "Cannot load image. The sgi, bw or rgb(a) file states an invalid row start 752 "
              "with length 3.");
    Bytes longer = file;
    longer[512 + 8 + 3] = 200; // the first row is longer than the file
    EXPECT_NE(LoadError<TSGIGraphic>(longer).find("invalid row start 528 with length 200"),
              std::string::npos);
    // Tables of 65535 rows in a small file.
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(1, 1, 65535, 65535, 4), Bytes(100, 0))),
              "Cannot load image. The sgi, bw or rgb(a) data ends unexpectedly.");
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(0, 2, 65535, 65535, 4), Bytes(100, 0))),
              "Cannot load image. The sgi, bw or rgb(a) data ends unexpectedly.");
    EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
}

TEST(SGIReader, ChannelCountsAndDepthsOutsideTheFormatFail) {
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(0, 1, 1, 1, 5), Bytes(5, 0))),
              "Sample count per pixel does not correspond to the given color scheme.");
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(0, 1, 1, 1, 0), Bytes(5, 0))),
              "Sample count per pixel does not correspond to the given color scheme.");
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(0, 33, 1, 1, 1), Bytes(40, 0))),
              "Cannot load image. The sgi, bw or rgb(a) file states an invalid bytes per "
              "channel 33.");
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(0, 1, 0, 1, 1), Bytes(5, 0))),
              "The sgi, bw or rgb(a) image size is invalid (0 x 1 pixels).");
}

TEST(SGIReader, FilesCutAtEveryLengthRaise) {
    for (const char* name : {"sgi/nb_rgb_rle.sgi", "sgi/nb_gray16_rle.sgi", "sgi/pil_rgba.sgi"}) {
        SCOPED_TRACE(name);
        const Bytes file = ReadFile(DataPath(name));
        ExpectEveryCutFailsCleanly<TSGIGraphic>(file, file.size());
    }
}

TEST(SGIReader, HostileRowTablesCostNoMoreThanTheFileHolds) {
    TBudgetScope budget(size_t(256) << 20);
    // 128 KB of empty row tables stating 65535 x 4096 x 4 channels.
    EXPECT_EQ(LoadError<TSGIGraphic>(Concat(SgiHeader(1, 1, 65535, 4096, 4), Bytes(128 << 10, 0))),
              "Cannot load image. The sgi, bw or rgb(a) file holds too little data for the "
              "image size it states.");
    // Every row of 512 x 32767 sharing one row of 1 MB: only what a row's samples can take is
    // read, and that one row cannot hold the image.
    const uint16_t height = 32767;
    const uint32_t data = 512 + 8 * height, length = 1 << 20;
    Bytes shared = SgiHeader(1, 1, 512, height, 1);
    for (int i = 0; i < height; ++i) PutBE32(shared, data);
    for (int i = 0; i < height; ++i) PutBE32(shared, length);
    for (uint32_t i = 0; i < length; i += 2) shared.insert(shared.end(), {0x7F, 0x55});
    const std::clock_t start = std::clock();
    EXPECT_EQ(LoadError<TSGIGraphic>(shared),
              "Cannot load image. The sgi, bw or rgb(a) file holds too little data for the "
              "image size it states.");
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, 0.5);
}
