// Messages: msgInvalidImage (signature or version), msgInvalidSize, msgInvalidColorFormat (a
// bit depth other than 1, 4, 8 or 24), msgUnsupportedFeature with msgCompressionScheme (JPEG
// and unknown channel compressions), msgBadValue (a channel shorter than the layer's rows),
// msgCompression (deflated data that ends before the channel), msgMissingChannel,
// msgNoRasterLayer, msgDataTooShort, msgUnexpectedEnd.
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
// Most bytes a stored byte becomes: a run-length packet of two bytes gives 127; a deflate
// stream at most about 1032 bytes a byte.
constexpr uint64_t RunLengthExpansion = 64;
constexpr uint64_t DeflateExpansion = 1032;

enum class TPSPBlock : uint16_t {
    ImageAttributes = 0,
    ColorPalette = 2,
    LayerBank = 3,
    Layer = 4,
};
enum class TPSPCompression : uint16_t { None = 0, RunLength = 1, LZ77 = 2, JPEG = 3 };
enum class TPSPChannel : uint16_t { Composite = 0, Red = 1, Green = 2, Blue = 3 };
constexpr size_t ChannelKinds = 4;
enum class TPSPMetric : uint8_t { Undefined = 0, PerInch = 1, PerCentimetre = 2 };
// Layer types the reader takes: version 3 knows only the normal raster layer (0); later
// versions number raster layers 0 and 1.
constexpr uint8_t RasterLayer = 0;
constexpr uint8_t FloatingRasterLayer = 1;
constexpr size_t LayerNameSize = 256; // version 3
constexpr size_t LayerInfoSize = 115;

// Versions above 3 give each chunk inside a block a 4-byte length first.
bool HasChunkLengths(uint16_t version) {
    return version > FirstVersion;
}
// Identifier, block id, (version 3: initial data length,) total block length.
size_t BlockHeaderSize(uint16_t version) {
    return HasChunkLengths(version) ? 10 : 14;
}

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

struct TPSPAttributes {
    uint32_t Width = 0, Height = 0;
    double Resolution = 0;
    uint8_t Metric = 0;
    uint16_t Compression = 0;
    uint16_t BitDepth = 0;
    uint8_t Greyscale = 0;

    float DotsPerInch() const {
        const float value = float(Resolution);
        return Metric == uint8_t(TPSPMetric::PerCentimetre) ? value * 2.54f : value;
    }
};

TPSPAttributes ParseAttributes(TByteReader& reader) {
    TPSPAttributes attributes;
    attributes.Width = reader.LE32();
    attributes.Height = reader.LE32();
    const uint64_t low = reader.LE32(), high = reader.LE32();
    attributes.Resolution = std::bit_cast<double>(low | (high << 32));
    attributes.Metric = reader.U8();
    attributes.Compression = reader.LE16();
    attributes.BitDepth = reader.LE16();
    reader.Skip(6); // plane count, colour count
    attributes.Greyscale = reader.U8();
    return attributes;
}

// Reads the first block header and the attributes it holds from the stream's position (after
// the file header), leaving the stream at the end of the block.
TPSPAttributes ReadAttributes(TStream& stream, uint16_t version) {
    uint8_t bytes[14];
    const size_t headerSize = BlockHeaderSize(version);
    stream.ReadBuffer(bytes, headerSize);
    TByteReader blockReader(bytes, headerSize);
    const TPSPBlockHeader block = ParseBlockHeader(blockReader, version);
    const int64_t contents = stream.Position();
    if (HasChunkLengths(version)) stream.Seek(4, TSeekOrigin::soCurrent);
    uint8_t attributes[AttributesSize];
    stream.ReadBuffer(attributes, AttributesSize);
    stream.SetPosition(contents + block.TotalLength);
    TByteReader reader(attributes, AttributesSize);
    return ParseAttributes(reader);
}

const char* ChannelName(TPSPChannel channel) {
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

} // namespace

bool TPSPGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() < int64_t(FileHeaderSize) + 1) return false;
    uint8_t bytes[FileHeaderSize];
    if (PeekBytes(stream, bytes) != FileHeaderSize) return false;
    TByteReader reader(bytes, FileHeaderSize);
    return ParseFileHeader(reader).has_value();
}

bool TPSPGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    uint8_t bytes[FileHeaderSize];
    stream.ReadBuffer(bytes, FileHeaderSize);
    TByteReader reader(bytes, FileHeaderSize);
    const std::optional<TPSPFileHeader> header = ParseFileHeader(reader);
    if (!header) return false;
    const TPSPAttributes attributes = ReadAttributes(stream, header->Major);

    TImageProperties& properties = ImageProperties;
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
    switch (TPSPCompression(attributes.Compression)) {
    case TPSPCompression::None:
        properties.Compression = ckNone;
        break;
    case TPSPCompression::RunLength:
        properties.Compression = ckRunLength;
        break;
    case TPSPCompression::LZ77:
        properties.Compression = ckDeflate;
        break;
    case TPSPCompression::JPEG:
        properties.Compression = ckJPEG;
        break;
    default:
        properties.Compression = ckUnknown;
        break;
    }
    properties.XResolution = attributes.DotsPerInch();
    properties.YResolution = properties.XResolution;
    return true;
}

void TPSPGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Seek(0);
    load.Prepare();

    uint8_t bytes[FileHeaderSize];
    load.Read(bytes, FileHeaderSize);
    TByteReader reader(bytes, FileHeaderSize);
    const std::optional<TPSPFileHeader> header = ParseFileHeader(reader);
    if (!header) load.Fail(msgInvalidImage);
    const uint16_t version = header->Major;
    const TPSPAttributes attributes = ReadAttributes(stream, version);
    const size_t width = attributes.Width, height = attributes.Height;
    if (width == 0 || height == 0 || width > size_t(INT32_MAX) || height > size_t(INT32_MAX))
        load.Fail(msgInvalidSize, std::to_string(width), std::to_string(height));
    const uint16_t depth = attributes.BitDepth;
    if (depth != 1 && depth != 4 && depth != 8 && depth != 24) load.Fail(msgInvalidColorFormat);
    const auto compression = TPSPCompression(attributes.Compression);
    if (compression != TPSPCompression::None && compression != TPSPCompression::RunLength &&
        compression != TPSPCompression::LZ77)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));

    const TImageProperties& properties = ImageProperties;
    const bool color = properties.ColorModel == cmRGB;
    TColorManager& colors = *ColorEngine;
    colors.SourceFlags.Clear();
    colors.SetSourceSampleBits(properties.BitsPerSample);
    colors.SetTargetSampleBits(properties.BitsPerSample);
    colors.SetSourceChannels(properties.SamplesPerPixel);
    colors.SetTargetChannels(properties.SamplesPerPixel);
    colors.SetSourceModel(properties.ColorModel);
    colors.SetTargetModel(color ? cmBGR : properties.ColorModel);
    SetPixelFormat(colors.TargetPixelFormat(true));
    // A grey image shows grey levels even without a palette block.
    if (properties.ColorModel == cmGray) SetPalette(colors.MakeGrayPalette(false));

    // Each channel holds its rows one after another; 4-bit rows take one byte more than half
    // the width.
    size_t rowBytes = width;
    if (depth == 1) rowBytes = (width + 7) / 8;
    if (depth == 4) rowBytes = width / 2 + 1;
    const size_t channelBytes = CheckedMul(rowBytes, height);
    load.Finish();

    const size_t blockHeaderSize = BlockHeaderSize(version);
    auto readBlockHeader = [&]() -> std::optional<TPSPBlockHeader> {
        if (load.Remaining() == 0) return std::nullopt;
        uint8_t header[14];
        load.Read(header, blockHeaderSize);
        TByteReader blockReader(header, blockHeaderSize);
        return ParseBlockHeader(blockReader, version);
    };
    auto skipChunkLength = [&] {
        if (HasChunkLengths(version)) stream.Seek(4, TSeekOrigin::soCurrent);
    };
    auto readLE32 = [&] {
        uint8_t value[4];
        load.Read(value, sizeof(value));
        return TByteReader(value, sizeof(value)).LE32();
    };
    auto readLE16 = [&] {
        uint8_t value[2];
        load.Read(value, sizeof(value));
        return TByteReader(value, sizeof(value)).LE16();
    };

    // Decodes the channels of a taken layer and puts them into the bitmap, one at a time:
    // indexed and grey layers through their composite channel, colour layers through their
    // red, green and blue channels (and the composite as alpha with more than three). The
    // first channel of each kind counts; later ones (masks) and unknown kinds are passed over.
    auto loadLayer = [&](uint16_t channelCount) {
        const bool alpha = color && channelCount > 3;
        if (alpha) {
            colors.SetTargetModel(cmBGRAlpha);
            SetPixelFormat(bf32Bit);
            AlphaFormat = afDefined;
        }
        const size_t shown = color ? (alpha ? 4 : 3) : 1;
        const uint64_t needed = CheckedMul(channelBytes, shown);
        if (compression == TPSPCompression::None)
            load.RequireExpansion(needed, 1);
        else
            load.RequireExpansion(needed, compression == TPSPCompression::RunLength
                                              ? RunLengthExpansion
                                              : DeflateExpansion);
        SetSize(int32_t(width), int32_t(height));
        TBudgetVector<uint8_t> channel = load.Buffer(channelBytes);
        std::array<bool, ChannelKinds> placed{};
        size_t placedCount = 0;
        load.BeginTransfer();
        for (uint16_t i = 0; i < channelCount; ++i) {
            // The layer's channels end with the file only when it is cut.
            const std::optional<TPSPBlockHeader> block = readBlockHeader();
            if (!block) load.Fail(msgUnexpectedEnd);
            const int64_t end = stream.Position() + block->TotalLength;
            skipChunkLength();
            const uint32_t compressedLength = readLE32();
            const uint32_t uncompressedLength = readLE32();
            readLE16(); // bitmap type
            const uint16_t type = readLE16();
            const bool wanted = type < ChannelKinds && !placed[type] &&
                                (color ? (type != uint16_t(TPSPChannel::Composite) || alpha)
                                       : type == uint16_t(TPSPChannel::Composite));
            if (!wanted) {
                stream.SetPosition(end);
                continue;
            }
            if (uncompressedLength < channelBytes ||
                (compression == TPSPCompression::None && compressedLength < channelBytes))
                load.Fail(msgBadValue, "channel length " + std::to_string(uncompressedLength));
            if (compression == TPSPCompression::None) {
                load.Read(channel.data(), channelBytes);
            } else {
                if (compressedLength > uint32_t(INT32_MAX) || channelBytes > size_t(INT32_MAX))
                    load.Fail(msgDataTooShort);
                TBudgetVector<uint8_t> packed = load.Buffer(0);
                load.ReadBlock(packed, compressedLength);
                std::fill(channel.begin(), channel.end(), uint8_t(0));
                const uint8_t* input = packed.data();
                uint8_t* output = channel.data();
                if (compression == TPSPCompression::RunLength) {
                    TPSPRLEDecoder decoder;
                    decoder.Decode(input, output, int32_t(compressedLength), int32_t(channelBytes));
                } else {
                    auto inflater = std::make_unique<TLZ77Decoder>(Z_FINISH, false);
                    TLZ77Decoder& inflate = *inflater;
                    TDecoderSession session(std::move(inflater));
                    session->Decode(input, output, int32_t(compressedLength),
                                    int32_t(channelBytes));
                    if (inflate.OutputLeft() != 0) load.Fail(msgCompression);
                    session.Finish();
                }
            }
            // Colour channels go to their byte of each pixel: blue, green, red, alpha.
            const std::span<const uint8_t> rows = channel.Span();
            if (color) {
                static constexpr size_t offsets[ChannelKinds] = {3, 2, 1, 0};
                const size_t pixelBytes = alpha ? 4 : 3;
                const size_t offset = offsets[type];
                for (size_t y = 0; y < height; ++y) {
                    const uint8_t* source = rows.data() + y * rowBytes;
                    uint8_t* target = ScanLineSpan(int32_t(y)).first(width * pixelBytes).data();
                    for (size_t x = 0; x < width; ++x) target[x * pixelBytes + offset] = source[x];
                }
            } else {
                for (size_t y = 0; y < height; ++y)
                    colors.ConvertRows(rows.subspan(y * rowBytes, rowBytes),
                                       ScanLineSpan(int32_t(y)), uint32_t(width));
            }
            placed[type] = true;
            load.Running(++placedCount, shown);
            stream.SetPosition(end);
        }
        auto require = [&](TPSPChannel kind) {
            if (!placed[size_t(kind)]) load.Fail(msgMissingChannel, ChannelName(kind));
        };
        if (color) {
            require(TPSPChannel::Red);
            require(TPSPChannel::Green);
            require(TPSPChannel::Blue);
        }
        if (!color) require(TPSPChannel::Composite);
        // A colour layer counted more than three channels but brought no alpha: opaque.
        if (alpha && !placed[size_t(TPSPChannel::Composite)])
            for (size_t y = 0; y < height; ++y) {
                uint8_t* target = ScanLineSpan(int32_t(y)).first(width * 4).data();
                for (size_t x = 0; x < width; ++x) target[4 * x + 3] = 255;
            }
        load.Finish();
    };

    // The layers of a layer bank up to its first raster layer; answers whether one was loaded.
    auto loadLayerBank = [&](int64_t bankEnd) {
        while (stream.Position() < bankEnd) {
            const std::optional<TPSPBlockHeader> block = readBlockHeader();
            if (!block || block->Id != uint16_t(TPSPBlock::Layer)) return false;
            const int64_t end = stream.Position() + block->TotalLength;
            load.Start(msgLoadingData);
            bool taken;
            if (HasChunkLengths(version)) {
                const int64_t chunk = stream.Position();
                const uint32_t chunkLength = readLE32();
                stream.Seek(readLE16(), TSeekOrigin::soCurrent); // name
                uint8_t type;
                load.Read(&type, 1);
                taken = type == RasterLayer || type == FloatingRasterLayer;
                stream.SetPosition(chunk + chunkLength);
            } else {
                stream.Seek(LayerNameSize, TSeekOrigin::soCurrent);
                uint8_t type;
                load.Read(&type, 1);
                stream.Seek(LayerInfoSize - 1, TSeekOrigin::soCurrent);
                taken = type == RasterLayer;
            }
            load.Finish();
            if (!taken) {
                stream.SetPosition(end);
                continue;
            }
            uint16_t channelCount;
            if (HasChunkLengths(version)) {
                const int64_t chunk = stream.Position();
                const uint32_t chunkLength = readLE32();
                readLE16(); // bitmap count
                channelCount = readLE16();
                stream.SetPosition(chunk + chunkLength);
            } else {
                readLE16(); // bitmap count
                channelCount = readLE16();
            }
            loadLayer(channelCount);
            return true;
        }
        return false;
    };

    bool loaded = false;
    while (const std::optional<TPSPBlockHeader> block = readBlockHeader()) {
        if (block->Marker != BlockMarker) break;
        const int64_t end = stream.Position() + block->TotalLength;
        switch (TPSPBlock(block->Id)) {
        case TPSPBlock::ColorPalette: {
            skipChunkLength();
            const size_t entries = std::min<size_t>(readLE32(), MaxPaletteEntries);
            std::array<uint8_t, 4 * MaxPaletteEntries> map{};
            load.Read(map.data(), 4 * entries);
            SetPalette(colors.MakeColorPalette({std::span<const uint8_t>(map).first(4 * entries)},
                                               plPacked8x4, uint32_t(entries), true));
            break;
        }
        case TPSPBlock::LayerBank:
            if (!loaded) loaded = loadLayerBank(end);
            break;
        default:
            break;
        }
        stream.SetPosition(end);
    }
    if (!loaded) load.Fail(msgNoRasterLayer);
}
