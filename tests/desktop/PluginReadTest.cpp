// Reads a file of every library format through the installed Qt image plugin (QT_PLUGIN_PATH
// points at the installed plugins) and compares the pixels with the library's own decode.
#include "imaging/FileFormatList.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Picture.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

const std::string Data = CHRONOLITH_TEST_DATA "/formats/";

// One file of each library format, with 1-, 4-, 8-, 15/16-, 24- and 32-bit images among them.
const char* const Files[] = {
    "autodesk/py_palette.cel", "autodesk/py_depth16.pic",
    "cut/colors300.cut",       "eps/eps_lzw_pred.eps",
    "gif/im_interlaced.gif",   "pcd/overview.pcd",
    "pcx/im_palette.pcx",      "png/basn3p01.png",
    "pcx/nb_packed4.pcx",      "png/basn6a08.png",
    "pnm/hd_comments.ppm",     "psd/im_cmyk16_rle.psd",
    "psd/im_rgba_rle.psd",     "psp/psp3_p8_none.psp",
    "psp/psp5_rgba_lz77.psp",  "rla/gamma_mac.rla",
    "sgi/im_gray.sgi",         "sgi/im_rgba.sgi",
    "tga/py_rgb15_rle.tga",    "tga/pil_rgba_rle_topdown.tga",
    "tiff/bw_gray_lzw.tif",
};

// Every pixel of `image` equals the bitmap's colour; alpha only where the image has it.
void ExpectPixels(const QImage& image, const TBitmap& bitmap, const std::string& file) {
    ASSERT_EQ(image.width(), bitmap.Width()) << file;
    ASSERT_EQ(image.height(), bitmap.Height()) << file;
    const bool alpha = image.hasAlphaChannel();
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) {
            const QRgb got = image.pixel(x, y);
            const TRGBQuad want = bitmap.PixelColor(x, y);
            if (qRed(got) != want.rgbRed || qGreen(got) != want.rgbGreen ||
                qBlue(got) != want.rgbBlue || (alpha && qAlpha(got) != want.rgbReserved)) {
                ADD_FAILURE() << file << " differs at " << x << "," << y;
                return;
            }
        }
}

// A device that can only be read forward, as a pipe or a socket.
class TSequentialDevice : public QIODevice {
public:
    explicit TSequentialDevice(QByteArray bytes) : bytes_(std::move(bytes)) {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 count = std::min(maxSize, qint64(bytes_.size()) - done_);
        std::copy_n(bytes_.constData() + done_, count, data);
        done_ += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray bytes_;
    qint64 done_ = 0;
};

class PluginRead : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(std::getenv("QT_PLUGIN_PATH"), nullptr) << "run through ctest";
    }
    TImagingLibrary library_;
};

TEST_F(PluginRead, OffersItsFormats) {
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const char* key : {"chronolith", "pcx", "psd", "psp", "sgi", "pcd", "cut", "rla", "cel"})
        EXPECT_TRUE(formats.contains(key)) << key;
    EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/vnd.adobe.photoshop"));
}

TEST_F(PluginRead, EveryFormatGivesTheLibrarysPixels) {
    for (const char* name : Files) {
        const std::string file = Data + name;
        TPicture picture;
        picture.LoadFromFile(file);
        const TBitmap& bitmap = *picture.Graphic()->AsBitmap();

        QImageReader reader(QString::fromStdString(file), "chronolith");
        // The EPS reader has no header reading of its preview; Qt then learns both on reading.
        const bool headerKnown = !file.ends_with(".eps");
        const QSize size = reader.size();
        const QImage::Format announced = reader.imageFormat();
        if (headerKnown) {
            EXPECT_EQ(size, QSize(bitmap.Width(), bitmap.Height())) << name;
        }
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << name << ": " << reader.errorString().toStdString();
        // A Paintshop Pro alpha channel is stored apart from the header's colour channels.
        if (headerKnown && !file.ends_with("rgba_lz77.psp")) {
            EXPECT_EQ(announced, image.format()) << name;
        }
        const bool indexed = bitmap.BitsPerPixel() <= 8;
        EXPECT_EQ(image.format() == QImage::Format_Indexed8, indexed) << name;
        ExpectPixels(image, bitmap, name);
    }
}

// Viewers and thumbnailers ask for a size and for the picture upright.
TEST_F(PluginRead, ScaledSizeAndOrientation) {
    QImageReader scaled(QString::fromStdString(Data + "psd/im_rgb_rle.psd"), "chronolith");
    const QSize full = scaled.size();
    scaled.setScaledSize(full / 3);
    EXPECT_EQ(scaled.read().size(), full / 3);

    // Stored rows turned a quarter clockwise (orientation 6): Qt shows them upright.
    const std::string file = Data + "psd/exif_orientation.psd";
    TPicture picture;
    picture.LoadFromFile(file);
    const std::unique_ptr<TBitmap> upright = UprightCopy(*picture.Graphic()->AsBitmap(), 6);
    QImageReader reader(QString::fromStdString(file), "chronolith");
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    EXPECT_EQ(reader.transformation(), QImageIOHandler::TransformationRotate90);
    ExpectPixels(image, *upright, file);
}

// Formats Qt does not read itself are found by extension, and those with a signature by their
// content too (here from a buffer, without a file name).
TEST_F(PluginRead, FoundByExtensionAndByContent) {
    for (const char* name : {"pcx/im_palette.pcx", "psd/im_rgba_rle.psd", "psp/psp3_p8_none.psp",
                             "sgi/im_gray.sgi", "cut/colors300.cut", "autodesk/py_palette.cel"}) {
        const std::string file = Data + name;
        TPicture picture;
        picture.LoadFromFile(file);
        const QImage byName(QString::fromStdString(file));
        ASSERT_FALSE(byName.isNull()) << name;
        ExpectPixels(byName, *picture.Graphic()->AsBitmap(), name);
    }
    for (const char* name : {"pcx/im_palette.pcx", "psd/im_rgba_rle.psd", "psp/psp3_p8_none.psp",
                             "sgi/im_gray.sgi", "pcd/overview.pcd"}) {
        QFile file(QString::fromStdString(Data + name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        EXPECT_FALSE(reader.read().isNull()) << name << ": " << reader.errorString().toStdString();
    }
}

// A sequential device is read to its end piece by piece.
TEST_F(PluginRead, SequentialDevice) {
    const std::string name = Data + "psd/im_rgba_rle.psd";
    QFile file(QString::fromStdString(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    TSequentialDevice device(file.readAll());
    QImageReader reader(&device, "chronolith");
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
    TPicture picture;
    picture.LoadFromFile(name);
    ExpectPixels(image, *picture.Graphic()->AsBitmap(), name);
}

// A damaged file: read fails, nothing escapes into Qt.
TEST_F(PluginRead, DamagedFileFails) {
    QFile file(QString::fromStdString(Data + "psd/im_rgba_rle.psd"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll().left(200);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "psd");
    EXPECT_TRUE(reader.read().isNull());
    QByteArray text("not an image at all");
    QBuffer other(&text);
    other.open(QIODevice::ReadOnly);
    QImageReader any(&other, "chronolith");
    EXPECT_FALSE(any.canRead());
    EXPECT_TRUE(any.read().isNull());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
