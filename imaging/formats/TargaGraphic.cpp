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
// Descriptor bit: the first stored row is the top row.
constexpr uint8_t TopDownFlag = 0x20;
// A run packet: one count byte and one pixel stand for up to 128 pixels.
constexpr uint64_t MaxRunExpansion = 128;
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

// The 18-byte header as Truevision's TGA file format document (version 2.0) gives it.
struct TTargaHeader {
    uint8_t IDLength = 0;
    TTargaMapType MapType{};
    TTargaImageType ImageType{};
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
    reader.Skip(2); // first colour map index
    header.MapLength = reader.LE16();
    header.MapEntrySize = reader.U8();
    reader.Skip(4); // origin
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    header.PixelDepth = reader.U8();
    header.Descriptor = reader.U8();
    return header;
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
    return header;
}

// A palette from `count` 15- or 16-bit colour map entries (x1r5g5b5, little-endian), each
// channel shifted to the top of its byte.
TPalette MakeWordPalette(std::span<const uint8_t> map, size_t count) {
    TByteReader reader(map);
    std::vector<TRGBQuad> entries(count);
    for (TRGBQuad& entry : entries) {
        const unsigned w = reader.LE16();
        entry.rgbRed = uint8_t((w & 0x7C00) >> 7);
        entry.rgbGreen = uint8_t((w & 0x03E0) >> 2);
        entry.rgbBlue = uint8_t((w & 0x001F) << 3);
    }
    return TPalette(std::move(entries));
}

// The run-length packets of the rows, read from the stream in chunks: before each row the
// window is topped up when it holds less than a row's worst case (twice the row's bytes), and
// at the end the stream is set just after the last packet decoded. A file smaller than a chunk
// is read whole at once.
class TPacketWindow {
public:
    TPacketWindow(TImageGraphic::TLoad& load, size_t rowPackets)
        : stream_(load.Stream()), rowPackets_(rowPackets),
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
    void Rewind() { stream_.Seek(-int64_t(filled_ - position_), TSeekOrigin::soCurrent); }

private:
    static constexpr size_t InputChunk = size_t(1) << 16;

    void TopUp() {
        std::memmove(packed_.data(), packed_.data() + position_, filled_ - position_);
        filled_ -= position_;
        position_ = 0;
        const size_t request = packed_.size() - filled_;
        const size_t got = stream_.Read(packed_.data() + filled_, request);
        ended_ = whole_ || got < request;
        filled_ += got;
    }

    TStream& stream_;
    const size_t rowPackets_;
    const bool whole_;
    TBudgetVector<uint8_t> packed_;
    size_t position_ = 0, filled_ = 0;
    bool ended_ = false;
};

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

// The header of a written file: a colour map of 256 24-bit entries for 8-bit indices (its
// size stated also when none follows), rows top row first.
void WriteHeader(TStream& stream, int32_t width, int32_t height, size_t pixelBytes, bool compress) {
    const bool indexed = pixelBytes == 1;
    TTargaImageType type = indexed ? TTargaImageType::Indexed : TTargaImageType::TrueColor;
    if (compress)
        type = indexed ? TTargaImageType::IndexedRunLength : TTargaImageType::TrueColorRunLength;
    std::array<uint8_t, HeaderSize> header{};
    header[1] = uint8_t(indexed ? TTargaMapType::Present : TTargaMapType::None);
    header[2] = uint8_t(type);
    PutLE16(&header[5], WrittenMapLength);
    header[7] = WrittenMapEntrySize;
    PutLE16(&header[12], unsigned(width));
    PutLE16(&header[14], unsigned(height));
    header[16] = uint8_t(pixelBytes * 8);
    header[17] = TopDownFlag;
    stream.WriteBuffer(header.data(), header.size());
}

// The palette as 256 entries of blue, green, red.
void WriteColorMap(TStream& stream, const TPalette& palette) {
    std::array<uint8_t, 3 * WrittenMapLength> map{};
    for (size_t i = 0; i < std::min<size_t>(palette.Count(), WrittenMapLength); ++i) {
        map[3 * i] = palette[i].rgbBlue;
        map[3 * i + 1] = palette[i].rgbGreen;
        map[3 * i + 2] = palette[i].rgbRed;
    }
    stream.WriteBuffer(map.data(), map.size());
}

// Whether rows of `format` must be widened before they are written: 1- and 4-bit indices to
// bytes, 5-6-5 pixels to 5-5-5.
bool NeedsWidening(TBitmapFormat format) {
    return format == bf1Bit || format == bf4Bit || format == bf16Bit;
}

void WidenRow(TBitmapFormat format, const uint8_t* row, uint32_t width, uint8_t* out) {
    if (format == bf1Bit) {
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    } else if (format == bf4Bit) {
        for (uint32_t x = 0; x < width; ++x)
            out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    } else {
        TByteReader pixels(row, size_t(width) * 2);
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned v = pixels.LE16();
            PutLE16(out + 2 * x, ((v >> 1) & 0x7FE0) | (v & 0x001F));
        }
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
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header) {}

    void Run();

private:
    // The colour manager chooses the pixel format: every accepted layout is the bitmap's own.
    void SetUpColors();
    // The palette from the colour map, or a grey ramp for grey images (whose map is passed
    // over); the stream is left at the first pixel.
    void ReadPalette();
    void ReadStoredRows(size_t rowBytes);
    void DecodeRunLengthRows(size_t rowBytes);
    // The bitmap row of the i-th stored row.
    int32_t TargetRow(int32_t i) const { return Header.TopDown() ? i : Header.Height - 1 - i; }

    TTargaGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TTargaHeader& Header;
};

void TTargaGraphic::TTargaLoad::Run() {
    Load.Prepare();
    Load.Seek(int64_t(HeaderSize) + Header.IDLength);
    SetUpColors();
    ReadPalette();

    // Stored rows must all be in the file; a run packet of 1 + n bytes gives at most 128
    // pixels of n bytes.
    const size_t rowBytes = CheckedMul(Header.Width, BytesOf(Header.PixelDepth));
    const size_t imageBytes = CheckedMul(rowBytes, Header.Height);
    if (Header.RunLength())
        Load.RequireExpansion(imageBytes, MaxRunExpansion);
    else if (Header.Stored())
        Load.RequireBytes(imageBytes);
    Image.SetSize(Header.Width, Header.Height);
    Load.Finish();

    Load.BeginTransfer();
    if (Header.Stored())
        ReadStoredRows(rowBytes);
    else if (Header.RunLength() && rowBytes != 0)
        DecodeRunLengthRows(rowBytes);
    Load.Finish();
}

void TTargaGraphic::TTargaLoad::SetUpColors() {
    const TImageProperties& properties = Image.ImageProperties;
    Colors.SetSourceChannels(properties.SamplesPerPixel);
    Colors.SetTargetChannels(properties.SamplesPerPixel);
    Colors.SetSourceModel(properties.ColorModel);
    Colors.SourceFlags.Clear();
    Colors.SetTargetModel(cmBGR);
    Colors.SetSourceSampleBits(properties.BitsPerSample);
    Colors.SetTargetSampleBits(properties.BitsPerSample);
    Image.SetPixelFormat(Colors.TargetPixelFormat(true));
    if (Header.PixelDepth == 32) Image.AlphaFormat = afDefined;
}

void TTargaGraphic::TTargaLoad::ReadPalette() {
    if (Header.Gray()) {
        Image.SetPalette(Colors.MakeGrayPalette(false));
        Load.Stream().Seek(int64_t(Header.MapBytes()), TSeekOrigin::soCurrent);
        return;
    }
    if (!Header.HasMap()) return;
    TBudgetVector<uint8_t> map = Load.Buffer(0);
    Load.ReadBlock(map, Header.MapBytes());
    const std::span<const uint8_t> plane(map);
    switch (Header.MapEntrySize) {
    case 15:
    case 16:
        Image.SetPalette(MakeWordPalette(plane, Header.MapLength));
        break;
    case 24:
        Image.SetPalette(Colors.MakeColorPalette({plane}, plPacked8x3, Header.MapLength, true));
        break;
    case 32:
        Image.SetPalette(Colors.MakeColorPalette({plane}, plPacked8x4, Header.MapLength, true));
        break;
    default:
        break; // no entries this reader can read
    }
}

void TTargaGraphic::TTargaLoad::ReadStoredRows(size_t rowBytes) {
    for (int32_t i = 0; i < Header.Height; ++i) {
        Load.Read(Image.ScanLine(TargetRow(i)), rowBytes);
        Load.Row(i);
    }
}

void TTargaGraphic::TTargaLoad::DecodeRunLengthRows(size_t rowBytes) {
    TTargaRLEDecoder decoder(Header.PixelDepth);
    TPacketWindow window(Load, CheckedMul(rowBytes, 2));
    for (int32_t i = 0; i < Header.Height; ++i) {
        const std::span<const uint8_t> packets = window.Next();
        const uint8_t* input = packets.data();
        uint8_t* output = Image.ScanLine(TargetRow(i));
        decoder.Decode(input, output, int32_t(packets.size()), Header.Width);
        window.Consume(size_t(input - packets.data()));
        Load.Row(i);
    }
    window.Rewind();
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
    WriteImage(stream, true);
}

void TTargaGraphic::WriteImage(TStream& stream, bool compress) {
    static const std::string noMessage;
    ProgressBounds = {0, 0, Width(), 1};
    Progress(psStarting, 0, false, ProgressBounds, msgPreparing);
    if (Empty()) {
        Progress(psEnding, 0, false, ProgressBounds, noMessage);
        return;
    }
    constexpr int32_t MaxSide = std::numeric_limits<uint16_t>::max();
    if (Width() > MaxSide || Height() > MaxSide) {
        throw EInvalidGraphic(FormatImageMessage(msgTargaTooLarge, std::to_string(MaxSide),
                                                 std::to_string(MaxSide), std::to_string(Width()),
                                                 std::to_string(Height())));
    }

    const TBitmapFormat format = PixelFormat();
    const size_t pixelBytes = WrittenPixelBytes(format);
    WriteHeader(stream, Width(), Height(), pixelBytes, compress);
    if (pixelBytes == 1) WriteColorMap(stream, Palette());

    const uint32_t width = uint32_t(Width());
    const size_t rowBytes = CheckedMul(width, pixelBytes);
    std::vector<uint8_t> widened(NeedsWidening(format) ? rowBytes : 0);
    TTargaRLEDecoder encoder(int32_t(pixelBytes * 8));
    std::vector<uint8_t> packed(compress ? size_t(encoder.EncodedSizeBound(width)) : 0);
    for (int32_t y = 0; y < Height(); ++y) {
        const uint8_t* row = ScanLine(y);
        if (!widened.empty()) {
            WidenRow(format, row, width, widened.data());
            row = widened.data();
        }
        if (compress) {
            uint32_t written = 0;
            encoder.Encode(row, packed.data(), width, written);
            stream.WriteBuffer(packed.data(), written);
        } else {
            stream.WriteBuffer(row, rowBytes);
        }
        if (OnProgress) {
            Progress(psRunning, uint8_t((uint64_t(y) * 100 + uint64_t(Height()) / 2) / Height()),
                     true, ProgressBounds, noMessage);
        }
        ++ProgressBounds.Top;
        ++ProgressBounds.Bottom;
    }
    Progress(psEnding, 0, false, ProgressBounds, noMessage);
}
