#include "platform/graphics/Bitmap.h"

#include "platform/graphics/BitmapRows.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
size_t g_maxPixelBytes = size_t(1) << 30;
}

int BitsPerPixelOf(TBitmapFormat format) {
    switch (format) {
    case bf1Bit:
        return 1;
    case bf4Bit:
        return 4;
    case bf8Bit:
        return 8;
    case bf15Bit:
    case bf16Bit:
        return 16;
    case bf24Bit:
        return 24;
    default:
        return 32;
    }
}

TPalette::TPalette(std::vector<TRGBQuad> entries) : entries_(std::move(entries)) {
    if (entries_.size() > MaxEntries) entries_.resize(MaxEntries);
}

TPalette TPalette::Standard16() {
    static const uint8_t rgb[16][3] = {
        {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},  {0, 0, 128}, {128, 0, 128},
        {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},    {0, 255, 0}, {255, 255, 0},
        {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    std::vector<TRGBQuad> entries(16);
    for (size_t i = 0; i < 16; ++i) entries[i] = {rgb[i][2], rgb[i][1], rgb[i][0], 0};
    return TPalette(std::move(entries));
}

DEFINE_GRAPHIC_CLASS(TBitmap, TGraphic)

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::SetMaxPixelBytes(size_t bytes) {
    g_maxPixelBytes = bytes;
}
size_t TBitmap::MaxPixelBytes() {
    return g_maxPixelBytes;
}

void TBitmap::SetBudget(TMemoryBudget* budget) {
    if (budget == budget_) return;
    if (budget) budget->Charge(stride_ * size_t(height_));
    if (budget_) budget_->Release(charged_);
    budget_ = budget;
    charged_ = budget ? stride_ * size_t(height_) : 0;
}

void TBitmap::Allocate(TBitmapFormat format, int32_t width, int32_t height, bool clear) {
    if (width < 0 || height < 0)
        throw EImageFault(msgInvalidSize, {std::to_string(width), std::to_string(height)});
    const int bits = BitsPerPixelOf(format);
    // Rows padded to 32 bits.
    const size_t stride = CheckedAdd(CheckedMul(size_t(width), size_t(bits)), 31) / 32 * 4;
    const size_t total = CheckedMul(stride, size_t(height));
    // The new pixels replace the old ones: the limit applies to them alone.
    const size_t others = budget_ ? budget_->Used() - charged_ : 0;
    const size_t limit = budget_ ? budget_->Limit() : g_maxPixelBytes;
    if (total > limit - std::min(others, limit)) {
        throw EImageFault(msgImageTooLarge, {std::to_string(width), std::to_string(height),
                                             std::to_string(bits), MemorySizeText(limit)});
    }
    // calloc hands out fresh zeroed pages for large blocks without touching them.
    uint8_t* pixels = nullptr;
    if (total != 0) {
        pixels = static_cast<uint8_t*>(clear ? std::calloc(total, 1) : std::malloc(total));
        if (!pixels) throw EImageFault(msgOutOfMemory);
    }
    if (budget_) {
        budget_->Release(charged_);
        budget_->Charge(total);
        charged_ = total;
    }
    pixels_.reset(pixels);
    format_ = format;
    width_ = width;
    height_ = height;
    stride_ = stride;
    uncleared_ = !clear && total != 0;
}

void TBitmap::ReleaseImage() {
    Allocate(format_, 0, 0);
}

void TBitmap::SetPixelFormat(TBitmapFormat format) {
    if (format != format_) Allocate(format, width_, height_);
}

void TBitmap::SetSizeToOverwrite(int32_t width, int32_t height) {
    Allocate(format_, width, height, false);
}

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width != width_ || height != height_) Allocate(format_, width, height);
}

uint8_t* TBitmap::ScanLine(int32_t y) {
    if (y < 0 || y >= height_)
        throw EInvalidGraphic(FormatImageMessage(msgScanLineRange, std::to_string(y)));
    return pixels_.get() + size_t(y) * stride_;
}

const uint8_t* TBitmap::ScanLine(int32_t y) const {
    return const_cast<TBitmap*>(this)->ScanLine(y);
}

void TBitmap::SetPalette(TPalette palette) {
    palette_ = std::move(palette);
}

void TBitmap::Assign(const TGraphic& source) {
    const TBitmap* other = source.AsBitmap();
    if (!other) {
        TGraphic::Assign(source);
        return;
    }
    if (other == this) return;
    // Every byte is copied over, so the new pixels need no clearing.
    Allocate(other->format_, other->width_, other->height_, false);
    if (const size_t total = stride_ * size_t(height_); total != 0)
        std::memcpy(pixels_.get(), other->pixels_.get(), total);
    uncleared_ = false;
    palette_ = other->palette_;
    Transparent = other->Transparent;
    TransparentColor = other->TransparentColor;
    AlphaFormat = other->AlphaFormat;
}

namespace {
int NearestEntry(const TPalette& palette, TColor color) {
    const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    int best = 0, bestDistance = 1 << 30;
    for (size_t i = 0; i < palette.Count(); ++i) {
        const int dr = palette[i].rgbRed - r, dg = palette[i].rgbGreen - g,
                  db = palette[i].rgbBlue - b;
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}
} // namespace

void TBitmap::FillRect(const TRect& rect, TColor color) {
    const int32_t left = std::max(rect.Left, 0), right = std::min(rect.Right, width_);
    const int32_t top = std::max(rect.Top, 0), bottom = std::min(rect.Bottom, height_);
    if (left >= right || top >= bottom) return;
    const uint8_t r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    const int index = (format_ == bf1Bit || format_ == bf4Bit || format_ == bf8Bit)
                          ? NearestEntry(palette_, color)
                          : 0;
    for (int32_t y = top; y < bottom; ++y) {
        uint8_t* row = ScanLine(y);
        for (int32_t x = left; x < right; ++x) {
            switch (format_) {
            case bf1Bit: {
                const uint8_t bit = uint8_t(0x80 >> (x & 7));
                row[x >> 3] = index ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit);
                break;
            }
            case bf4Bit: {
                uint8_t& cell = row[x >> 1];
                cell = (x & 1) ? uint8_t((cell & 0xF0) | index)
                               : uint8_t((cell & 0x0F) | (index << 4));
                break;
            }
            case bf8Bit:
                row[x] = uint8_t(index);
                break;
            case bf15Bit: {
                const uint16_t v = uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
                break;
            }
            case bf16Bit: {
                const uint16_t v = uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
                break;
            }
            case bf24Bit:
                row[3 * x] = b;
                row[3 * x + 1] = g;
                row[3 * x + 2] = r;
                break;
            default:
                row[4 * x] = b;
                row[4 * x + 1] = g;
                row[4 * x + 2] = r;
                row[4 * x + 3] = 255;
                break;
            }
        }
    }
}

TRGBQuad TBitmap::PixelColor(int32_t x, int32_t y) const {
    if (x < 0 || x >= width_) throw EInvalidGraphic(msgPixelRange);
    const uint8_t* row = ScanLine(y);
    const bool alpha = AlphaFormat == afDefined;
    auto fromPalette = [this, alpha](size_t index) {
        TRGBQuad q = index < palette_.Count() ? palette_[index] : TRGBQuad{};
        if (!alpha || index >= palette_.Count()) q.rgbReserved = 255;
        return q;
    };
    switch (format_) {
    case bf1Bit:
        return fromPalette((row[x >> 3] >> (7 - (x & 7))) & 1);
    case bf4Bit:
        return fromPalette((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    case bf8Bit:
        return fromPalette(row[x]);
    case bf15Bit: {
        const unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
        return {Widen5(v & 31), Widen5((v >> 5) & 31), Widen5((v >> 10) & 31), 255};
    }
    case bf16Bit: {
        const unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
        return {Widen5(v & 31), Widen6((v >> 5) & 63), Widen5((v >> 11) & 31), 255};
    }
    case bf24Bit:
        return {row[3 * x], row[3 * x + 1], row[3 * x + 2], 255};
    default:
        return {row[4 * x], row[4 * x + 1], row[4 * x + 2], alpha ? row[4 * x + 3] : uint8_t(255)};
    }
}
