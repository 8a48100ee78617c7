// The global picture registry and the picture container.
#include "platform/graphics/Picture.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/Metafile.h"

#include <gtest/gtest.h>

namespace {

class TVectorPicture : public TMetafile {
public:
    DECLARE_GRAPHIC_CLASS()
};
DEFINE_GRAPHIC_CLASS(TVectorPicture, TMetafile)

class PictureRegistry : public ::testing::Test {
protected:
    void SetUp() override { FinalizePictureFormats(); }
    void TearDown() override { FinalizePictureFormats(); }
};

TEST_F(PictureRegistry, StartsWithTheSystemsFourFormats) {
    const auto& records = GetFileFormats().Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].Extension, "wmf");
    EXPECT_EQ(records[1].Extension, "emf");
    EXPECT_EQ(records[2].Extension, "ico");
    EXPECT_EQ(records[3].Extension, "bmp");
    EXPECT_EQ(records[0].GraphicClass, TMetafile::ClassRef());
    EXPECT_EQ(records[2].GraphicClass, TIcon::ClassRef());
    EXPECT_EQ(records[3].GraphicClass, TBitmap::ClassRef());
    EXPECT_EQ(BuildPictureFilter(TGraphic::ClassRef()),
              "Tout (*.bmp;*.ico;*.emf;*.wmf)|*.bmp;*.ico;*.emf;*.wmf|Bitmaps (*.bmp)|*.bmp|"
              "Icônes (*.ico)|*.ico|MétaFichiers évolués (*.emf)|*.emf|MétaFichiers (*.wmf)|*.wmf");
    // Descriptions loaded for the filter are kept.
    EXPECT_EQ(records[1].Description, "MétaFichiers évolués");
}

TEST_F(PictureRegistry, LastRegistrationWinsAndDerivedClassesGoWithTheirBase) {
    RegisterPictureFormat("WMF", "Vector", TVectorPicture::ClassRef());
    RegisterPictureFormat("vec", "", TVectorPicture::ClassRef());
    EXPECT_EQ(GetFileFormats().Records().back().Extension, "vec");
    EXPECT_EQ(FindPictureClass("wmf"), TVectorPicture::ClassRef());
    EXPECT_EQ(FindPictureClass("Wmf"), TVectorPicture::ClassRef());
    EXPECT_EQ(FindPictureClass("png"), nullptr);
    EXPECT_EQ(FindPictureClass(""), nullptr);

    // A record without any description gives an item with an empty one.
    EXPECT_EQ(BuildPictureFilter(TVectorPicture::ClassRef()),
              "Tout (*.vec;*.wmf)|*.vec;*.wmf| (*.vec)|*.vec|Vector (*.wmf)|*.wmf");

    UnregisterPictureClass(TVectorPicture::ClassRef());
    EXPECT_EQ(FindPictureClass("wmf"), TMetafile::ClassRef());
    RegisterPictureFormat("vec", "Vector", TVectorPicture::ClassRef());
    UnregisterPictureClass(TMetafile::ClassRef());
    EXPECT_EQ(FindPictureClass("vec"), nullptr);
    EXPECT_EQ(FindPictureClass("wmf"), nullptr);
    EXPECT_EQ(GetFileFormats().Records().size(), 2u);
}

TEST_F(PictureRegistry, FilterOfOneRecordIsItsItemAndOfNoneIsEmpty) {
    EXPECT_EQ(BuildPictureFilter(TBitmap::ClassRef()), "Bitmaps (*.bmp)|*.bmp");
    EXPECT_EQ(BuildPictureFilter(TVectorPicture::ClassRef()), "");
    RegisterPictureFormat("", "No extension", TVectorPicture::ClassRef());
    EXPECT_EQ(BuildPictureFilter(TVectorPicture::ClassRef()), "");
}

TEST_F(PictureRegistry, PictureRefusesAnUnknownExtensionAndKeepsItsPicture) {
    TPicture picture;
    picture.SetGraphic(std::make_unique<TBitmap>());
    try {
        picture.LoadFromFile("/nowhere/notes.Txt");
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Extension de fichier graphique inconnue (.Txt)");
    }
    EXPECT_NE(picture.Graphic(), nullptr);
    EXPECT_THROW(picture.LoadFromFile("/nowhere/missing.bmp"), EStreamError);
    EXPECT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(ExtractFileExtension("/a.b/c"), "");
    EXPECT_EQ(ExtractFileExtension("/a/c.tar.gz"), "gz");
    picture.Clear();
    EXPECT_EQ(picture.Width(), 0);
}

} // namespace
