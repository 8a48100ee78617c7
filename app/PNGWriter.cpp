#include "app/PNGWriter.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t Signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// Compressed data goes out in image data chunks of at most this size.
constexpr size_t ChunkBytes = 64 * 1024;

void PutBE32(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

[[noreturn]] void Fail() {
    throw EInvalidGraphic(FormatImageMessage(msgCannotSave, "PNG"));
}

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// Row `x` filtered by `type` against the row above, `up`, into `out`; `bpp` bytes a pixel.
void Filter(uint8_t type, const uint8_t* x, const uint8_t* up, size_t bpp, size_t bytes,
            uint8_t* out) {
    const size_t first = std::min(bpp, bytes);
    switch (type) {
    case 1:
        std::memcpy(out, x, first);
        for (size_t i = bpp; i < bytes; ++i) out[i] = uint8_t(x[i] - x[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < bytes; ++i) out[i] = uint8_t(x[i] - up[i]);
        break;
    case 3:
        for (size_t i = 0; i < first; ++i) out[i] = uint8_t(x[i] - up[i] / 2);
        for (size_t i = bpp; i < bytes; ++i) out[i] = uint8_t(x[i] - (x[i - bpp] + up[i]) / 2);
        break;
    case 4:
        for (size_t i = 0; i < first; ++i) out[i] = uint8_t(x[i] - up[i]);
        for (size_t i = bpp; i < bytes; ++i)
            out[i] = uint8_t(x[i] - Paeth(x[i - bpp], up[i], up[i - bpp]));
        break;
    default:
        std::memcpy(out, x, bytes);
        break;
    }
}

// The sum of the filtered bytes taken as signed values: smaller usually compresses better.
size_t SignedSum(const uint8_t* bytes, size_t count) {
    size_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += size_t(std::abs(int(int8_t(bytes[i]))));
    return sum;
}

} // namespace

struct TPNGWriter::TDeflate {
    z_stream z{};
    TDeflate() {
        if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) Fail();
    }
    ~TDeflate() { deflateEnd(&z); }
};

TPNGWriter::TPNGWriter(TStream& stream, uint32_t width, uint32_t height, TLayout layout,
                       std::span<const TRGBQuad> palette, bool paletteAlpha)
    : stream_(stream), height_(height), pixelBytes_(layout == TLayout::Indexed ? 1
                                                    : layout == TLayout::RGB   ? 3
                                                                               : 4),
      deflate_(std::make_unique<TDeflate>()) {
    stream_.WriteBuffer(Signature, sizeof(Signature));
    std::array<uint8_t, 13> header{};
    PutBE32(&header[0], width);
    PutBE32(&header[4], height);
    header[8] = 8;
    header[9] = layout == TLayout::Indexed ? 3 : layout == TLayout::RGB ? 2 : 6;
    WriteChunk("IHDR", header);
    if (layout == TLayout::Indexed) {
        std::vector<uint8_t> colours, alpha;
        for (const TRGBQuad& entry : palette) {
            colours.insert(colours.end(), {entry.rgbRed, entry.rgbGreen, entry.rgbBlue});
            alpha.push_back(entry.rgbReserved);
        }
        WriteChunk("PLTE", colours);
        if (paletteAlpha) WriteChunk("tRNS", alpha);
    }
    const size_t rowBytes = size_t(width) * pixelBytes_ + 1;
    current_.assign(rowBytes, 0);
    prior_.assign(rowBytes, 0);
    filtered_.assign(rowBytes, 0);
    trial_.assign(rowBytes, 0);
    compressed_.resize(ChunkBytes);
}

TPNGWriter::~TPNGWriter() = default;

void TPNGWriter::WriteRow(std::span<const uint8_t> row) {
    const size_t bytes = current_.size() - 1;
    if (row.size() < bytes || rows_ == height_) Fail();
    std::memcpy(current_.data() + 1, row.data(), bytes);
    // Palette rows go unfiltered; colour rows take the filter whose bytes sum smallest as
    // signed values, the usual choice of encoders.
    const uint8_t* x = current_.data() + 1;
    const uint8_t* up = prior_.data() + 1;
    filtered_[0] = 0;
    Filter(0, x, up, pixelBytes_, bytes, filtered_.data() + 1);
    if (pixelBytes_ > 1) {
        size_t best = SignedSum(filtered_.data() + 1, bytes);
        for (uint8_t type = 1; type <= 4; ++type) {
            Filter(type, x, up, pixelBytes_, bytes, trial_.data() + 1);
            const size_t sum = SignedSum(trial_.data() + 1, bytes);
            if (sum >= best) continue;
            best = sum;
            trial_[0] = type;
            std::swap(trial_, filtered_);
        }
    }
    Compress(filtered_, false);
    std::swap(current_, prior_);
    ++rows_;
}

void TPNGWriter::Finish() {
    if (rows_ != height_) Fail();
    Compress({}, true);
    WriteChunk("IEND", {});
}

void TPNGWriter::Compress(std::span<const uint8_t> data, bool last) {
    z_stream& z = deflate_->z;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    for (;;) {
        z.next_out = compressed_.data();
        z.avail_out = uInt(ChunkBytes);
        const int result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) Fail();
        const size_t produced = ChunkBytes - z.avail_out;
        if (produced != 0) WriteChunk("IDAT", {compressed_.data(), produced});
        if (last ? result == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0) break;
    }
}

void TPNGWriter::WriteChunk(const char* type, std::span<const uint8_t> data) {
    uint8_t head[8];
    PutBE32(head, uint32_t(data.size()));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (!data.empty()) crc = crc32_z(crc, data.data(), data.size());
    uint8_t tail[4];
    PutBE32(tail, uint32_t(crc));
    stream_.WriteBuffer(head, sizeof(head));
    if (!data.empty()) stream_.WriteBuffer(data.data(), data.size());
    stream_.WriteBuffer(tail, sizeof(tail));
}
