// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage        the magic number is wrong, or the file ends inside the header
//   msgBadValue            bytes per channel other than 1 or 2; a row table entry pointing
//                          outside the file
//   msgInvalidSize         a width or height of 0
//   msgInvalidSampleCount  no channel, or more than four (EColorConversionError)
//   msgUnexpectedEnd       the file ends before its row tables or its rows
//   msgDataTooShort        run-length rows that cover too few bytes for the image they state
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/SGIGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/formats/RowSampling.h"
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
// A run of 127 samples takes a count and one sample: no row expands more than 64 times.
constexpr uint64_t MaxExpansion = 64;

enum class TSGIStorage : uint8_t { Verbatim = 0, RunLength = 1 };
enum class TSGIChannels : uint16_t { RGB = 3, RGBAlpha = 4 };

// The 512-byte header of the SGI image file format (version 1.0, Paul Haeberli's description).
struct TSGIHeader {
    TSGIStorage Storage{};
    uint8_t BytesPerChannel = 0;
    uint16_t Dimension = 0;
    uint16_t XSize = 0, YSize = 0, ZSize = 0;

    bool RunLength() const { return Storage == TSGIStorage::RunLength; }
    // What recognition asks beyond the magic number: a depth and a dimension of the format.
    bool Plausible() const {
        return (BytesPerChannel == 1 || BytesPerChannel == 2) && Dimension >= 1 && Dimension <= 3;
    }
};

// The header, or nothing when the magic number is wrong.
std::optional<TSGIHeader> ParseHeader(TByteReader& reader) {
    if (reader.BE16() != Magic) return std::nullopt;
    TSGIHeader header;
    header.Storage = TSGIStorage(reader.U8());
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

// The header and what it tells of the image, or nothing when the stream ends first or the
// magic number is wrong.
std::optional<TSGIHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    const std::optional<TSGIHeader> header = ReadHeaderBytes<HeaderSize>(stream, ParseHeader);
    if (!header) return std::nullopt;
    properties.Flags = TImageFlags(flBigEndian);
    properties.BitsPerSample = uint8_t(header->BytesPerChannel * 8);
    properties.Width = header->XSize;
    properties.Height = header->YSize;
    properties.SamplesPerPixel = uint8_t(header->ZSize);
    properties.ColorModel = ModelOf(properties.SamplesPerPixel);
    properties.BitsPerPixel = uint8_t(properties.BitsPerSample * properties.SamplesPerPixel);
    properties.Compression = header->RunLength() ? ckRunLength : ckNone;
    return header;
}

} // namespace

bool TSGIGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TSGIHeader> header = ParseHeader(reader);
        if (header && !header->Plausible()) header.reset();
        return header;
    });
}

bool TSGIGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

struct TSGIGraphic::TSGILoad {
    TSGILoad(TSGIGraphic& image, TLoad& load, const TSGIHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header),
          RowStarts(load.Budget()), RowLengths(load.Budget()), Packed(load.Budget()),
          Decoder(uint8_t(8 * header.BytesPerChannel)) {}

    void Run();

private:
    // The values the header states that this reader cannot show.
    void Check() const;
    void SetupColors();
    // Run-length rows are found through two tables, row starts then row lengths in bytes,
    // each entry of every row of every channel; both are checked against the file before a
    // row is read, and the bytes the rows cover must be able to hold the image.
    void ReadRowTables();
    // The bytes of the file the rows cover, each byte once however many rows share it.
    uint64_t CoveredBytes() const;
    // Row r (0 the bottom) of channel k into `row`.
    void ReadRow(size_t k, size_t r, uint8_t* row);
    // The rows shown, every Shrink-th from the top, read (only those) in the file's order.
    void TransferRows();

    TSGIGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TSGIHeader Header;
    size_t Width = 0, Height = 0, RowBytes = 0;
    // The most bytes a run-length row of RowBytes can take: every sample a run of its own (a
    // count and the sample), and the closing count.
    uint64_t MaxCoded = 0;
    // Channels shown: grey images (one channel, or grey and alpha) show their first.
    size_t Used = 0;
    uint32_t Shrink = 1; // every Shrink-th pixel of every Shrink-th row shown is kept
    TBudgetVector<uint32_t> RowStarts, RowLengths;
    TBudgetVector<uint8_t> Packed; // one run-length row
    TSGIRLEDecoder Decoder;
};

void TSGIGraphic::TSGILoad::Check() const {
    if (Header.BytesPerChannel != 1 && Header.BytesPerChannel != 2)
        Load.Fail(msgBadValue, "bytes per channel " + std::to_string(Header.BytesPerChannel));
    if (Header.XSize == 0 || Header.YSize == 0)
        Load.Fail(msgInvalidSize, std::to_string(Header.XSize), std::to_string(Header.YSize));
    if (Header.ZSize == 0 || Header.ZSize > MaxChannels)
        throw EColorConversionError(msgInvalidSampleCount);
}

void TSGIGraphic::TSGILoad::SetupColors() {
    const TColorModel model = ModelOf(Header.ZSize);
    const bool gray = model == cmPalette;
    Used = gray ? 1 : Header.ZSize;
    Colors.SourceFlags = TConversionFlags(cfSwapBytes); // 16-bit samples are big-endian
    Colors.SetSourceSampleBits(uint8_t(8 * Header.BytesPerChannel));
    Colors.SetTargetSampleBits(8);
    Colors.SetSourceChannels(uint8_t(Used));
    Colors.SetTargetChannels(uint8_t(Used));
    Colors.SetSourceModel(model);
    Colors.SetTargetModel(gray ? cmPalette : model == cmRGB ? cmBGR : cmBGRAlpha);
    Image.SetPixelFormat(Colors.TargetPixelFormat(true));
    if (gray) Image.SetPalette(Colors.MakeGrayPalette(false));
    if (model == cmRGBAlpha) Image.AlphaFormat = afDefined;
}

void TSGIGraphic::TSGILoad::ReadRowTables() {
    const size_t entries = CheckedMul(Height, size_t(Header.ZSize));
    const size_t tableBytes = CheckedMul(entries, 4);
    Load.RequireBytes(CheckedMul(tableBytes, 2));
    TBudgetVector<uint8_t> tables = Load.Buffer(0);
    Load.ReadBlock(tables, 2 * tableBytes);
    TByteReader starts(tables.data(), tableBytes);
    TByteReader lengths(tables.data() + tableBytes, tableBytes);
    const size_t usedRows = CheckedMul(Used, Height);
    RowStarts.Resize(usedRows);
    RowLengths.Resize(usedRows);
    const uint64_t imageBytes =
        uint64_t(std::max<int64_t>(Load.Stream().Size() - Image.StreamStart, 0));
    uint32_t longestRow = 0;
    for (size_t i = 0; i < usedRows; ++i) {
        const uint32_t start = starts.BE32(), length = lengths.BE32();
        if (uint64_t(start) + length > imageBytes || length > uint32_t(INT32_MAX))
            Load.Fail(msgBadValue, "row start " + std::to_string(start) + " with length " +
                                       std::to_string(length));
        RowStarts[i] = start;
        // Bytes past the most a row's samples can take are never read: rows that share
        // their bytes cost no more than their samples.
        RowLengths[i] = uint32_t(std::min<uint64_t>(length, MaxCoded));
        longestRow = std::max(longestRow, RowLengths[i]);
    }
    Load.RequireExpansion(CheckedMul(usedRows, RowBytes), MaxExpansion, CoveredBytes());
    Packed.Resize(longestRow);
}

uint64_t TSGIGraphic::TSGILoad::CoveredBytes() const {
    TBudgetVector<uint64_t> spans = Load.Buffer<uint64_t>(RowStarts.size());
    for (size_t i = 0; i < spans.size(); ++i)
        spans[i] = uint64_t(RowStarts[i]) << 32 | RowLengths[i];
    std::sort(spans.begin(), spans.end());
    uint64_t covered = 0, end = 0;
    for (const uint64_t span : spans) {
        const uint64_t start = span >> 32, stop = start + (span & 0xFFFFFFFF);
        if (stop <= end) continue;
        covered += stop - std::max(start, end);
        end = stop;
    }
    return covered;
}

void TSGIGraphic::TSGILoad::ReadRow(size_t k, size_t r, uint8_t* row) {
    if (!Header.RunLength()) {
        Load.Seek(int64_t(HeaderSize + (k * Height + r) * RowBytes));
        Load.Read(row, RowBytes);
        return;
    }
    const size_t entry = k * Height + r;
    const uint32_t length = RowLengths[entry];
    Load.Seek(RowStarts[entry]);
    Load.Read(Packed.data(), length);
    // A row whose packets end early keeps zeros, not the previous row's samples.
    std::fill(row, row + RowBytes, uint8_t(0));
    const uint8_t* input = Packed.data();
    Decoder.Decode(input, row, int32_t(length), int32_t(RowBytes));
}

void TSGIGraphic::TSGILoad::Run() {
    Load.Prepare();
    Check();
    Width = Header.XSize;
    Height = Header.YSize;
    SetupColors();
    RowBytes = CheckedMul(Width, size_t(Header.BytesPerChannel));
    MaxCoded = 2 * uint64_t(RowBytes) + 2 * Header.BytesPerChannel;
    if (Header.RunLength())
        ReadRowTables();
    else
        Load.RequireBytes(CheckedMul(CheckedMul(Used, Height), RowBytes));

    Shrink = Image.SamplingFactor(Width, Height);
    Image.SetSize(int32_t(SampledCount(Width, Shrink)), int32_t(SampledCount(Height, Shrink)));
    Load.Finish();

    Load.BeginTransfer();
    TransferRows();
    Load.Finish();
}

void TSGIGraphic::TSGILoad::TransferRows() {
    // Each channel's row is read whole; shrunk, its kept samples go to a row of their own.
    const size_t width = size_t(Image.Width());
    std::vector<TBudgetVector<uint8_t>> rows, sampled;
    rows.reserve(Used);
    sampled.reserve(Used);
    std::array<std::span<const uint8_t>, MaxChannels> sources;
    for (size_t k = 0; k < Used; ++k) {
        rows.emplace_back(Load.Budget(), RowBytes);
        sampled.emplace_back(Load.Budget(), Shrink > 1 ? width * Header.BytesPerChannel : 0);
        sources[k] = Shrink > 1 ? sampled[k].Span() : rows[k].Span();
    }
    const std::span<const std::span<const uint8_t>> rowSpans(sources.data(), Used);
    // Rows are stored bottom first: the top row shown is the last stored.
    int32_t done = 0;
    for (size_t r = (Height - 1) % Shrink; r < Height; r += Shrink) {
        for (size_t k = 0; k < Used; ++k) {
            ReadRow(k, r, rows[k].data());
            if (Shrink > 1)
                SamplePixels(rows[k].data(), Header.BytesPerChannel, width, Shrink,
                             sampled[k].data());
        }
        const int32_t y = int32_t((Height - 1 - r) / Shrink);
        Colors.ConvertRows(rowSpans, Image.ScanLineSpan(y), uint32_t(width));
        Load.Row(done++);
    }
}

void TSGIGraphic::DecodeImage(TStream& stream) {
    std::optional<TSGIHeader> header;
    TLoad load(*this, stream, FormatName,
               [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); });
    TSGILoad(*this, load, *header).Run();
}
