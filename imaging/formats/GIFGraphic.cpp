// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage     the signature is not GIF's, or the file ends inside the screen descriptor
//   msgStreamReadError  the file ends inside the global colour table, an extension or the image
//                       descriptor
//   msgUnexpectedEnd    the file ends inside the local colour table or before the image data
//   msgDataTooShort     image data too short to stand for the pixels the descriptor states
//   msgLZWCodeSize      (from the decoder) a minimum code size no code can follow
// the conversion error of StrToInt (version characters that are not digits), and, from the
// bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/GIFGraphic.h"

#include "imaging/codecs/LZWDecoders.h"
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
#include <string_view>
#include <vector>

DEFINE_GRAPHIC_CLASS(TGIFGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "GIF";
// The signature and version, then the logical screen descriptor.
constexpr size_t HeaderSize = 6 + 7;
constexpr size_t ImageDescriptorSize = 9;
// Bytes Recognize wants from the position: the header and the smallest image that can follow.
constexpr int64_t RecognizeBytes = 23;
constexpr size_t MaxTableEntries = 256;
// An LZW code of at least `minimumCodeSize` + 1 bits stands for at most 4096 pixels (the
// length of the longest string the table holds).
constexpr uint64_t MaxStringLength = 4096;

// The byte that introduces a block.
enum class TGIFBlock : uint8_t { Extension = 0x21, Image = 0x2C, Trailer = 0x3B };
// The label of an extension block.
enum class TGIFExtension : uint8_t {
    PlainText = 0x01,
    GraphicControl = 0xF9,
    Comment = 0xFE,
    Application = 0xFF,
};
// Flags of the screen and image descriptors.
enum TGIFFlag : uint8_t {
    gfColorTable = 0x80, // a colour table follows
    gfInterlaced = 0x40, // image descriptor only
    gfTableSize = 0x07,  // the table holds 2^(n + 1) entries
};

// Entries of a colour table whose size field is `flags`' low three bits.
size_t TableEntries(uint8_t flags) {
    return size_t(2) << (flags & gfTableSize);
}

// The header and logical screen descriptor as CompuServe's GIF89a document gives them.
struct TGIFHeader {
    std::array<char, 2> Version{}; // the first two version characters, "87" or "89"
    uint16_t ScreenWidth = 0;
    uint16_t ScreenHeight = 0;
    uint8_t Flags = 0;

    bool HasGlobalTable() const { return (Flags & gfColorTable) != 0; }
};

// The header, or nothing when the signature is not "GIF" in any letter case.
std::optional<TGIFHeader> ParseHeader(TByteReader& reader) {
    const std::span<const uint8_t> signature = reader.Bytes(3);
    if ((signature[0] & 0xDF) != 'G' || (signature[1] & 0xDF) != 'I' ||
        (signature[2] & 0xDF) != 'F')
        return std::nullopt;
    TGIFHeader header;
    reader.Read(header.Version.data(), header.Version.size());
    reader.Skip(1); // the version's letter
    header.ScreenWidth = reader.LE16();
    header.ScreenHeight = reader.LE16();
    header.Flags = reader.U8();
    reader.Skip(2); // background colour index, pixel aspect ratio
    return header;
}

// The image descriptor after its separator.
struct TGIFDescriptor {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;

    bool HasLocalTable() const { return (Flags & gfColorTable) != 0; }
    bool Interlaced() const { return (Flags & gfInterlaced) != 0; }
};

TGIFDescriptor ParseDescriptor(TByteReader& reader) {
    reader.Skip(4); // left, top
    TGIFDescriptor descriptor;
    descriptor.Width = reader.LE16();
    descriptor.Height = reader.LE16();
    descriptor.Flags = reader.U8();
    return descriptor;
}

// What precedes the first image's colour table and data: the header, the global colour table,
// the first image descriptor if the blocks reach one before the trailer, and the transparent
// colour index the graphic control extension before it gives.
struct TGIFStart {
    TGIFHeader Header;
    std::array<uint8_t, 3 * MaxTableEntries> GlobalTable{};
    std::optional<TGIFDescriptor> Descriptor;
    std::optional<uint8_t> TransparentIndex;
};

// The graphic control extension's block: flags, delay, transparent colour index.
constexpr size_t GraphicControlSize = 4;
constexpr uint8_t TransparentFlag = 0x01;

void SkipSubBlocks(TStream& stream) {
    while (const uint8_t size = stream.ReadByte()) stream.Seek(size, TSeekOrigin::soCurrent);
}

// The transparent colour index of a graphic control extension from the stream's position (its
// block and the terminator after it), if it marks one.
std::optional<uint8_t> ReadGraphicControl(TStream& stream) {
    uint8_t block[255];
    const uint8_t size = stream.ReadByte();
    stream.ReadBuffer(block, size);
    stream.Seek(1, TSeekOrigin::soCurrent);
    if (size < GraphicControlSize) return std::nullopt;
    TByteReader reader(block, size);
    const uint8_t flags = reader.U8();
    reader.Skip(2); // delay
    const uint8_t index = reader.U8();
    if (!(flags & TransparentFlag)) return std::nullopt;
    return index;
}

// Passes over blocks up to the first image descriptor or the trailer; answers whether it
// reached an image, and notes in `start` the transparent colour the last graphic control
// extension before the image gives. Unknown bytes between blocks are passed over; an extension
// whose label is an image separator or the trailer ends the walk as that block would.
bool SkipExtensions(TStream& stream, TGIFStart& start) {
    for (;;) {
        const TGIFBlock introducer = TGIFBlock(stream.ReadByte());
        if (introducer == TGIFBlock::Image) return true;
        if (introducer == TGIFBlock::Trailer) return false;
        if (introducer != TGIFBlock::Extension) continue;
        const uint8_t label = stream.ReadByte();
        switch (TGIFExtension(label)) {
        case TGIFExtension::PlainText:
            // The plain text took the graphic control extension before it.
            start.TransparentIndex.reset();
            stream.Seek(stream.ReadByte(), TSeekOrigin::soCurrent);
            SkipSubBlocks(stream);
            break;
        case TGIFExtension::GraphicControl:
            start.TransparentIndex = ReadGraphicControl(stream);
            break;
        case TGIFExtension::Comment:
        case TGIFExtension::Application:
            SkipSubBlocks(stream);
            break;
        default:
            break; // unknown: the following bytes are read as introducers again
        }
        if (label == uint8_t(TGIFBlock::Image)) return true;
        if (label == uint8_t(TGIFBlock::Trailer)) return false;
    }
}

// Reads the start of the file up to the first image's descriptor and fills the properties
// from it; nothing when the signature does not match (or the file ends inside the header).
std::optional<TGIFStart> ReadHeader(TStream& stream, TImageProperties& properties) {
    const std::optional<TGIFHeader> header = ReadHeaderBytes<HeaderSize>(stream, ParseHeader);
    if (!header) return std::nullopt;
    TGIFStart start;
    start.Header = *header;
    properties.Version =
        uint32_t(StrToInt(std::string_view(header->Version.data(), header->Version.size())));
    properties.ColorModel = cmPalette;
    properties.SamplesPerPixel = 1;
    properties.BitsPerSample = 8;
    properties.Compression = ckLZW;
    if (header->HasGlobalTable()) {
        properties.BitsPerSample = uint8_t((header->Flags & gfTableSize) + 1);
        stream.ReadBuffer(start.GlobalTable.data(), 3 * TableEntries(header->Flags));
    }
    if (SkipExtensions(stream, start)) {
        uint8_t bytes[ImageDescriptorSize];
        stream.ReadBuffer(bytes, ImageDescriptorSize);
        TByteReader reader(bytes, ImageDescriptorSize);
        const TGIFDescriptor descriptor = ParseDescriptor(reader);
        start.Descriptor = descriptor;
        properties.Width = descriptor.Width ? descriptor.Width : header->ScreenWidth;
        properties.Height = descriptor.Height ? descriptor.Height : header->ScreenHeight;
        properties.LocalColorMap = descriptor.HasLocalTable();
        if (properties.LocalColorMap)
            properties.BitsPerSample = uint8_t((descriptor.Flags & gfTableSize) + 1);
        properties.Interlaced = descriptor.Interlaced();
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    return start;
}

// The passes of an interlaced image: every 8th row from 0, every 8th from 4, every 4th from 2
// and every 2nd from 1.
struct TGIFPass {
    uint32_t First, Step;
};
constexpr TGIFPass Passes[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

// Rows of pass `pass` in an image of `height` rows.
size_t PassRows(size_t pass, uint32_t height) {
    const TGIFPass& p = Passes[pass];
    return height > p.First ? (height - p.First + p.Step - 1) / p.Step : 0;
}

// Passes that hold every row whose number is a multiple of `step`: the first for multiples of
// 8, the first two for multiples of 4, three for even steps, else all four.
size_t PassesHolding(uint32_t step) {
    return step % 8 == 0 ? 1 : step % 4 == 0 ? 2 : step % 2 == 0 ? 3 : 4;
}

// Where row `row` of an interlaced image of `height` rows comes in the stored rows.
size_t StoredRow(uint32_t row, uint32_t height) {
    size_t before = 0;
    for (size_t pass = 0;; ++pass) {
        const TGIFPass& p = Passes[pass];
        if (row % p.Step == p.First) return before + (row - p.First) / p.Step;
        before += PassRows(pass, height);
    }
}

// A palette of the red, green, blue entries of a colour table.
TPalette PaletteOf(std::span<const uint8_t> table) {
    std::vector<TRGBQuad> entries(table.size() / 3);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].rgbRed = table[3 * i];
        entries[i].rgbGreen = table[3 * i + 1];
        entries[i].rgbBlue = table[3 * i + 2];
    }
    return TPalette(std::move(entries));
}

} // namespace

bool TGIFGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() < RecognizeBytes) return false;
    return RecognizeHeader<HeaderSize>(stream, ParseHeader);
}

bool TGIFGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

struct TGIFGraphic::TGIFLoad {
    TGIFLoad(TGIFGraphic& image, TLoad& load, const TGIFStart& start)
        : Image(image), Load(load), Stream(load.Stream()), Start(start), Data(load.Budget()),
          Pixels(load.Budget()) {}

    void Run();

private:
    // The local colour table, the minimum code size and the gathered image data.
    void ReadImageData();
    // The contents of the data sub-blocks, without their size bytes (never more than the file
    // holds). Gathering ends after the 0 size byte, or quietly where the file ends.
    void GatherSubBlocks();
    // Gives the palette the transparent colour: alpha 0 at its index, 255 elsewhere.
    void SetTransparency();
    // Decodes the data into the bitmap's rows or, when they cannot take it as it comes, into
    // Pixels.
    void Decode();
    // Shrinking: the largest factor asked that an interlaced image gives from as few passes as
    // possible (a multiple of 8, or 4, or 2).
    uint32_t ChooseShrink() const;
    void CopyRows();
    void CopyInterlacedRows();
    // Every Shrink-th pixel of every Shrink-th row of the decoded rows.
    void CopyShrunkRows();

    TGIFGraphic& Image;
    TLoad& Load;
    TStream& Stream;
    const TGIFStart& Start;
    uint8_t MinimumCodeSize = 0;
    TBudgetVector<uint8_t> Data;
    size_t Width = 0, PixelCount = 0;
    uint32_t Shrink = 1;
    // Rows stored in order go straight into the bitmap when its rows have no padding.
    bool InPlace = false;
    TBudgetVector<uint8_t> Pixels;
};

void TGIFGraphic::TGIFLoad::Run() {
    Load.Prepare();
    Image.SetPixelFormat(bf8Bit);
    if (Start.Header.HasGlobalTable()) {
        const size_t entries = TableEntries(Start.Header.Flags);
        Image.SetPalette(PaletteOf(std::span(Start.GlobalTable).first(3 * entries)));
    }
    Load.Finish();
    if (!Start.Descriptor) return;

    Load.Start(msgLoadingData);
    ReadImageData();
    SetTransparency();
    Decode();
    Load.Finish();

    Load.BeginTransfer();
    if (Shrink > 1)
        CopyShrunkRows();
    else if (Image.ImageProperties.Interlaced)
        CopyInterlacedRows();
    else
        CopyRows();
    Load.Finish();
}

void TGIFGraphic::TGIFLoad::ReadImageData() {
    if (Start.Descriptor->HasLocalTable()) {
        uint8_t table[3 * MaxTableEntries];
        const size_t bytes = 3 * TableEntries(Start.Descriptor->Flags);
        Load.Read(table, bytes);
        Image.SetPalette(PaletteOf(std::span(table, bytes)));
    }
    MinimumCodeSize = Load.U8();
    GatherSubBlocks();
}

void TGIFGraphic::TGIFLoad::GatherSubBlocks() {
    // Each read takes a block and the size byte of the next, which the next block's contents
    // then overwrite.
    uint64_t left = Load.Remaining();
    Data.Resize(size_t(left));
    size_t used = 0;
    size_t size = left != 0 ? Load.U8() : 0;
    left -= std::min<uint64_t>(left, 1);
    while (size != 0 && left != 0) {
        const size_t count = size_t(std::min<uint64_t>(size + 1, left));
        Load.Read(Data.data() + used, count);
        left -= count;
        used += std::min(size, count);
        size = count > size ? Data[used] : 0;
    }
    Data.Resize(used);
}

void TGIFGraphic::TGIFLoad::SetTransparency() {
    // An index beyond the colour table gets black entries up to it, so that its pixels show
    // transparent too; without any colour table the image stays opaque.
    if (!Start.TransparentIndex || Image.Palette().Empty()) return;
    const size_t index = *Start.TransparentIndex;
    std::vector<TRGBQuad> entries = Image.Palette().Entries();
    if (entries.size() <= index) entries.resize(index + 1);
    for (TRGBQuad& entry : entries) entry.rgbReserved = 255;
    entries[index].rgbReserved = 0;
    Image.SetPalette(TPalette(std::move(entries)));
    Image.AlphaFormat = afDefined;
}

void TGIFGraphic::TGIFLoad::Decode() {
    // The image cannot hold more pixels than its codes can stand for.
    const TImageProperties& properties = Image.ImageProperties;
    Width = properties.Width;
    PixelCount = CheckedMul(Width, properties.Height);
    Load.RequireExpansion(PixelCount, CheckedMul(8, MaxStringLength) / (MinimumCodeSize + 1u),
                          Data.size());
    Shrink = ChooseShrink();
    Image.SetSize(int32_t(SampledCount(properties.Width, Shrink)),
                  int32_t(SampledCount(properties.Height, Shrink)));
    InPlace = Shrink == 1 && !properties.Interlaced && Image.BytesPerLine() == Width;
    // A shrunk interlaced image needs only the passes that hold the rows kept.
    size_t decoded = PixelCount;
    if (Shrink > 1 && properties.Interlaced) {
        size_t rows = 0;
        for (size_t pass = 0; pass < PassesHolding(Shrink); ++pass)
            rows += PassRows(pass, properties.Height);
        decoded = Width * rows;
    }
    Pixels.Resize(InPlace ? 0 : decoded);
    if (PixelCount == 0) return;
    TGIFLZWDecoder decoder(MinimumCodeSize);
    const uint8_t* input = Data.data();
    uint8_t* output = InPlace ? Image.ScanLine(0) : Pixels.data();
    const size_t inputSize = std::min<size_t>(Data.size(), std::numeric_limits<int32_t>::max());
    decoder.Decode(input, output, int32_t(inputSize), int32_t(decoded));
    // Data that stands for no pixel at all gives no picture, however large it claims to be.
    if (decoder.Written() == 0) {
        Image.ReleaseImage();
        PixelCount = 0;
    }
}

uint32_t TGIFGraphic::TGIFLoad::ChooseShrink() const {
    const TImageProperties& properties = Image.ImageProperties;
    const uint32_t shrink = Image.SamplingFactor(properties.Width, properties.Height);
    if (!properties.Interlaced) return shrink;
    return shrink >= 8 ? shrink - shrink % 8 : shrink >= 4 ? 4 : shrink >= 2 ? 2 : 1;
}

void TGIFGraphic::TGIFLoad::CopyRows() {
    // Rows without pixels (width 0) have nothing to copy.
    const int32_t rows = PixelCount != 0 ? Image.Height() : 0;
    for (int32_t y = 0; y < rows; ++y) {
        if (!InPlace)
            std::memcpy(Image.ScanLineSpan(y).data(), Pixels.data() + size_t(y) * Width, Width);
        Load.Row(y);
    }
}

void TGIFGraphic::TGIFLoad::CopyInterlacedRows() {
    const int32_t rows = PixelCount != 0 ? Image.Height() : 0;
    const uint8_t* source = Pixels.data();
    for (size_t pass = 0; pass < std::size(Passes); ++pass) {
        const int32_t step = int32_t(Passes[pass].Step);
        for (int32_t y = int32_t(Passes[pass].First); y < rows; y += step) {
            std::memcpy(Image.ScanLine(y), source, Width);
            source += Width;
            if (pass == 3) Load.Row(y + 1);
        }
    }
}

void TGIFGraphic::TGIFLoad::CopyShrunkRows() {
    const int32_t rows = PixelCount != 0 ? Image.Height() : 0;
    const uint32_t height = Image.ImageProperties.Height;
    for (int32_t y = 0; y < rows; ++y) {
        const uint32_t row = uint32_t(y) * Shrink;
        const size_t stored = Image.ImageProperties.Interlaced ? StoredRow(row, height) : row;
        SamplePixels(Pixels.data() + stored * Width, 1, size_t(Image.Width()), Shrink,
                     Image.ScanLine(y));
        Load.Row(y);
    }
}

void TGIFGraphic::DecodeImage(TStream& stream) {
    std::optional<TGIFStart> start;
    TLoad load(*this, stream, FormatName,
               [&] { return (start = ReadHeader(stream, ImageProperties)).has_value(); });
    // The blocks before the image were walked through the stream.
    load.ChargeRead(uint64_t(stream.Position() - StreamStart));
    TGIFLoad(*this, load, *start).Run();
}
