// Messages: msgInvalidImage (wrong magic number), msgInvalidSize, msgBadValue (bytes per
// channel other than 1 or 2; a row table entry pointing outside the file), msgInvalidSampleCount
// (no channel, or more than four), msgUnexpectedEnd.
#include "imaging/formats/SGIGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

DEFINE_GRAPHIC_CLASS(TSGIGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "sgi, bw or rgb(a)";
constexpr size_t HeaderSize = 512;
constexpr uint16_t Magic = 474;
constexpr size_t MaxChannels = 4;

enum class TSGIStorage : uint8_t { Verbatim = 0, RunLength = 1 };
enum class TSGIChannels : uint16_t { RGB = 3, RGBAlpha = 4 };

struct TSGIHeader {
    uint8_t Storage = 0;
    uint8_t BytesPerChannel = 0;
    uint16_t Dimension = 0;
    uint16_t XSize = 0, YSize = 0, ZSize = 0;

    bool RunLength() const { return Storage == uint8_t(TSGIStorage::RunLength); }
};

// The header, or nothing when the magic number is wrong.
std::optional<TSGIHeader> ParseHeader(TByteReader& reader) {
    if (reader.BE16() != Magic) return std::nullopt;
    TSGIHeader header;
    header.Storage = reader.U8();
    header.BytesPerChannel = reader.U8();
    header.Dimension = reader.BE16();
    header.XSize = reader.BE16();
    header.YSize = reader.BE16();
    header.ZSize = reader.BE16();
    return header;
}

TColorModel ModelOf(uint16_t channels) {
    switch (TSGIChannels(channels)) {
    case TSGIChannels::RGB:
        return cmRGB;
    case TSGIChannels::RGBAlpha:
        return cmRGBAlpha;
    }
    return cmPalette; // grey levels
}

} // namespace

bool TSGIGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    uint8_t bytes[HeaderSize];
    if (PeekBytes(stream, bytes) != HeaderSize) return false;
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TSGIHeader> header = ParseHeader(reader);
    return header && (header->BytesPerChannel == 1 || header->BytesPerChannel == 2) &&
           header->Dimension >= 1 && header->Dimension <= 3;
}

bool TSGIGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TSGIHeader> header = ParseHeader(reader);
    if (!header) return false;

    TImageProperties& properties = ImageProperties;
    properties.Flags = TImageFlags(flBigEndian);
    properties.BitsPerSample = uint8_t(header->BytesPerChannel * 8);
    properties.Width = header->XSize;
    properties.Height = header->YSize;
    properties.SamplesPerPixel = uint8_t(header->ZSize);
    properties.ColorModel = ModelOf(properties.SamplesPerPixel);
    properties.BitsPerPixel = uint8_t(properties.BitsPerSample * properties.SamplesPerPixel);
    properties.Compression = header->RunLength() ? ckRunLength : ckNone;
    return true;
}

void TSGIGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Seek(0);
    load.Prepare();

    uint8_t bytes[HeaderSize];
    load.Read(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TSGIHeader> parsed = ParseHeader(reader);
    if (!parsed) load.Fail(msgInvalidImage);
    const TSGIHeader& header = *parsed;
    const size_t sampleBytes = header.BytesPerChannel;
    if (sampleBytes != 1 && sampleBytes != 2)
        load.Fail(msgBadValue, "bytes per channel " + std::to_string(sampleBytes));
    const size_t width = header.XSize, height = header.YSize;
    if (width == 0 || height == 0)
        load.Fail(msgInvalidSize, std::to_string(width), std::to_string(height));
    const size_t channels = header.ZSize;
    if (channels == 0 || channels > MaxChannels) throw EColorConversionError(msgInvalidSampleCount);

    // Grey images (one channel, or grey and alpha) show their first channel.
    const TColorModel model = ModelOf(header.ZSize);
    const bool gray = model == cmPalette;
    const size_t used = gray ? 1 : channels;
    TColorManager& colors = *ColorEngine;
    colors.SourceFlags = TConversionFlags(cfSwapBytes); // 16-bit samples are big-endian
    colors.SetSourceSampleBits(uint8_t(8 * sampleBytes));
    colors.SetTargetSampleBits(8);
    colors.SetSourceChannels(uint8_t(used));
    colors.SetTargetChannels(uint8_t(used));
    colors.SetSourceModel(model);
    colors.SetTargetModel(gray ? cmPalette : model == cmRGB ? cmBGR : cmBGRAlpha);
    SetPixelFormat(colors.TargetPixelFormat(true));
    if (gray) SetPalette(colors.MakeGrayPalette(false));
    if (model == cmRGBAlpha) AlphaFormat = afDefined;

    // Run-length rows are found through two tables, row starts then row lengths in bytes,
    // each entry of every row of every channel; both are checked against the file before a
    // row is read. Verbatim rows follow the header channel after channel.
    const size_t rowBytes = CheckedMul(width, sampleBytes);
    const size_t usedRows = CheckedMul(used, height);
    load.Seek(HeaderSize);
    std::optional<TBudgetVector<uint32_t>> rowStarts, rowLengths;
    uint32_t longestRow = 0;
    if (header.RunLength()) {
        const size_t entries = CheckedMul(height, channels);
        const size_t tableBytes = CheckedMul(entries, 4);
        load.RequireBytes(CheckedMul(tableBytes, 2));
        TBudgetVector<uint8_t> tables = load.Buffer(0);
        load.ReadBlock(tables, 2 * tableBytes);
        TByteReader starts(tables.data(), tableBytes);
        TByteReader lengths(tables.data() + tableBytes, tableBytes);
        rowStarts.emplace(load.Budget(), usedRows);
        rowLengths.emplace(load.Budget(), usedRows);
        const uint64_t imageBytes = uint64_t(std::max<int64_t>(stream.Size() - StreamStart, 0));
        for (size_t i = 0; i < usedRows; ++i) {
            const uint32_t start = starts.BE32(), length = lengths.BE32();
            if (uint64_t(start) + length > imageBytes || length > uint32_t(INT32_MAX))
                load.Fail(msgBadValue, "row start " + std::to_string(start) + " with length " +
                                           std::to_string(length));
            (*rowStarts)[i] = start;
            (*rowLengths)[i] = length;
            longestRow = std::max(longestRow, length);
        }
    } else {
        load.RequireBytes(CheckedMul(usedRows, rowBytes));
    }

    SetSize(int32_t(width), int32_t(height));
    std::vector<TBudgetVector<uint8_t>> rows;
    rows.reserve(used);
    for (size_t k = 0; k < used; ++k) rows.emplace_back(load.Budget(), rowBytes);
    TBudgetVector<uint8_t> packed = load.Buffer(longestRow);
    TSGIRLEDecoder decoder(uint8_t(8 * sampleBytes));
    load.Finish();

    load.BeginTransfer();
    std::array<std::span<const uint8_t>, MaxChannels> sources;
    for (size_t k = 0; k < used; ++k) sources[k] = rows[k].Span();
    const std::span<const std::span<const uint8_t>> rowSpans(sources.data(), used);
    for (size_t r = 0; r < height; ++r) {
        for (size_t k = 0; k < used; ++k) {
            uint8_t* row = rows[k].data();
            if (header.RunLength()) {
                const size_t entry = k * height + r;
                const uint32_t length = (*rowLengths)[entry];
                load.Seek((*rowStarts)[entry]);
                load.Read(packed.data(), length);
                // A row whose packets end early keeps zeros, not the previous row's samples.
                std::fill(row, row + rowBytes, uint8_t(0));
                const uint8_t* input = packed.data();
                decoder.Decode(input, row, int32_t(length), int32_t(rowBytes));
            } else {
                load.Seek(int64_t(HeaderSize + (k * height + r) * rowBytes));
                load.Read(row, rowBytes);
            }
        }
        const int32_t y = int32_t(height - 1 - r);
        colors.ConvertRows(rowSpans, ScanLineSpan(y), uint32_t(width));
        load.Row(int32_t(r));
    }
    load.Finish();
}
