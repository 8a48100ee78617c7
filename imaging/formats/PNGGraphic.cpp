// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage          the signature or the header chunk is not PNG's
//   msgCRCError              a chunk read whole fails its CRC
//   msgUnsupportedFeature    compression method other than 0 (with msgCompressionScheme)
//   msgInvalidPalette        PLTE length not a multiple of 3
//   msgInvalidColorFormat    colour type or bit depth not defined
//   msgUnknownCriticalChunk  a critical chunk this reader does not handle
//   msgCompression           inflate fails
//   msgExtraCompressedData   the compressed stream ends early or data follows it
//   msgDataTooShort          the file cannot hold the data of the size its header states
//   msgUnexpectedEnd         the file ends inside a chunk
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/PNGGraphic.h"

#include "imaging/formats/PNGFilters.h"
#include "imaging/formats/RowSampling.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/DeflateDecoder.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include <zlib.h>

DEFINE_GRAPHIC_CLASS(TPNGGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PNG";
constexpr uint8_t Signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

enum class TColorType : uint8_t { Gray = 0, RGB = 2, Palette = 3, GrayAlpha = 4, RGBAlpha = 6 };
enum class TInterlace : uint8_t { None = 0, Adam7 = 1 };
enum class TCompressionMethod : uint8_t { Deflate = 0 };

// A chunk type as its four letters read big-endian; matched without regard to letter case.
constexpr uint32_t ChunkName(const char (&name)[5]) {
    return (uint32_t(uint8_t(name[0])) << 24) | (uint32_t(uint8_t(name[1])) << 16) |
           (uint32_t(uint8_t(name[2])) << 8) | uint32_t(uint8_t(name[3]));
}
constexpr uint32_t IHDR = ChunkName("IHDR");
constexpr uint32_t PLTE = ChunkName("PLTE");
constexpr uint32_t IDAT = ChunkName("IDAT");
constexpr uint32_t IEND = ChunkName("IEND");
constexpr uint32_t gAMA = ChunkName("gAMA");
constexpr uint32_t bKGD = ChunkName("bKGD");
constexpr uint32_t tRNS = ChunkName("tRNS");
constexpr uint32_t CaseBits = 0x20202020;
// Bit 5 of the first letter: set for ancillary chunks.
constexpr uint32_t AncillaryBit = 0x20000000;

// The IHDR data; a longer chunk holds more, which is passed over.
constexpr size_t HeaderDataSize = 13;
struct TPNGHeader {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint8_t BitDepth = 0;
    TColorType ColorType{};
    uint8_t Compression = 0;
    uint8_t Filter = 0;
    uint8_t Interlace = 0;
};

// The header from the IHDR data, or nothing when it states no pixels.
std::optional<TPNGHeader> ParseHeader(TByteReader reader) {
    static_assert(HeaderDataSize == 4 + 4 + 5);
    TPNGHeader header;
    header.Width = reader.BE32();
    header.Height = reader.BE32();
    header.BitDepth = reader.U8();
    header.ColorType = TColorType(reader.U8());
    header.Compression = reader.U8();
    header.Filter = reader.U8();
    header.Interlace = reader.U8();
    if (header.Width == 0 || header.Height == 0) return std::nullopt;
    return header;
}

// Deflate turns 258 bytes into two bits at best: no stream expands more than about 1032 times.
constexpr uint64_t MaxDeflateExpansion = 1032;
// No colour in a colour chunk; the bitmap's fill colour when none is stated (white).
constexpr uint32_t NoColor = 0xFFFFFF;

// Reads the chunks of a PNG stream one after another, with the CRC of each chunk read whole.
class TChunkReader {
public:
    explicit TChunkReader(TStream& stream) : stream_(stream) {}

    // Reads the next chunk's length and type and starts its CRC over the type.
    void Next() {
        uint8_t bytes[8];
        stream_.ReadBuffer(bytes, sizeof(bytes));
        TByteReader reader(bytes, sizeof(bytes));
        length_ = reader.BE32();
        type_ = reader.BE32();
        crc_ = uint32_t(crc32(0, bytes + 4, 4));
    }
    uint32_t Length() const { return length_; }
    bool Is(uint32_t name) const { return ((type_ ^ name) & ~CaseBits) == 0; }
    bool Critical() const { return (type_ & AncillaryBit) == 0; }

    // Reads the data into `buffer` (after the load checked that the stream holds it) and
    // checks the stored CRC.
    void Read(TImageGraphic::TLoad& load, TBudgetVector<uint8_t>& buffer) {
        load.RequireBytes(uint64_t(length_) + 4);
        buffer.Resize(length_);
        stream_.ReadBuffer(buffer.data(), length_);
        // (zlib answers its initial value for a null buffer, so empty data is left out.)
        if (length_ != 0) crc_ = uint32_t(crc32_z(crc_, buffer.data(), length_));
        CheckCRC();
    }
    // Reads the data through the CRC keeping only its first prefix.size() bytes, so that no
    // buffer grows with the length a file states; answers how many were kept.
    size_t ReadPrefix(std::span<uint8_t> prefix) {
        uint8_t block[4096];
        size_t kept = 0;
        for (uint32_t left = length_; left != 0;) {
            const size_t n = std::min<size_t>(left, sizeof(block));
            stream_.ReadBuffer(block, n);
            crc_ = uint32_t(crc32_z(crc_, block, n));
            const size_t take = std::min(n, prefix.size() - kept);
            std::memcpy(prefix.data() + kept, block, take);
            kept += take;
            left -= uint32_t(n);
        }
        CheckCRC();
        return kept;
    }
    // Passes over the data and the CRC, unchecked.
    void Skip() { stream_.Seek(int64_t(length_) + 4, TSeekOrigin::soCurrent); }

private:
    void CheckCRC() {
        uint8_t stored[4];
        stream_.ReadBuffer(stored, sizeof(stored));
        if (crc_ != TByteReader(stored, sizeof(stored)).BE32())
            throw EInvalidGraphic(FormatImageMessage(msgCRCError, FormatName));
    }

    TStream& stream_;
    uint32_t length_ = 0;
    uint32_t type_ = 0;
    uint32_t crc_ = 0;
};

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

// The three samples of a colour chunk as one colour.
TColor ChunkColor(TByteReader& reader, uint8_t depth) {
    const uint8_t red = uint8_t(ChunkSample(reader.BE16(), depth));
    const uint8_t green = uint8_t(ChunkSample(reader.BE16(), depth));
    const uint8_t blue = uint8_t(ChunkSample(reader.BE16(), depth));
    return RGBColor(red, green, blue);
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
// The first pass that writes to row y: rows are met by passes 1, 3, 5 or 7 first.
size_t FirstPass(uint32_t y) {
    if (y % 8 == 0) return 0;
    if (y % 8 == 4) return 2;
    if (y % 4 == 2) return 4;
    return 6;
}

} // namespace

bool TPNGGraphic::Recognize(TStream& stream) {
    uint8_t bytes[sizeof(Signature) + 1];
    return PeekBytes(stream, bytes) == sizeof(bytes) &&
           std::memcmp(bytes, Signature, sizeof(Signature)) == 0;
}

namespace {

// The signature and the header chunk at the stream's position, and what they tell of the image;
// nothing when they are not PNG's.
std::optional<TPNGHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    uint8_t bytes[sizeof(Signature)];
    if (stream.Read(bytes, sizeof(bytes)) != sizeof(bytes) ||
        std::memcmp(bytes, Signature, sizeof(Signature)) != 0)
        return std::nullopt;
    TChunkReader chunk(stream);
    chunk.Next();
    if (!chunk.Is(IHDR)) return std::nullopt;
    uint8_t data[HeaderDataSize];
    if (chunk.ReadPrefix(data) < HeaderDataSize) return std::nullopt;
    const std::optional<TPNGHeader> header = ParseHeader(TByteReader(data, sizeof(data)));
    if (!header) return std::nullopt;
    properties.Flags.Include(flBigEndian);
    properties.Width = header->Width;
    properties.Height = header->Height;
    properties.Compression =
        header->Compression == uint8_t(TCompressionMethod::Deflate) ? ckDeflate : ckUnknown;
    properties.BitsPerSample = header->BitDepth;
    properties.SamplesPerPixel = 1;
    switch (header->ColorType) {
    case TColorType::Gray:
        properties.ColorModel = cmGray;
        break;
    case TColorType::RGB:
        properties.ColorModel = cmRGB;
        properties.SamplesPerPixel = 3;
        break;
    case TColorType::Palette:
        properties.ColorModel = cmPalette;
        break;
    case TColorType::GrayAlpha:
        properties.ColorModel = cmGrayAlpha;
        break;
    case TColorType::RGBAlpha:
        properties.ColorModel = cmRGBAlpha;
        properties.SamplesPerPixel = 4;
        break;
    default:
        properties.ColorModel = cmUnknown;
        break;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.FilterMode = header->Filter;
    properties.Interlaced = header->Interlace != uint8_t(TInterlace::None);
    properties.HasAlpha = properties.ColorModel == cmGrayAlpha ||
                          properties.ColorModel == cmRGBAlpha ||
                          properties.ColorModel == cmBGRAlpha;

    return header;
}

} // namespace

bool TPNGGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    if (!ReadHeader(stream, ImageProperties)) return false;
    TImageProperties& properties = ImageProperties;
    TChunkReader chunk(stream);
    // The gamma, if the file states one before its end.
    for (;;) {
        chunk.Next();
        if (chunk.Is(gAMA)) {
            uint8_t gamma[4];
            if (chunk.ReadPrefix(gamma) == sizeof(gamma))
                properties.SourceGamma =
                    float(TByteReader(gamma, sizeof(gamma)).BE32()) / 100000.0f;
            return true;
        }
        chunk.Skip();
        if (chunk.Is(IEND)) return true;
    }
}

// --- One load ---

struct TPNGGraphic::TPNGLoad {
    TPNGLoad(TPNGGraphic& image, TLoad& load, TStream& stream, const TPNGHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Chunk(stream), Header(header),
          Data(load.Budget()), Current(load.Budget()), Prior(load.Budget()),
          FillModel(load.Budget()), Wide(load.Budget()) {}

    void Run();

private:
    void SetupColors();
    void ReadPalette();
    void ReadGamma();
    void ReadBackground();
    void ReadTransparency();
    void LoadImageData();
    void LoadRows(size_t rowBytes);
    void LoadInterlaced(size_t channels);
    // The factor the picture shrinks by when the caller asked for a smaller one: every row is
    // inflated, every Shrink-th one converted (interlaced files stop after the passes that
    // hold every Shrink-th pixel of every Shrink-th row: 8, 4 or 2). 1 for packed pixels.
    uint32_t ChooseShrink() const;
    void LoadRowsShrunk(size_t rowBytes);
    void LoadInterlacedShrunk(size_t channels);
    // Pixel i of the converted row Wide goes to column (first + i * step) / Shrink of row y.
    void PlaceShrunk(int32_t y, uint32_t count, uint32_t first, uint32_t step);
    // After the last row: the end of the stream and what follows it in the current chunk, as
    // far as they can be read without output.
    void FinishImageData();
    // Fills `count` bytes of inflated data into `row`; false when the image data ran out.
    bool ReadRow(uint8_t* row, size_t count);
    // A colour of the bKGD or tRNS chunk as the bitmap shows it.
    std::optional<TColor> ResolveColor(uint32_t value, bool isIndex) const;
    void FillRow(int32_t y);
    // The transparency chunk of a palette or grey image as the palette's alpha.
    void ApplyPaletteAlpha();
    // The transparency chunk of an RGB image on one converted row: alpha 0 where the stored
    // samples are the transparent colour's, 255 elsewhere. The row's pixels land from column
    // `first` on, every `step` columns.
    void KeyRow(const uint8_t* samples, uint8_t* row, uint32_t count, uint32_t first,
                uint32_t step);

    TPNGGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    TChunkReader Chunk;
    const TPNGHeader Header;
    // The data of the last chunk read; the inflater goes on from InflatePosition in it.
    TBudgetVector<uint8_t> Data;
    TLZ77Decoder* Inflater = nullptr; // owned by Run's decoder session
    size_t InflatePosition = 0;
    size_t InflateSize = 0; // image data in Data (0: none)
    // Bytes of a complete pixel; 0 until the colour manager is set up.
    int PixelBytes = 0;
    std::optional<TPalette> Palette;
    // Background and transparent colour: an RGB colour, or an index into the palette for
    // palette and grey images.
    uint32_t FillColor = NoColor;
    bool FillIsIndex = false;
    std::optional<uint32_t> TransparentKey;
    bool KeyIsIndex = false;
    bool PaletteAlpha = false;             // a palette image's transparency chunk was read:
    std::array<uint8_t, 256> AlphaTable{}; // its alpha per entry, 255 past those it lists
    std::array<uint16_t, 3> RawKey{};      // an RGB image's transparent colour as stored
    bool ColorKey = false;                 // RawKey applies to the rows
    // The current and the prior row, each with its filter byte.
    TBudgetVector<uint8_t> Current, Prior;
    // The fill colour as the bitmap shows it, and a scan line in it once one was filled.
    TColor Fill = NoColor;
    TBudgetVector<uint8_t> FillModel;
    // Shrinking: the factor and a converted row at full width.
    uint32_t Shrink = 1;
    TBudgetVector<uint8_t> Wide;
};

void TPNGGraphic::TPNGLoad::Run() {
    // Samples of 16 bits are stored big-endian.
    if constexpr (std::endian::native == std::endian::little)
        Colors.SourceFlags.Include(cfSwapBytes);
    if (Image.ImageProperties.Compression != ckDeflate)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));

    auto inflater = std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, false);
    Inflater = inflater.get();
    TDecoderSession session(std::move(inflater));
    for (;;) {
        Chunk.Next();
        if (Chunk.Is(IDAT)) {
            Load.Finish();
            LoadImageData();
            // The chunk after the image data is now the current one; it is passed over below.
        } else if (Chunk.Is(PLTE)) {
            ReadPalette();
            continue;
        } else if (Chunk.Is(gAMA)) {
            ReadGamma();
            continue;
        } else if (Chunk.Is(bKGD)) {
            ReadBackground();
            continue;
        } else if (Chunk.Is(tRNS)) {
            ReadTransparency();
            continue;
        }
        Chunk.Skip();
        if (Chunk.Is(IEND)) break;
        if (Chunk.Critical()) throw EInvalidGraphic(msgUnknownCriticalChunk);
    }
    session.Finish();
}

void TPNGGraphic::TPNGLoad::SetupColors() {
    const uint8_t depth = Header.BitDepth;
    auto source = [&](TColorModel model, uint8_t channels) {
        Colors.SetSourceModel(model);
        Colors.SetSourceChannels(channels);
        Colors.SetSourceSampleBits(depth);
    };
    auto target = [&](TColorModel model, uint8_t channels, uint8_t bits) {
        Colors.SetTargetModel(model);
        Colors.SetTargetChannels(channels);
        Colors.SetTargetSampleBits(bits);
    };
    const bool wide = depth == 8 || depth == 16;
    const bool packed = depth == 1 || depth == 2 || depth == 4;
    int pixelBytes = 0;
    switch (Header.ColorType) {
    case TColorType::Gray:
        if (!packed && !wide) break;
        source(cmGray, 1);
        target(cmGray, 1, depth == 2 ? 4 : depth == 16 ? 8 : depth);
        Image.SetPixelFormat(Colors.TargetPixelFormat(true));
        Palette = Colors.MakeGrayPalette(false);
        pixelBytes = (depth + 7) / 8;
        break;
    case TColorType::RGB:
        if (!wide) break;
        source(cmRGB, 3);
        // A transparent colour needs the alpha place (ApplyColorKey fills it).
        if (TransparentKey) {
            target(cmBGRAlpha, 4, 8);
            Image.SetPixelFormat(bf32Bit);
            Image.AlphaFormat = afDefined;
            ColorKey = true;
        } else {
            target(cmBGR, 3, 8);
            Image.SetPixelFormat(bf24Bit);
        }
        pixelBytes = depth * 3 / 8;
        break;
    case TColorType::Palette:
        if (!packed && depth != 8) break;
        source(cmPalette, 1);
        target(cmPalette, 1, depth == 2 ? 4 : depth);
        Image.SetPixelFormat(Colors.TargetPixelFormat(true));
        pixelBytes = 1;
        break;
    case TColorType::GrayAlpha:
        if (!wide) break;
        source(cmGrayAlpha, 1);
        target(cmBGRAlpha, 4, 8);
        Image.SetPixelFormat(bf32Bit);
        Image.AlphaFormat = afDefined;
        pixelBytes = depth * 2 / 8;
        break;
    case TColorType::RGBAlpha:
        if (!wide) break;
        source(cmRGBAlpha, 4);
        target(cmBGRAlpha, 4, 8);
        Image.SetPixelFormat(bf32Bit);
        Image.AlphaFormat = afDefined;
        pixelBytes = depth * 4 / 8;
        break;
    }
    if (pixelBytes == 0) Load.Fail(msgInvalidColorFormat);
    PixelBytes = pixelBytes;
}

void TPNGGraphic::TPNGLoad::ReadPalette() {
    if (Chunk.Length() % 3 != 0) Load.Fail(msgInvalidPalette);
    Chunk.Read(Load, Data);
    if (Header.ColorType != TColorType::Palette) return;
    SetupColors();
    Palette = Colors.MakeColorPalette({Data.Span()}, plPacked8x3, uint32_t(Data.size() / 3), false);
}

void TPNGGraphic::TPNGLoad::ReadGamma() {
    Chunk.Read(Load, Data);
    if (Data.size() < 4) return;
    // The table is built over 8-bit values whatever depths the colour manager is set to:
    // palettes, grey ramps and colour samples all reach it at 8 bits.
    Image.ImageProperties.SourceGamma = float(TByteReader(Data.Span()).BE32()) / 100000.0f;
    Image.ApplySourceGamma(Image.ImageProperties.SourceGamma, 8);
}

void TPNGGraphic::TPNGLoad::ReadBackground() {
    Chunk.Read(Load, Data);
    TByteReader reader(Data.Span());
    switch (Header.ColorType) {
    case TColorType::Gray:
    case TColorType::GrayAlpha:
        if (reader.Size() < 2) return;
        FillColor = ChunkSample(reader.BE16(), Header.BitDepth);
        FillIsIndex = true;
        break;
    case TColorType::RGB:
    case TColorType::RGBAlpha:
        if (reader.Size() < 6) return;
        FillColor = ChunkColor(reader, Header.BitDepth);
        FillIsIndex = false;
        break;
    default:
        if (reader.Size() < 1) return;
        FillColor = reader.U8();
        FillIsIndex = true;
        break;
    }
}

void TPNGGraphic::TPNGLoad::ReadTransparency() {
    Chunk.Read(Load, Data);
    TByteReader reader(Data.Span());
    switch (Header.ColorType) {
    case TColorType::Gray:
        if (reader.Size() < 2) return;
        TransparentKey = ChunkSample(reader.BE16(), Header.BitDepth);
        KeyIsIndex = true;
        break;
    case TColorType::RGB: {
        if (reader.Size() < 6) return;
        TByteReader samples = reader;
        for (uint16_t& sample : RawKey) sample = samples.BE16();
        TransparentKey = ChunkColor(reader, Header.BitDepth);
        KeyIsIndex = false;
        break;
    }
    case TColorType::GrayAlpha:
    case TColorType::RGBAlpha:
        break;
    default: {
        auto& alpha = AlphaTable;
        const size_t count = std::min(reader.Size(), alpha.size());
        reader.Read(alpha.data(), count);
        std::fill(alpha.begin() + std::ptrdiff_t(count), alpha.end(), 255);
        PaletteAlpha = true;
        break;
    }
    }
}

std::optional<TColor> TPNGGraphic::TPNGLoad::ResolveColor(uint32_t value, bool isIndex) const {
    if (isIndex) {
        const TPalette& palette = Image.Palette();
        if (value >= palette.Count()) return std::nullopt;
        const TRGBQuad& entry = palette[value];
        return RGBColor(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
    }
    // Colour samples are shown through the gamma table; so is the colour that stands for them.
    if (!Colors.TargetFlags.Contains(cfApplyGamma)) return value;
    const auto& gamma = Colors.GammaTable();
    return RGBColor(gamma[value & 0xFF], gamma[(value >> 8) & 0xFF], gamma[(value >> 16) & 0xFF]);
}

void TPNGGraphic::TPNGLoad::ApplyPaletteAlpha() {
    const bool grey = Header.ColorType == TColorType::Gray && TransparentKey;
    if (!PaletteAlpha && !grey) return;
    if (Header.ColorType != TColorType::Palette && !grey) return;
    std::vector<TRGBQuad> entries = Image.Palette().Entries();
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].rgbReserved = grey ? (i == *TransparentKey ? 0 : 255) : AlphaTable[i];
    Image.SetPalette(TPalette(std::move(entries)));
    Image.AlphaFormat = afDefined;
}

void TPNGGraphic::TPNGLoad::KeyRow(const uint8_t* samples, uint8_t* row, uint32_t count,
                                   uint32_t first, uint32_t step) {
    uint8_t* alpha = row + 3;
    if (Header.BitDepth == 8) {
        const uint8_t r = uint8_t(RawKey[0]), g = uint8_t(RawKey[1]), b = uint8_t(RawKey[2]);
        for (uint32_t i = 0, x = first; i < count; ++i, x += step, samples += 3)
            alpha[4 * size_t(x)] = samples[0] == r && samples[1] == g && samples[2] == b ? 0 : 255;
        return;
    }
    for (uint32_t i = 0, x = first; i < count; ++i, x += step, samples += 6) {
        TByteReader pixel(samples, 6);
        const bool key =
            pixel.BE16() == RawKey[0] && pixel.BE16() == RawKey[1] && pixel.BE16() == RawKey[2];
        alpha[4 * size_t(x)] = key ? 0 : 255;
    }
}

// Row y in the fill colour: the first such row through the bitmap, the others copied from it.
void TPNGGraphic::TPNGLoad::FillRow(int32_t y) {
    const std::span<uint8_t> line = Image.ScanLineSpan(y);
    if (FillModel.empty()) {
        Image.FillRect({0, y, Image.Width(), y + 1}, Fill);
        FillModel.Resize(line.size());
        std::copy(line.begin(), line.end(), FillModel.begin());
    } else {
        std::copy(FillModel.begin(), FillModel.end(), line.begin());
    }
}

bool TPNGGraphic::TPNGLoad::ReadRow(uint8_t* row, size_t count) {
    constexpr size_t MaxCall = size_t(std::numeric_limits<int32_t>::max());
    while (count > 0) {
        if (InflatePosition == InflateSize) {
            InflatePosition = InflateSize = 0;
            while (InflateSize == 0 && Chunk.Is(IDAT)) {
                Chunk.Read(Load, Data);
                InflateSize = Data.size();
                Chunk.Next();
            }
        }
        // Past the last chunk the inflater is still asked for the output it may have decoded
        // ahead of the rows asked for so far.
        const bool dataLeft = InflatePosition < InflateSize;
        const uint8_t* start = Data.data() + InflatePosition;
        const uint8_t* input = start;
        uint8_t* output = row;
        Inflater->Decode(input, output, int32_t(std::min(InflateSize - InflatePosition, MaxCall)),
                         int32_t(std::min(count, MaxCall)));
        const size_t consumed = size_t(input - start);
        const size_t produced = size_t(output - row);
        InflatePosition += consumed;
        row = output;
        count -= produced;
        const int32_t result = Inflater->ZResult();
        if (result == Z_STREAM_END) {
            if (count != 0 || InflatePosition != InflateSize || Inflater->ReadPastEnd() != 0)
                Load.Fail(msgExtraCompressedData);
            return true;
        }
        if (!dataLeft && produced == 0 && (result == Z_OK || result == Z_BUF_ERROR))
            return false; // the image data ran out
        if (result != Z_OK || (consumed == 0 && produced == 0)) Load.Fail(msgCompression);
    }
    return true;
}

void TPNGGraphic::TPNGLoad::LoadImageData() {
    if (PixelBytes == 0) SetupColors();
    const size_t channels = size_t(Header.BitDepth == 16 ? PixelBytes / 2 : PixelBytes);
    if (Palette) Image.SetPalette(*Palette);
    constexpr uint32_t MaxSide = uint32_t(std::numeric_limits<int32_t>::max());
    if (Header.Width > MaxSide || Header.Height > MaxSide) Load.Fail(msgInvalidImage);

    // Every row takes its filter byte and its samples, which deflate cannot make out of
    // fewer than a thousandth of their size.
    const size_t rowBytes = CheckedMul(CheckedRowBytes(Header.Width, Header.BitDepth), channels);
    Load.RequireExpansion(CheckedMul(CheckedAdd(rowBytes, 1), Header.Height), MaxDeflateExpansion);
    Shrink = ChooseShrink();
    Image.SetSize(int32_t((Header.Width + Shrink - 1) / Shrink),
                  int32_t((Header.Height + Shrink - 1) / Shrink));
    if (Shrink > 1) Wide.Resize(Colors.RowBytes(Header.Width, true));

    Fill = ResolveColor(FillColor, FillIsIndex).value_or(NoColor);
    if (TransparentKey) {
        if (const std::optional<TColor> key = ResolveColor(*TransparentKey, KeyIsIndex)) {
            Image.TransparentColor = *key;
            Image.Transparent = true;
        }
    }
    ApplyPaletteAlpha();
    Load.BeginTransfer();
    Current.Resize(CheckedAdd(rowBytes, 1 + PNGFilters::RowPadding));
    Prior.Resize(CheckedAdd(rowBytes, 1 + PNGFilters::RowPadding));
    const bool interlaced = Header.Interlace == uint8_t(TInterlace::Adam7);
    if (Shrink > 1) {
        if (interlaced)
            LoadInterlacedShrunk(channels);
        else
            LoadRowsShrunk(rowBytes);
        // What follows the passes or rows read is passed over with its chunks.
        if (!interlaced) FinishImageData();
    } else {
        if (interlaced)
            LoadInterlaced(channels);
        else
            LoadRows(rowBytes);
        FinishImageData();
    }
    while (Chunk.Is(IDAT)) {
        Chunk.Read(Load, Data);
        Chunk.Next();
    }
}

void TPNGGraphic::TPNGLoad::FinishImageData() {
    if (Inflater->ZResult() != Z_OK) return;
    const uint8_t* start = Data.data() + InflatePosition;
    const uint8_t* input = start;
    uint8_t none = 0;
    uint8_t* output = &none;
    Inflater->Decode(input, output,
                     int32_t(std::min(InflateSize - InflatePosition,
                                      size_t(std::numeric_limits<int32_t>::max()))),
                     0);
    InflatePosition += size_t(input - start);
    const int32_t result = Inflater->ZResult();
    if (result == Z_STREAM_END && (InflatePosition != InflateSize || Inflater->ReadPastEnd() != 0))
        Load.Fail(msgExtraCompressedData);
    if (result != Z_STREAM_END && result != Z_OK && result != Z_BUF_ERROR)
        Load.Fail(msgCompression);
}

void TPNGGraphic::TPNGLoad::LoadRows(size_t rowBytes) {
    const int32_t height = int32_t(Header.Height);
    const uint32_t width = Header.Width;
    int32_t y = 0;
    for (; y < height; ++y) {
        if (!ReadRow(Current.data(), rowBytes + 1)) break;
        PNGFilters::Unfilter(Current[0], Current.data() + 1, Prior.data() + 1, PixelBytes,
                             rowBytes);
        Colors.ConvertRows(Current.Span().subspan(1, rowBytes), Image.ScanLineSpan(y), width);
        if (ColorKey) KeyRow(Current.data() + 1, Image.ScanLine(y), width, 0, 1);
        swap(Current, Prior);
        Load.Row(y);
    }
    // Rows the data does not reach show the background.
    for (; y < height; ++y) FillRow(y);
}

void TPNGGraphic::TPNGLoad::LoadInterlaced(size_t channels) {
    const uint32_t width = Header.Width, height = Header.Height;
    // Each row is filled with the background just before the first pass that writes to it,
    // so that the pixels of later passes show it where the data ends early.
    size_t pass = 0;
    uint32_t y = 0;
    const auto readPass = [&](const TPass& step) {
        const size_t passWidth =
            (size_t(width) + step.ColumnStep - step.Column - 1) / step.ColumnStep;
        const size_t passBytes = CheckedMul(CheckedRowBytes(passWidth, Header.BitDepth), channels);
        std::fill_n(Prior.begin(), passBytes + 1, 0);
        for (y = step.Row; y < height; y += step.RowStep) {
            if (!ReadRow(Current.data(), passBytes + 1)) return false;
            PNGFilters::Unfilter(Current[0], Current.data() + 1, Prior.data() + 1, PixelBytes,
                                 passBytes);
            if (FirstPass(y) == pass) FillRow(int32_t(y));
            Colors.ConvertRows(Current.Span().subspan(1, passBytes), Image.ScanLineSpan(int32_t(y)),
                               width, step.Mask);
            if (ColorKey)
                KeyRow(Current.data() + 1, Image.ScanLine(int32_t(y)), uint32_t(passWidth),
                       step.Column, step.ColumnStep);
            swap(Current, Prior);
            if (step.Mask == 0xFF) Load.Row(int32_t(std::min<uint32_t>(y + step.RowStep, height)));
        }
        return true;
    };
    for (; pass < std::size(Passes); ++pass) {
        if (Passes[pass].Column >= width || readPass(Passes[pass])) continue;
        // The data ended: the rows no pass has reached yet show the background.
        for (uint32_t row = 0; row < height; ++row) {
            const size_t first = FirstPass(row);
            if (first > pass || (first == pass && row >= y)) FillRow(int32_t(row));
        }
        return;
    }
}

uint32_t TPNGGraphic::TPNGLoad::ChooseShrink() const {
    const int bits = BitsPerPixelOf(Image.PixelFormat());
    if (bits < 8) return 1;
    const uint32_t shrink = Image.SamplingFactor(Header.Width, Header.Height);
    if (Header.Interlace != uint8_t(TInterlace::Adam7)) return shrink;
    return shrink >= 8 ? 8 : shrink >= 4 ? 4 : shrink >= 2 ? 2 : 1;
}

void TPNGGraphic::TPNGLoad::PlaceShrunk(int32_t y, uint32_t count, uint32_t first, uint32_t step) {
    const size_t pixel = size_t(BitsPerPixelOf(Image.PixelFormat()) / 8);
    uint8_t* row = Image.ScanLine(y);
    const uint8_t* in = Wide.data();
    if (step == 1) {
        // A whole row: every Shrink-th pixel.
        SamplePixels(in, pixel, size_t(Image.Width()), Shrink, row);
        return;
    }
    // A pass row: every pixel lies on the grid.
    for (uint32_t i = 0, x = first; i < count; ++i, x += step)
        std::memcpy(row + size_t(x / Shrink) * pixel, in + size_t(i) * pixel, pixel);
}

void TPNGGraphic::TPNGLoad::LoadRowsShrunk(size_t rowBytes) {
    const uint32_t width = Header.Width, height = Header.Height;
    uint32_t y = 0;
    for (; y < height; ++y) {
        if (!ReadRow(Current.data(), rowBytes + 1)) break;
        PNGFilters::Unfilter(Current[0], Current.data() + 1, Prior.data() + 1, PixelBytes,
                             rowBytes);
        if (y % Shrink == 0) {
            Colors.ConvertRows(Current.Span().subspan(1, rowBytes), Wide.Span(), width);
            if (ColorKey) KeyRow(Current.data() + 1, Wide.data(), width, 0, 1);
            PlaceShrunk(int32_t(y / Shrink), width, 0, 1);
            Load.Row(int32_t(y / Shrink));
        }
        swap(Current, Prior);
    }
    // Rows the data does not reach show the background.
    for (uint32_t row = (y + Shrink - 1) / Shrink; row < uint32_t(Image.Height()); ++row)
        FillRow(int32_t(row));
}

void TPNGGraphic::TPNGLoad::LoadInterlacedShrunk(size_t channels) {
    const uint32_t width = Header.Width, height = Header.Height;
    // Passes 1 to 1, 3 or 5 hold every 8th, 4th or 2nd pixel of every 8th, 4th or 2nd row, all
    // of them on that grid; rows start in the background in case the data ends early.
    const size_t passes = Shrink == 8 ? 1 : Shrink == 4 ? 3 : 5;
    for (int32_t row = 0; row < Image.Height(); ++row) FillRow(row);
    for (size_t pass = 0; pass < passes; ++pass) {
        const TPass& step = Passes[pass];
        if (step.Column >= width) continue;
        const uint32_t passWidth = (width + step.ColumnStep - step.Column - 1) / step.ColumnStep;
        const size_t passBytes = CheckedMul(CheckedRowBytes(passWidth, Header.BitDepth), channels);
        std::fill_n(Prior.begin(), passBytes + 1, 0);
        for (uint32_t y = step.Row; y < height; y += step.RowStep) {
            if (!ReadRow(Current.data(), passBytes + 1)) return;
            PNGFilters::Unfilter(Current[0], Current.data() + 1, Prior.data() + 1, PixelBytes,
                                 passBytes);
            Colors.ConvertRows(Current.Span().subspan(1, passBytes), Wide.Span(), passWidth);
            if (ColorKey) KeyRow(Current.data() + 1, Wide.data(), passWidth, 0, 1);
            PlaceShrunk(int32_t(y / Shrink), passWidth, step.Column, step.ColumnStep);
            swap(Current, Prior);
        }
        Load.Running(pass + 1, passes);
    }
}

void TPNGGraphic::DecodeImage(TStream& stream) {
    std::optional<TPNGHeader> header;
    TLoad load(*this, stream, FormatName,
               [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); });
    load.Prepare();
    TPNGLoad(*this, load, stream, *header).Run();
    load.Finish();
}
