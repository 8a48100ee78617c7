// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgUnexpectedEnd    the file ends before its colour map or its stored rows
//   msgDataTooShort     run-length rows that cannot fill the size the header states
//   msgStreamReadError  the file ends inside the header
// the colour manager's errors for a pixel depth without a bitmap layout, and, from the bitmap
// and the load's budget, msgImageTooLarge and msgMemoryLimit. A header of an unknown image or
// colour map type leaves the bitmap empty. The writer raises msgTargaTooLarge.
#include "imaging/formats/TargaGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/formats/RowSampling.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

DEFINE_GRAPHIC_CLASS(TTargaGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "TGA";
constexpr size_t HeaderSize = 18;
// Bits of the image descriptor: the alpha (attribute) bits of a pixel, and the order of the
// stored pixels, right to left and top to bottom.
constexpr uint8_t AlphaBitsMask = 0x0F;
constexpr uint8_t RightToLeftFlag = 0x10;
constexpr uint8_t TopDownFlag = 0x20;
// A run packet: one count byte and one pixel stand for up to 128 pixels.
constexpr uint64_t MaxRunPixels = 128;
// Entries of the colour map the writer stores for 8-bit images.
constexpr uint16_t WrittenMapLength = 256;
constexpr uint8_t WrittenMapEntrySize = 24;

enum class TTargaImageType : uint8_t {
    NoImage = 0,
    Indexed = 1,
    TrueColor = 2,
    Gray = 3,
    IndexedRunLength = 9,
    TrueColorRunLength = 10,
    GrayRunLength = 11,
};
enum class TTargaMapType : uint8_t { None = 0, Present = 1 };

bool IsKnownImageType(uint8_t type) {
    switch (TTargaImageType(type)) {
    case TTargaImageType::NoImage:
    case TTargaImageType::Indexed:
    case TTargaImageType::TrueColor:
    case TTargaImageType::Gray:
    case TTargaImageType::IndexedRunLength:
    case TTargaImageType::TrueColorRunLength:
    case TTargaImageType::GrayRunLength:
        return true;
    }
    return false;
}
bool IsStandardDepth(uint8_t bits) {
    return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}
bool IsStandardMapEntry(uint8_t bits) {
    return bits != 8 && IsStandardDepth(bits);
}
// Bytes a pixel or colour map entry of `bits` bits takes; 15-bit values fill two bytes.
size_t BytesOf(uint8_t bits) {
    return (size_t(bits) + 7) / 8;
}
// The most pixel bytes a byte of packets gives: a run packet of 1 + n bytes stands for 128
// pixels of n bytes.
uint64_t RunExpansion(size_t pixelBytes) {
    return (MaxRunPixels * pixelBytes + pixelBytes) / (pixelBytes + 1);
}

// The 18-byte header as Truevision's TGA file format document (version 2.0) gives it.
struct TTargaHeader {
    uint8_t IDLength = 0;
    TTargaMapType MapType{};
    TTargaImageType ImageType{};
    uint16_t MapFirst = 0; // the index of the map's first entry
    uint16_t MapLength = 0;
    uint8_t MapEntrySize = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t PixelDepth = 0;
    uint8_t Descriptor = 0;

    bool RunLength() const {
        return uint8_t(ImageType) >= uint8_t(TTargaImageType::IndexedRunLength);
    }
    bool Stored() const { return ImageType != TTargaImageType::NoImage && !RunLength(); }
    bool Gray() const {
        return ImageType == TTargaImageType::Gray || ImageType == TTargaImageType::GrayRunLength;
    }
    bool TrueColor() const {
        return ImageType == TTargaImageType::TrueColor ||
               ImageType == TTargaImageType::TrueColorRunLength;
    }
    bool Indexed() const {
        return ImageType == TTargaImageType::Indexed ||
               ImageType == TTargaImageType::IndexedRunLength;
    }
    // The descriptor announces alpha: attribute bits in each pixel (or colour map entry).
    bool AlphaAnnounced() const { return (Descriptor & AlphaBitsMask) != 0; }
    bool RightToLeft() const { return (Descriptor & RightToLeftFlag) != 0; }
    bool HasMap() const { return MapType == TTargaMapType::Present; }
    bool TopDown() const { return (Descriptor & TopDownFlag) != 0; }
    // Bytes of the colour map between the image ID and the pixels.
    size_t MapBytes() const { return HasMap() ? size_t(MapLength) * BytesOf(MapEntrySize) : 0; }
};

// The header, or nothing when its image type or colour map type is not one of the format's.
std::optional<TTargaHeader> ParseHeader(TByteReader& reader) {
    TTargaHeader header;
    header.IDLength = reader.U8();
    const uint8_t mapType = reader.U8(), imageType = reader.U8();
    if (mapType > uint8_t(TTargaMapType::Present) || !IsKnownImageType(imageType))
        return std::nullopt;
    header.MapType = TTargaMapType(mapType);
    header.ImageType = TTargaImageType(imageType);
    header.MapFirst = reader.LE16();
    header.MapLength = reader.LE16();
    header.MapEntrySize = reader.U8();
    reader.Skip(4); // origin
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    header.PixelDepth = reader.U8();
    header.Descriptor = reader.U8();
    return header;
}

// How the stored pixels become the bitmap's.
enum class TTargaRows : uint8_t {
    AsStored,  // every byte as it is: indices, grey, 5-5-5, blue-green-red(-alpha)
    WordAlpha, // 1-5-5-5 words whose attribute bit is the alpha, widened to 32 bits
    GrayAlpha, // grey and alpha bytes, widened to 32 bits
};

TTargaRows RowsOf(const TTargaHeader& header) {
    if (header.Gray() && header.PixelDepth == 16) return TTargaRows::GrayAlpha;
    if (header.TrueColor() && header.PixelDepth == 16 && header.AlphaAnnounced())
        return TTargaRows::WordAlpha;
    return TTargaRows::AsStored;
}

// Whether the image shows the alpha its descriptor announces: in 32-bit pixels, the attribute
// bit of 16-bit colour, the alpha of grey and alpha pixels, or a 32-bit colour map's.
bool CarriesAlpha(const TTargaHeader& header) {
    if (!header.AlphaAnnounced()) return false;
    if (header.Indexed()) return header.HasMap() && header.MapEntrySize == 32;
    return header.PixelDepth == 32 || RowsOf(header) != TTargaRows::AsStored;
}

// The header and what it tells of the image, or nothing when the header is not this format's.
// A header cut short is the stream's read error.
std::optional<TTargaHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TTargaHeader> header = ParseHeader(reader);
    if (!header) return std::nullopt;
    properties.Width = header->Width;
    properties.Height = header->Height;
    properties.BitsPerSample = 8;
    switch (header->PixelDepth) {
    case 8:
        properties.ColorModel = header->Gray() ? cmGray : cmPalette;
        properties.SamplesPerPixel = 1;
        break;
    case 15:
    case 16:
        if (header->Gray() && header->PixelDepth == 16) {
            properties.ColorModel = cmGrayAlpha;
            properties.SamplesPerPixel = 2;
            break;
        }
        properties.ColorModel = cmRGB;
        properties.BitsPerSample = 5;
        properties.SamplesPerPixel = 3;
        break;
    case 24:
        properties.ColorModel = cmRGB;
        properties.SamplesPerPixel = 3;
        break;
    case 32:
        properties.ColorModel = cmRGBAlpha;
        properties.SamplesPerPixel = 4;
        break;
    default:
        properties.ColorModel = cmUnknown;
        properties.SamplesPerPixel = 0;
        break;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.Compression = header->RunLength() ? ckRunLength : ckNone;
    properties.HasAlpha = CarriesAlpha(*header);
    return header;
}

// The palette of a colour map: the map's entry k is the colour of index first + k, indices
// below the first are black. Entries of 15 or 16 bits (x1r5g5b5) have each channel shifted to
// the top of its byte; 24- and 32-bit entries are blue, green, red (and alpha, kept when
// `alpha`). Empty for entries of another size.
TPalette MapPalette(std::span<const uint8_t> map, const TTargaHeader& header, bool alpha) {
    const uint8_t bits = header.MapEntrySize;
    if (bits != 15 && bits != 16 && bits != 24 && bits != 32) return {};
    const size_t first = std::min<size_t>(header.MapFirst, TPalette::MaxEntries);
    const size_t count = std::min<size_t>(header.MapLength, TPalette::MaxEntries - first);
    std::vector<TRGBQuad> entries(first + count);
    TByteReader reader(map);
    for (size_t i = first; i < entries.size(); ++i) {
        TRGBQuad& entry = entries[i];
        if (bits <= 16) {
            const unsigned w = reader.LE16();
            entry.rgbRed = uint8_t((w & 0x7C00) >> 7);
            entry.rgbGreen = uint8_t((w & 0x03E0) >> 2);
            entry.rgbBlue = uint8_t((w & 0x001F) << 3);
            continue;
        }
        entry.rgbBlue = reader.U8();
        entry.rgbGreen = reader.U8();
        entry.rgbRed = reader.U8();
        if (bits == 32) {
            const uint8_t a = reader.U8();
            if (alpha) entry.rgbReserved = a;
        }
    }
    return TPalette(std::move(entries));
}

// A 5-bit channel widened to 8 bits by repeating its top bits, as the bitmap widens 15-bit
// pixels.
constexpr uint8_t Widen5(unsigned v) {
    return uint8_t((v << 3) | (v >> 2));
}

// Rows of 1-5-5-5 words to blue, green, red, alpha (the attribute bit: 255 or 0).
void WordAlphaRow(const uint8_t* source, uint8_t* target, size_t count) {
    TByteReader words(source, count * 2);
    for (size_t x = 0; x < count; ++x, target += 4) {
        const unsigned w = words.LE16();
        target[0] = Widen5(w & 0x1F);
        target[1] = Widen5((w >> 5) & 0x1F);
        target[2] = Widen5((w >> 10) & 0x1F);
        target[3] = (w & 0x8000) ? 255 : 0;
    }
}

// Rows of grey and alpha bytes to blue, green, red, alpha.
void GrayAlphaRow(const uint8_t* source, uint8_t* target, size_t count) {
    for (size_t x = 0; x < count; ++x, source += 2, target += 4) {
        target[0] = target[1] = target[2] = source[0];
        target[3] = source[1];
    }
}

// Reverses the order of the `count` pixels of `pixelBytes` bytes of a row.
void MirrorRow(uint8_t* row, size_t count, size_t pixelBytes) {
    if (pixelBytes == 1) {
        std::reverse(row, row + count);
        return;
    }
    for (size_t i = 0, j = count; i + 1 < j; ++i, --j)
        std::swap_ranges(row + i * pixelBytes, row + (i + 1) * pixelBytes,
                         row + (j - 1) * pixelBytes);
}

// The run-length packets of the rows, read from the stream in chunks: before each row the
// window is topped up when it holds less than a row's worst case (twice the row's bytes), and
// at the end the stream is set just after the last packet decoded. A file smaller than a chunk
// is read whole at once.
class TPacketWindow {
public:
    TPacketWindow(TImageGraphic::TLoad& load, size_t rowPackets)
        : load_(load), rowPackets_(rowPackets),
          whole_(load.Remaining() < CheckedAdd(rowPackets, InputChunk)),
          packed_(load.Buffer(whole_ ? size_t(load.Remaining()) : rowPackets + InputChunk)) {}
    TPacketWindow(const TPacketWindow&) = delete;
    TPacketWindow& operator=(const TPacketWindow&) = delete;
    ~TPacketWindow() = default;

    // The packets from the current position: at most a row's worst case.
    std::span<const uint8_t> Next() {
        if (!ended_ && filled_ - position_ < rowPackets_) TopUp();
        return {packed_.data() + position_, std::min(filled_ - position_, rowPackets_)};
    }
    // The first `count` bytes of what Next answered are used.
    void Consume(size_t count) { position_ += count; }
    // Sets the stream just after the last byte used.
    void Rewind() { load_.Stream().Seek(-int64_t(filled_ - position_), TSeekOrigin::soCurrent); }

private:
    static constexpr size_t InputChunk = size_t(1) << 16;

    void TopUp() {
        std::memmove(packed_.data(), packed_.data() + position_, filled_ - position_);
        filled_ -= position_;
        position_ = 0;
        const size_t room = packed_.size() - filled_;
        const size_t request = size_t(std::min<uint64_t>(room, load_.Remaining()));
        load_.Read(packed_.data() + filled_, request);
        ended_ = whole_ || request < room;
        filled_ += request;
    }

    TImageGraphic::TLoad& load_;
    const size_t rowPackets_;
    const bool whole_;
    TBudgetVector<uint8_t> packed_;
    size_t position_ = 0, filled_ = 0;
    bool ended_ = false;
};

// The next row of `pixels` pixels from the packets of `window` into `row`.
void DecodePacketRow(TPacketWindow& window, TTargaRLEDecoder& decoder, uint8_t* row,
                     size_t pixels) {
    const std::span<const uint8_t> packets = window.Next();
    const uint8_t* input = packets.data();
    decoder.DecodeRow(input, packets.data() + packets.size(), row, pixels);
    window.Consume(size_t(input - packets.data()));
}

// Bytes a pixel of a bitmap format takes in the written file; device and custom formats are
// held at 32 bits.
size_t WrittenPixelBytes(TBitmapFormat format) {
    switch (format) {
    case bf1Bit:
    case bf4Bit:
    case bf8Bit:
        return 1;
    case bf15Bit:
    case bf16Bit:
        return 2;
    case bf24Bit:
        return 3;
    default:
        return 4;
    }
}

void PutLE16(uint8_t* p, unsigned value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

// How a bitmap is written: bytes per pixel, and whether its alpha goes with it (in 32-bit
// pixels, or in 32-bit colour map entries for indices).
struct TWrittenLayout {
    TBitmapFormat Format{};
    size_t PixelBytes = 0;
    bool Alpha = false;

    bool Indexed() const { return PixelBytes == 1; }
    uint8_t MapEntrySize() const { return Indexed() && Alpha ? 32 : WrittenMapEntrySize; }
    // Rows the file cannot take as they are: 1- and 4-bit indices become bytes, 5-6-5 pixels
    // 5-5-5, and 32-bit pixels without alpha get an opaque fourth byte.
    bool Widened() const {
        return Format == bf1Bit || Format == bf4Bit || Format == bf16Bit ||
               (PixelBytes == 4 && !Alpha);
    }
};

TWrittenLayout WrittenLayoutOf(const TBitmap& bitmap) {
    TWrittenLayout layout;
    layout.Format = bitmap.PixelFormat();
    layout.PixelBytes = WrittenPixelBytes(layout.Format);
    layout.Alpha =
        bitmap.AlphaFormat == afDefined && (layout.PixelBytes == 1 || layout.PixelBytes == 4);
    return layout;
}

// The header of a written file: a colour map of 256 entries for 8-bit indices (its size
// stated also when none follows), rows top row first, alpha bits for the alpha written.
void WriteHeader(TStream& stream, int32_t width, int32_t height, const TWrittenLayout& layout,
                 bool compress) {
    const bool indexed = layout.Indexed();
    TTargaImageType type = indexed ? TTargaImageType::Indexed : TTargaImageType::TrueColor;
    if (compress)
        type = indexed ? TTargaImageType::IndexedRunLength : TTargaImageType::TrueColorRunLength;
    std::array<uint8_t, HeaderSize> header{};
    header[1] = uint8_t(indexed ? TTargaMapType::Present : TTargaMapType::None);
    header[2] = uint8_t(type);
    PutLE16(&header[5], WrittenMapLength);
    header[7] = layout.MapEntrySize();
    PutLE16(&header[12], unsigned(width));
    PutLE16(&header[14], unsigned(height));
    header[16] = uint8_t(layout.PixelBytes * 8);
    header[17] = TopDownFlag | (layout.Alpha ? 8 : 0);
    stream.WriteBuffer(header.data(), header.size());
}

// The palette as 256 entries of blue, green, red (and alpha).
void WriteColorMap(TStream& stream, const TPalette& palette, const TWrittenLayout& layout) {
    const size_t entryBytes = layout.MapEntrySize() / 8;
    std::array<uint8_t, 4 * WrittenMapLength> map{};
    for (size_t i = 0; i < std::min<size_t>(palette.Count(), WrittenMapLength); ++i) {
        uint8_t* entry = &map[entryBytes * i];
        entry[0] = palette[i].rgbBlue;
        entry[1] = palette[i].rgbGreen;
        entry[2] = palette[i].rgbRed;
        if (entryBytes == 4) entry[3] = palette[i].rgbReserved;
    }
    stream.WriteBuffer(map.data(), entryBytes * WrittenMapLength);
}

void WidenRow(const TWrittenLayout& layout, const uint8_t* row, uint32_t width, uint8_t* out) {
    if (layout.Format == bf1Bit) {
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    } else if (layout.Format == bf4Bit) {
        for (uint32_t x = 0; x < width; ++x)
            out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    } else if (layout.Format == bf16Bit) {
        TByteReader pixels(row, size_t(width) * 2);
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned v = pixels.LE16();
            PutLE16(out + 2 * x, ((v >> 1) & 0x7FE0) | (v & 0x001F));
        }
    } else {
        std::memcpy(out, row, size_t(width) * 4);
        for (uint32_t x = 0; x < width; ++x) out[4 * x + 3] = 255;
    }
}

} // namespace

bool TTargaGraphic::Recognize(TStream& stream) {
    // Only the pixel depths and colour map entry sizes of the format's description are taken
    // for it, the entry size also when there is no colour map.
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TTargaHeader> header = ParseHeader(reader);
        if (header &&
            !(IsStandardMapEntry(header->MapEntrySize) && IsStandardDepth(header->PixelDepth)))
            header.reset();
        return header;
    });
}

bool TTargaGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

struct TTargaGraphic::TTargaLoad {
    TTargaLoad(TTargaGraphic& image, TLoad& load, const TTargaHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header),
          Rows(RowsOf(header)) {}

    void Run();

private:
    // The pixel format and the alpha: stored layouts are the bitmap's own (the colour manager
    // chooses the format), the others are widened to 32 bits.
    void SetUpColors();
    // The palette from the colour map, or a grey ramp for grey images (whose map is passed
    // over); the stream is left at the first pixel.
    void ReadPalette();
    // The rows, stored or run-length compressed, into the bitmap in the descriptor's order.
    void TransferRows(size_t rowBytes);
    // The same shrunk: run-length rows are all decoded up to the last one kept, stored rows
    // read only when kept; every Shrink-th pixel of the kept rows goes to the bitmap.
    void TransferShrunkRows(size_t rowBytes);
    // The `width` stored pixels at `row` into bitmap row y: widened, and mirrored for
    // right-to-left images.
    void FinishRow(const uint8_t* row, int32_t y, size_t width);
    // The bitmap row of the i-th stored row.
    int32_t TargetRow(int32_t i) const { return Header.TopDown() ? i : Header.Height - 1 - i; }

    TTargaGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TTargaHeader& Header;
    const TTargaRows Rows;
    size_t PixelBytes = 0; // of the bitmap
    uint32_t Shrink = 1;   // every Shrink-th pixel of every Shrink-th row shown is kept
};

void TTargaGraphic::TTargaLoad::Run() {
    Load.Prepare();
    Load.Seek(int64_t(HeaderSize) + Header.IDLength);
    SetUpColors();
    ReadPalette();

    // Stored rows must all be in the file, run-length rows as much as their packets can give.
    // A file of no image data gives no picture, whatever size it states.
    const size_t rowBytes = CheckedMul(Header.Width, BytesOf(Header.PixelDepth));
    const size_t imageBytes = CheckedMul(rowBytes, Header.Height);
    if (Header.RunLength())
        Load.RequireExpansion(imageBytes, RunExpansion(BytesOf(Header.PixelDepth)));
    else if (Header.Stored())
        Load.RequireBytes(imageBytes);
    // Stored rows are all in the file and each is written whole, its padding cleared (a load
    // that fails releases the pixels); run-length rows may end early, leaving the rest clear.
    Shrink = Image.SamplingFactor(Header.Width, Header.Height);
    const int32_t width = int32_t(SampledCount(Header.Width, Shrink));
    const int32_t height = int32_t(SampledCount(Header.Height, Shrink));
    if (Header.Stored())
        Image.SetSizeToOverwrite(width, height);
    else if (Header.RunLength())
        Image.SetSize(width, height);
    Load.Finish();

    Load.BeginTransfer();
    if (!Image.Empty() && Shrink > 1)
        TransferShrunkRows(rowBytes);
    else if (!Image.Empty())
        TransferRows(rowBytes);
    Load.Finish();
}

void TTargaGraphic::TTargaLoad::SetUpColors() {
    if (Rows != TTargaRows::AsStored) {
        Image.SetPixelFormat(bf32Bit);
    } else {
        const TImageProperties& properties = Image.ImageProperties;
        Colors.SetSourceChannels(properties.SamplesPerPixel);
        Colors.SetTargetChannels(properties.SamplesPerPixel);
        Colors.SetSourceModel(properties.ColorModel);
        Colors.SourceFlags.Clear();
        Colors.SetTargetModel(cmBGR);
        Colors.SetSourceSampleBits(properties.BitsPerSample);
        Colors.SetTargetSampleBits(properties.BitsPerSample);
        Image.SetPixelFormat(Colors.TargetPixelFormat(true));
    }
    if (CarriesAlpha(Header)) Image.AlphaFormat = afDefined;
    PixelBytes = size_t(BitsPerPixelOf(Image.PixelFormat()) + 7) / 8;
}

void TTargaGraphic::TTargaLoad::ReadPalette() {
    if (Header.Gray()) {
        if (Rows == TTargaRows::AsStored) Image.SetPalette(Colors.MakeGrayPalette(false));
        Load.Stream().Seek(int64_t(Header.MapBytes()), TSeekOrigin::soCurrent);
        return;
    }
    if (!Header.HasMap()) return;
    TBudgetVector<uint8_t> map = Load.Buffer(0);
    Load.ReadBlock(map, Header.MapBytes());
    TPalette palette = MapPalette(map.Span(), Header, CarriesAlpha(Header));
    if (!palette.Empty()) Image.SetPalette(std::move(palette));
}

void TTargaGraphic::TTargaLoad::TransferRows(size_t rowBytes) {
    // Rows the bitmap takes as they are go straight into it; the others through `stored`.
    TBudgetVector<uint8_t> stored = Load.Buffer(Rows == TTargaRows::AsStored ? 0 : rowBytes);
    std::optional<TPacketWindow> window;
    if (Header.RunLength()) window.emplace(Load, CheckedMul(rowBytes, 2));
    TTargaRLEDecoder decoder(Header.PixelDepth);
    for (int32_t i = 0; i < Header.Height; ++i) {
        const int32_t y = TargetRow(i);
        uint8_t* row = stored.empty() ? Image.ScanLine(y) : stored.data();
        if (window)
            DecodePacketRow(*window, decoder, row, Header.Width);
        else
            Load.Read(row, rowBytes);
        FinishRow(row, y, Header.Width);
        Load.Row(i);
    }
    if (window) window->Rewind();
}

void TTargaGraphic::TTargaLoad::TransferShrunkRows(size_t rowBytes) {
    const size_t width = size_t(Image.Width());
    const size_t storedBytes = BytesOf(Header.PixelDepth);
    TBudgetVector<uint8_t> whole = Load.Buffer(rowBytes);
    // Rows the bitmap takes as they are are sampled into it; the others through `sampled`.
    TBudgetVector<uint8_t> sampled =
        Load.Buffer(Rows == TTargaRows::AsStored ? 0 : width * storedBytes);
    // Right-to-left rows keep the pixels that end up in every Shrink-th column from the left.
    const size_t first = Header.RightToLeft() ? Header.Width - 1 - (width - 1) * Shrink : 0;
    std::optional<TPacketWindow> window;
    if (Header.RunLength()) window.emplace(Load, CheckedMul(rowBytes, 2));
    TTargaRLEDecoder decoder(Header.PixelDepth);
    const int64_t start = Load.Stream().Position();
    int32_t done = 0;
    for (int32_t i = 0; i < Header.Height && done < Image.Height(); ++i) {
        const uint32_t shown = uint32_t(TargetRow(i));
        const bool kept = shown % Shrink == 0;
        if (window) {
            // Pixels the packets do not reach stay clear, as in a whole load.
            if (kept) std::fill(whole.begin(), whole.end(), 0);
            DecodePacketRow(*window, decoder, whole.data(), Header.Width);
        } else if (kept) {
            Load.Stream().SetPosition(start + int64_t(CheckedMul(size_t(i), rowBytes)));
            Load.Read(whole.data(), rowBytes);
        }
        if (!kept) continue;
        const int32_t y = int32_t(shown / Shrink);
        uint8_t* row = sampled.empty() ? Image.ScanLine(y) : sampled.data();
        SamplePixels(whole.data() + first * storedBytes, storedBytes, width, Shrink, row);
        FinishRow(row, y, width);
        Load.Row(done++);
    }
    if (window) window->Rewind();
}

void TTargaGraphic::TTargaLoad::FinishRow(const uint8_t* row, int32_t y, size_t width) {
    uint8_t* line = Image.ScanLine(y);
    if (Rows == TTargaRows::WordAlpha)
        WordAlphaRow(row, line, width);
    else if (Rows == TTargaRows::GrayAlpha)
        GrayAlphaRow(row, line, width);
    if (Header.RightToLeft()) MirrorRow(line, width, PixelBytes);
    const size_t written = width * PixelBytes;
    std::fill(line + written, line + Image.BytesPerLine(), 0);
}

void TTargaGraphic::DecodeImage(TStream& stream) {
    std::optional<TTargaHeader> header;
    TLoad load(
        *this, stream, FormatName,
        [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); }, hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    TTargaLoad(*this, load, *header).Run();
}

// --- Writing ---

void TTargaGraphic::EncodeImage(TStream& stream) {
    static const std::string noMessage;
    ProgressBounds = {0, 0, Width(), Height()};
    Progress(psStarting, 0, false, ProgressBounds, msgPreparing);
    WriteTargaImage(*this, stream, true);
    Progress(psEnding, 0, false, ProgressBounds, noMessage);
}

void WriteTargaImage(const TBitmap& bitmap, TStream& stream, bool compress) {
    if (bitmap.Empty()) return;
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    constexpr int32_t MaxSide = std::numeric_limits<uint16_t>::max();
    if (width > MaxSide || height > MaxSide) {
        throw EInvalidGraphic(FormatImageMessage(msgTargaTooLarge, std::to_string(MaxSide),
                                                 std::to_string(MaxSide), std::to_string(width),
                                                 std::to_string(height)));
    }
    const TWrittenLayout layout = WrittenLayoutOf(bitmap);
    WriteHeader(stream, width, height, layout, compress);
    if (layout.Indexed()) WriteColorMap(stream, bitmap.Palette(), layout);

    const size_t rowBytes = CheckedMul(size_t(width), layout.PixelBytes);
    std::vector<uint8_t> widened(layout.Widened() ? rowBytes : 0);
    TTargaRLEDecoder encoder(int32_t(layout.PixelBytes * 8));
    std::vector<uint8_t> packed(compress ? size_t(encoder.EncodedSizeBound(uint32_t(width))) : 0);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        if (!widened.empty()) {
            WidenRow(layout, row, uint32_t(width), widened.data());
            row = widened.data();
        }
        if (compress) {
            uint32_t written = 0;
            encoder.Encode(row, packed.data(), uint32_t(width), written);
            stream.WriteBuffer(packed.data(), written);
        } else {
            stream.WriteBuffer(row, rowBytes);
        }
    }
}
