// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage        the signature or the version is not accepted, or the file ends
//                          inside its file header
//   msgInvalidSize         a width or height of 0 or beyond 2^31 - 1
//   msgInvalidColorFormat  a bit depth other than 1, 4, 8 or 24
//   msgUnsupportedFeature  JPEG and unknown channel compressions (msgCompressionScheme)
//   msgBadValue            a channel shorter than the layer's rows
//   msgCompression         deflated data that ends before the channel
//   msgMissingChannel      a layer without a channel it needs
//   msgNoRasterLayer       no raster layer in the file
//   msgTruncatedPart       a block or chunk longer than the rest of the file, named
//   msgPartOverruns        a block or chunk longer than the block that holds it, named
//   msgDataTooShort        channels that cannot hold the layer's rows, however well they pack
//   msgUnexpectedEnd       the file ends inside a block header or a block's fields
//   the stream read error  the file ends inside its first block
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/PSPGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/DeflateDecoder.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

DEFINE_GRAPHIC_CLASS(TPSPGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PSP";
constexpr size_t FileHeaderSize = 36;
constexpr char Signature[] = "Paint Shop Pro Image File";
constexpr size_t SignatureLength = sizeof(Signature) - 1;
constexpr uint16_t FirstVersion = 3;
// The general image attributes up to the last field the reader uses (the greyscale flag).
constexpr size_t AttributesSize = 28;
constexpr uint8_t BlockMarker = '~';
constexpr size_t MaxPaletteEntries = 256;
constexpr size_t MaxBlockHeaderSize = 14;
// Most bytes a stored byte becomes: a run-length packet of two bytes gives 127; a deflate
// stream at most about 1032 bytes a byte.
constexpr uint64_t RunLengthExpansion = 64;
constexpr uint64_t DeflateExpansion = 1032;

enum class TPSPBlock : uint16_t {
    ImageAttributes = 0,
    ColorPalette = 2,
    LayerBank = 3,
    Layer = 4,
    Channel = 5,
};
enum class TPSPCompression : uint16_t { None = 0, RunLength = 1, LZ77 = 2, JPEG = 3 };
enum class TPSPChannel : uint16_t { Composite = 0, Red = 1, Green = 2, Blue = 3 };
constexpr size_t ChannelKinds = 4;
enum class TPSPMetric : uint8_t { Undefined = 0, PerInch = 1, PerCentimetre = 2 };
// Layer types the reader takes: version 3 knows only the normal raster layer (0); later
// versions number raster layers 0 and 1.
enum class TPSPLayerType : uint8_t { Raster = 0, FloatingRaster = 1 };
constexpr size_t LayerNameSize = 256; // version 3
constexpr size_t LayerInfoSize = 115;

// Names of the blocks and chunks in messages.
constexpr char AttributesBlockName[] = "general image attributes block";
constexpr char AttributesName[] = "general image attributes";
constexpr char PaletteName[] = "colour palette";
constexpr char LayerBankName[] = "layer bank block";
constexpr char LayerName[] = "layer block";
constexpr char LayerInfoName[] = "layer information chunk";
constexpr char BitmapInfoName[] = "bitmap information chunk";
constexpr char ChannelName[] = "channel block";
constexpr char ChannelDataName[] = "channel data";

const char* BlockName(uint16_t id) {
    switch (TPSPBlock(id)) {
    case TPSPBlock::ImageAttributes:
        return AttributesBlockName;
    case TPSPBlock::ColorPalette:
        return "colour palette block";
    case TPSPBlock::LayerBank:
        return LayerBankName;
    case TPSPBlock::Layer:
        return LayerName;
    case TPSPBlock::Channel:
        return ChannelName;
    }
    return "block";
}

const char* ChannelKindName(TPSPChannel channel) {
    switch (channel) {
    case TPSPChannel::Composite:
        return "composite";
    case TPSPChannel::Red:
        return "red";
    case TPSPChannel::Green:
        return "green";
    case TPSPChannel::Blue:
        return "blue";
    }
    return "";
}

// Versions above 3 give each chunk inside a block a 4-byte length first.
bool HasChunkLengths(uint16_t version) {
    return version > FirstVersion;
}
// Identifier, block id, (version 3: initial data length,) total block length.
size_t BlockHeaderSize(uint16_t version) {
    return HasChunkLengths(version) ? 10 : 14;
}

// The file header and block headers of the public Paint Shop Pro file format description
// (Jasc Software's "PSP File Format Specification", versions 3 to 5): a 32-byte signature
// and the major and minor versions, then tagged blocks.
struct TPSPFileHeader {
    uint16_t Major = 0;
    uint16_t Minor = 0;
};

// The file header, or nothing when the signature or the major version is not accepted.
std::optional<TPSPFileHeader> ParseFileHeader(TByteReader& reader) {
    const uint8_t* signature = reader.Take(32);
    for (size_t i = 0; i < SignatureLength; ++i)
        if (std::tolower(signature[i]) != std::tolower(static_cast<unsigned char>(Signature[i])))
            return std::nullopt;
    TPSPFileHeader header;
    header.Major = reader.LE16();
    header.Minor = reader.LE16();
    if (header.Major < FirstVersion) return std::nullopt;
    return header;
}

struct TPSPBlockHeader {
    uint8_t Marker = 0;
    uint16_t Id = 0;
    uint32_t TotalLength = 0; // of the contents, which follow the header
};

TPSPBlockHeader ParseBlockHeader(TByteReader& reader, uint16_t version) {
    TPSPBlockHeader header;
    header.Marker = reader.U8();
    reader.Skip(3);
    header.Id = reader.LE16();
    if (!HasChunkLengths(version)) reader.Skip(4); // initial data length
    header.TotalLength = reader.LE32();
    return header;
}

// The general image attributes, the contents of the first block.
struct TPSPAttributes {
    uint32_t Width = 0, Height = 0;
    double Resolution = 0;
    TPSPMetric Metric{};
    TPSPCompression Compression{};
    uint16_t BitDepth = 0;
    uint8_t Greyscale = 0;

    float DotsPerInch() const {
        const float value = float(Resolution);
        return Metric == TPSPMetric::PerCentimetre ? value * 2.54f : value;
    }
};

TPSPAttributes ParseAttributes(TByteReader& reader) {
    TPSPAttributes attributes;
    attributes.Width = reader.LE32();
    attributes.Height = reader.LE32();
    attributes.Resolution = std::bit_cast<double>(reader.LE64());
    attributes.Metric = TPSPMetric(reader.U8());
    attributes.Compression = TPSPCompression(reader.LE16());
    attributes.BitDepth = reader.LE16();
    reader.Skip(6); // plane count, colour count
    attributes.Greyscale = reader.U8();
    return attributes;
}

// What TLoad::RequirePart and RequireWithin check, for the header read, which runs before a
// load exists.
void RequirePart(TStream& stream, uint64_t length, const char* part) {
    if (length > uint64_t(std::max<int64_t>(stream.Remaining(), 0)))
        throw EImageFault(msgTruncatedPart, {part});
}
void RequireWithin(TStream& stream, uint64_t length, uint64_t room, const char* part,
                   const char* container) {
    if (length > room) throw EImageFault(msgPartOverruns, {part, container});
    RequirePart(stream, length, part);
}

// The first block header and the attributes it holds, from the stream's position (after the
// file header), leaving the stream at the end of the block.
TPSPAttributes ReadAttributes(TStream& stream, uint16_t version) {
    uint8_t bytes[MaxBlockHeaderSize];
    const size_t headerSize = BlockHeaderSize(version);
    stream.ReadBuffer(bytes, headerSize);
    TByteReader blockReader(bytes, headerSize);
    const TPSPBlockHeader block = ParseBlockHeader(blockReader, version);
    RequirePart(stream, block.TotalLength, AttributesBlockName);
    const int64_t contents = stream.Position();
    const size_t chunkLength = HasChunkLengths(version) ? 4 : 0;
    RequireWithin(stream, chunkLength + AttributesSize, block.TotalLength, AttributesName,
                  AttributesBlockName);
    uint8_t attributes[AttributesSize];
    stream.Seek(int64_t(chunkLength), TSeekOrigin::soCurrent);
    stream.ReadBuffer(attributes, AttributesSize);
    stream.SetPosition(contents + block.TotalLength);
    TByteReader reader(attributes, AttributesSize);
    return ParseAttributes(reader);
}

// The file header and the attributes: all a load needs to begin.
struct TPSPFile {
    TPSPFileHeader Header;
    TPSPAttributes Attributes;
};

TCompressionKind CompressionOf(TPSPCompression compression) {
    switch (compression) {
    case TPSPCompression::None:
        return ckNone;
    case TPSPCompression::RunLength:
        return ckRunLength;
    case TPSPCompression::LZ77:
        return ckDeflate;
    case TPSPCompression::JPEG:
        return ckJPEG;
    }
    return ckUnknown;
}

// The file header, the attributes and what they tell of the image, or nothing when the
// signature or the version is not accepted; the stream stands after the first block.
std::optional<TPSPFile> ReadHeader(TStream& stream, TImageProperties& properties) {
    const std::optional<TPSPFileHeader> header =
        ReadHeaderBytes<FileHeaderSize>(stream, ParseFileHeader);
    if (!header) return std::nullopt;
    const TPSPFile file{*header, ReadAttributes(stream, header->Major)};
    const TPSPAttributes& attributes = file.Attributes;

    properties.Version = header->Major;
    if (attributes.BitDepth == 24) {
        properties.BitsPerSample = 8;
        properties.SamplesPerPixel = 3;
        properties.ColorModel = cmRGB;
    } else {
        properties.BitsPerSample = uint8_t(attributes.BitDepth);
        properties.SamplesPerPixel = 1;
        properties.ColorModel = attributes.Greyscale ? cmGray : cmPalette;
    }
    properties.BitsPerPixel = uint8_t(properties.BitsPerSample * properties.SamplesPerPixel);
    properties.Width = attributes.Width;
    properties.Height = attributes.Height;
    properties.Compression = CompressionOf(attributes.Compression);
    properties.XResolution = attributes.DotsPerInch();
    properties.YResolution = properties.XResolution;
    return file;
}

} // namespace

bool TPSPGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() < int64_t(FileHeaderSize) + 1) return false;
    return RecognizeHeader<FileHeaderSize>(stream, ParseFileHeader);
}

bool TPSPGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

// The blocks after the attributes, each dispatched by its kind: the palette, and the first
// raster layer of a layer bank, whose channels are decoded one at a time into the bitmap.
struct TPSPGraphic::TPSPLoad {
    TPSPLoad(TPSPGraphic& image, TLoad& load, const TPSPFile& file)
        : Image(image), Load(load), Stream(load.Stream()), Colors(*image.ColorEngine),
          Version(file.Header.Major), Attributes(file.Attributes), Channel(load.Budget()),
          Packed(load.Budget()) {}

    void Run();

private:
    void Check() const;
    void SetupColors();
    // The next block header, or nothing at the end of the file.
    std::optional<TPSPBlockHeader> NextBlock();
    // The end of a block whose header was just read, after checking that it fits in `room`
    // bytes of its container (when it has one) and in the file.
    int64_t BlockEnd(const TPSPBlockHeader& block, uint64_t room = 0,
                     const char* container = nullptr);
    // A chunk of a version above 3 inside a block ending at `end`: its end, after checking it.
    int64_t ChunkEnd(int64_t end, const char* name, const char* container);
    void SkipChunkLength();
    void ReadPalette(int64_t end);
    // The layers of a layer bank up to its first raster layer; whether one was loaded.
    bool ReadLayerBank(int64_t end);
    // Whether the layer whose information starts here is a raster layer to take.
    bool ReadLayerInfo(int64_t end);
    uint16_t ReadChannelCount(int64_t end);
    void LoadLayer(uint16_t channelCount, int64_t end);
    // One channel block of a layer ending at `end`, placed into the bitmap when it is one the
    // layer shows; the first channel of each kind counts, later ones (masks) and unknown
    // kinds are passed over.
    void ReadChannel(int64_t end);
    void Decompress(uint32_t compressedLength);
    // Colour channels go to their byte of each pixel: blue, green, red, alpha; indexed and
    // grey layers through the colour manager.
    void PlaceChannel(TPSPChannel type);
    void RequireChannels() const;

    int64_t Position() const { return Stream.Position(); }
    uint64_t Room(int64_t end) const { return end > Position() ? uint64_t(end - Position()) : 0; }

    TPSPGraphic& Image;
    TLoad& Load;
    TStream& Stream;
    TColorManager& Colors;
    const uint16_t Version;
    const TPSPAttributes Attributes;
    size_t Width = 0, Height = 0;
    // Each channel holds its rows one after another; 4-bit rows take one byte more than half
    // the width.
    size_t RowBytes = 0, ChannelBytes = 0;
    bool Color = false, Alpha = false;
    std::array<bool, ChannelKinds> Placed{};
    size_t PlacedCount = 0, Shown = 0;
    TBudgetVector<uint8_t> Channel, Packed;
};

void TPSPGraphic::TPSPLoad::Check() const {
    if (Width == 0 || Height == 0 || Width > size_t(INT32_MAX) || Height > size_t(INT32_MAX))
        Load.Fail(msgInvalidSize, std::to_string(Width), std::to_string(Height));
    const uint16_t depth = Attributes.BitDepth;
    if (depth != 1 && depth != 4 && depth != 8 && depth != 24) Load.Fail(msgInvalidColorFormat);
    const TPSPCompression compression = Attributes.Compression;
    if (compression != TPSPCompression::None && compression != TPSPCompression::RunLength &&
        compression != TPSPCompression::LZ77)
        Load.Unsupported(msgCompressionScheme);
}

void TPSPGraphic::TPSPLoad::SetupColors() {
    const TImageProperties& properties = Image.ImageProperties;
    Color = properties.ColorModel == cmRGB;
    Colors.SourceFlags.Clear();
    Colors.SetSourceSampleBits(properties.BitsPerSample);
    Colors.SetTargetSampleBits(properties.BitsPerSample);
    Colors.SetSourceChannels(properties.SamplesPerPixel);
    Colors.SetTargetChannels(properties.SamplesPerPixel);
    Colors.SetSourceModel(properties.ColorModel);
    Colors.SetTargetModel(Color ? cmBGR : properties.ColorModel);
    Image.SetPixelFormat(Colors.TargetPixelFormat(true));
    // A grey image shows grey levels even without a palette block.
    if (properties.ColorModel == cmGray) Image.SetPalette(Colors.MakeGrayPalette(false));
}

std::optional<TPSPBlockHeader> TPSPGraphic::TPSPLoad::NextBlock() {
    if (Load.Remaining() == 0) return std::nullopt;
    uint8_t header[MaxBlockHeaderSize];
    const size_t size = BlockHeaderSize(Version);
    Load.Read(header, size);
    TByteReader reader(header, size);
    return ParseBlockHeader(reader, Version);
}

int64_t TPSPGraphic::TPSPLoad::BlockEnd(const TPSPBlockHeader& block, uint64_t room,
                                        const char* container) {
    if (container)
        Load.RequireWithin(block.TotalLength, room, BlockName(block.Id), container);
    else
        Load.RequirePart(block.TotalLength, BlockName(block.Id));
    return Position() + int64_t(block.TotalLength);
}

int64_t TPSPGraphic::TPSPLoad::ChunkEnd(int64_t end, const char* name, const char* container) {
    const int64_t chunk = Position();
    const uint32_t length = Load.LE32();
    Load.RequireWithin(length, uint64_t(end - chunk), name, container);
    return chunk + int64_t(length);
}

void TPSPGraphic::TPSPLoad::SkipChunkLength() {
    if (HasChunkLengths(Version)) Stream.Seek(4, TSeekOrigin::soCurrent);
}

void TPSPGraphic::TPSPLoad::ReadPalette(int64_t end) {
    SkipChunkLength();
    const size_t entries = std::min<size_t>(Load.LE32(), MaxPaletteEntries);
    Load.RequireWithin(4 * entries, Room(end), PaletteName,
                       BlockName(uint16_t(TPSPBlock::ColorPalette)));
    std::array<uint8_t, 4 * MaxPaletteEntries> map{};
    Load.Read(map.data(), 4 * entries);
    Image.SetPalette(Colors.MakeColorPalette({std::span<const uint8_t>(map).first(4 * entries)},
                                             plPacked8x4, uint32_t(entries), true));
}

bool TPSPGraphic::TPSPLoad::ReadLayerInfo(int64_t end) {
    if (!HasChunkLengths(Version)) {
        Load.RequireWithin(LayerNameSize + LayerInfoSize, Room(end), LayerInfoName, LayerName);
        Stream.Seek(LayerNameSize, TSeekOrigin::soCurrent);
        const uint8_t type = Load.U8();
        Stream.Seek(LayerInfoSize - 1, TSeekOrigin::soCurrent);
        return type == uint8_t(TPSPLayerType::Raster);
    }
    const int64_t chunkEnd = ChunkEnd(end, LayerInfoName, LayerName);
    const uint16_t nameLength = Load.LE16();
    Load.RequireWithin(uint64_t(nameLength) + 1, Room(chunkEnd), "layer name", LayerInfoName);
    Stream.Seek(nameLength, TSeekOrigin::soCurrent);
    const uint8_t type = Load.U8();
    Stream.SetPosition(chunkEnd);
    return type == uint8_t(TPSPLayerType::Raster) || type == uint8_t(TPSPLayerType::FloatingRaster);
}

uint16_t TPSPGraphic::TPSPLoad::ReadChannelCount(int64_t end) {
    const int64_t chunkEnd =
        HasChunkLengths(Version) ? ChunkEnd(end, BitmapInfoName, LayerName) : end;
    Load.RequireWithin(4, Room(chunkEnd), BitmapInfoName, LayerName);
    Load.LE16(); // bitmap count
    const uint16_t channelCount = Load.LE16();
    if (HasChunkLengths(Version)) Stream.SetPosition(chunkEnd);
    return channelCount;
}

bool TPSPGraphic::TPSPLoad::ReadLayerBank(int64_t bankEnd) {
    while (Position() < bankEnd) {
        const std::optional<TPSPBlockHeader> block = NextBlock();
        if (!block || block->Id != uint16_t(TPSPBlock::Layer)) return false;
        const int64_t end = BlockEnd(*block, Room(bankEnd), LayerBankName);
        Load.Start(msgLoadingData);
        const bool taken = ReadLayerInfo(end);
        Load.Finish();
        if (!taken) {
            Stream.SetPosition(end);
            continue;
        }
        LoadLayer(ReadChannelCount(end), end);
        return true;
    }
    return false;
}

void TPSPGraphic::TPSPLoad::Decompress(uint32_t compressedLength) {
    if (compressedLength > uint32_t(INT32_MAX) || ChannelBytes > size_t(INT32_MAX))
        Load.Fail(msgDataTooShort);
    Load.ReadBlock(Packed, compressedLength);
    std::fill(Channel.begin(), Channel.end(), uint8_t(0));
    const uint8_t* input = Packed.data();
    uint8_t* output = Channel.data();
    if (Attributes.Compression == TPSPCompression::RunLength) {
        TPSPRLEDecoder decoder;
        decoder.Decode(input, output, int32_t(compressedLength), int32_t(ChannelBytes));
        return;
    }
    auto inflater = std::make_unique<TLZ77Decoder>(Z_FINISH, false);
    TLZ77Decoder& inflate = *inflater;
    TDecoderSession session(std::move(inflater));
    session->Decode(input, output, int32_t(compressedLength), int32_t(ChannelBytes));
    if (inflate.OutputLeft() != 0) Load.Fail(msgCompression);
    session.Finish();
}

void TPSPGraphic::TPSPLoad::PlaceChannel(TPSPChannel type) {
    const std::span<const uint8_t> rows = Channel.Span();
    if (!Color) {
        for (size_t y = 0; y < Height; ++y)
            Colors.ConvertRows(rows.subspan(y * RowBytes, RowBytes), Image.ScanLineSpan(int32_t(y)),
                               uint32_t(Width));
        return;
    }
    static constexpr size_t offsets[ChannelKinds] = {3, 2, 1, 0};
    const size_t pixelBytes = Alpha ? 4 : 3;
    const size_t offset = offsets[size_t(type)];
    for (size_t y = 0; y < Height; ++y) {
        const uint8_t* source = rows.data() + y * RowBytes;
        uint8_t* target = Image.ScanLineSpan(int32_t(y)).first(Width * pixelBytes).data();
        for (size_t x = 0; x < Width; ++x) target[x * pixelBytes + offset] = source[x];
    }
}

void TPSPGraphic::TPSPLoad::ReadChannel(int64_t layerEnd) {
    // The layer's channels end with the file only when it is cut.
    const std::optional<TPSPBlockHeader> block = NextBlock();
    if (!block) Load.Fail(msgUnexpectedEnd);
    const int64_t end = BlockEnd(*block, Room(layerEnd), LayerName);
    SkipChunkLength();
    const uint32_t compressedLength = Load.LE32();
    const uint32_t uncompressedLength = Load.LE32();
    Load.LE16(); // bitmap type
    const uint16_t type = Load.LE16();
    const bool wanted = type < ChannelKinds && !Placed[type] &&
                        (Color ? (type != uint16_t(TPSPChannel::Composite) || Alpha)
                               : type == uint16_t(TPSPChannel::Composite));
    if (!wanted) {
        Stream.SetPosition(end);
        return;
    }
    const bool stored = Attributes.Compression == TPSPCompression::None;
    if (uncompressedLength < ChannelBytes || (stored && compressedLength < ChannelBytes))
        Load.Fail(msgBadValue, "channel length " + std::to_string(uncompressedLength));
    Load.RequireWithin(stored ? ChannelBytes : compressedLength, Room(end), ChannelDataName,
                       ChannelName);
    if (stored)
        Load.Read(Channel.data(), ChannelBytes);
    else
        Decompress(compressedLength);
    PlaceChannel(TPSPChannel(type));
    Placed[type] = true;
    Load.Running(++PlacedCount, Shown);
    Stream.SetPosition(end);
}

void TPSPGraphic::TPSPLoad::RequireChannels() const {
    auto require = [&](TPSPChannel kind) {
        if (!Placed[size_t(kind)]) Load.Fail(msgMissingChannel, ChannelKindName(kind));
    };
    if (Color) {
        require(TPSPChannel::Red);
        require(TPSPChannel::Green);
        require(TPSPChannel::Blue);
    } else {
        require(TPSPChannel::Composite);
    }
}

// Indexed and grey layers show their composite channel, colour layers their red, green and
// blue channels (and the composite as alpha with more than three).
void TPSPGraphic::TPSPLoad::LoadLayer(uint16_t channelCount, int64_t end) {
    Alpha = Color && channelCount > 3;
    if (Alpha) {
        Colors.SetTargetModel(cmBGRAlpha);
        Image.SetPixelFormat(bf32Bit);
        Image.AlphaFormat = afDefined;
    }
    Shown = Color ? (Alpha ? 4 : 3) : 1;
    const uint64_t needed = CheckedMul(ChannelBytes, Shown);
    switch (Attributes.Compression) {
    case TPSPCompression::RunLength:
        Load.RequireExpansion(needed, RunLengthExpansion);
        break;
    case TPSPCompression::LZ77:
        Load.RequireExpansion(needed, DeflateExpansion);
        break;
    default:
        Load.RequireExpansion(needed, 1);
        break;
    }
    Image.SetSize(int32_t(Width), int32_t(Height));
    Channel.Resize(ChannelBytes);
    Load.BeginTransfer();
    for (uint16_t i = 0; i < channelCount; ++i) ReadChannel(end);
    RequireChannels();
    // A colour layer counted more than three channels but brought no alpha: opaque.
    if (Alpha && !Placed[size_t(TPSPChannel::Composite)])
        for (size_t y = 0; y < Height; ++y) {
            uint8_t* target = Image.ScanLineSpan(int32_t(y)).first(Width * 4).data();
            for (size_t x = 0; x < Width; ++x) target[4 * x + 3] = 255;
        }
    Load.Finish();
}

void TPSPGraphic::TPSPLoad::Run() {
    Load.Prepare();
    Width = Attributes.Width;
    Height = Attributes.Height;
    Check();
    SetupColors();
    const uint16_t depth = Attributes.BitDepth;
    RowBytes = depth == 1 ? (Width + 7) / 8 : depth == 4 ? Width / 2 + 1 : Width;
    ChannelBytes = CheckedMul(RowBytes, Height);
    Load.Finish();

    bool loaded = false;
    while (const std::optional<TPSPBlockHeader> block = NextBlock()) {
        if (block->Marker != BlockMarker) break;
        const int64_t end = BlockEnd(*block);
        switch (TPSPBlock(block->Id)) {
        case TPSPBlock::ColorPalette:
            ReadPalette(end);
            break;
        case TPSPBlock::LayerBank:
            if (!loaded) loaded = ReadLayerBank(end);
            break;
        default:
            break;
        }
        Stream.SetPosition(end);
    }
    if (!loaded) Load.Fail(msgNoRasterLayer);
}

void TPSPGraphic::DecodeImage(TStream& stream) {
    std::optional<TPSPFile> file;
    TLoad load(*this, stream, FormatName,
               [&] { return (file = ReadHeader(stream, ImageProperties)).has_value(); });
    TPSPLoad(*this, load, *file).Run();
}
