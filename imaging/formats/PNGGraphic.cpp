#include "imaging/formats/PNGGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/ImageMessages.h"
#include "imaging/codecs/DeflateDecoder.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

DEFINE_GRAPHIC_CLASS(TPNGGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PNG";
constexpr uint8_t Signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t HeaderChunkSize = 13;
constexpr uint32_t NoColor = 0xFFFFFF;

[[noreturn]] void Fail(const char* message) {
    throw EInvalidGraphic(FormatImageMessage(message, FormatName));
}

uint32_t BE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
unsigned BE16(const uint8_t* p) {
    return (unsigned(p[0]) << 8) | p[1];
}

// A 16-bit sample of a bKGD or tRNS chunk at the depth the bitmap shows: 2-bit grey levels
// become 4-bit palette indices, 16-bit samples 8-bit ones, other depths keep their low byte.
uint32_t ChunkSample(unsigned value, uint8_t depth) {
    switch (depth) {
    case 2:
        return value * 15 / 3;
    case 16:
        return value * 255 / 65535;
    default:
        return value & 0xFF;
    }
}

// --- Row filters; `row` and `prior` point after the filter byte. ---

uint8_t Paeth(int left, int up, int upperLeft) {
    const int toUp = std::abs(up - upperLeft);                // distance of the estimate to left
    const int toLeft = std::abs(left - upperLeft);            // ... to up
    const int toCorner = std::abs(left + up - 2 * upperLeft); // ... to upper-left
    if (toUp <= toLeft && toUp <= toCorner) return uint8_t(left);
    return uint8_t(toLeft <= toCorner ? up : upperLeft);
}

template <int Bpp> void UnfilterSub(uint8_t* row, size_t count, int bpp) {
    const size_t step = Bpp ? Bpp : size_t(bpp);
    for (size_t i = step; i < count; ++i) row[i] = uint8_t(row[i] + row[i - step]);
}

template <int Bpp> void UnfilterAverage(uint8_t* row, const uint8_t* prior, size_t count, int bpp) {
    const size_t step = std::min(Bpp ? Bpp : size_t(bpp), count);
    for (size_t i = 0; i < step; ++i) row[i] = uint8_t(row[i] + (prior[i] >> 1));
    for (size_t i = step; i < count; ++i)
        row[i] = uint8_t(row[i] + ((unsigned(row[i - step]) + prior[i]) >> 1));
}

template <int Bpp> void UnfilterPaeth(uint8_t* row, const uint8_t* prior, size_t count, int bpp) {
    const size_t step = std::min(Bpp ? Bpp : size_t(bpp), count);
    for (size_t i = 0; i < step; ++i) row[i] = uint8_t(row[i] + prior[i]);
    for (size_t i = step; i < count; ++i)
        row[i] = uint8_t(row[i] + Paeth(row[i - step], prior[i], prior[i - step]));
}

#if defined(__SSE2__)
// Paeth for pixels of 3 or 4 bytes: one pixel at a time in 16-bit lanes, the choice made by
// comparisons instead of branches.
template <int Bpp> void UnfilterPaethVector(uint8_t* row, const uint8_t* prior, size_t count) {
    static_assert(Bpp == 3 || Bpp == 4);
    if (count < Bpp) return UnfilterPaeth<Bpp>(row, prior, count, Bpp);
    for (size_t i = 0; i < Bpp; ++i) row[i] = uint8_t(row[i] + prior[i]);
    const __m128i zero = _mm_setzero_si128();
    auto load = [zero](const uint8_t* p) {
        uint32_t v = 0;
        std::memcpy(&v, p, Bpp);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), zero);
    };
    auto absolute = [zero](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    auto select = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    __m128i left = load(row), upperLeft = load(prior);
    for (size_t i = Bpp; i + Bpp <= count; i += Bpp) {
        const __m128i up = load(prior + i);
        const __m128i toUp = _mm_sub_epi16(up, upperLeft);     // estimate - left
        const __m128i toLeft = _mm_sub_epi16(left, upperLeft); // estimate - up
        const __m128i dl = absolute(toUp), du = absolute(toLeft);
        const __m128i dul = absolute(_mm_add_epi16(toUp, toLeft));
        const __m128i smallest = _mm_min_epi16(dul, _mm_min_epi16(dl, du));
        const __m128i predictor = select(_mm_cmpeq_epi16(smallest, dl), left,
                                         select(_mm_cmpeq_epi16(smallest, du), up, upperLeft));
        left = _mm_and_si128(_mm_add_epi16(load(row + i), predictor), _mm_set1_epi16(0xFF));
        const uint32_t out = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(left, left)));
        std::memcpy(row + i, &out, Bpp);
        upperLeft = up;
    }
}
#endif

template <int Bpp>
void Unfilter(uint8_t filter, uint8_t* row, const uint8_t* prior, size_t count, int bpp) {
    switch (filter) {
    case 1:
        UnfilterSub<Bpp>(row, count, bpp);
        break;
    case 2:
        for (size_t i = 0; i < count; ++i) row[i] = uint8_t(row[i] + prior[i]);
        break;
    case 3:
        UnfilterAverage<Bpp>(row, prior, count, bpp);
        break;
    case 4:
#if defined(__SSE2__)
        if constexpr (Bpp == 3 || Bpp == 4) {
            UnfilterPaethVector<Bpp>(row, prior, count);
            break;
        }
#endif
        UnfilterPaeth<Bpp>(row, prior, count, bpp);
        break;
    default:
        break; // 0 and unknown filter types leave the row as it is
    }
}

// Undoes the filter of one row in place; `bpp` is the bytes of a complete pixel (at least 1).
void ApplyFilter(uint8_t filter, uint8_t* row, const uint8_t* prior, int bpp, size_t count) {
    switch (bpp) {
    case 1:
        Unfilter<1>(filter, row, prior, count, bpp);
        break;
    case 2:
        Unfilter<2>(filter, row, prior, count, bpp);
        break;
    case 3:
        Unfilter<3>(filter, row, prior, count, bpp);
        break;
    case 4:
        Unfilter<4>(filter, row, prior, count, bpp);
        break;
    case 6:
        Unfilter<6>(filter, row, prior, count, bpp);
        break;
    case 8:
        Unfilter<8>(filter, row, prior, count, bpp);
        break;
    default:
        Unfilter<0>(filter, row, prior, count, bpp);
        break;
    }
}

// Adam7: where each pass starts, how it steps, and which pixels of a group of 8 it fills.
struct TPass {
    uint32_t Row, Column, RowStep, ColumnStep;
    uint8_t Mask;
};
constexpr TPass Passes[7] = {
    {0, 0, 8, 8, 0x80}, {0, 4, 8, 8, 0x08}, {4, 0, 8, 4, 0x88}, {0, 2, 4, 4, 0x22},
    {2, 0, 4, 2, 0xAA}, {0, 1, 2, 2, 0x55}, {1, 0, 2, 1, 0xFF},
};

} // namespace

bool TPNGGraphic::Recognize(TStream& stream) {
    const int64_t start = stream.Position();
    if (stream.Remaining() <= int64_t(sizeof(Signature))) return false;
    uint8_t bytes[sizeof(Signature)];
    const bool complete = stream.Read(bytes, sizeof(bytes)) == sizeof(bytes);
    stream.SetPosition(start);
    return complete && std::memcmp(bytes, Signature, sizeof(Signature)) == 0;
}

// --- Chunks ---

void TPNGGraphic::ReadChunkHeader(TStream& stream) {
    uint8_t bytes[8];
    stream.ReadBuffer(bytes, sizeof(bytes));
    chunkLength_ = BE32(bytes);
    std::memcpy(chunkType_, bytes + 4, 4);
    runningCRC_ = uint32_t(crc32(0, chunkType_, 4));
}

void TPNGGraphic::ReadChunkData(TStream& stream) {
    // The buffer never grows beyond what the stream really holds.
    if (int64_t(chunkLength_) + 4 > stream.Remaining()) throw EImageFault(msgUnexpectedEnd);
    chunkBuffer_.resize(chunkLength_);
    stream.ReadBuffer(chunkBuffer_.data(), chunkLength_);
    uint8_t stored[4];
    stream.ReadBuffer(stored, sizeof(stored));
    // (zlib answers its initial value for a null buffer, so empty data is left out.)
    if (chunkLength_ != 0)
        runningCRC_ = uint32_t(crc32_z(runningCRC_, chunkBuffer_.data(), chunkLength_));
    if (runningCRC_ != BE32(stored)) Fail(msgCRCError);
}

void TPNGGraphic::SkipChunk(TStream& stream) {
    stream.Seek(int64_t(chunkLength_) + 4, TSeekOrigin::soCurrent);
}

bool TPNGGraphic::IsChunk(const char* name) const {
    uint32_t stored, wanted;
    std::memcpy(&stored, chunkType_, 4);
    std::memcpy(&wanted, name, 4);
    return ((stored ^ wanted) & 0xDFDFDFDF) == 0;
}

// --- Header ---

bool TPNGGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    SourceStream = &stream;
    uint8_t bytes[sizeof(Signature)];
    if (stream.Read(bytes, sizeof(bytes)) != sizeof(bytes) ||
        std::memcmp(bytes, Signature, sizeof(Signature)) != 0)
        return false;
    ReadChunkHeader(stream);
    if (!IsChunk("IHDR")) return false;

    TImageProperties& properties = ImageProperties;
    properties.Flags.Include(flBigEndian);
    ReadChunkData(stream);
    if (chunkLength_ < HeaderChunkSize) return false;
    const uint8_t* data = chunkBuffer_.data();
    properties.Width = BE32(data);
    properties.Height = BE32(data + 4);
    if (properties.Width == 0 || properties.Height == 0) return false;
    properties.Compression = data[10] == 0 ? ckDeflate : ckUnknown;
    properties.BitsPerSample = data[8];
    switch (data[9]) {
    case 0:
        properties.ColorModel = cmGray;
        properties.SamplesPerPixel = 1;
        break;
    case 2:
        properties.ColorModel = cmRGB;
        properties.SamplesPerPixel = 3;
        break;
    case 3:
        properties.ColorModel = cmPalette;
        properties.SamplesPerPixel = 1;
        break;
    case 4:
        properties.ColorModel = cmGrayAlpha;
        properties.SamplesPerPixel = 1;
        break;
    case 6:
        properties.ColorModel = cmRGBAlpha;
        properties.SamplesPerPixel = 4;
        break;
    default:
        properties.ColorModel = cmUnknown;
        properties.SamplesPerPixel = 1;
        break;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.FilterMode = data[11];
    properties.Interlaced = data[12] != 0;
    properties.HasAlpha = properties.ColorModel == cmGrayAlpha ||
                          properties.ColorModel == cmRGBAlpha ||
                          properties.ColorModel == cmBGRAlpha;

    // The gamma, if the file states one before its end.
    for (;;) {
        ReadChunkHeader(stream);
        if (IsChunk("gAMA")) {
            ReadChunkData(stream);
            if (chunkLength_ >= 4)
                properties.SourceGamma = float(BE32(chunkBuffer_.data())) / 100000.0f;
            return true;
        }
        SkipChunk(stream);
        if (IsChunk("IEND")) return true;
    }
}

// --- Loading ---

int TPNGGraphic::SetupColorManager(uint8_t colorType, uint8_t bitDepth) {
    TColorManager& colors = *ColorEngine;
    auto source = [&](TColorModel model, uint8_t channels) {
        colors.SetSourceModel(model);
        colors.SetSourceChannels(channels);
        colors.SetSourceSampleBits(bitDepth);
    };
    auto target = [&](TColorModel model, uint8_t channels, uint8_t bits) {
        colors.SetTargetModel(model);
        colors.SetTargetChannels(channels);
        colors.SetTargetSampleBits(bits);
    };
    const bool wide = bitDepth == 8 || bitDepth == 16;
    int pixelBytes = 0;
    switch (colorType) {
    case 0:
        if (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && !wide) break;
        source(cmGray, 1);
        target(cmGray, 1, bitDepth == 2 ? 4 : bitDepth == 16 ? 8 : bitDepth);
        SetPixelFormat(colors.TargetPixelFormat(true));
        palette_ = colors.MakeGrayPalette(false);
        pixelBytes = (bitDepth + 7) / 8;
        break;
    case 2:
        if (!wide) break;
        source(cmRGB, 3);
        target(cmBGR, 3, 8);
        SetPixelFormat(bf24Bit);
        pixelBytes = bitDepth * 3 / 8;
        break;
    case 3:
        if (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && bitDepth != 8) break;
        source(cmPalette, 1);
        target(cmPalette, 1, bitDepth == 2 ? 4 : bitDepth);
        SetPixelFormat(colors.TargetPixelFormat(true));
        pixelBytes = 1;
        break;
    case 4:
        if (!wide) break;
        source(cmGrayAlpha, 1);
        target(cmPalette, 1, 8);
        SetPixelFormat(bf8Bit);
        palette_ = colors.MakeGrayPalette(false);
        pixelBytes = bitDepth * 2 / 8;
        break;
    case 6:
        if (!wide) break;
        source(cmRGBAlpha, 4);
        target(cmBGRAlpha, 4, 8);
        SetPixelFormat(bf32Bit);
        pixelBytes = bitDepth * 4 / 8;
        break;
    default:
        break;
    }
    if (pixelBytes == 0) Fail(msgInvalidColorFormat);
    colorsReady_ = true;
    return pixelBytes;
}

void TPNGGraphic::ReadBKGD() {
    const std::span<const uint8_t> data(chunkBuffer_);
    switch (header_.ColorType) {
    case 0:
    case 4:
        if (data.size() < 2) return;
        fillColor_ = ChunkSample(BE16(data.data()), header_.BitDepth);
        fillIsIndex_ = true;
        break;
    case 2:
    case 6:
        if (data.size() < 6) return;
        fillColor_ = RGBColor(uint8_t(ChunkSample(BE16(&data[0]), header_.BitDepth)),
                              uint8_t(ChunkSample(BE16(&data[2]), header_.BitDepth)),
                              uint8_t(ChunkSample(BE16(&data[4]), header_.BitDepth)));
        fillIsIndex_ = false;
        break;
    default:
        if (data.empty()) return;
        fillColor_ = data[0];
        fillIsIndex_ = true;
        break;
    }
}

void TPNGGraphic::ReadTRNS() {
    const std::span<const uint8_t> data(chunkBuffer_);
    switch (header_.ColorType) {
    case 0:
        if (data.size() < 2) return;
        transparentKey_ = ChunkSample(BE16(data.data()), header_.BitDepth);
        keyIsIndex_ = true;
        break;
    case 2:
        if (data.size() < 6) return;
        transparentKey_ = RGBColor(uint8_t(ChunkSample(BE16(&data[0]), header_.BitDepth)),
                                   uint8_t(ChunkSample(BE16(&data[2]), header_.BitDepth)),
                                   uint8_t(ChunkSample(BE16(&data[4]), header_.BitDepth)));
        keyIsIndex_ = false;
        break;
    case 4:
    case 6:
        break;
    default: {
        const size_t count = std::min<size_t>(data.size(), alphaTable_.size());
        std::copy_n(data.begin(), count, alphaTable_.begin());
        std::fill(alphaTable_.begin() + count, alphaTable_.end(), 255);
        break;
    }
    }
}

std::optional<TColor> TPNGGraphic::ResolveColor(uint32_t value, bool isIndex) const {
    if (isIndex) {
        const TPalette& palette = Palette();
        if (value >= palette.Count()) return std::nullopt;
        const TRGBQuad& entry = palette[value];
        return RGBColor(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
    }
    // Colour samples are shown through the gamma table; so is the colour that stands for them.
    if (!ColorEngine->TargetFlags.Contains(cfApplyGamma)) return value;
    const auto& gamma = ColorEngine->GammaTable();
    return RGBColor(gamma[value & 0xFF], gamma[(value >> 8) & 0xFF], gamma[(value >> 16) & 0xFF]);
}

// Fills rows `first` to the last with `color`: the first through the bitmap, the others by
// copying it.
void TPNGGraphic::FillRows(int32_t first, TColor color) {
    if (first >= Height()) return;
    FillRect({0, first, Width(), first + 1}, color);
    const uint8_t* model = ScanLine(first);
    for (int32_t y = first + 1; y < Height(); ++y) std::memcpy(ScanLine(y), model, BytesPerLine());
}

bool TPNGGraphic::ReadRow(TStream& stream, uint8_t* buffer, size_t count) {
    constexpr size_t MaxCall = size_t(std::numeric_limits<int32_t>::max());
    while (count > 0) {
        if (inflatePosition_ == inflateSize_) {
            inflatePosition_ = inflateSize_ = 0;
            while (inflateSize_ == 0) {
                if (!IsChunk("IDAT")) return false; // the image data ran out
                ReadChunkData(stream);
                inflateSize_ = chunkLength_;
                ReadChunkHeader(stream);
            }
        }
        const uint8_t* input = chunkBuffer_.data() + inflatePosition_;
        uint8_t* output = buffer;
        inflater_->Decode(input, output,
                          int32_t(std::min(inflateSize_ - inflatePosition_, MaxCall)),
                          int32_t(std::min(count, MaxCall)));
        const size_t consumed = size_t(input - (chunkBuffer_.data() + inflatePosition_));
        const size_t produced = size_t(output - buffer);
        inflatePosition_ += consumed;
        buffer = output;
        count -= produced;
        const int32_t result = inflater_->ZResult();
        if (result == Z_STREAM_END) {
            if (count != 0 || inflatePosition_ != inflateSize_) Fail(msgExtraCompressedData);
            return true;
        }
        if (result != Z_OK || (consumed == 0 && produced == 0)) Fail(msgCompression);
    }
    return true;
}

void TPNGGraphic::LoadIDAT(TStream& stream, TLoad& load) {
    if (!colorsReady_) pixelBytes_ = SetupColorManager(header_.ColorType, header_.BitDepth);
    const size_t channels = size_t(header_.BitDepth == 16 ? pixelBytes_ / 2 : pixelBytes_);
    if (palette_) SetPalette(*palette_);
    if (header_.Width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        header_.Height > uint32_t(std::numeric_limits<int32_t>::max()))
        Fail(msgInvalidImage);
    SetSize(int32_t(header_.Width), int32_t(header_.Height));

    const TColor fill = ResolveColor(fillColor_, fillIsIndex_).value_or(NoColor);
    if (transparentKey_) {
        if (const std::optional<TColor> key = ResolveColor(*transparentKey_, keyIsIndex_)) {
            TransparentColor = *key;
            Transparent = true;
        }
    }
    load.BeginTransfer();

    const size_t rowBytes = CheckedMul(CheckedRowBytes(header_.Width, header_.BitDepth), channels);
    std::vector<uint8_t> current(CheckedAdd(rowBytes, 1)), prior(rowBytes + 1);
    const int32_t height = int32_t(header_.Height);
    const uint32_t width = header_.Width;
    TColorManager& colors = *ColorEngine;

    if (header_.Interlace == 1) {
        // Passes leave the pixels of later passes as they are: the background shows where
        // the data ends early.
        FillRows(0, fill);
        auto readPass = [&](const TPass& pass) {
            const size_t passWidth =
                (size_t(width) + pass.ColumnStep - pass.Column - 1) / pass.ColumnStep;
            const size_t passBytes = CheckedRowBytes(passWidth, header_.BitDepth) * channels;
            std::fill_n(prior.begin(), passBytes + 1, 0);
            for (uint32_t y = pass.Row; y < header_.Height; y += pass.RowStep) {
                if (!ReadRow(stream, current.data(), passBytes + 1)) return false;
                ApplyFilter(current[0], current.data() + 1, prior.data() + 1, pixelBytes_,
                            passBytes);
                colors.ConvertRows(std::span<const uint8_t>(current).subspan(1),
                                   ScanLineSpan(int32_t(y)), width, pass.Mask);
                std::swap(current, prior);
                if (pass.Mask == 0xFF)
                    load.Row(int32_t(std::min<uint32_t>(y + pass.RowStep, header_.Height)));
            }
            return true;
        };
        for (const TPass& pass : Passes)
            if (pass.Column < width && !readPass(pass)) break;
    } else {
        int32_t y = 0;
        // Rows the data does not reach show the background, also when an error ends the load.
        struct TBackground {
            TPNGGraphic& Image;
            const int32_t& Row;
            TColor Color;
            ~TBackground() { Image.FillRows(Row, Color); }
        } background{*this, y, fill};
        for (; y < height; ++y) {
            if (!ReadRow(stream, current.data(), rowBytes + 1)) break;
            ApplyFilter(current[0], current.data() + 1, prior.data() + 1, pixelBytes_, rowBytes);
            colors.ConvertRows(std::span<const uint8_t>(current).subspan(1), ScanLineSpan(y),
                               width);
            std::swap(current, prior);
            load.Row(y);
        }
    }
    while (IsChunk("IDAT")) {
        ReadChunkData(stream);
        ReadChunkHeader(stream);
    }
}

void TPNGGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    palette_.reset();
    alphaTable_.fill(0);
    fillColor_ = NoColor;
    fillIsIndex_ = false;
    transparentKey_.reset();
    colorsReady_ = false;
    inflatePosition_ = inflateSize_ = 0;
    load.Seek(sizeof(Signature));
    load.Prepare();

    ReadChunkHeader(stream);
    chunkBuffer_.clear();
    TColorManager& colors = *ColorEngine;
    // Samples of 16 bits are stored big-endian.
    colors.SourceFlags.Clear();
    if constexpr (std::endian::native == std::endian::little)
        colors.SourceFlags.Include(cfSwapBytes);
    colors.TargetFlags.Clear();
    ReadChunkData(stream);
    const uint8_t* ihdr = chunkBuffer_.data();
    header_ = {BE32(ihdr), BE32(ihdr + 4), ihdr[8], ihdr[9], ihdr[12]};
    if (ImageProperties.Compression != ckDeflate)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));

    // The inflater and the chunk buffer live for this load only.
    auto inflater = std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, false);
    inflater_ = inflater.get();
    struct TRelease {
        TPNGGraphic& Image;
        ~TRelease() {
            Image.inflater_ = nullptr;
            std::vector<uint8_t>().swap(Image.chunkBuffer_);
        }
    } release{*this};
    TDecoderSession session(std::move(inflater));

    for (;;) {
        ReadChunkHeader(stream);
        if (IsChunk("IDAT")) {
            load.Finish();
            LoadIDAT(stream, load);
            // The chunk after the image data is now the current one; it is passed over below.
        } else if (IsChunk("PLTE")) {
            if (chunkLength_ % 3 != 0) Fail(msgInvalidPalette);
            ReadChunkData(stream);
            if (header_.ColorType == 3) {
                pixelBytes_ = SetupColorManager(3, header_.BitDepth);
                palette_ = colors.MakeColorPalette({std::span<const uint8_t>(chunkBuffer_)},
                                                   plPacked8x3, chunkLength_ / 3, false);
            }
            continue;
        } else if (IsChunk("gAMA")) {
            ReadChunkData(stream);
            if (chunkLength_ >= 4) {
                // The table is built over 8-bit values: palettes, grey ramps and colour
                // samples all reach it at 8 bits.
                colors.SetSourceSampleBits(8);
                colors.SetTargetSampleBits(8);
                ApplySourceGamma(float(BE32(chunkBuffer_.data())) / 100000.0f);
            }
            continue;
        } else if (IsChunk("bKGD")) {
            ReadChunkData(stream);
            ReadBKGD();
            continue;
        } else if (IsChunk("tRNS")) {
            ReadChunkData(stream);
            ReadTRNS();
            continue;
        }
        SkipChunk(stream);
        if (IsChunk("IEND")) break;
        if ((chunkType_[0] & 0x20) == 0) throw EInvalidGraphic(msgUnknownCriticalChunk);
    }
    session.Finish();
    load.Finish();
}
