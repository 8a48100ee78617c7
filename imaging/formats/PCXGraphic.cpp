// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidSize         a window whose corners are swapped
//   msgInvalidColorFormat  a bits and planes combination no bitmap takes
//   msgBadValue            bytes per line too few for the width
//   msgDataTooShort        data that cannot fill the size the header states
//   msgUnexpectedEnd       run-length rows that end before the last one
//   msgStreamReadError     the file ends inside the header
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit. A header
// whose maker byte is unknown leaves the bitmap empty.
#include "imaging/formats/PCXGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/formats/RowSampling.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>

DEFINE_GRAPHIC_CLASS(TPCXGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PCX";
constexpr size_t HeaderSize = 128;
constexpr size_t ColorMapSize = 48;
// The 256-colour block at the end of 8-bit files: a marker byte, then 256 RGB entries.
constexpr size_t PaletteBlockSize = 769;
constexpr uint8_t PaletteBlockMarker = 12;
// Most bytes one packet (two bytes) can produce: 63.
constexpr uint64_t MaxExpansion = 32;

enum class TPCXMaker : uint8_t { Paintbrush = 10, ScreenCapture = 205 };
enum class TPCXVersion : uint8_t {
    V25 = 0,
    V28Palette = 2,
    V28NoPalette = 3, // no palette of its own: the standard 16 colours
    V30 = 5,
};
enum class TPCXEncoding : uint8_t { Stored = 0, RunLength = 1 };
enum class TPCXPaletteInfo : uint16_t { Color = 1, Gray = 2 };

// The 128-byte header of ZSoft's PCX technical reference.
struct TPCXHeader {
    uint8_t Version = 0;
    uint8_t Encoding = 0;
    uint8_t BitsPerPlane = 0;
    uint16_t XMin = 0, YMin = 0, XMax = 0, YMax = 0;
    uint16_t XResolution = 0, YResolution = 0;
    std::array<uint8_t, ColorMapSize> ColorMap{};
    uint8_t Planes = 0;
    uint16_t BytesPerLine = 0;
    uint16_t PaletteInfo = 0;

    // Sides as the window states them; 0 or less for a window whose corners are swapped.
    int32_t Width() const { return int32_t(XMax) - int32_t(XMin) + 1; }
    int32_t Height() const { return int32_t(YMax) - int32_t(YMin) + 1; }
    bool RunLength() const { return Encoding == uint8_t(TPCXEncoding::RunLength); }
};

// The header, or nothing when the maker byte is neither Paintbrush's nor the screen
// captures'.
std::optional<TPCXHeader> ParseHeader(TByteReader& reader) {
    const uint8_t maker = reader.U8();
    if (maker != uint8_t(TPCXMaker::Paintbrush) && maker != uint8_t(TPCXMaker::ScreenCapture))
        return std::nullopt;
    TPCXHeader header;
    header.Version = reader.U8();
    header.Encoding = reader.U8();
    header.BitsPerPlane = reader.U8();
    header.XMin = reader.LE16();
    header.YMin = reader.LE16();
    header.XMax = reader.LE16();
    header.YMax = reader.LE16();
    header.XResolution = reader.LE16();
    header.YResolution = reader.LE16();
    reader.Read(header.ColorMap.data(), ColorMapSize);
    reader.Skip(1); // reserved
    header.Planes = reader.U8();
    header.BytesPerLine = reader.LE16();
    header.PaletteInfo = reader.LE16();
    return header;
}

bool IsKnownVersion(uint8_t version) {
    switch (TPCXVersion(version)) {
    case TPCXVersion::V25:
    case TPCXVersion::V28Palette:
    case TPCXVersion::V28NoPalette:
    case TPCXVersion::V30:
        return true;
    }
    return false;
}

// How the planes of a row become pixels.
enum class TPCXLayout : uint8_t {
    Packed,      // one plane of 1, 2, 4 or 8-bit indices
    BitPlanes,   // 2 to 4 planes of 1 bit: plane k gives bit k of a 4-bit index
    ColorPlanes, // 3 planes of 8-bit red, green, blue (a fourth of alpha)
};

std::optional<TPCXLayout> LayoutOf(const TPCXHeader& header) {
    const uint8_t bits = header.BitsPerPlane, planes = header.Planes;
    if (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8))
        return TPCXLayout::Packed;
    if (bits == 1 && planes >= 2 && planes <= 4) return TPCXLayout::BitPlanes;
    if (bits == 8 && (planes == 3 || planes == 4)) return TPCXLayout::ColorPlanes;
    return std::nullopt;
}

// Nibble masks of a 4-bit row: entry b holds, for each set bit of b (the most significant
// is the first pixel), bit 0 of that pixel's nibble in 8 nibbles stored as 4 bytes, low byte
// first, the first pixel of each byte in its high nibble.
constexpr std::array<uint32_t, 256> SpreadTable = [] {
    std::array<uint32_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        uint32_t value = 0;
        for (unsigned pixel = 0; pixel < 8; ++pixel) {
            if (!(b & (0x80u >> pixel))) continue;
            const unsigned shift = 8 * (pixel / 2) + ((pixel & 1) ? 0 : 4);
            value |= uint32_t(1) << shift;
        }
        table[b] = value;
    }
    return table;
}();

// Combines 1-bit planes, each `planeBytes` long, into `width` 4-bit pixels of `target`.
void CombineBitPlanes(std::span<const uint8_t> row, size_t planes, size_t planeBytes,
                      uint32_t width, std::span<uint8_t> target) {
    const size_t outBytes = (size_t(width) * 4 + 7) / 8;
    const size_t groups = (size_t(width) + 7) / 8;
    for (size_t g = 0; g < groups; ++g) {
        uint32_t value = 0;
        for (size_t k = 0; k < planes; ++k) value |= SpreadTable[row[k * planeBytes + g]] << k;
        const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                                  uint8_t(value >> 24)};
        const size_t at = 4 * g;
        std::memcpy(target.data() + at, bytes, std::min<size_t>(4, outBytes - at));
    }
}

// Run-length rows: the packed bytes are read from the stream in blocks; each row's packets
// are found in the block (a run may carry on into the next row, as some writers let it) and
// decoded by the PCX decoder.
class TPackedRows {
public:
    TPackedRows(TImageGraphic::TLoad& load, uint64_t packedBytes, size_t rowBytes)
        : load_(load), unread_(packedBytes),
          window_(load.Buffer(size_t(std::min<uint64_t>(packedBytes, WindowBytes(rowBytes))))) {}

    // Fills `row`; raises when the data ends first.
    void Next(std::span<uint8_t> row) {
        // A row's packets take at most twice its bytes (each byte a run of one), two more for
        // a run cut at its end.
        const size_t packets = CheckedAdd(CheckedMul(row.size(), 2), 2);
        size_t filled = 0;
        for (;;) {
            if (end_ - start_ < packets && unread_ != 0) Refill();
            const uint8_t* const from = window_.data() + start_;
            const uint8_t* input = from;
            filled += decoder_.DecodeRow(input, window_.data() + end_, row.data() + filled,
                                         row.size() - filled);
            start_ += size_t(input - from);
            if (filled == row.size()) return;
            if (unread_ == 0 && input == from) throw EImageFault(msgUnexpectedEnd);
            if (unread_ != 0) Refill();
        }
    }

private:
    // Large enough that refilling moves little: a row's packets take at most twice its bytes,
    // two more for a run cut at the end.
    static size_t WindowBytes(size_t rowBytes) {
        return std::max<size_t>(size_t(1) << 18, CheckedAdd(CheckedMul(rowBytes, 4), 4));
    }

    // Moves the unread bytes of the window to its front and fills the rest from the stream.
    void Refill() {
        const size_t kept = end_ - start_;
        std::memmove(window_.data(), window_.data() + start_, kept);
        const size_t room = window_.size() - kept;
        const size_t count = size_t(std::min<uint64_t>(room, unread_));
        load_.Read(window_.data() + kept, count);
        unread_ -= count;
        start_ = 0;
        end_ = kept + count;
    }

    TImageGraphic::TLoad& load_;
    uint64_t unread_;
    TBudgetVector<uint8_t> window_;
    size_t start_ = 0, end_ = 0;
    TPCXRLEDecoder decoder_;
};

// The header and what it tells of the image, or nothing when the maker byte is unknown. A
// header cut short is the stream's read error.
std::optional<TPCXHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TPCXHeader> header = ParseHeader(reader);
    if (!header) return std::nullopt;
    properties.Width = uint32_t(std::max(header->Width(), 0));
    properties.Height = uint32_t(std::max(header->Height(), 0));
    properties.XResolution = header->XResolution;
    properties.YResolution = header->YResolution;
    properties.BitsPerSample = header->BitsPerPlane;
    properties.SamplesPerPixel = header->Planes;
    properties.BitsPerPixel = uint8_t(header->BitsPerPlane * header->Planes);
    properties.ColorModel = properties.BitsPerPixel <= 8 ? cmPalette : cmRGB;
    properties.Compression = header->RunLength() ? ckRunLength : ckNone;
    return header;
}

} // namespace

bool TPCXGraphic::Recognize(TStream& stream) {
    // Only the versions and encodings of the format's description are taken for it.
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TPCXHeader> header = ParseHeader(reader);
        if (header && !(IsKnownVersion(header->Version) &&
                        header->Encoding <= uint8_t(TPCXEncoding::RunLength)))
            header.reset();
        return header;
    });
}

bool TPCXGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

struct TPCXGraphic::TPCXLoad {
    TPCXLoad(TPCXGraphic& image, TLoad& load, const TPCXHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header), Row(load.Budget()),
          Sampled(load.Budget()) {}

    void Run();

private:
    // The header's sides, layout and bytes per line; raises what the bitmap cannot take.
    void CheckHeader();
    void SetUpColors();
    // The palette by depth, version and palette information; takes the 256-colour block of
    // an 8-bit image off the data.
    void SetPalette();
    TPalette PaletteBlock();
    // Raises when the data cannot fill the size the header states.
    void CheckData() const;
    // Shrinking: the factor, 1 for the layouts of fewer than 8 bits a pixel.
    uint32_t ChooseShrink() const;
    void TransferRows();
    // Passes over `count` rows: run-length rows are decoded, stored rows not read.
    void PassRows(std::optional<TPackedRows>& packed, uint32_t count);
    void ConvertRow(int32_t y);
    // The kept pixels of Row's planes, one after another in Sampled.
    std::span<const uint8_t> SamplePlane(size_t plane);

    TPCXGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TPCXHeader& Header;
    int32_t Width = 0, Height = 0;
    TPCXLayout Layout{};
    size_t PlaneBytes = 0, RowBytes = 0;
    size_t WholeBytes = 0; // bytes of a scan line whose every bit a pixel fills
    // The bytes from the header to the end of the stream, less a 256-colour block.
    uint64_t DataBytes = 0;
    uint32_t Shrink = 1; // every Shrink-th pixel of every Shrink-th row is kept
    TBudgetVector<uint8_t> Row;
    TBudgetVector<uint8_t> Sampled; // the kept pixels of each colour plane of a row
};

void TPCXGraphic::TPCXLoad::Run() {
    Load.Prepare();
    CheckHeader();
    SetUpColors();
    DataBytes = Load.Remaining();
    SetPalette();
    CheckData();
    Shrink = ChooseShrink();
    // Every row is converted whole or the load fails (which releases the pixels).
    Image.SetSizeToOverwrite(int32_t(SampledCount(size_t(Width), Shrink)),
                             int32_t(SampledCount(size_t(Height), Shrink)));
    WholeBytes = size_t(Image.Width()) * size_t(BitsPerPixelOf(Image.PixelFormat())) / 8;
    Row.Resize(RowBytes);
    if (Shrink > 1 && Layout == TPCXLayout::ColorPlanes)
        Sampled.Resize(size_t(Image.Width()) * Header.Planes);
    TransferRows();
}

void TPCXGraphic::TPCXLoad::CheckHeader() {
    Width = Header.Width();
    Height = Header.Height();
    if (Width <= 0 || Height <= 0)
        Load.Fail(msgInvalidSize, std::to_string(Width), std::to_string(Height));
    const std::optional<TPCXLayout> layout = LayoutOf(Header);
    if (!layout) Load.Fail(msgInvalidColorFormat);
    Layout = *layout;
    // The row of each plane holds bytes-per-line bytes, at least the width's.
    PlaneBytes = Header.BytesPerLine;
    if (PlaneBytes < CheckedRowBytes(size_t(Width), Header.BitsPerPlane))
        Load.Fail(msgBadValue, "bytes per line " + std::to_string(PlaneBytes));
    RowBytes = CheckedMul(Header.Planes, PlaneBytes);
}

void TPCXGraphic::TPCXLoad::SetUpColors() {
    const uint8_t planes = Header.Planes, bits = Header.BitsPerPlane;
    switch (Layout) {
    case TPCXLayout::Packed:
    case TPCXLayout::BitPlanes: {
        // Bit planes are combined here; the manager only builds the palette of 4-bit indices.
        const uint8_t sourceBits = Layout == TPCXLayout::Packed ? bits : 4;
        Colors.SetSourceModel(cmPalette);
        Colors.SetTargetModel(cmPalette);
        Colors.SetSourceChannels(1);
        Colors.SetTargetChannels(1);
        Colors.SetSourceSampleBits(sourceBits);
        Colors.SetTargetSampleBits(sourceBits == 2 ? 4 : sourceBits);
        Image.SetPixelFormat(Layout == TPCXLayout::Packed ? Colors.TargetPixelFormat(true)
                                                          : bf4Bit);
        break;
    }
    case TPCXLayout::ColorPlanes:
        Colors.SetSourceModel(planes == 4 ? cmRGBAlpha : cmRGB);
        Colors.SetTargetModel(planes == 4 ? cmBGRAlpha : cmBGR);
        Colors.SetSourceChannels(planes);
        Colors.SetTargetChannels(planes);
        Colors.SetSourceSampleBits(8);
        Colors.SetTargetSampleBits(8);
        Image.SetPixelFormat(Colors.TargetPixelFormat(true));
        if (planes == 4) Image.AlphaFormat = afDefined;
        break;
    }
}

void TPCXGraphic::TPCXLoad::SetPalette() {
    const TBitmapFormat format = Image.PixelFormat();
    const bool standardColors = Header.Version == uint8_t(TPCXVersion::V28NoPalette);
    const bool grayInfo = Header.PaletteInfo == uint16_t(TPCXPaletteInfo::Gray);
    if (format == bf1Bit) {
        Image.SetPalette(Colors.MakeGrayPalette(false));
    } else if (standardColors && format != bf24Bit && format != bf32Bit) {
        Image.SetPalette(TPalette::Standard16());
    } else if (format == bf4Bit) {
        Image.SetPalette(grayInfo ? Colors.MakeGrayPalette(false)
                                  : Colors.MakeColorPalette({std::span(Header.ColorMap)},
                                                            plPacked8x3, 16, false));
    } else if (format == bf8Bit) {
        TPalette block = PaletteBlock();
        if (!block.Empty())
            Image.SetPalette(std::move(block));
        else if (grayInfo)
            Image.SetPalette(Colors.MakeGrayPalette(false));
    }
}

TPalette TPCXGraphic::TPCXLoad::PaletteBlock() {
    if (DataBytes < PaletteBlockSize) return {};
    TStream& stream = Load.Stream();
    const int64_t dataStart = stream.Position();
    stream.Seek(-int64_t(PaletteBlockSize), TSeekOrigin::soEnd);
    std::array<uint8_t, PaletteBlockSize> block;
    Load.Read(block.data(), block.size());
    stream.SetPosition(dataStart);
    if (block[0] != PaletteBlockMarker) return {};
    DataBytes -= PaletteBlockSize;
    return Colors.MakeColorPalette({std::span<const uint8_t>(block).subspan(1)}, plPacked8x3, 256,
                                   false);
}

void TPCXGraphic::TPCXLoad::CheckData() const {
    // A small file cannot claim a large image.
    const uint64_t decodedBytes = CheckedMul(RowBytes, size_t(Height));
    if (Header.RunLength()) {
        if (decodedBytes / MaxExpansion > DataBytes) Load.Fail(msgDataTooShort);
    } else if (decodedBytes > DataBytes) {
        Load.Fail(msgDataTooShort);
    }
}

uint32_t TPCXGraphic::TPCXLoad::ChooseShrink() const {
    const bool bytes = Layout == TPCXLayout::ColorPlanes || Header.BitsPerPlane == 8;
    return bytes ? Image.SamplingFactor(uint32_t(Width), uint32_t(Height)) : 1;
}

void TPCXGraphic::TPCXLoad::TransferRows() {
    std::optional<TPackedRows> packed;
    if (Header.RunLength()) packed.emplace(Load, DataBytes, RowBytes);
    Load.Finish();
    Load.BeginTransfer();
    for (int32_t y = 0; y < Image.Height(); ++y) {
        if (y != 0 && Shrink > 1) PassRows(packed, Shrink - 1);
        if (packed)
            packed->Next(Row.Span());
        else
            Load.Read(Row.data(), RowBytes);
        ConvertRow(y);
        Load.Row(y);
    }
    Load.Finish();
}

void TPCXGraphic::TPCXLoad::PassRows(std::optional<TPackedRows>& packed, uint32_t count) {
    if (!packed) {
        Load.Stream().Seek(int64_t(CheckedMul(RowBytes, count)), TSeekOrigin::soCurrent);
        return;
    }
    for (uint32_t i = 0; i < count; ++i) packed->Next(Row.Span());
}

std::span<const uint8_t> TPCXGraphic::TPCXLoad::SamplePlane(size_t plane) {
    const std::span<const uint8_t> row = Row.Span().subspan(plane * PlaneBytes, PlaneBytes);
    if (Shrink == 1) return row;
    const size_t width = size_t(Image.Width());
    uint8_t* const target = Sampled.data() + plane * width;
    SamplePixels(row.data(), 1, width, Shrink, target);
    return {target, width};
}

void TPCXGraphic::TPCXLoad::ConvertRow(int32_t y) {
    const std::span<const uint8_t> row = Row.Span();
    // The padding, and the last byte's bits past the width, start cleared.
    const std::span<uint8_t> line = Image.ScanLineSpan(y);
    std::fill(line.begin() + std::ptrdiff_t(WholeBytes), line.end(), 0);
    switch (Layout) {
    case TPCXLayout::Packed:
        if (Shrink > 1)
            SamplePixels(row.data(), 1, size_t(Image.Width()), Shrink, line.data());
        else
            Colors.ConvertRows(row.first(PlaneBytes), line, uint32_t(Width));
        break;
    case TPCXLayout::BitPlanes:
        CombineBitPlanes(row, Header.Planes, PlaneBytes, uint32_t(Width), line);
        break;
    case TPCXLayout::ColorPlanes: {
        std::array<std::span<const uint8_t>, 4> sources;
        for (size_t k = 0; k < Header.Planes; ++k) sources[k] = SamplePlane(k);
        Colors.ConvertRows(std::span<const std::span<const uint8_t>>(sources.data(), Header.Planes),
                           line, uint32_t(Image.Width()));
        break;
    }
    }
}

void TPCXGraphic::DecodeImage(TStream& stream) {
    std::optional<TPCXHeader> header;
    TLoad load(
        *this, stream, FormatName,
        [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); }, hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    TPCXLoad(*this, load, *header).Run();
}
