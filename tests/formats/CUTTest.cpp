#include "FormatTestSupport.h"

#include "imaging/FileFormatList.h"
#include "imaging/formats/CUTGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Picture.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

using namespace formats_test;

namespace {

std::string CutPath(const std::string& name) {
    return DataPath("cut/" + name);
}

// A folder of its own for files a test writes.
class CUTFiles : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("cut_test_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }
    std::filesystem::path folder_;
};

// A palette file whose header states `colors` colours, holding `stored` of them.
Bytes PaletteFile(uint16_t colors, size_t stored) {
    Bytes file = {'A', 'H'};
    file.resize(12);
    PutLE16(file, uint16_t(colors - 1));
    file.resize(40);
    for (size_t i = 0; i < stored; ++i) {
        if (file.size() % 512 > 506) file.resize((file.size() / 512 + 1) * 512);
        for (int c = 0; c < 3; ++c) PutLE16(file, uint16_t(i * 10 + c));
    }
    return file;
}

} // namespace

TEST_F(CUTFiles, FilesLoadedByNameTakeThePaletteBesideThem) {
    // 100 colours over two blocks, a 16-colour palette file in capitals (indices beyond it
    // black), 300 colours stated (the first 256 taken), no palette file (a grey ramp).
    for (const char* name : {"halo100.cut", "upper.cut", "colors300.cut", "nopalette.cut"}) {
        SCOPED_TRACE(name);
        TCUTGraphic image;
        image.LoadFromFile(CutPath(name));
        EXPECT_EQ(image.PixelFormat(), bf8Bit);
        EXPECT_LE(image.Palette().Count(), 256u);
        EXPECT_EQ(
            CompareWithReference(image, ReadReference(CutPath(std::string(name) + ".rgba.gz"))),
            "");
    }
    TCUTGraphic image;
    image.LoadFromFile(CutPath("halo100.cut"));
    EXPECT_EQ(image.Palette().Count(), 100u);
    EXPECT_EQ(image.ImageProperties.Compression, ckRunLength);
    EXPECT_EQ(TCUTGraphic::PaletteFileName("/a.b/c.CUT"), "/a.b/c.pal");
    EXPECT_EQ(TCUTGraphic::PaletteFileName("/a.b/c"), "/a.b/c.pal");
}

TEST_F(CUTFiles, StreamLoadsShowGreyEvenAfterALoadByName) {
    TCUTGraphic image;
    image.LoadFromFile(CutPath("halo100.cut"));
    TMemoryStream stream(ReadFile(CutPath("halo100.cut")));
    image.LoadFromStream(stream);
    ASSERT_EQ(image.Palette().Count(), 256u);
    EXPECT_EQ(image.Palette()[77], (TRGBQuad{77, 77, 77, 0}));
    EXPECT_FALSE(Recognized<TCUTGraphic>(ReadFile(CutPath("halo100.cut"))));

    // The picture-open path: the registry picks the class by extension and loads by name.
    TImagingLibrary library;
    TPicture picture;
    picture.LoadFromFile(CutPath("halo100.cut"));
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(picture.Graphic()->ClassType(), TCUTGraphic::ClassRef());
    EXPECT_EQ(CompareWithReference(*picture.Graphic()->AsBitmap(),
                                   ReadReference(CutPath("halo100.cut.rgba.gz"))),
              "");
}

TEST_F(CUTFiles, PaletteFilesShorterThanTheirColoursRaise) {
    const Bytes cut = ReadFile(CutPath("halo100.cut"));
    const std::string image = Write("short.cut", cut);
    // 78 colours fit the first block; the 79th is in the second, which is missing.
    Write("short.pal", PaletteFile(100, 78));
    TCUTGraphic graphic;
    try {
        graphic.LoadFromFile(image);
        FAIL() << "no error";
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot load image. The CUT palette file \"" +
                                             (folder_ / "short.pal").string() +
                                             "\" ends before the colours it states.");
    }
    Write("short.pal", Bytes{'A', 'H', 0});
    EXPECT_THROW(graphic.LoadFromFile(image), EInvalidGraphic);
    // Exactly as many as it states loads; each colour takes the low byte of its words.
    Write("short.pal", PaletteFile(79, 79));
    graphic.LoadFromFile(image);
    EXPECT_EQ(graphic.Palette().Count(), 79u);
    EXPECT_EQ(graphic.Palette()[78], (TRGBQuad{14, 13, 12, 0}));
}

TEST(CUTReader, DamagedFilesRaiseAndNeverOverrun) {
    const Bytes good = ReadFile(CutPath("halo100.cut"));
    for (size_t size = 0; size < good.size(); ++size) {
        const std::string error =
            LoadError<TCUTGraphic>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(size)));
        ASSERT_NE(error, "no error") << "cut at " << size;
    }
    EXPECT_EQ(LoadError<TCUTGraphic>({1, 0, 2, 0}),
              "Cannot load image. The CUT file holds too little data for the image size it "
              "states.");
    // Rows whose lengths and runs say more than the width: each row stops at the width.
    const Bytes wide = {2, 0, 2, 0, 0, 0, 4, 0, 0x85, 7, 0, 5, 0, 0x03, 1, 2, 3, 0};
    const auto image = Load<TCUTGraphic>(wide);
    EXPECT_EQ(image->ScanLine(0)[1], 7);
    EXPECT_EQ(image->ScanLine(1)[1], 2);
    // A 65535 x 65535 claim in a hundred bytes fails at once.
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    huge.resize(100, 0x81);
    EXPECT_NE(LoadError<TCUTGraphic>(huge), "no error");
    EXPECT_LT(PeakResidentKB() - before, 8 * 1024);
}

// Files of a megabyte shaped to cost much: each fails, or loads no more than the file can hold,
// within a fraction of a second of processor time.
TEST(CUTReader, HostileMegabyteFilesCostLittle) {
    const size_t megabyte = size_t(1) << 20;
    const std::clock_t start = std::clock();
    // Rows of no pixels (a byte count and the end byte).
    Bytes rows = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    while (rows.size() < megabyte) rows.insert(rows.end(), {1, 0, 0});
    EXPECT_NE(LoadError<TCUTGraphic>(rows), "no error");
    // One row whose packets go on for the whole file.
    Bytes row = {64, 0, 1, 0, 0, 0, 0xFF, 0xFF};
    while (row.size() < megabyte) row.insert(row.end(), {0x81, 7});
    row.push_back(0);
    EXPECT_EQ(Load<TCUTGraphic>(row)->ScanLine(0)[63], 7);
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, HostileCpuSeconds);
}
