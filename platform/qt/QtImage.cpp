#include "platform/qt/QtImage.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/SystemImageReader.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <cstring>

namespace {

TPalette PaletteOf(const QImage& image) {
    const QVector<QRgb> table = image.colorTable();
    std::vector<TRGBQuad> entries;
    entries.reserve(std::min<size_t>(size_t(table.size()), TPalette::MaxEntries));
    for (qsizetype i = 0; i < table.size() && entries.size() < TPalette::MaxEntries; ++i)
        entries.push_back(
            {uint8_t(qBlue(table[i])), uint8_t(qGreen(table[i])), uint8_t(qRed(table[i])), 0});
    return TPalette(std::move(entries));
}

TPalette GrayPalette() {
    std::vector<TRGBQuad> entries(256);
    for (int i = 0; i < 256; ++i) entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    return TPalette(std::move(entries));
}

TBitmapFormat NearestFormat(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return bf1Bit;
    case QImage::Format_Indexed8:
        return image.colorCount() <= 16 ? bf4Bit : bf8Bit;
    case QImage::Format_Grayscale8:
        return bf8Bit;
    case QImage::Format_RGB32:
    case QImage::Format_RGB888:
        return bf24Bit;
    case QImage::Format_RGB16:
        return bf16Bit;
    case QImage::Format_RGB555:
        return bf15Bit;
    default:
        return bf32Bit;
    }
}

void CopyIndexed(TBitmap& bitmap, const QImage& source, TBitmapFormat target) {
    const int32_t width = bitmap.Width();
    if (target == bf1Bit) {
        const QImage mono = source.format() == QImage::Format_Mono
                                ? source
                                : source.convertToFormat(QImage::Format_Mono);
        bitmap.SetPalette(PaletteOf(mono));
        const size_t bytes = (size_t(width) + 7) / 8;
        for (int32_t y = 0; y < bitmap.Height(); ++y)
            std::memcpy(bitmap.ScanLine(y), mono.constScanLine(y), bytes);
        return;
    }
    if (source.format() == QImage::Format_Grayscale8) {
        bitmap.SetPalette(GrayPalette());
    } else if (source.format() != QImage::Format_Indexed8) {
        throw EInvalidGraphic(msgDirectToPalette);
    } else {
        bitmap.SetPalette(PaletteOf(source));
    }
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uchar* in = source.constScanLine(y);
        uint8_t* out = bitmap.ScanLine(y);
        if (target == bf8Bit) {
            std::memcpy(out, in, size_t(width));
        } else {
            for (int32_t x = 0; x + 1 < width; x += 2)
                out[x >> 1] = uint8_t(((in[x] & 15) << 4) | (in[x + 1] & 15));
            if (width & 1) out[width >> 1] = uint8_t((in[width - 1] & 15) << 4);
        }
    }
}

void CopyDirect(TBitmap& bitmap, const QImage& source, TBitmapFormat target) {
    // ARGB32 words are b, g, r, a in memory on this little-endian system.
    const QImage image =
        source.format() == QImage::Format_ARGB32 || source.format() == QImage::Format_RGB32
            ? source
            : source.convertToFormat(QImage::Format_ARGB32);
    const int32_t width = bitmap.Width();
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uchar* in = image.constScanLine(y);
        uint8_t* out = bitmap.ScanLine(y);
        switch (target) {
        case bf32Bit:
            if (image.format() == QImage::Format_ARGB32) {
                std::memcpy(out, in, size_t(width) * 4);
            } else {
                for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
                    out[0] = in[0];
                    out[1] = in[1];
                    out[2] = in[2];
                    out[3] = 255;
                }
            }
            break;
        case bf24Bit:
            for (int32_t x = 0; x < width; ++x, in += 4, out += 3) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
            }
            break;
        case bf15Bit:
            for (int32_t x = 0; x < width; ++x, in += 4, out += 2) {
                const unsigned v = ((in[2] >> 3) << 10) | ((in[1] >> 3) << 5) | (in[0] >> 3);
                out[0] = uint8_t(v);
                out[1] = uint8_t(v >> 8);
            }
            break;
        case bf16Bit:
            for (int32_t x = 0; x < width; ++x, in += 4, out += 2) {
                const unsigned v = ((in[2] >> 3) << 11) | ((in[1] >> 2) << 5) | (in[0] >> 3);
                out[0] = uint8_t(v);
                out[1] = uint8_t(v >> 8);
            }
            break;
        default:
            throw EInvalidGraphic(msgUnsupportedTarget);
        }
    }
}

} // namespace

void AssignQImage(TBitmap& bitmap, const QImage& image, TBitmapFormat target) {
    if (target == bfDevice || target == bfCustom) target = bf32Bit;
    bitmap.ReleaseImage();
    bitmap.SetPixelFormat(target);
    bitmap.SetSize(image.width(), image.height());
    bitmap.AlphaFormat = target == bf32Bit && image.hasAlphaChannel() ? afDefined : afIgnored;
    if (target == bf1Bit || target == bf4Bit || target == bf8Bit)
        CopyIndexed(bitmap, image, target);
    else
        CopyDirect(bitmap, image, target);
}

void DecodeWithQt(TBitmap& bitmap, std::span<const uint8_t> data, const char* format,
                  TBitmapFormat target, const char* what, int32_t width, int32_t height) {
    bitmap.ReleaseImage();
    if (data.size() > size_t(INT32_MAX))
        throw EInvalidGraphic(FormatImageMessage(msgFileTooLarge, what));
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoTransform(false);
    const QSize size = width > 0 && height > 0 ? QSize(width, height) : reader.size();
    if (!size.isValid() || size.isEmpty())
        throw EInvalidGraphic(FormatImageMessage(msgInvalidFile, what));

    // The size a header claims is checked against the bitmap's cap before decoding (a probe
    // bitmap raises with the size in its message; its untouched pages cost nothing); the
    // reader may then allocate what the decoded image needs.
    {
        TBitmap probe;
        probe.SetPixelFormat(target == bfDevice ? bf32Bit : target);
        probe.SetSize(size.width(), size.height());
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 has no allocation limit of its own: the probe above is then the only check.
    const size_t decodedBytes =
        CheckedMul(CheckedMul(size_t(size.width()), 4), size_t(size.height()));
    reader.setAllocationLimit(int(std::min<size_t>(decodedBytes / (1 << 20) + 2, INT32_MAX)));
#endif

    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        throw EInvalidGraphic(
            FormatImageMessage(msgInvalidFileReason, what, reader.errorString().toStdString()));
    }
    try {
        AssignQImage(bitmap, image, target == bfDevice ? NearestFormat(image) : target);
    } catch (...) {
        bitmap.ReleaseImage();
        throw;
    }
}

void InstallQtImageReader() {
    SetSystemImageReader(&DecodeWithQt);
}
