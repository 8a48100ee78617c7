#include "app/ImageWriters.h"

#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"
#include "platform/qt/BitmapImage.h"

#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

struct TWriterEntry {
    const char* Extension;
    TImageWriter Writer;
};

// Output formats by extension. A further writer is one more row here: its extension and a
// function that writes a bitmap to a stream.
constexpr TWriterEntry Writers[] = {
    {"pam", &WritePAM},
    {"png", &WritePNG},
    {"tga", &WriteTarga},
};

} // namespace

void WritePAM(const TBitmap& bitmap, TStream& stream) {
    if (bitmap.Empty()) throw EInvalidGraphic(msgEmptyImage);
    const std::string header =
        Format("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
               bitmap.Width(), bitmap.Height());
    stream.WriteBuffer(header.data(), header.size());
    const TBitmapRows rows(bitmap, TChannelOrder::RGBA);
    std::vector<uint8_t> row(size_t(bitmap.Width()) * 4);
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        rows.Convert(y, row);
        stream.WriteBuffer(row.data(), row.size());
    }
}

void WriteTarga(const TBitmap& bitmap, TStream& stream) {
    TTargaGraphic targa;
    targa.Assign(bitmap);
    targa.EncodeImage(stream);
}

void WritePNG(const TBitmap& bitmap, TStream& stream) {
    if (bitmap.Empty()) throw EInvalidGraphic(msgEmptyImage);
    const QImage image = BitmapToQImageKeepingPalette(bitmap);
    if (image.isNull()) throw EInvalidGraphic(FormatImageMessage(msgOutOfMemory, "PNG"));
    const QByteArray bytes = EncodePNG(image);
    stream.WriteBuffer(bytes.constData(), size_t(bytes.size()));
}

QByteArray EncodePNG(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) throw EInvalidGraphic(FormatImageMessage(msgCannotSave, "PNG"));
    return bytes;
}

TImageWriter FindImageWriter(const std::string& extension) {
    std::string ext = extension;
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const TWriterEntry& entry : Writers)
        if (ext == entry.Extension) return entry.Writer;
    return nullptr;
}

std::string WriterExtensions() {
    std::string list;
    for (const TWriterEntry& entry : Writers) {
        if (!list.empty()) list += ", ";
        list += entry.Extension;
    }
    return list;
}
