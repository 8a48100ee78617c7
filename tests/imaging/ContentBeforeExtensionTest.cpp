// A file whose extension lies loads with the reader that recognises its content; a file no
// reader recognises fails with the message of its extension's reader.
#include "imaging/FileFormatList.h"
#include "imaging/formats/PNGGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/JPEGImage.h"
#include "platform/graphics/Picture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
const fs::path Data = CHRONOLITH_TEST_DATA;

// A copy of a test file under another name in a fresh folder.
std::string CopyAs(const fs::path& source, const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / "chronolith-content-test";
    fs::create_directories(folder);
    const fs::path target = folder / name;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target.string();
}

TEST(ContentBeforeExtension, LyingExtensionsLoadByContent) {
    const TImagingLibrary library;
    TPicture picture;
    picture.LoadFromFile(CopyAs(Data / "formats/png/basn2c08.png", "photo.pbm"));
    EXPECT_EQ(picture.Graphic()->ClassType(), TPNGGraphic::ClassRef());
    EXPECT_EQ(picture.Width(), 32);
    picture.LoadFromFile(CopyAs(Data / "platform/jpeg_rgb.jpg", "camera.tif"));
    EXPECT_EQ(picture.Graphic()->ClassType(), TJPEGImage::ClassRef());

    // Content no reader recognises keeps the extension's reader and its message.
    const std::string text = CopyAs(Data / "platform/make-fixtures.sh", "notes.tif");
    try {
        picture.LoadFromFile(text);
        FAIL() << "a text file loaded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected TIF/TIFF image format.");
    }
}

} // namespace
