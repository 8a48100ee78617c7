// The image library as a Qt image-format plugin: any Qt program reads the library's formats
// through QImageReader. The plugin answers for the extensions of the formats Qt does not read
// itself, and for the format name "chronolith", which reads every format of the library.
#include "imaging/FileFormatList.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"
#include "platform/qt/BitmapImage.h"
#include "platform/qt/QtImage.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QSize>
#include <QVariant>
#include <QtDebug>

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

// The format name that stands for every format of the library.
constexpr char AnyFormat[] = "chronolith";

struct TKey {
    const char* Name;
    // Whether a device of unnamed format is taken as this format when its content is
    // recognised. Off for formats without a signature, whose recognition would claim files of
    // other formats.
    bool ByContent;
};

// The extensions the plugin answers for (the plugin's metadata lists the same keys).
constexpr TKey Keys[] = {
    {"pcx", true},  {"pcc", true},  {"scr", true},  {"rla", true},  {"rpf", true}, {"sgi", true},
    {"rgb", true},  {"rgba", true}, {"bw", true},   {"psd", true},  {"pdd", true}, {"cel", false},
    {"pic", false}, {"pcd", true},  {"cut", false}, {"psp", true},  {"eps", true}, {"fax", true},
    {"win", false}, {"vst", false}, {"vda", false}, {"icb", false},
};

const TKey* FindKey(const QByteArray& format) {
    for (const TKey& key : Keys)
        if (format == key.Name) return &key;
    return nullptr;
}

// The library's reader classes, in registration order.
std::vector<TGraphicClass> LibraryClasses() {
    std::vector<TGraphicClass> classes;
    if (const TFileFormatList* list = FileFormatList())
        for (size_t i = 0; i < list->ClassCount(); ++i) {
            const TGraphicClass graphicClass = list->ClassEntry(i).GraphicClass;
            if (graphicClass && graphicClass->InheritsFrom(TImageGraphic::ClassRef()))
                classes.push_back(graphicClass);
        }
    return classes;
}

// The library class registered for an extension, or null.
TGraphicClass LibraryClassOf(const std::string& extension) {
    const TGraphicClass graphicClass = FindPictureClass(extension);
    return graphicClass && graphicClass->InheritsFrom(TImageGraphic::ClassRef()) ? graphicClass
                                                                                 : nullptr;
}

bool Recognizes(TGraphicClass graphicClass, TStream& stream) {
    return TImageGraphic::Recognize(graphicClass, stream);
}

// The bytes a random-access device holds from its position, without moving it; null for a
// sequential device or when there are more than `limit`.
QByteArray PeekAll(QIODevice& device, qint64 limit) {
    if (device.isSequential()) return {};
    const qint64 available = device.size() - device.pos();
    if (available <= 0 || available > limit) return {};
    return device.peek(available);
}

// The bytes of a device from its position to its end, read piece by piece; null when there are
// more than `limit`.
QByteArray ReadAll(QIODevice& device, qint64 limit) {
    constexpr qint64 Piece = 1 << 20;
    QByteArray bytes;
    while (true) {
        const QByteArray piece = device.read(Piece);
        if (piece.isEmpty()) break;
        if (bytes.size() + piece.size() > limit) return {};
        bytes += piece;
    }
    return bytes;
}

TMemoryStream StreamOf(const QByteArray& bytes) {
    return TMemoryStream(std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())));
}

// The class that reads `stream` for a device of format `format` (one of the plugin's keys, or
// AnyFormat) and file extension `extension` (empty for a device without a file):
// - the class of the named format or the extension when it recognises the content;
// - else the first library class that recognises it (for AnyFormat, every class; for a named
//   format, the classes of the keys that may be recognised by content);
// - else the class of the named format or extension, for formats that have no signature.
TGraphicClass ChooseClass(TStream& stream, const QByteArray& format, const std::string& extension) {
    const TKey* key = FindKey(format);
    TGraphicClass named = key ? LibraryClassOf(key->Name) : nullptr;
    if (!named && format == AnyFormat) named = LibraryClassOf(extension);
    if (named && Recognizes(named, stream)) return named;
    for (const TGraphicClass candidate : LibraryClasses()) {
        bool allowed = format == AnyFormat;
        for (const TKey& other : Keys)
            allowed = allowed || (other.ByContent && LibraryClassOf(other.Name) == candidate);
        if (allowed && Recognizes(candidate, stream)) return candidate;
    }
    return named;
}

std::string ExtensionOf(const QIODevice* device) {
    const auto* file = qobject_cast<const QFile*>(device);
    return file ? ExtractFileExtension(file->fileName().toStdString()) : std::string();
}

// Bytes of a header that every reader's recognition looks at.
constexpr qint64 RecognizeBytes = 64 * 1024;

class TImageHandler : public QImageIOHandler {
public:
    bool canRead() const override {
        if (!device()) return false;
        try {
            TMemoryStream stream = StreamOf(device()->peek(RecognizeBytes));
            return ChooseClass(stream, format(), ExtensionOf(device())) != nullptr;
        } catch (const std::exception&) {
            return false;
        }
    }

    bool read(QImage* image) override {
        if (!device()) return false;
        try {
            TMemoryStream head = StreamOf(device()->peek(RecognizeBytes));
            const TGraphicClass graphicClass = ChooseClass(head, format(), ExtensionOf(device()));
            if (!graphicClass) return false;
            const std::unique_ptr<TGraphic> graphic = graphicClass->Create();
            // Asked for a size (viewers, thumbnailers), the reader may decode a smaller picture.
            if (scaledSize_.isValid())
                graphic->SetRequestedSize(scaledSize_.width(), scaledSize_.height());
            // A file at its start is loaded by name, so that a format's side files (a CUT
            // image's palette file) are found as when the library opens it; Qt resources and
            // other devices are read into memory.
            const auto* file = qobject_cast<const QFile*>(device());
            if (file && device()->pos() == 0 && !file->fileName().startsWith(u':')) {
                graphic->LoadFromFile(file->fileName().toStdString());
                device()->seek(device()->size());
            } else {
                const QByteArray bytes = ReadAll(*device(), qint64(TBitmap::MaxPixelBytes()));
                if (bytes.isEmpty()) return false;
                TMemoryStream stream = StreamOf(bytes);
                graphic->LoadFromStream(stream);
            }
            const TBitmap* bitmap = graphic->AsBitmap();
            if (!bitmap || bitmap->Empty()) return false;
            orientation_ = graphic->Orientation();
            QImage result = scaledSize_.isValid() ? ScaledImage(*bitmap, scaledSize_)
                                                  : BitmapToQImageKeepingPalette(*bitmap);
            if (result.isNull()) return false;
            *image = std::move(result);
            return true;
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
            return false;
        }
    }

    bool supportsOption(ImageOption option) const override {
        return option == Size || option == ImageFormat || option == ScaledSize ||
               option == ImageTransformation;
    }

    void setOption(ImageOption option, const QVariant& value) override {
        if (option == ScaledSize) scaledSize_ = value.toSize();
    }

    // The size and the QImage format read() gives, from the header alone (nothing for a
    // sequential device, or a reader whose header reading does not give the size, such as the
    // EPS preview's). The format is
    // what the header states: an alpha channel stored apart from the colour channels (Paintshop
    // Pro's) shows only when the image is read.
    QVariant option(ImageOption option) const override {
        if (option == ScaledSize) return scaledSize_;
        if (option == ImageTransformation && orientation_ >= 0)
            return int(TransformationOf(uint8_t(orientation_)));
        if (!supportsOption(option) || !device()) return {};
        try {
            const QByteArray bytes = PeekAll(*device(), qint64(TBitmap::MaxPixelBytes()));
            if (bytes.isEmpty()) return {};
            TMemoryStream stream = StreamOf(bytes);
            const TGraphicClass graphicClass = ChooseClass(stream, format(), ExtensionOf(device()));
            if (!graphicClass) return {};
            const std::unique_ptr<TGraphic> graphic = graphicClass->Create();
            auto* reader = dynamic_cast<TImageGraphic*>(graphic.get());
            if (!reader || !reader->ReadImageHeader(stream, 0)) return {};
            const TImageProperties& header = reader->ImageProperties;
            if (header.Width == 0 || header.Height == 0) return {};
            if (option == Size) return QSize(int(header.Width), int(header.Height));
            if (option == ImageTransformation) return int(TransformationOf(header.Orientation));
            return int(FormatOf(header));
        } catch (const std::exception&) {
            return {};
        }
    }

private:
    // The picture at exactly `size`: shrunk by block averages, then filtered the rest of the way.
    static QImage ScaledImage(const TBitmap& bitmap, QSize size) {
        const QImage image = BitmapToQImage(bitmap, size * 2);
        if (image.isNull() || image.size() == size) return image;
        return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }

    // How Qt turns the stored picture upright (mirror, then flip, then a quarter clockwise, as
    // the orientation's steps).
    static Transformations TransformationOf(uint8_t orientation) {
        const TOrientationSteps steps = OrientationSteps(orientation);
        Transformations transformations = TransformationNone;
        if (steps.Mirror) transformations |= TransformationMirror;
        if (steps.Flip) transformations |= TransformationFlip;
        if (steps.Rotate) transformations |= TransformationRotate90;
        return transformations;
    }

    QSize scaledSize_;
    int orientation_ = -1; // the orientation of the picture read, -1 before a read

    static QImage::Format FormatOf(const TImageProperties& header) {
        if (header.HasAlpha || header.ColorModel == cmRGBAlpha || header.ColorModel == cmBGRAlpha ||
            header.ColorModel == cmGrayAlpha)
            return QImage::Format_ARGB32;
        const bool fewSamples = header.BitsPerSample <= 8 && header.SamplesPerPixel <= 1;
        if (fewSamples && (header.ColorModel == cmPalette || header.ColorModel == cmGray))
            return QImage::Format_Indexed8;
        return QImage::Format_RGB32;
    }
};

} // namespace

class TImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "chronolith.json")

public:
    // Qt keeps a plugin until the program exits, without destroying it; the library is shut
    // down by a static of its own, destroyed before the statics the start-up made.
    TImagePlugin() {
        InstallQtImageReader();
        static const TImagingLibrary library;
    }

    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
        if (format == AnyFormat || FindKey(format)) return CanRead;
        if (!format.isEmpty() || !device || !device->isReadable()) return {};
        TImageHandler probe;
        probe.setDevice(device);
        return probe.canRead() ? CanRead : Capabilities();
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
        // Qt takes ownership of the handler it asked for.
        auto handler = std::make_unique<TImageHandler>();
        handler->setDevice(device);
        handler->setFormat(format);
        return handler.release();
    }
};

#include "ImagePlugin.moc"
