#include "platform/qt/BitmapImage.h"

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"

#include <QColor>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace {

// The smallest step that brings `size` within `bound` (1 when there is no bound).
int SampleStep(int width, int height, QSize bound) {
    if (bound.isEmpty()) return 1;
    const int byWidth = (width + bound.width() - 1) / bound.width();
    const int byHeight = (height + bound.height() - 1) / bound.height();
    return std::max({1, byWidth, byHeight});
}

// Adds a converted row (BGRA) to the column sums of the block's rows: blue, green and red
// weighted by alpha when the bitmap has alpha, and alpha. Whole rows, sample by sample.
template <bool Alpha> void AddToColumns(const uint8_t* p, size_t samples, uint32_t* columns) {
    if constexpr (Alpha) {
        for (size_t i = 0; i < samples; i += 4) {
            const uint32_t a = p[i + 3];
            columns[i] += p[i] * a;
            columns[i + 1] += p[i + 1] * a;
            columns[i + 2] += p[i + 2] * a;
            columns[i + 3] += a;
        }
    } else {
        for (size_t i = 0; i < samples; ++i) columns[i] += p[i];
    }
}

// Each output pixel the average of its step x step block of the bitmap (colours weighted by
// their alpha when the bitmap has alpha): a proper filter, where sampling would alias. The
// block's rows are summed by columns first, then each block's columns.
void ShrinkRows(const TBitmapRows& rows, const TBitmap& bitmap, int step, QImage& image) {
    const int width = image.width();
    const int sourceWidth = bitmap.Width(), sourceHeight = bitmap.Height();
    const bool alpha = rows.HasAlpha();
    const size_t samples = size_t(sourceWidth) * 4;
    const auto addRow = alpha ? &AddToColumns<true> : &AddToColumns<false>;
    std::vector<uint8_t> row(samples);
    // A column's sum over a block's rows stays below 2^32 for blocks of up to 66000 rows.
    std::vector<uint32_t> columns(samples);
    for (int y = 0; y < image.height(); ++y) {
        std::fill(columns.begin(), columns.end(), 0);
        const int last = std::min(sourceHeight, (y + 1) * step);
        for (int v = y * step; v < last; ++v) {
            rows.Convert(v, row);
            addRow(row.data(), samples, columns.data());
        }
        uint8_t* out = image.scanLine(y);
        const uint32_t* column = columns.data();
        for (int x = 0; x < width; ++x, out += 4) {
            const int count = std::min(sourceWidth, (x + 1) * step) - x * step;
            uint64_t sum[4] = {};
            for (int u = 0; u < count; ++u, column += 4)
                for (int c = 0; c < 4; ++c) sum[c] += column[c];
            const uint64_t pixels = uint64_t(count) * uint64_t(last - y * step);
            const uint64_t weight = alpha ? sum[3] : pixels;
            for (int c = 0; c < 3; ++c)
                out[c] = weight ? uint8_t((sum[c] + weight / 2) / weight) : 0;
            out[3] = alpha ? uint8_t((sum[3] + pixels / 2) / pixels) : 255;
        }
    }
}

} // namespace

QImage BitmapToQImage(const TBitmap& bitmap, QSize bound) {
    if (bitmap.Empty()) return {};
    const int step = SampleStep(bitmap.Width(), bitmap.Height(), bound);
    const int width = (bitmap.Width() + step - 1) / step;
    const int height = (bitmap.Height() + step - 1) / step;
    const TBitmapRows rows(bitmap, TChannelOrder::BGRA);
    QImage image(width, height, rows.HasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()) return {};
    if (step > 1) {
        ShrinkRows(rows, bitmap, step, image);
        return image;
    }
    for (int y = 0; y < height; ++y)
        rows.Convert(y, std::span<uint8_t>(image.scanLine(y), size_t(width) * 4));
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
    const bool alpha = bitmap.AlphaFormat == afDefined;
    // QVector: the colour table's type in Qt 5 and Qt 6 (where it is QList).
    QVector<QRgb> table(int(std::max<size_t>(palette.Count(), size_t(largest) + 1)), qRgb(0, 0, 0));
    for (size_t i = 0; i < palette.Count(); ++i)
        table[int(i)] = qRgba(palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue,
                              alpha ? palette[i].rgbReserved : 255);
    image.setColorTable(table);
    return image;
}

QImage UprightImage(const QImage& image, uint8_t orientation) {
    const TOrientationSteps steps = OrientationSteps(orientation);
    if (!steps.Mirror && !steps.Flip && !steps.Rotate) return image;
    QImage upright = image.mirrored(steps.Mirror, steps.Flip);
    if (steps.Rotate) upright = upright.transformed(QTransform().rotate(90));
    return upright;
}

QSize UprightSize(int width, int height, uint8_t orientation) {
    return OrientationSteps(orientation).Rotate ? QSize(height, width) : QSize(width, height);
}

void DrawTransparencyGrid(QPainter& painter, const QRect& rect) {
    constexpr int Square = 8;
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.fillRect(rect, QColor(255, 255, 255));
    for (int y = rect.top(); y <= rect.bottom(); y += Square)
        for (int x = rect.left() + ((y - rect.top()) / Square % 2) * Square; x <= rect.right();
             x += 2 * Square)
            painter.fillRect(QRect(x, y, Square, Square), QColor(204, 204, 204));
    painter.restore();
}
