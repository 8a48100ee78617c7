// The device-independent bitmap that every reader is and fills.
#pragma once

#include "platform/graphics/Graphic.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

class TMemoryBudget;

// Pixel formats, numbered as the bitmap numbers them. bfDevice and bfCustom are stored as
// 32 bits per pixel. 15-bit pixels are x1r5g5b5 and 16-bit pixels r5g6b5, little-endian words;
// 24 and 32-bit pixels are stored blue, green, red (, alpha or unused).
enum TBitmapFormat : uint8_t {
    bfDevice = 0,
    bf1Bit = 1,
    bf4Bit = 2,
    bf8Bit = 3,
    bf15Bit = 4,
    bf16Bit = 5,
    bf24Bit = 6,
    bf32Bit = 7,
    bfCustom = 8,
};

int BitsPerPixelOf(TBitmapFormat format);

struct TRGBQuad {
    uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
    bool operator==(const TRGBQuad&) const = default;
};

// How a bitmap's alpha is taken. With afDefined the alpha is straight (not premultiplied): the
// fourth byte of 32-bit pixels, or, in palette formats, each palette entry's rgbReserved, from 0
// (transparent) to 255 (opaque). With afIgnored the picture is opaque whatever those bytes hold.
// 15-, 16- and 24-bit pixels never carry alpha.
enum TAlphaFormat : uint8_t {
    afIgnored = 0,
    afDefined = 1,
};

// A colour as 0x00BBGGRR: red in the low byte.
using TColor = uint32_t;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return TColor(r) | (TColor(g) << 8) | (TColor(b) << 16);
}

// A palette: up to 256 entries. Stands in for a palette handle; owned by value.
class TPalette {
public:
    static constexpr size_t MaxEntries = 256;

    TPalette() = default;
    explicit TPalette(std::vector<TRGBQuad> entries);

    size_t Count() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    const TRGBQuad& operator[](size_t index) const { return entries_[index]; }
    const std::vector<TRGBQuad>& Entries() const { return entries_; }
    bool operator==(const TPalette&) const = default;

    // The system's standard 16-colour palette.
    static TPalette Standard16();

private:
    std::vector<TRGBQuad> entries_;
};

class TBitmap : public TGraphic {
public:
    TBitmap();
    ~TBitmap() override;
    DECLARE_GRAPHIC_CLASS()

    // Largest pixel buffer a bitmap may allocate; a larger size raises EImageFault. It is also
    // the memory budget of each image load (TImageGraphic), pixels included.
    static void SetMaxPixelBytes(size_t bytes);
    static size_t MaxPixelBytes();

    // While a budget is set, the pixels are charged to it (in place of the cap): the current
    // ones at once, each reallocation before it happens. Setting none gives the charge back.
    void SetBudget(TMemoryBudget* budget);

    // Windows bitmap files (BMP, DIB, RLE) through the image reader of the windowing system.
    void LoadFromStream(TStream& stream) override;
    // A Windows bitmap file's "BM" and a header size it knows. The position is restored.
    static bool Recognize(TStream& stream);
    bool Empty() const override { return width_ == 0 || height_ == 0; }
    int32_t Width() const override { return width_; }
    int32_t Height() const override { return height_; }
    void Assign(const TGraphic& source) override;
    const TBitmap* AsBitmap() const override { return this; }

    // Drops the current image: the bitmap becomes empty; the pixel format stays.
    void ReleaseImage();
    TBitmapFormat PixelFormat() const { return format_; }
    int BitsPerPixel() const { return BitsPerPixelOf(format_); }
    // Changing the format or the size reallocates the pixels, cleared to 0.
    void SetPixelFormat(TBitmapFormat format);
    void SetWidth(int32_t width) { SetSize(width, height_); }
    void SetHeight(int32_t height) { SetSize(width_, height); }
    void SetSize(int32_t width, int32_t height);
    // The same for a loader that writes every byte of every row before anyone reads them (the
    // padding included): the new pixels are not cleared, which saves a pass over the memory.
    // An image load that fails releases such pixels (TImageGraphic::TLoad).
    void SetSizeToOverwrite(int32_t width, int32_t height);
    // Whether the pixels were allocated without clearing (reset by every reallocation).
    bool Uncleared() const { return uncleared_; }

    // Rows are 4-byte aligned; row 0 is the top row.
    size_t BytesPerLine() const { return stride_; }
    uint8_t* ScanLine(int32_t y);
    const uint8_t* ScanLine(int32_t y) const;
    // Scan line y with its extent (BytesPerLine bytes), for code that checks what it writes.
    std::span<uint8_t> ScanLineSpan(int32_t y) { return {ScanLine(y), stride_}; }
    std::span<const uint8_t> ScanLineSpan(int32_t y) const { return {ScanLine(y), stride_}; }

    const TPalette& Palette() const { return palette_; }
    void SetPalette(TPalette palette);

    bool Transparent = false;
    TColor TransparentColor = 0;
    // Whether the pixels carry alpha, and where (TAlphaFormat).
    TAlphaFormat AlphaFormat = afIgnored;

    // Fills a rectangle (clipped to the bitmap) with a colour. Palette formats use the
    // nearest palette entry.
    void FillRect(const TRect& rect, TColor color);
    // The colour of one pixel, with the palette resolved (indices past its end are black); the
    // alpha is the pixel's or its palette entry's under AlphaFormat, 255 when ignored.
    TRGBQuad PixelColor(int32_t x, int32_t y) const;

private:
    void Allocate(TBitmapFormat format, int32_t width, int32_t height, bool clear = true);

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, FreeDeleter> pixels_;
    TMemoryBudget* budget_ = nullptr;
    size_t charged_ = 0; // pixel bytes charged to budget_
    TBitmapFormat format_ = bfDevice;
    int32_t width_ = 0;
    int32_t height_ = 0;
    size_t stride_ = 0;
    bool uncleared_ = false;
    TPalette palette_;
};
