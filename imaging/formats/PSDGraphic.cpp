// Messages: msgInvalidImage (signature), msgInvalidSize, msgInvalidColorDepth (a depth of 0
// or above 16), msgInvalidSampleCount (no channel), msgInvalidColorFormat (a mode, depth and
// channel count the reader cannot show), msgTruncatedPart (a section or the image data longer
// than the file), msgUnsupportedFeature with msgCompressionScheme, msgDataTooShort,
// msgUnexpectedEnd.
#include "imaging/formats/PSDGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

DEFINE_GRAPHIC_CLASS(TPSDGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PSD or PDD";
constexpr size_t HeaderSize = 26;
constexpr char Signature[4] = {'8', 'B', 'P', 'S'};
constexpr uint16_t Version = 1;
// The palette of indexed images: 256 red values, then 256 green, then 256 blue.
constexpr size_t PaletteBytes = 768;
// Most bytes two PackBits bytes produce: 128.
constexpr uint64_t MaxExpansion = 64;
constexpr size_t MaxPlanes = 4;

enum class TPSDMode : uint16_t {
    Bitmap = 0,
    Grayscale = 1,
    Indexed = 2,
    RGB = 3,
    CMYK = 4,
    Multichannel = 7,
    Duotone = 8,
    Lab = 9,
};
enum class TPSDCompression : uint16_t { Raw = 0, PackBits = 1 };

struct TPSDHeader {
    uint16_t Version = 0;
    uint16_t Channels = 0;
    uint32_t Height = 0, Width = 0;
    uint16_t Depth = 0;
    uint16_t Mode = 0;
};

// The header, or nothing when the signature is not "8BPS".
std::optional<TPSDHeader> ParseHeader(TByteReader& reader) {
    if (std::memcmp(reader.Take(4), Signature, 4) != 0) return std::nullopt;
    TPSDHeader header;
    header.Version = reader.BE16();
    reader.Skip(6); // reserved
    header.Channels = reader.BE16();
    header.Height = reader.BE32();
    header.Width = reader.BE32();
    header.Depth = reader.BE16();
    header.Mode = reader.BE16();
    return header;
}

TColorModel ModelOf(const TPSDHeader& header) {
    switch (TPSDMode(header.Mode)) {
    case TPSDMode::Bitmap:
    case TPSDMode::Grayscale:
    case TPSDMode::Duotone:
        return cmGray;
    case TPSDMode::Indexed:
        return cmPalette;
    case TPSDMode::RGB:
    case TPSDMode::Multichannel:
        return header.Channels == 3 ? cmRGB : cmRGBAlpha;
    case TPSDMode::CMYK:
        return cmCMYK;
    case TPSDMode::Lab:
        return cmCIELab;
    }
    return cmUnknown;
}

// How the rows of a mode reach the bitmap: the colour model of the planes read and of the
// bitmap, and how many planes each pixel takes (at most four; further channels are not read).
struct TPSDPlan {
    TColorModel Source = cmUnknown;
    TColorModel Target = cmUnknown;
    size_t Planes = 0;
    uint8_t TargetChannels = 0;
};

std::optional<TPSDPlan> PlanOf(const TPSDHeader& header) {
    const uint16_t depth = header.Depth, channels = header.Channels;
    const bool wide = depth == 8 || depth == 16;
    switch (TPSDMode(header.Mode)) {
    case TPSDMode::Bitmap:
        if (depth != 1) break;
        return TPSDPlan{cmGray, cmGray, 1, 1};
    case TPSDMode::Grayscale:
    case TPSDMode::Duotone:
        // Grey shows its first channel; further ones are alpha or spot channels.
        if (!wide) break;
        return TPSDPlan{cmGray, cmGray, 1, 1};
    case TPSDMode::Indexed:
        if (depth != 8) break;
        return TPSDPlan{cmPalette, cmPalette, 1, 1};
    case TPSDMode::RGB:
    case TPSDMode::Multichannel:
        if (!wide || channels < 3) break;
        if (channels == 3) return TPSDPlan{cmRGB, cmBGR, 3, 3};
        return TPSDPlan{cmRGBAlpha, cmBGRAlpha, 4, 4};
    case TPSDMode::CMYK:
        if (!wide || channels < 4) break;
        return TPSDPlan{cmCMYK, cmBGR, 4, 3};
    case TPSDMode::Lab:
        if (!wide || channels < 3) break;
        return TPSDPlan{cmCIELab, cmBGR, 3, 3};
    }
    return std::nullopt;
}

const char* const SectionNames[3] = {"colour mode data", "image resources",
                                     "layer and mask information"};

} // namespace

bool TPSDGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() < int64_t(HeaderSize) + 1) return false;
    uint8_t bytes[HeaderSize];
    if (PeekBytes(stream, bytes) != HeaderSize) return false;
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TPSDHeader> header = ParseHeader(reader);
    return header && header->Version == Version;
}

bool TPSDGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TPSDHeader> header = ParseHeader(reader);
    if (!header) return false;

    TImageProperties& properties = ImageProperties;
    properties.Flags = TImageFlags(flBigEndian);
    properties.BitsPerSample = uint8_t(header->Depth);
    properties.Channels = uint8_t(header->Channels);
    properties.SamplesPerPixel = uint8_t(std::min<uint16_t>(header->Channels, 4));
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.ColorModel = ModelOf(*header);
    if (header->Mode == uint16_t(TPSDMode::Bitmap)) properties.Flags.Include(flWhiteIsZero);
    properties.Width = header->Width;
    properties.Height = header->Height;

    for (const char* section : SectionNames) {
        const uint32_t length = stream.ReadBE32();
        if (int64_t(length) > stream.Remaining()) throw EImageFault(msgTruncatedPart, {section});
        stream.Seek(length, TSeekOrigin::soCurrent);
    }
    properties.Compression =
        stream.ReadBE16() == uint16_t(TPSDCompression::PackBits) ? ckPackBits : ckNone;
    return true;
}

void TPSDGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Seek(0);
    load.Prepare();

    uint8_t bytes[HeaderSize];
    load.Read(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TPSDHeader> parsed = ParseHeader(reader);
    if (!parsed) load.Fail(msgInvalidImage);
    const TPSDHeader& header = *parsed;
    const size_t width = header.Width, height = header.Height;
    if (width == 0 || height == 0 || width > size_t(INT32_MAX) || height > size_t(INT32_MAX))
        load.Fail(msgInvalidSize, std::to_string(width), std::to_string(height));
    if (header.Depth == 0 || header.Depth > 16) throw EColorConversionError(msgInvalidColorDepth);
    if (header.Channels == 0) throw EColorConversionError(msgInvalidSampleCount);
    const std::optional<TPSDPlan> plan = PlanOf(header);
    if (!plan) load.Fail(msgInvalidColorFormat);
    const TColorModel model = plan->Source;

    // 16-bit L*a*b* samples are reduced to their high bytes: the converter takes 8-bit ones.
    const bool wideLab = model == cmCIELab && header.Depth == 16;
    TColorManager& colors = *ColorEngine;
    colors.SourceFlags = TConversionFlags(cfSwapBytes); // 16-bit samples are big-endian
    if (model == cmCIELab) colors.SourceFlags |= cfLabScaledL | cfLabOffsetAB;
    colors.SetSourceSampleBits(wideLab ? 8 : uint8_t(header.Depth));
    colors.SetTargetSampleBits(header.Depth == 16 ? 8 : uint8_t(header.Depth));
    colors.SetSourceChannels(uint8_t(plan->Planes));
    colors.SetTargetChannels(plan->TargetChannels);
    colors.SetSourceModel(model);
    colors.SetTargetModel(plan->Target);
    SetPixelFormat(colors.TargetPixelFormat(true));
    if (plan->Target == cmBGRAlpha) AlphaFormat = afDefined;

    // The three sections, each a length and its bytes; the first holds the indexed palette.
    auto sectionLength = [&](const char* section) {
        uint8_t length[4];
        load.Read(length, sizeof(length));
        const uint32_t value = TByteReader(length, sizeof(length)).BE32();
        if (value > load.Remaining()) load.Fail(msgTruncatedPart, section);
        return value;
    };
    uint32_t skipped = sectionLength(SectionNames[0]);
    if (model == cmPalette) {
        // Data beyond the 256 entries is not part of the palette.
        std::array<uint8_t, PaletteBytes> map{};
        const size_t used = std::min<size_t>(skipped, PaletteBytes);
        load.Read(map.data(), used);
        skipped -= uint32_t(used);
        const size_t count = used / 3;
        const std::span<const uint8_t> planes(map);
        SetPalette(colors.MakeColorPalette({planes.subspan(0, count), planes.subspan(count, count),
                                            planes.subspan(2 * count, count)},
                                           plPlanar8x3, uint32_t(count), false));
    } else if (model == cmGray) {
        SetPalette(colors.MakeGrayPalette(header.Mode == uint16_t(TPSDMode::Bitmap)));
    }
    stream.Seek(skipped, TSeekOrigin::soCurrent);
    for (size_t section = 1; section < 3; ++section)
        stream.Seek(sectionLength(SectionNames[section]), TSeekOrigin::soCurrent);

    uint8_t code[2];
    load.Read(code, sizeof(code));
    const uint16_t compression = TByteReader(code, sizeof(code)).BE16();
    if (compression != uint16_t(TPSDCompression::Raw) &&
        compression != uint16_t(TPSDCompression::PackBits))
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));
    const bool packBits = compression == uint16_t(TPSDCompression::PackBits);

    // Channels are stored one after another, each row after row; the reader holds one row of
    // each channel it shows. PackBits rows come with a table of their byte counts (every row
    // of every channel), the rows of the shown channels are found through it.
    const size_t planes = plan->Planes;
    const size_t rowBytes = CheckedRowBytes(width, header.Depth);
    const size_t rowCount = CheckedMul(planes, height);
    const size_t decodedBytes = CheckedMul(rowCount, rowBytes);
    std::array<uint64_t, MaxPlanes> cursors{}; // where the next row of each plane starts
    TBudgetVector<uint16_t> counts = load.Buffer<uint16_t>(0);
    uint16_t longestRow = 0;
    if (packBits) {
        const size_t tableBytes = CheckedMul(CheckedMul(height, header.Channels), 2);
        load.RequireBytes(tableBytes);
        TBudgetVector<uint8_t> table = load.Buffer(0);
        load.ReadBlock(table, rowCount * 2);
        stream.Seek(int64_t(tableBytes - rowCount * 2), TSeekOrigin::soCurrent);
        counts.Resize(rowCount);
        TByteReader values(table.data(), table.size());
        uint64_t offset = uint64_t(stream.Position() - StreamStart);
        for (size_t plane = 0; plane < planes; ++plane) {
            cursors[plane] = offset;
            for (size_t y = 0; y < height; ++y) {
                const uint16_t count = values.BE16();
                counts[plane * height + y] = count;
                longestRow = std::max(longestRow, count);
                offset += count;
            }
        }
        if (offset - cursors[0] > load.Remaining()) load.Fail(msgTruncatedPart, "image data");
        load.RequireExpansion(decodedBytes, MaxExpansion);
    } else {
        const uint64_t start = uint64_t(stream.Position() - StreamStart);
        for (size_t plane = 0; plane < planes; ++plane)
            cursors[plane] = start + uint64_t(plane) * height * rowBytes;
        load.RequireBytes(decodedBytes);
    }

    SetSize(int32_t(width), int32_t(height));
    std::vector<TBudgetVector<uint8_t>> rows;
    rows.reserve(planes);
    for (size_t plane = 0; plane < planes; ++plane) rows.emplace_back(load.Budget(), rowBytes);
    TBudgetVector<uint8_t> packed = load.Buffer(longestRow);
    TPackbitsRLEDecoder decoder;
    load.Finish();

    load.BeginTransfer();
    // Rows as the converter takes them: 16-bit L*a*b* rows hold their reduced samples first.
    const size_t convertedBytes = wideLab ? width : rowBytes;
    std::array<std::span<const uint8_t>, MaxPlanes> sources;
    for (size_t plane = 0; plane < planes; ++plane)
        sources[plane] = rows[plane].Span().first(convertedBytes);
    const std::span<const std::span<const uint8_t>> rowSpans(sources.data(), planes);
    for (size_t y = 0; y < height; ++y) {
        for (size_t plane = 0; plane < planes; ++plane) {
            uint8_t* row = rows[plane].data();
            load.Seek(int64_t(cursors[plane]));
            if (packBits) {
                const uint16_t count = counts[plane * height + y];
                load.Read(packed.data(), count);
                // A row whose packets end early keeps zeros, not the previous row's samples.
                std::fill(row, row + rowBytes, uint8_t(0));
                const uint8_t* input = packed.data();
                decoder.Decode(input, row, count, int32_t(rowBytes));
                cursors[plane] += count;
            } else {
                load.Read(row, rowBytes);
                cursors[plane] += rowBytes;
            }
            // CMYK is stored as ink coverage inverted: 0 is full ink.
            if (model == cmCMYK)
                for (size_t i = 0; i < rowBytes; ++i) row[i] = uint8_t(~row[i]);
            if (wideLab)
                for (size_t i = 0; i < width; ++i) row[i] = row[2 * i];
        }
        colors.ConvertRows(rowSpans, ScanLineSpan(int32_t(y)), uint32_t(width));
        load.Row(int32_t(y));
    }
    load.Finish();
}
