#include "app/ImageWriters.h"

#include "app/PNGWriter.h"

#include "imaging/formats/TargaGraphic.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <QImage>

#include <algorithm>
#include <cctype>
#include <cstring>
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

// A row of 1-, 4- or 8-bit indices as one byte an index.
void IndexRow(TBitmapFormat format, const uint8_t* in, uint8_t* out, uint32_t width) {
    switch (format) {
    case bf1Bit:
        for (uint32_t x = 0; x < width; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
        break;
    case bf4Bit:
        for (uint32_t x = 0; x < width; ++x)
            out[x] = (x & 1) ? (in[x >> 1] & 0x0F) : (in[x >> 1] >> 4);
        break;
    default:
        std::memcpy(out, in, width);
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
    const TBitmapRows rows(bitmap, TChannelOrder::RGBA);
    std::vector<uint8_t> row(size_t(bitmap.Width()) * 4);
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        rows.Convert(y, row);
        stream.WriteBuffer(row.data(), row.size());
    }
}

void WriteTarga(const TBitmap& bitmap, TStream& stream) {
    WriteTargaImage(bitmap, stream, true);
}

void WritePNG(const TBitmap& bitmap, TStream& stream) {
    if (bitmap.Empty()) throw EInvalidGraphic(msgEmptyImage);
    const uint32_t width = uint32_t(bitmap.Width()), height = uint32_t(bitmap.Height());
    const TBitmapFormat format = bitmap.PixelFormat();
    std::vector<uint8_t> row(size_t(width) * 4);
    if (format == bf1Bit || format == bf4Bit || format == bf8Bit) {
        // The palette grows to the largest index the pixels use: missing entries are opaque
        // black.
        uint8_t largest = 0;
        for (int32_t y = 0; y < bitmap.Height(); ++y) {
            IndexRow(format, bitmap.ScanLine(y), row.data(), width);
            largest = std::max(largest, *std::max_element(row.begin(), row.begin() + width));
        }
        std::vector<TRGBQuad> palette = bitmap.Palette().Entries();
        const bool alpha = bitmap.AlphaFormat == afDefined;
        if (!alpha)
            for (TRGBQuad& entry : palette) entry.rgbReserved = 255;
        palette.resize(std::max(palette.size(), size_t(largest) + 1), TRGBQuad{0, 0, 0, 255});
        TPNGWriter png(stream, width, height, TPNGWriter::TLayout::Indexed, palette, alpha);
        for (int32_t y = 0; y < bitmap.Height(); ++y) {
            const uint8_t* in = bitmap.ScanLine(y);
            for (uint32_t x = 0; x < width; ++x)
                row[x] = format == bf8Bit ? in[x]
                         : format == bf4Bit
                             ? uint8_t((x & 1) ? (in[x >> 1] & 0x0F) : (in[x >> 1] >> 4))
                             : uint8_t((in[x >> 3] >> (7 - (x & 7))) & 1);
            png.WriteRow(row);
        }
        png.Finish();
        return;
    }
    const TBitmapRows rows(bitmap, TChannelOrder::RGBA);
    const bool alpha = rows.HasAlpha();
    TPNGWriter png(stream, width, height,
                   alpha ? TPNGWriter::TLayout::RGBA : TPNGWriter::TLayout::RGB);
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        rows.Convert(y, row);
        if (!alpha)
            for (uint32_t x = 0; x < width; ++x) std::memmove(&row[3 * x], &row[4 * x], 3);
        png.WriteRow(row);
    }
    png.Finish();
}

void WritePNG(const QImage& image, TStream& stream) {
    if (image.isNull()) throw EInvalidGraphic(msgEmptyImage);
    const QImage argb = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                      : QImage::Format_RGB32);
    const bool alpha = argb.hasAlphaChannel();
    const uint32_t width = uint32_t(argb.width());
    TPNGWriter png(stream, width, uint32_t(argb.height()),
                   alpha ? TPNGWriter::TLayout::RGBA : TPNGWriter::TLayout::RGB);
    std::vector<uint8_t> row(size_t(width) * 4);
    for (int y = 0; y < argb.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        uint8_t* out = row.data();
        for (uint32_t x = 0; x < width; ++x) {
            *out++ = uint8_t(qRed(in[x]));
            *out++ = uint8_t(qGreen(in[x]));
            *out++ = uint8_t(qBlue(in[x]));
            if (alpha) *out++ = uint8_t(qAlpha(in[x]));
        }
        png.WriteRow(row);
    }
    png.Finish();
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
