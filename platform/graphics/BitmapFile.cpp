// Windows bitmap files, decoded by the windowing system's image reader into the pixel format
// nearest the file's own.
#include "platform/graphics/Bitmap.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"
#include "platform/graphics/SystemImageReader.h"

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6;

[[noreturn]] void InvalidBitmap() {
    throw EInvalidGraphic(msgInvalidBitmapFile);
}

TBitmapFormat NearestFormat(uint16_t bitCount, uint32_t compression, uint32_t greenMask,
                            uint32_t alphaMask) {
    switch (bitCount) {
    case 1:
        return bf1Bit;
    case 4:
        return bf4Bit;
    case 8:
        return bf8Bit;
    case 16:
        if (alphaMask != 0) return bf32Bit;
        if (compression == BI_RGB || greenMask == 0x03E0) return bf15Bit;
        return greenMask == 0x07E0 ? bf16Bit : bf24Bit;
    case 24:
        return bf24Bit;
    case 32:
        return bf32Bit;
    default:
        if (compression == BI_RLE8) return bf8Bit;
        if (compression == BI_RLE4) return bf4Bit;
        InvalidBitmap();
    }
}

struct TBitmapHeader {
    TBitmapFormat Format; // the pixel format nearest the one the file stores
    int32_t Width, Height;
};

// Uncompressed rows must all be in the file (the last one may lack its padding), so that a
// short file cannot make the decoder fill a huge image. Run-length data can skip whole rows
// and end early: it must hold a real part of the image (a run gives 255 pixels for 2 bytes;
// here 1024 pixels a byte, beyond a megapixel any file may state).
void CheckStoredRows(std::span<const uint8_t> data, uint32_t offset, int64_t width, int64_t height,
                     uint16_t bitCount, uint32_t compression) {
    if (compression == BI_RLE8 || compression == BI_RLE4) {
        const size_t coded = data.size() > offset ? data.size() - offset : 0;
        if (CheckedMul(size_t(width), size_t(height)) >
            CheckedAdd(CheckedMul(coded, 1024), size_t(1) << 20))
            throw EInvalidGraphic(FormatImageMessage(msgDataTooShort, "BMP"));
        return;
    }
    const size_t rowBytes = CheckedRowBytes(size_t(width), bitCount);
    const size_t stride = CheckedAdd(rowBytes, 3) / 4 * 4;
    const size_t needed =
        CheckedAdd(CheckedAdd(offset, CheckedMul(stride, size_t(height - 1))), rowBytes);
    if (needed > data.size()) throw EInvalidGraphic(FormatImageMessage(msgDataTooShort, "BMP"));
}

TBitmapHeader ReadHeader(std::span<const uint8_t> data) {
    TByteReader r(data);
    if (r.Size() < 18 || r.U8() != 'B' || r.U8() != 'M') InvalidBitmap();
    r.Seek(10);
    const uint32_t offset = r.LE32();
    const uint32_t headerSize = r.LE32();
    uint16_t bitCount;
    int64_t width, height;
    uint32_t compression = BI_RGB, greenMask = 0, alphaMask = 0;
    if (headerSize == 12) { // OS/2 core header
        width = r.LE16();
        height = r.LE16();
        r.Skip(2);
        bitCount = r.LE16();
    } else if (headerSize >= 40) {
        width = int32_t(r.LE32());
        height = int32_t(r.LE32()); // negative: rows stored top-down
        r.Skip(2);
        bitCount = r.LE16();
        compression = r.LE32();
        if (compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS) {
            // Masks sit in the header from version 2 on, after it otherwise.
            r.Seek(14 + 40 + 4);
            greenMask = r.LE32();
            r.Skip(4);
            if (compression == BI_ALPHABITFIELDS || headerSize >= 56) alphaMask = r.LE32();
        } else if (headerSize >= 56) {
            r.Seek(14 + 40 + 12);
            alphaMask = r.LE32();
        }
    } else {
        InvalidBitmap();
    }
    height = height < 0 ? -height : height;
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) InvalidBitmap();
    CheckStoredRows(data, offset, width, height, bitCount, compression);
    return {NearestFormat(bitCount, compression, greenMask, alphaMask), int32_t(width),
            int32_t(height)};
}

} // namespace

bool TBitmap::Recognize(TStream& stream) {
    const int64_t start = stream.Position();
    uint8_t bytes[18] = {};
    const bool read = stream.Read(bytes, sizeof(bytes)) == sizeof(bytes);
    stream.SetPosition(start);
    if (!read || bytes[0] != 'B' || bytes[1] != 'M') return false;
    const uint32_t headerSize = TByteReader(bytes + 14, 4).LE32();
    return headerSize == 12 || (headerSize >= 40 && headerSize <= 124);
}

void TBitmap::LoadFromStream(TStream& stream) {
    // A bitmap file holds its pixels uncompressed at most, so the cap bounds the read.
    std::vector<uint8_t> holder;
    const std::span<const uint8_t> data =
        ViewRest(stream, CheckedAdd(MaxPixelBytes(), 1 << 20), holder);
    const TBitmapHeader header = ReadHeader(data);
    Progress(psStarting, 0, false, {}, "");
    DecodeWithSystemReader(*this, data, "bmp", header.Format, "bitmap", header.Width,
                           header.Height);
    Progress(psRunning, 100, true, {0, 0, Width(), Height()}, "");
    Progress(psEnding, 0, false, {}, "");
}
