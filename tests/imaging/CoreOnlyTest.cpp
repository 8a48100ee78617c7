// The image core without Qt: this program links the library alone (CMake checks that its link
// line holds no Qt), and a file of each reader's format loads through the picture registry as in
// any program. Windows bitmaps and icons, which only a windowing system's reader decodes, fail
// with a message saying so.
#include "imaging/FileFormatList.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Picture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string Data = CHRONOLITH_TEST_DATA;

TEST(CoreOnly, EveryReaderLoadsThroughTheRegistry) {
    const TImagingLibrary library;
    const char* files[] = {
        "formats/tga/pil_rgba_rle_topdown.tga",
        "formats/tiff/bw_gray_lzw.tif",
        "formats/eps/eps_lzw_pred.eps",
        "formats/pcx/im_palette.pcx",
        "formats/rla/gamma_mac.rla",
        "formats/sgi/im_gray.sgi",
        "formats/psd/im_rgba_rle.psd",
        "formats/pnm/hd_comments.ppm",
        "formats/autodesk/py_palette.cel",
        "formats/pcd/overview.pcd",
        "formats/gif/im_interlaced.gif",
        "formats/cut/colors300.cut",
        "formats/psp/psp5_rgba_lz77.psp",
        "formats/png/basn6a08.png",
        "platform/jpeg_rgb.jpg",
    };
    for (const char* file : files) {
        SCOPED_TRACE(file);
        TPicture picture;
        ASSERT_NO_THROW(picture.LoadFromFile(Data + "/" + file));
        EXPECT_GT(picture.Width(), 0);
        EXPECT_GT(picture.Height(), 0);
    }
}

TEST(CoreOnly, WindowsBitmapsNeedASystemReader) {
    const TImagingLibrary library;
    TPicture picture;
    try {
        picture.LoadFromFile(Data + "/platform/bmp8.bmp");
        FAIL() << "a bitmap loaded without a system image reader";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. This program has no reader for bitmap files.");
    }
}

} // namespace
