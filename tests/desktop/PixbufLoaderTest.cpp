// The installed gdk-pixbuf loader (CHRONOLITH_PIXBUF_LOADER names it), driven as gdk-pixbuf
// drives it: whole files and pieces give the library's own pixels, the size is announced before
// the image, and a bad file gives the library's message as a GError.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "imaging/FileFormatList.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string Data = CHRONOLITH_TEST_DATA "/formats/";

// One file of each format the loader reads, with 1-, 4-, 8-, 16-bit and alpha images.
const char* const Files[] = {
    "autodesk/py_palette.cel", "autodesk/py_depth16.pic", "cut/colors300.cut",
    "eps/eps_lzw_pred.eps",    "eps/eps_no_preview.eps",  "pcd/overview.pcd",
    "pcx/im_palette.pcx",      "pcx/nb_packed4.pcx",      "psd/im_cmyk16_rle.psd",
    "psd/im_rgba_rle.psd",     "psp/psp3_p8_none.psp",    "psp/psp5_rgba_lz77.psp",
    "rla/gamma_mac.rla",       "sgi/im_gray.sgi",         "sgi/im_rgba.sgi",
};

std::vector<uint8_t> ReadFile(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct TPixbufDeleter {
    void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using TPixbufRef = std::unique_ptr<GdkPixbuf, TPixbufDeleter>;

struct TErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using TErrorRef = std::unique_ptr<GError, TErrorDeleter>;

// Every pixel equals the bitmap's colour; alpha exactly when the bitmap carries it.
void ExpectPixels(GdkPixbuf* pixbuf, const TBitmap& bitmap, const std::string& name) {
    ASSERT_NE(pixbuf, nullptr) << name;
    ASSERT_EQ(gdk_pixbuf_get_width(pixbuf), bitmap.Width()) << name;
    ASSERT_EQ(gdk_pixbuf_get_height(pixbuf), bitmap.Height()) << name;
    const bool alpha = bitmap.AlphaFormat == afDefined;
    ASSERT_EQ(bool(gdk_pixbuf_get_has_alpha(pixbuf)), alpha) << name;
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const uint8_t* pixels = gdk_pixbuf_read_pixels(pixbuf);
    for (int32_t y = 0; y < bitmap.Height(); ++y)
        for (int32_t x = 0; x < bitmap.Width(); ++x) {
            const uint8_t* got = pixels + y * gdk_pixbuf_get_rowstride(pixbuf) + x * channels;
            const TRGBQuad want = bitmap.PixelColor(x, y);
            if (got[0] != want.rgbRed || got[1] != want.rgbGreen || got[2] != want.rgbBlue ||
                (alpha && got[3] != want.rgbReserved)) {
                ADD_FAILURE() << name << " differs at " << x << "," << y;
                return;
            }
        }
}

// What the incremental callbacks saw.
struct TCalls {
    std::string Order;
    int DeclineWidth = -1; // the size callback answers 0 x 0 when set
    GdkPixbuf* Prepared = nullptr;
};

void OnSize(gint* width, gint* height, gpointer data) {
    auto& calls = *static_cast<TCalls*>(data);
    calls.Order += 's';
    if (calls.DeclineWidth >= 0) *width = *height = 0;
}
void OnPrepared(GdkPixbuf* pixbuf, GdkPixbufAnimation*, gpointer data) {
    auto& calls = *static_cast<TCalls*>(data);
    calls.Order += 'p';
    calls.Prepared = pixbuf;
    g_object_ref(pixbuf);
}
void OnUpdated(GdkPixbuf*, int, int, int, int, gpointer data) {
    static_cast<TCalls*>(data)->Order += 'u';
}

class PixbufLoader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* path = std::getenv("CHRONOLITH_PIXBUF_LOADER");
        ASSERT_NE(path, nullptr) << "run through ctest";
        // gdk-pixbuf never unloads a loader; neither does this test.
        void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        void* fillVtable = dlsym(module, "fill_vtable");
        void* fillInfo = dlsym(module, "fill_info");
        ASSERT_TRUE(fillVtable && fillInfo);
        reinterpret_cast<GdkPixbufModuleFillVtableFunc>(fillVtable)(&vtable_);
        reinterpret_cast<GdkPixbufModuleFillInfoFunc>(fillInfo)(&info_);
    }

    // The file through the whole-file entry.
    static TPixbufRef LoadWhole(const std::string& file, TErrorRef& error) {
        FILE* stream = std::fopen(file.c_str(), "rb");
        GError* raw = nullptr;
        TPixbufRef pixbuf(vtable_.load(stream, &raw));
        std::fclose(stream);
        error.reset(raw);
        return pixbuf;
    }

    // The bytes in pieces of `piece` bytes through the incremental entries.
    static TPixbufRef LoadPieces(const std::vector<uint8_t>& bytes, size_t piece, TCalls& calls,
                                 TErrorRef& error) {
        GError* raw = nullptr;
        gpointer context = vtable_.begin_load(OnSize, OnPrepared, OnUpdated, &calls, &raw);
        bool ok = context != nullptr;
        for (size_t at = 0; ok && at < bytes.size(); at += piece)
            ok = vtable_.load_increment(context, bytes.data() + at,
                                        guint(std::min(piece, bytes.size() - at)), &raw);
        ok = vtable_.stop_load(context, ok ? &raw : nullptr) && ok;
        error.reset(raw);
        EXPECT_EQ(ok, raw == nullptr);
        return TPixbufRef(calls.Prepared);
    }

    // The library's own decode of `bytes` as the class of `file`'s extension.
    static std::unique_ptr<TGraphic> DecodeBytes(const std::string& file,
                                                 const std::vector<uint8_t>& bytes) {
        std::unique_ptr<TGraphic> graphic = FindPictureClass(ExtractFileExtension(file))->Create();
        TMemoryStream stream(bytes);
        graphic->LoadFromStream(stream);
        return graphic;
    }

    static GdkPixbufModule vtable_;
    static GdkPixbufFormat info_;
    TImagingLibrary library_;
};

GdkPixbufModule PixbufLoader::vtable_{};
GdkPixbufFormat PixbufLoader::info_{};

TEST_F(PixbufLoader, DescribesItsFormats) {
    EXPECT_STREQ(info_.name, "chronolith");
    std::vector<std::string> types, extensions;
    for (gchar** type = info_.mime_types; *type; ++type) types.push_back(*type);
    for (gchar** extension = info_.extensions; *extension; ++extension)
        extensions.push_back(*extension);
    for (const char* type : {"image/x-paintshop-pro", "image/x-dr-halo-cut", "image/x-rla",
                             "image/x-autodesk-cel", "image/vnd.adobe.photoshop"})
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
    for (const char* extension : {"psp", "cut", "rla", "cel", "pcx", "sgi", "pcd"})
        EXPECT_NE(std::find(extensions.begin(), extensions.end(), extension), extensions.end())
            << extension;
    // gdk-pixbuf reads these itself.
    for (const char* extension : {"tga", "tif", "png", "gif", "bmp"})
        EXPECT_EQ(std::find(extensions.begin(), extensions.end(), extension), extensions.end())
            << extension;
}

// A whole file is read by name (a CUT image finds its palette beside it); pieces carry no name,
// and the format is found from the bytes.
TEST_F(PixbufLoader, WholeFilesAndPiecesGiveTheLibrarysPixels) {
    for (const char* name : Files) {
        const std::string file = Data + name;
        TPicture picture;
        picture.LoadFromFile(file);
        TErrorRef error;
        const TPixbufRef whole = LoadWhole(file, error);
        ASSERT_EQ(error, nullptr) << name << ": " << error->message;
        ExpectPixels(whole.get(), *picture.Graphic()->AsBitmap(), name);

        const std::vector<uint8_t> bytes = ReadFile(file);
        TCalls calls;
        const TPixbufRef pieces = LoadPieces(bytes, 4000, calls, error);
        ASSERT_EQ(error, nullptr) << name << ": " << error->message;
        EXPECT_EQ(calls.Order, "spu") << name;
        ExpectPixels(pieces.get(), *DecodeBytes(file, bytes)->AsBitmap(), name);
    }
}

// A caller that only wants the size (gdk_pixbuf_get_file_info) answers 0 x 0: the loader stops
// as soon as it has announced it, without an error and without decoding.
TEST_F(PixbufLoader, SizeOnly) {
    const std::vector<uint8_t> bytes = ReadFile(Data + "psd/im_rgba_rle.psd");
    TCalls calls;
    calls.DeclineWidth = 0;
    TErrorRef error;
    EXPECT_EQ(LoadPieces(bytes, 1 << 16, calls, error), nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(calls.Order, "s");
}

// A damaged file fails with the library's own message, whole or in pieces; data no reader
// takes fails too.
TEST_F(PixbufLoader, DamagedFilesGiveTheLibrarysMessage) {
    const std::string file = Data + "psd/im_rgba_rle.psd";
    std::vector<uint8_t> bytes = ReadFile(file);
    bytes.resize(bytes.size() / 2);
    std::string expected;
    try {
        DecodeBytes(file, bytes);
    } catch (const std::exception& e) {
        expected = e.what();
    }
    ASSERT_FALSE(expected.empty());
    TCalls calls;
    TErrorRef error;
    EXPECT_EQ(LoadPieces(bytes, 1000, calls, error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, GDK_PIXBUF_ERROR);
    EXPECT_EQ(error->message, expected);

    const std::string text = "not an image at all";
    TCalls none;
    EXPECT_EQ(LoadPieces(std::vector<uint8_t>(text.begin(), text.end()), 5, none, error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(none.Order.find('p'), std::string::npos);
}

} // namespace
