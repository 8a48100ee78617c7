#include "app/ImageWriters.h"

#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/Bitmap.h"
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

uint8_t Widen5(unsigned v) {
    return uint8_t((v << 3) | (v >> 2));
}
uint8_t Widen6(unsigned v) {
    return uint8_t((v << 2) | (v >> 4));
}

// One row of any pixel format into RGBA bytes.
void RowToRGBA(const TBitmap& bitmap, const uint8_t* in, uint8_t* out,
               const std::vector<TRGBQuad>& palette) {
    const int32_t width = bitmap.Width();
    auto put = [&out](const TRGBQuad& q) {
        out[0] = q.rgbRed;
        out[1] = q.rgbGreen;
        out[2] = q.rgbBlue;
        out[3] = 255;
        out += 4;
    };
    switch (bitmap.PixelFormat()) {
    case bf1Bit:
        for (int32_t x = 0; x < width; ++x) put(palette[(in[x >> 3] >> (7 - (x & 7))) & 1]);
        break;
    case bf4Bit:
        for (int32_t x = 0; x < width; ++x)
            put(palette[(x & 1) ? (in[x >> 1] & 15) : (in[x >> 1] >> 4)]);
        break;
    case bf8Bit:
        for (int32_t x = 0; x < width; ++x) put(palette[in[x]]);
        break;
    case bf15Bit:
        for (int32_t x = 0; x < width; ++x, in += 2, out += 4) {
            const unsigned v = in[0] | (in[1] << 8);
            out[0] = Widen5((v >> 10) & 31);
            out[1] = Widen5((v >> 5) & 31);
            out[2] = Widen5(v & 31);
            out[3] = 255;
        }
        break;
    case bf16Bit:
        for (int32_t x = 0; x < width; ++x, in += 2, out += 4) {
            const unsigned v = in[0] | (in[1] << 8);
            out[0] = Widen5((v >> 11) & 31);
            out[1] = Widen6((v >> 5) & 63);
            out[2] = Widen5(v & 31);
            out[3] = 255;
        }
        break;
    case bf24Bit:
        for (int32_t x = 0; x < width; ++x, in += 3, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = 255;
        }
        break;
    default: // 32 bits per pixel: blue, green, red, alpha
        for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
        break;
    }
}

} // namespace

void WritePAM(const TBitmap& bitmap, TStream& stream) {
    if (bitmap.Empty()) throw EInvalidGraphic(msgEmptyImage);
    const std::string header =
        Format("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
               bitmap.Width(), bitmap.Height());
    stream.WriteBuffer(header.data(), header.size());
    // Every index a palette format can hold resolves: missing entries are black.
    std::vector<TRGBQuad> palette = bitmap.Palette().Entries();
    palette.resize(256);
    std::vector<uint8_t> row(size_t(bitmap.Width()) * 4);
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        RowToRGBA(bitmap, bitmap.ScanLine(y), row.data(), palette);
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
