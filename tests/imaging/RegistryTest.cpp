// The library's format registry and its mirror in the global picture registry, with test
// classes standing in for the readers of the full start-up table.
#include "imaging/FileFormatList.h"
#include "imaging/formats/AutodeskGraphic.h"
#include "imaging/formats/EPSGraphic.h"
#include "imaging/formats/TIFFGraphic.h"

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/JPEGImage.h"
#include "platform/graphics/Metafile.h"
#include "platform/graphics/Picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include <utility>

namespace {

#define TEST_READER(Name, Parent)                                                                  \
    class Name : public Parent {                                                                   \
    public:                                                                                        \
        DECLARE_GRAPHIC_CLASS()                                                                    \
    };                                                                                             \
    DEFINE_GRAPHIC_CLASS(Name, Parent)

TEST_READER(TTestTarga, TBitmap)
TEST_READER(TTestTIFF, TBitmap)
TEST_READER(TTestEPS, TTestTIFF)
TEST_READER(TTestPCX, TBitmap)
TEST_READER(TTestRLA, TBitmap)
TEST_READER(TTestSGI, TBitmap)
TEST_READER(TTestPSD, TBitmap)
TEST_READER(TTestPPM, TBitmap)
TEST_READER(TTestAutodesk, TBitmap)
TEST_READER(TTestPCD, TBitmap)
TEST_READER(TTestGIF, TBitmap)
TEST_READER(TTestCUT, TBitmap)
TEST_READER(TTestPSP, TBitmap)
TEST_READER(TTestPNG, TBitmap)

// The whole start-up table: the library's own rows, then the readers' rows with the test
// classes.
std::vector<TFormatRegistration> FullTable() {
    const std::span<const TFormatRegistration> real = FormatRegistrations();
    auto realRow = [&](const std::string& extension) {
        return std::find_if(real.begin(), real.end(),
                            [&](const auto& row) { return row.Extension == extension; });
    };
    const TFileKinds raster{fkRaster}, tiff{fkMultiImage, fkRaster}, psd{fkLayers, fkRaster};
    const std::vector<TFormatRegistration> readers = {
        {"win", &TTestTarga::ClassRef, "Truevision images", "", raster},
        {"vst", &TTestTarga::ClassRef, "", "", raster},
        {"vda", &TTestTarga::ClassRef, "", "", raster},
        {"tga", &TTestTarga::ClassRef, "", "", raster},
        {"icb", &TTestTarga::ClassRef, "", "", raster},
        {"tiff", &TTestTIFF::ClassRef, "Tagged image file format images", "Macintosh TIFF images",
         tiff},
        {"tif", &TTestTIFF::ClassRef, "", "PC TIF images", tiff},
        {"fax", &TTestTIFF::ClassRef, "", "GFI fax images", tiff},
        {"eps", &TTestEPS::ClassRef, "Encapsulated Postscript images", "", raster},
        {"pcx", &TTestPCX::ClassRef, "ZSoft Paintbrush images", "", raster},
        {"pcc", &TTestPCX::ClassRef, "", "", raster},
        {"scr", &TTestPCX::ClassRef, "", "Word 5.x screen capture images", raster},
        {"rpf", &TTestRLA::ClassRef, "Alias/Wavefront images", "", raster},
        {"rla", &TTestRLA::ClassRef, "", "", raster},
        {"sgi", &TTestSGI::ClassRef, "SGI images", "SGI true color images", raster},
        {"rgba", &TTestSGI::ClassRef, "", "SGI true color images with alpha", raster},
        {"rgb", &TTestSGI::ClassRef, "", "SGI true color images", raster},
        {"bw", &TTestSGI::ClassRef, "", "SGI black/white images", raster},
        {"psd", &TTestPSD::ClassRef, "Photoshop images", "", psd},
        {"pdd", &TTestPSD::ClassRef, "", "", psd},
        {"ppm", &TTestPPM::ClassRef, "Portable map images", "Portable pixel map images", raster},
        {"pgm", &TTestPPM::ClassRef, "", "Portable gray map images", raster},
        {"pbm", &TTestPPM::ClassRef, "", "Portable bitmap images", raster},
        {"cel", &TTestAutodesk::ClassRef, "Autodesk images", "", raster},
        {"pic", &TTestAutodesk::ClassRef, "Autodesk images", "", raster},
        {"pcd", &TTestPCD::ClassRef, "Kodak Photo-CD images", "", raster},
        {"gif",
         &TTestGIF::ClassRef,
         "CompuServe images",
         "",
         {fkAnimation, fkMultiImage, fkRaster}},
        {"cut", &TTestCUT::ClassRef, "Dr. Halo images", "", raster},
        {"psp", &TTestPSP::ClassRef, "Paintshop Pro images", "", {fkRaster, fkVector}},
        {"png", &TTestPNG::ClassRef, "Portable network graphic images", "", raster},
    };
    // The library's own rows, then one row per reader extension in table order: the real
    // reader's where it is registered, else the test class's.
    std::vector<TFormatRegistration> rows;
    for (const TFormatRegistration& row : real) {
        if (std::none_of(readers.begin(), readers.end(),
                         [&](const auto& reader) { return reader.Extension == row.Extension; }))
            rows.push_back(row);
    }
    for (const TFormatRegistration& reader : readers)
        rows.push_back(realRow(reader.Extension) != real.end() ? *realRow(reader.Extension)
                                                               : reader);
    return rows;
}

const TFormatRegistration* FindRow(std::span<const TFormatRegistration> rows,
                                   const std::string& extension) {
    for (const TFormatRegistration& row : rows)
        if (row.Extension == extension) return &row;
    return nullptr;
}

// The whole shut-down order over FullTable's classes.
std::vector<TFormatRemoval> FullRemovals() {
    const std::vector<TFormatRegistration> table = FullTable();
    auto classOf = [&table](const char* extension) {
        return FindRow(table, extension)->GraphicClass;
    };
    std::vector<TFormatRemoval> steps;
    for (const char* ext :
         {"psp", "psd", "tga", "tiff", "sgi", "pcx", "cel", "pcd", "ppm", "cut", "gif", "rla"})
        steps.push_back({"", classOf(ext)});
    steps.push_back({"rle", &TBitmap::ClassRef});
    steps.push_back({"dib", &TBitmap::ClassRef});
    steps.push_back({"", classOf("png")});
    return steps;
}

TEST(RegistrationTable, ReadersRowsAndShutDownStepsKeepTheirPlaces) {
    // Every row of the library's table is one of the full table's, in the same order.
    const std::vector<TFormatRegistration> full = FullTable();
    size_t at = 0;
    for (const TFormatRegistration& row : FormatRegistrations()) {
        while (at < full.size() && full[at].Extension != row.Extension) ++at;
        ASSERT_LT(at, full.size()) << row.Extension << " is missing or out of order";
        EXPECT_EQ(full[at].GraphicClass, row.GraphicClass);
        EXPECT_EQ(full[at].CommonDescription, row.CommonDescription) << row.Extension;
        EXPECT_EQ(full[at].IndividualDescription, row.IndividualDescription) << row.Extension;
        EXPECT_EQ(full[at].FileKinds, row.FileKinds) << row.Extension;
    }
    // Likewise every shut-down step.
    const std::vector<TFormatRemoval> steps = FullRemovals();
    at = 0;
    for (const TFormatRemoval& step : FormatRemovals()) {
        while (at < steps.size() && (steps[at].Extension != step.Extension ||
                                     steps[at].GraphicClass() != step.GraphicClass()))
            ++at;
        ASSERT_LT(at, steps.size()) << "a shut-down step is missing or out of order";
    }
}

// The global registry as the program's start-up leaves it before the library's table: the
// system's four formats and the JPEG class's two.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        FinalizeJPEGImage();
        FinalizePictureFormats();
        InitializeJPEGImage();
    }
    void TearDown() override {
        FinalizeJPEGImage();
        FinalizePictureFormats();
    }
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// The global registry's records after the program's start-up, from the last registered to the
// first (the filter's order): extension and description.
const std::vector<std::pair<std::string, std::string>>& FilterRecords() {
    static const std::vector<std::pair<std::string, std::string>> records = {
        {"png", "Portable network graphic images"},
        {"psp", "Paintshop Pro images"},
        {"cut", "Dr. Halo images"},
        {"gif", "CompuServe images"},
        {"pcd", "Kodak Photo-CD images"},
        {"pic", "Autodesk images"},
        {"cel", "Autodesk images"},
        {"pbm", "Portable bitmap images"},
        {"pgm", "Portable gray map images"},
        {"ppm", "Portable pixel map images"},
        {"pdd", "Photoshop images"},
        {"psd", "Photoshop images"},
        {"bw", "SGI black/white images"},
        {"rgb", "SGI true color images"},
        {"rgba", "SGI true color images with alpha"},
        {"sgi", "SGI true color images"},
        {"rla", "Alias/Wavefront images"},
        {"rpf", "Alias/Wavefront images"},
        {"scr", "Word 5.x screen capture images"},
        {"pcc", "ZSoft Paintbrush images"},
        {"pcx", "ZSoft Paintbrush images"},
        {"eps", "Encapsulated Postscript images"},
        {"fax", "GFI fax images"},
        {"tif", "PC TIF images"},
        {"tiff", "Macintosh TIFF images"},
        {"icb", "Truevision images"},
        {"tga", "Truevision images"},
        {"vda", "Truevision images"},
        {"vst", "Truevision images"},
        {"win", "Truevision images"},
        {"dib", "Device independant Windows bitmaps"},
        {"rle", "Run length encoded Windows bitmaps"},
        {"jpeg", "JPEG images"},
        {"jpe", "JPE images"},
        {"jpg", "JPG images"},
        {"jfif", "JFIF images"},
        {"emf", "Windows enhanced meta files"},
        {"wmf", "Windows metafiles"},
        {"ico", "Windows icons"},
        {"bmp", "Windows bitmaps"},
        {"jpg", "Fichier image JPEG"},
        {"jpeg", "Fichier image JPEG"},
        {"bmp", "Bitmaps"},
        {"ico", "Icônes"},
        {"emf", "MétaFichiers évolués"},
        {"wmf", "MétaFichiers"}};
    return records;
}

// The open dialog's filter over those records.
std::string ExpectedFilter() {
    std::string masks, items;
    // Appended piece by piece: GCC 12 reports a false -Wrestrict in an inlined
    // `const char* + std::string` at -O3.
    for (const auto& [ext, description] : FilterRecords()) {
        if (!masks.empty()) masks += ';';
        masks.append("*.").append(ext);
        if (!items.empty()) items += '|';
        items.append(description).append(" (*.").append(ext).append(")|*.").append(ext);
    }
    std::string filter = "Tout (";
    filter.append(masks).append(")|").append(masks).append("|").append(items);
    return filter;
}

TEST_F(RegistryTest, FullTableGivesTheFilterOfFortySixRecords) {
    {
        TFileFormatList list;
        RegisterFormats(list, FullTable());
        EXPECT_EQ(list.ExtensionCount(), 40u);
        EXPECT_EQ(list.ClassCount(), 18u);
        ASSERT_EQ(GetFileFormats().Records().size(), 46u);

        const std::string filter = BuildPictureFilter(TGraphic::ClassRef());
        EXPECT_EQ(filter, ExpectedFilter());
        const std::vector<std::string> parts = Split(filter, '|');
        const std::vector<std::string> maskList = Split(parts[1], ';');
        ASSERT_EQ(maskList.size(), 46u);
        EXPECT_EQ(maskList.front(), "*.png");
        EXPECT_EQ(maskList.back(), "*.wmf");

        // Later registrations shadow the system's own ones with the same classes.
        EXPECT_EQ(FindPictureClass("bmp"), TBitmap::ClassRef());
        EXPECT_EQ(FindPictureClass("JPG"), TJPEGImage::ClassRef());
        EXPECT_EQ(FindPictureClass("pcc"), FindRow(FullTable(), "pcx")->GraphicClass());

        UnregisterFormats(list, FullRemovals());
        // Left: bmp, ico, wmf, emf, the four JPEG extensions and eps, whose global records
        // went with the TIFF class where it derives from it...
        EXPECT_EQ(list.ExtensionCount(), 9u);
        const std::vector<TFormatRegistration> table = FullTable();
        const TGraphicClass eps = FindRow(table, "eps")->GraphicClass();
        if (eps->InheritsFrom(FindRow(table, "tiff")->GraphicClass())) {
            EXPECT_EQ(FindPictureClass("eps"), nullptr);
        }
    }
    // ...which the registry's destruction unregisters with the remaining classes.
    EXPECT_TRUE(GetFileFormats().Records().empty());
}

TEST_F(RegistryTest, SecondExtensionOfAClassGetsTheCommonDescription) {
    TFileFormatList list;
    list.AddFormat("pcx", "ZSoft Paintbrush images", "", {fkRaster}, TTestPCX::ClassRef());
    list.AddFormat("pcc", "", "", {fkRaster}, TTestPCX::ClassRef());
    list.AddFormat("scr", "", "Word 5.x screen capture images", {fkRaster}, TTestPCX::ClassRef());
    ASSERT_EQ(list.ClassCount(), 1u);
    EXPECT_EQ(list.ClassEntry(0).Description, "ZSoft Paintbrush images");
    EXPECT_EQ(list.ClassEntry(0).Count, 3);
    const auto& records = GetFileFormats().Records();
    EXPECT_EQ(records[records.size() - 2].Extension, "pcc");
    EXPECT_EQ(records[records.size() - 2].Description, "ZSoft Paintbrush images");
    EXPECT_EQ(records.back().Description, "Word 5.x screen capture images");
    EXPECT_EQ(list.ExtensionEntry(1).Description, "");
    EXPECT_EQ(list.ExtensionEntry(1).ClassReference, &list.ClassEntry(0));

    // A later non-empty common description replaces the class's.
    list.AddFormat("dcx", "Multi-page images", "", {fkRaster}, TTestPCX::ClassRef());
    EXPECT_EQ(list.ClassEntry(0).Description, "Multi-page images");
    EXPECT_EQ(GetFileFormats().Records().back().Description, "Multi-page images");
}

TEST_F(RegistryTest, ExtensionsAreMatchedRegardlessOfCase) {
    TFileFormatList list;
    list.AddFormat("TGA", "Truevision images", "", {fkRaster}, TTestTarga::ClassRef());
    EXPECT_EQ(list.IndexOfExtension("tga"), 0);
    EXPECT_EQ(list.IndexOfExtension("Tga"), 0);
    EXPECT_EQ(list.ExtensionEntry(0).Extension, "TGA");
    EXPECT_EQ(GetFileFormats().Records().back().Extension, "tga");
    EXPECT_EQ(FindPictureClass("tga"), TTestTarga::ClassRef());
    EXPECT_EQ(FindPictureClass("TGA"), TTestTarga::ClassRef());
    EXPECT_EQ(list.IndexOfExtension(""), -1);
    EXPECT_EQ(list.IndexOfExtension("tg"), -1);
}

TEST_F(RegistryTest, RegisteringTwiceRaisesAndChangesNothing) {
    TFileFormatList list;
    list.AddFormat("tga", "Truevision images", "", {fkRaster}, TTestTarga::ClassRef());
    const size_t records = GetFileFormats().Records().size();
    try {
        list.AddFormat("TGA", "Other", "", {fkRaster}, TTestPCX::ClassRef());
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Attempt to register TGA twice.");
    }
    EXPECT_EQ(list.ExtensionCount(), 1u);
    EXPECT_EQ(list.ClassCount(), 1u);
    EXPECT_EQ(list.IndexOfClass(TTestPCX::ClassRef()), -1);
    EXPECT_EQ(GetFileFormats().Records().size(), records);

    // An empty extension registers nothing.
    list.AddFormat("", "Nothing", "", {fkRaster}, TTestPCX::ClassRef());
    EXPECT_EQ(list.ClassCount(), 1u);
    EXPECT_EQ(GetFileFormats().Records().size(), records);
}

TEST_F(RegistryTest, RemovingOneExtensionKeepsTheGlobalRecordUntilTheClassGoes) {
    TFileFormatList list;
    RegisterFormats(list, FormatRegistrations());
    const int bitmap = list.IndexOfClass(TBitmap::ClassRef());
    ASSERT_GE(bitmap, 0);
    EXPECT_EQ(list.ClassEntry(size_t(bitmap)).Count, 3);

    list.RemoveFormat("rle", TBitmap::ClassRef());
    EXPECT_EQ(list.IndexOfExtension("rle"), -1);
    EXPECT_EQ(list.ClassEntry(size_t(bitmap)).Count, 2);
    EXPECT_EQ(FindPictureClass("rle"), TBitmap::ClassRef());

    // An unknown extension or class is ignored.
    list.RemoveFormat("rle", TBitmap::ClassRef());
    list.RemoveFormat("", TTestPNG::ClassRef());
    EXPECT_EQ(list.ClassEntry(size_t(bitmap)).Count, 2);

    // The class argument is not consulted for a registered extension.
    list.RemoveFormat("dib", TTestPNG::ClassRef());
    EXPECT_EQ(list.ClassEntry(size_t(bitmap)).Count, 1);
    list.RemoveFormat("bmp", nullptr);
    EXPECT_EQ(list.IndexOfClass(TBitmap::ClassRef()), -1);
    EXPECT_EQ(FindPictureClass("rle"), nullptr);
    EXPECT_EQ(FindPictureClass("bmp"), nullptr);
    EXPECT_EQ(FindPictureClass("ico"), TIcon::ClassRef());
}

TEST_F(RegistryTest, RemovingAClassTakesExtensionsRegisteredFarApart) {
    TFileFormatList list;
    list.AddFormat("cel", "Autodesk images", "", {fkRaster}, TTestAutodesk::ClassRef());
    for (const char* ext : {"ppm", "pgm", "pbm"})
        list.AddFormat(ext, "Portable map images", "", {fkRaster}, TTestPPM::ClassRef());
    list.AddFormat("pic", "Autodesk images", "", {fkRaster}, TTestAutodesk::ClassRef());
    list.AddFormat("png", "Portable network graphic images", "", {fkRaster}, TTestPNG::ClassRef());

    list.RemoveFormat("", TTestAutodesk::ClassRef());
    EXPECT_EQ(list.IndexOfClass(TTestAutodesk::ClassRef()), -1);
    EXPECT_EQ(list.IndexOfExtension("cel"), -1);
    EXPECT_EQ(list.IndexOfExtension("pic"), -1);
    ASSERT_EQ(list.ExtensionCount(), 4u);
    EXPECT_EQ(list.ExtensionEntry(0).Extension, "ppm");
    EXPECT_EQ(list.ExtensionEntry(3).Extension, "png");
    EXPECT_EQ(list.ExtensionEntry(3).ClassReference, &list.ClassEntry(1));
    EXPECT_EQ(FindPictureClass("cel"), nullptr);
    EXPECT_EQ(FindPictureClass("pgm"), TTestPPM::ClassRef());
}

TEST_F(RegistryTest, FileKindsAreStoredAsOneByte) {
    static_assert(sizeof(TFileKinds) == 1);
    EXPECT_EQ((TFileKinds{fkAnimation, fkMultiImage, fkRaster}.Bits), 13);
    EXPECT_EQ((TFileKinds{fkRaster, fkVector}.Bits), 24);
    EXPECT_EQ((TFileKinds{fkLayers, fkRaster}.Bits), 10);
    EXPECT_TRUE(TFileKinds{fkVector}.Contains(fkVector));
    EXPECT_FALSE(TFileKinds{fkVector}.Contains(fkRaster));
}

// The program's start-up chain and its shut-down, entered more than once.
TEST(ImagingStartup, RunsOnceAndShutsDownWithTheLastExit) {
    FinalizePictureFormats();
    EXPECT_EQ(FileFormatList(), nullptr);
    {
        TImagingLibrary outer;
        ASSERT_NE(FileFormatList(), nullptr);
        const auto& records = GetFileFormats().Records();
        ASSERT_EQ(records.size(), 4u + 2u + FormatRegistrations().size());
        const char* order[] = {"wmf", "emf", "ico", "bmp", "jpeg", "jpg", "bmp", "ico"};
        for (size_t i = 0; i < std::size(order); ++i) EXPECT_EQ(records[i].Extension, order[i]);
        EXPECT_EQ(GetFileFormats().DescriptionOf(0), "MétaFichiers");
        EXPECT_EQ(records[4].Description, "Fichier image JPEG");
        {
            TImagingLibrary inner;
            EXPECT_EQ(records.size(), 4u + 2u + FormatRegistrations().size());
        }
        EXPECT_NE(FileFormatList(), nullptr);
        EXPECT_EQ(FindPictureClass("dib"), TBitmap::ClassRef());
        EXPECT_EQ(FindPictureClass("jpe"), TJPEGImage::ClassRef());
        EXPECT_EQ(FindPictureClass("emf"), TMetafile::ClassRef());
        EXPECT_EQ(FindPictureClass("TIF"), TTIFFGraphic::ClassRef());
        EXPECT_EQ(FindPictureClass("fax"), TTIFFGraphic::ClassRef());
        EXPECT_EQ(FindPictureClass("eps"), TEPSGraphic::ClassRef());
        EXPECT_EQ(FindPictureClass("pic"), TAutodeskGraphic::ClassRef());
    }
    EXPECT_EQ(FileFormatList(), nullptr);
    // A surplus exit changes nothing; the next start-up starts afresh.
    FinalizeImaging();
    TImagingLibrary again;
    EXPECT_EQ(GetFileFormats().Records().size(), 4u + 2u + FormatRegistrations().size());
}

// The program's start-up with every reader of the library: the global registry holds the 46
// records and the open dialog's filter reads exactly so. It needs every reader class of the
// start-up table registered, so it is left out of the default run until they all are.
TEST(ImagingStartup, RegistersTheFortySixRecordsOfTheOpenDialogsFilter) {
    FinalizePictureFormats();
    TImagingLibrary library;
    const auto& records = GetFileFormats().Records();
    ASSERT_EQ(records.size(), 46u);
    const auto& expected = FilterRecords();
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t at = records.size() - 1 - i;
        EXPECT_EQ(records[at].Extension, expected[i].first) << i;
        EXPECT_EQ(GetFileFormats().DescriptionOf(at), expected[i].second) << i;
    }
    EXPECT_EQ(BuildPictureFilter(TGraphic::ClassRef()), ExpectedFilter());
}

} // namespace
