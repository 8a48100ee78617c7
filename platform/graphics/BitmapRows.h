// Bitmap rows as rows of 8-bit channels with straight alpha: the one conversion behind every
// picture the program hands on (PNG, PAM and Targa output, QImage, thumbnails, image loaders of
// other programs). Palettes are resolved (indices past the palette's end are opaque black), 5-
// and 6-bit channels widen by bit replication, and alpha follows the bitmap's AlphaFormat
// (255 when ignored).
#pragma once

#include "platform/graphics/Bitmap.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

// Byte order of a converted pixel. BGRA is a QImage Format_ARGB32 pixel on little-endian
// machines; RGBA is what PAM and PNG store.
enum class TChannelOrder : uint8_t { RGBA, BGRA };

// Widens a 5- or 6-bit channel value to 8 bits by bit replication.
constexpr uint8_t Widen5(unsigned v) {
    return uint8_t((v << 3) | (v >> 2));
}
constexpr uint8_t Widen6(unsigned v) {
    return uint8_t((v << 2) | (v >> 4));
}

// The steps that show stored rows upright for a TIFF/EXIF orientation value: mirror the columns,
// then flip the rows, then turn a quarter clockwise. Values outside 2..8 need none.
struct TOrientationSteps {
    bool Mirror = false, Flip = false, Rotate = false;
};
TOrientationSteps OrientationSteps(uint8_t orientation);

// A copy of `bitmap` turned upright for `orientation`, as 32-bit pixels (alpha kept under the
// bitmap's AlphaFormat). Orientations 0 and 1 copy the pixels as they are.
std::unique_ptr<TBitmap> UprightCopy(const TBitmap& bitmap, uint8_t orientation);

class TBitmapRows {
public:
    // Converts rows of `bitmap`, which must outlive the converter and keep its format.
    TBitmapRows(const TBitmap& bitmap, TChannelOrder order);

    // Whether the converted pixels carry alpha (the bitmap's AlphaFormat is afDefined).
    bool HasAlpha() const { return alpha_; }
    // Row y into `out` (4 bytes a pixel): output pixel x is source pixel x * step, for
    // out.size() / 4 pixels (at most as many as the row holds at that step).
    void Convert(int32_t y, std::span<uint8_t> out, int32_t step = 1) const;

    // The function that converts one row of the bitmap's format; chosen once per converter.
    using TRowFunction = void (*)(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                                  const TBitmapRows& rows);

private:
    friend struct TRowKernels;

    const TBitmap& bitmap_;
    bool alpha_;
    // Palette entries as output pixels (indexed formats).
    std::array<uint32_t, 256> lut_{};
    TRowFunction convert_ = nullptr;
};
