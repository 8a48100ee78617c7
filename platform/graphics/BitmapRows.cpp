#include "platform/graphics/BitmapRows.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// An output pixel from its channels, as the bytes lie in memory (little-endian word).
template <TChannelOrder Order>
constexpr uint32_t Pixel(unsigned r, unsigned g, unsigned b, unsigned a) {
    if constexpr (Order == TChannelOrder::RGBA) return r | (g << 8) | (b << 16) | (a << 24);
    return b | (g << 8) | (r << 16) | (a << 24);
}

void Store(uint8_t* out, uint32_t pixel) {
    std::memcpy(out, &pixel, 4);
}

} // namespace

struct TRowKernels {
    static void Indexed1(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                         const TBitmapRows& rows) {
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const size_t s = size_t(x) * size_t(step);
            Store(out, rows.lut_[(in[s >> 3] >> (7 - (s & 7))) & 1]);
        }
    }
    static void Indexed4(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                         const TBitmapRows& rows) {
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const size_t s = size_t(x) * size_t(step);
            Store(out, rows.lut_[(s & 1) ? (in[s >> 1] & 0x0F) : (in[s >> 1] >> 4)]);
        }
    }
    static void Indexed8(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                         const TBitmapRows& rows) {
        for (int32_t x = 0; x < count; ++x, out += 4)
            Store(out, rows.lut_[in[size_t(x) * size_t(step)]]);
    }
    template <TChannelOrder Order>
    static void Bits15(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                       const TBitmapRows&) {
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const uint8_t* p = in + 2 * size_t(x) * size_t(step);
            const unsigned v = p[0] | (unsigned(p[1]) << 8);
            Store(out,
                  Pixel<Order>(Widen5((v >> 10) & 31), Widen5((v >> 5) & 31), Widen5(v & 31), 255));
        }
    }
    template <TChannelOrder Order>
    static void Bits16(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                       const TBitmapRows&) {
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const uint8_t* p = in + 2 * size_t(x) * size_t(step);
            const unsigned v = p[0] | (unsigned(p[1]) << 8);
            Store(out,
                  Pixel<Order>(Widen5((v >> 11) & 31), Widen6((v >> 5) & 63), Widen5(v & 31), 255));
        }
    }
    template <TChannelOrder Order>
    static void Bits24(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                       const TBitmapRows&) {
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const uint8_t* p = in + 3 * size_t(x) * size_t(step);
            Store(out, Pixel<Order>(p[2], p[1], p[0], 255));
        }
    }
    template <TChannelOrder Order, bool Alpha>
    static void Bits32(const uint8_t* in, uint8_t* out, int32_t count, int32_t step,
                       const TBitmapRows&) {
        if (Order == TChannelOrder::BGRA && Alpha && step == 1) {
            std::memcpy(out, in, size_t(count) * 4);
            return;
        }
        for (int32_t x = 0; x < count; ++x, out += 4) {
            const uint8_t* p = in + 4 * size_t(x) * size_t(step);
            Store(out, Pixel<Order>(p[2], p[1], p[0], Alpha ? p[3] : 255));
        }
    }

    template <TChannelOrder Order>
    static TBitmapRows::TRowFunction Choose(TBitmapFormat format, bool alpha) {
        switch (format) {
        case bf1Bit:
            return Indexed1;
        case bf4Bit:
            return Indexed4;
        case bf8Bit:
            return Indexed8;
        case bf15Bit:
            return Bits15<Order>;
        case bf16Bit:
            return Bits16<Order>;
        case bf24Bit:
            return Bits24<Order>;
        default:
            return alpha ? Bits32<Order, true> : Bits32<Order, false>;
        }
    }
};

TBitmapRows::TBitmapRows(const TBitmap& bitmap, TChannelOrder order)
    : bitmap_(bitmap), alpha_(bitmap.AlphaFormat == afDefined) {
    const TBitmapFormat format = bitmap.PixelFormat();
    if (format == bf1Bit || format == bf4Bit || format == bf8Bit) {
        const TPalette& palette = bitmap.Palette();
        const auto pixel =
            order == TChannelOrder::RGBA ? Pixel<TChannelOrder::RGBA> : Pixel<TChannelOrder::BGRA>;
        lut_.fill(pixel(0, 0, 0, 255));
        for (size_t i = 0; i < palette.Count() && i < lut_.size(); ++i) {
            const TRGBQuad& q = palette[i];
            lut_[i] = pixel(q.rgbRed, q.rgbGreen, q.rgbBlue, alpha_ ? q.rgbReserved : 255);
        }
    }
    convert_ = order == TChannelOrder::RGBA
                   ? TRowKernels::Choose<TChannelOrder::RGBA>(format, alpha_)
                   : TRowKernels::Choose<TChannelOrder::BGRA>(format, alpha_);
}

void TBitmapRows::Convert(int32_t y, std::span<uint8_t> out, int32_t step) const {
    step = std::max(step, 1);
    const int32_t available = (bitmap_.Width() + step - 1) / step;
    const int32_t count = std::min<int32_t>(int32_t(out.size() / 4), available);
    convert_(bitmap_.ScanLine(y), out.data(), count, step, *this);
}

TOrientationSteps OrientationSteps(uint8_t orientation) {
    switch (orientation) {
    case 2:
        return {true, false, false};
    case 3:
        return {true, true, false};
    case 4:
        return {false, true, false};
    case 5: // transposed: stored rows are the columns from the left
        return {false, true, true};
    case 6:
        return {false, false, true};
    case 7: // transversed: stored rows are the columns from the right, bottom up
        return {true, false, true};
    case 8:
        return {true, true, true};
    default:
        return {};
    }
}

std::unique_ptr<TBitmap> UprightCopy(const TBitmap& bitmap, uint8_t orientation) {
    const TOrientationSteps steps = OrientationSteps(orientation);
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    auto upright = std::make_unique<TBitmap>();
    upright->SetPixelFormat(bf32Bit);
    upright->AlphaFormat = bitmap.AlphaFormat;
    upright->SetSize(steps.Rotate ? height : width, steps.Rotate ? width : height);
    if (bitmap.Empty()) return upright;
    const TBitmapRows rows(bitmap, TChannelOrder::BGRA);
    std::vector<uint8_t> row(size_t(width) * 4);
    for (int32_t y = 0; y < height; ++y) {
        rows.Convert(y, row);
        // Stored pixel (x, y) after the mirror and the flip, then turned: (height-1-y', x').
        const int32_t flipped = steps.Flip ? height - 1 - y : y;
        for (int32_t x = 0; x < width; ++x) {
            const int32_t mirrored = steps.Mirror ? width - 1 - x : x;
            const int32_t u = steps.Rotate ? height - 1 - flipped : mirrored;
            const int32_t v = steps.Rotate ? mirrored : flipped;
            std::memcpy(upright->ScanLine(v) + 4 * size_t(u), row.data() + 4 * size_t(x), 4);
        }
    }
    return upright;
}
