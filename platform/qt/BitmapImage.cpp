#include "platform/qt/BitmapImage.h"

#include "platform/graphics/Bitmap.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

using Lut = std::array<QRgb, 256>;

// Opaque colours of the palette; entries past its end are black.
Lut PaletteLut(const TPalette& palette) {
    Lut lut;
    lut.fill(qRgb(0, 0, 0));
    for (size_t i = 0; i < palette.Count() && i < lut.size(); ++i)
        lut[i] = qRgb(palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue);
    return lut;
}

constexpr uint32_t Widen5(uint32_t v) {
    return (v << 3) | (v >> 2);
}
constexpr uint32_t Widen6(uint32_t v) {
    return (v << 2) | (v >> 4);
}

// One output row from source row `src`, taking source pixel x * step for output pixel x.
void Row1(const uint8_t* src, QRgb* dst, int width, int step, const Lut& lut) {
    for (int x = 0; x < width; ++x) {
        const size_t s = size_t(x) * size_t(step);
        dst[x] = lut[(src[s >> 3] >> (7 - (s & 7))) & 1];
    }
}

void Row4(const uint8_t* src, QRgb* dst, int width, int step, const Lut& lut) {
    for (int x = 0; x < width; ++x) {
        const size_t s = size_t(x) * size_t(step);
        dst[x] = lut[(s & 1) ? (src[s >> 1] & 0x0F) : (src[s >> 1] >> 4)];
    }
}

void Row8(const uint8_t* src, QRgb* dst, int width, int step, const Lut& lut) {
    for (int x = 0; x < width; ++x) dst[x] = lut[src[size_t(x) * size_t(step)]];
}

void Row15(const uint8_t* src, QRgb* dst, int width, int step, const Lut&) {
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 2 * size_t(x) * size_t(step);
        const uint32_t v = p[0] | (uint32_t(p[1]) << 8);
        dst[x] = 0xFF000000u | (Widen5((v >> 10) & 31) << 16) | (Widen5((v >> 5) & 31) << 8) |
                 Widen5(v & 31);
    }
}

void Row16(const uint8_t* src, QRgb* dst, int width, int step, const Lut&) {
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 2 * size_t(x) * size_t(step);
        const uint32_t v = p[0] | (uint32_t(p[1]) << 8);
        dst[x] = 0xFF000000u | (Widen5((v >> 11) & 31) << 16) | (Widen6((v >> 5) & 63) << 8) |
                 Widen5(v & 31);
    }
}

void Row24(const uint8_t* src, QRgb* dst, int width, int step, const Lut&) {
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 3 * size_t(x) * size_t(step);
        dst[x] = 0xFF000000u | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    }
}

void Row32(const uint8_t* src, QRgb* dst, int width, int step, const Lut&) {
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 4 * size_t(x) * size_t(step);
        dst[x] = (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    }
}

using RowFunction = void (*)(const uint8_t*, QRgb*, int, int, const Lut&);

RowFunction RowFunctionOf(TBitmapFormat format) {
    switch (format) {
    case bf1Bit:
        return Row1;
    case bf4Bit:
        return Row4;
    case bf8Bit:
        return Row8;
    case bf15Bit:
        return Row15;
    case bf16Bit:
        return Row16;
    case bf24Bit:
        return Row24;
    default:
        return Row32;
    }
}

// The smallest step that brings `size` within `bound` (1 when there is no bound).
int SampleStep(int width, int height, QSize bound) {
    if (bound.isEmpty()) return 1;
    const int byWidth = (width + bound.width() - 1) / bound.width();
    const int byHeight = (height + bound.height() - 1) / bound.height();
    return std::max({1, byWidth, byHeight});
}

} // namespace

QImage BitmapToQImage(const TBitmap& bitmap, QSize bound) {
    if (bitmap.Empty()) return {};
    const int step = SampleStep(bitmap.Width(), bitmap.Height(), bound);
    const int width = (bitmap.Width() + step - 1) / step;
    const int height = (bitmap.Height() + step - 1) / step;
    const bool has32 = bitmap.BitsPerPixel() == 32;

    QImage image(width, height, has32 ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()) return {};

    const TBitmapFormat format = bitmap.PixelFormat();
    const bool indexed = format == bf1Bit || format == bf4Bit || format == bf8Bit;
    const Lut lut = indexed ? PaletteLut(bitmap.Palette()) : Lut{};
    const RowFunction convert = RowFunctionOf(format);
    uint32_t alphaSeen = 0;
    for (int y = 0; y < height; ++y) {
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        convert(bitmap.ScanLine(y * step), dst, width, step, lut);
        if (has32)
            for (int x = 0; x < width; ++x) alphaSeen |= dst[x];
    }
    // Fourth bytes all 0: unused, not transparent.
    if (has32 && (alphaSeen >> 24) == 0) {
        for (int y = 0; y < height; ++y) {
            auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width; ++x) dst[x] |= 0xFF000000u;
        }
        image.reinterpretAsFormat(QImage::Format_RGB32);
    }
    return image;
}

QImage BitmapToQImageKeepingPalette(const TBitmap& bitmap) {
    const TBitmapFormat format = bitmap.PixelFormat();
    if (format != bf1Bit && format != bf4Bit && format != bf8Bit) return BitmapToQImage(bitmap);
    if (bitmap.Empty()) return {};
    QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_Indexed8);
    if (image.isNull()) return {};
    const int width = bitmap.Width();
    uint8_t largest = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* src = bitmap.ScanLine(y);
        uint8_t* dst = image.scanLine(y);
        if (format == bf8Bit)
            std::copy_n(src, width, dst);
        else if (format == bf4Bit)
            for (int x = 0; x < width; ++x)
                dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
        else
            for (int x = 0; x < width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        largest = std::max(largest, *std::max_element(dst, dst + width));
    }
    const TPalette& palette = bitmap.Palette();
    // QVector: the colour table's type in Qt 5 and Qt 6 (where it is QList).
    QVector<QRgb> table(int(std::max<size_t>(palette.Count(), size_t(largest) + 1)), qRgb(0, 0, 0));
    for (size_t i = 0; i < palette.Count(); ++i)
        table[int(i)] = qRgb(palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue);
    image.setColorTable(table);
    return image;
}
