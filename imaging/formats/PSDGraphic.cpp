// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage        the signature is not "8BPS", or the file ends inside the header
//   msgInvalidSize         a width or height of 0 or beyond 2^31 - 1
//   msgInvalidColorDepth   a depth of 0 or above 16 (EColorConversionError)
//   msgInvalidSampleCount  no channel (EColorConversionError)
//   msgInvalidColorFormat  a mode, depth and channel count the reader cannot show
//   msgTruncatedPart       a section or the image data longer than the file
//   msgUnsupportedFeature  a compression other than raw and PackBits (msgCompressionScheme)
//   msgDataTooShort        run-length data that cannot hold the image it states
//   msgUnexpectedEnd       the file ends before its row counts or its rows
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/PSDGraphic.h"

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
// Version 1 documents (PSD) and large documents (PSB, version 2): the latter state the length
// of their layer and mask information in 8 bytes and the byte counts of run-length rows in 4.
constexpr uint16_t Version = 1;
constexpr uint16_t LargeVersion = 2;
// The palette of indexed images: 256 red values, then 256 green, then 256 blue.
constexpr size_t PaletteBytes = 768;
// Most bytes two PackBits bytes produce: 128.
constexpr uint64_t MaxExpansion = 64;
constexpr size_t MaxPlanes = 5; // four colour planes and alpha

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
// The sections between the header and the merged image, in file order.
enum class TPSDSection : uint8_t { ColorModeData, ImageResources, LayersAndMasks, Count };
const char* const SectionNames[size_t(TPSDSection::Count)] = {"colour mode data", "image resources",
                                                              "layer and mask information"};

// The 26-byte file header of the public Photoshop file format description.
struct TPSDHeader {
    uint16_t Version = 0;
    uint16_t Channels = 0;
    uint32_t Height = 0, Width = 0;
    uint16_t Depth = 0;
    TPSDMode Mode{};

    bool Large() const { return Version == LargeVersion; }
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
    header.Mode = TPSDMode(reader.BE16());
    return header;
}

// Where a section's bytes lie, from the start of the file.
struct TPSDSpan {
    uint64_t Offset = 0;
    uint64_t Length = 0;
};

// The header and the layout of the file after it: its sections and the merged image's
// compression, whose data follows it.
struct TPSDFile {
    TPSDHeader Header;
    std::array<TPSDSpan, size_t(TPSDSection::Count)> Sections;
    uint16_t Compression = 0;
    uint64_t ImageData = 0; // the first byte after the compression code

    const TPSDSpan& Section(TPSDSection section) const { return Sections[size_t(section)]; }
};

TColorModel ModelOf(const TPSDHeader& header) {
    switch (header.Mode) {
    case TPSDMode::Bitmap:
    case TPSDMode::Grayscale:
    case TPSDMode::Duotone:
        return cmGray;
    case TPSDMode::Indexed:
        return cmPalette;
    case TPSDMode::RGB:
        return header.Channels == 3 ? cmRGB : cmRGBAlpha;
    case TPSDMode::Multichannel:
        if (header.Channels < 3) return cmGray;
        return header.Channels == 3 ? cmRGB : cmRGBAlpha;
    case TPSDMode::CMYK:
        return cmCMYK;
    case TPSDMode::Lab:
        return cmCIELab;
    }
    return cmUnknown;
}

// The sections by their lengths, each checked against the stream, and the compression code
// after them; the stream stands at the merged image's data afterwards.
void ReadLayout(TStream& stream, int64_t start, TPSDFile& file) {
    for (size_t section = 0; section < size_t(TPSDSection::Count); ++section) {
        const bool wide = file.Header.Large() && section == size_t(TPSDSection::LayersAndMasks);
        uint8_t bytes[8];
        const size_t size = wide ? 8 : 4;
        stream.ReadBuffer(bytes, size);
        TByteReader reader(bytes, size);
        const uint64_t length = wide ? reader.BE64() : reader.BE32();
        if (length > uint64_t(std::max<int64_t>(stream.Remaining(), 0)))
            throw EImageFault(msgTruncatedPart, {SectionNames[section]});
        file.Sections[section] = {uint64_t(stream.Position() - start), length};
        stream.Seek(int64_t(length), TSeekOrigin::soCurrent);
    }
    file.Compression = stream.ReadBE16();
    file.ImageData = uint64_t(stream.Position() - start);
}

// The header, its layout and what they tell of the image, or nothing when the stream ends
// inside the header or the signature is wrong.
std::optional<TPSDFile> ReadHeader(TStream& stream, TImageProperties& properties) {
    const int64_t start = stream.Position();
    const std::optional<TPSDHeader> header = ReadHeaderBytes<HeaderSize>(stream, ParseHeader);
    if (!header) return std::nullopt;
    properties.Flags = TImageFlags(flBigEndian);
    properties.BitsPerSample = uint8_t(header->Depth);
    properties.Channels = uint8_t(header->Channels);
    properties.SamplesPerPixel = uint8_t(std::min<uint16_t>(header->Channels, 4));
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.ColorModel = ModelOf(*header);
    if (header->Mode == TPSDMode::Bitmap) properties.Flags.Include(flWhiteIsZero);
    properties.Width = header->Width;
    properties.Height = header->Height;

    TPSDFile file;
    file.Header = *header;
    ReadLayout(stream, start, file);
    properties.Compression =
        file.Compression == uint16_t(TPSDCompression::PackBits) ? ckPackBits : ckNone;
    return file;
}

// How the rows of a mode reach the bitmap: the colour model of the planes read and of the
// bitmap, and how many colour planes each pixel takes (at most four; further channels are not
// read). With Alpha the plane after the colour planes is the picture's transparency.
struct TPSDPlan {
    TColorModel Source = cmUnknown;
    TColorModel Target = cmUnknown;
    size_t Planes = 0;
    uint8_t TargetChannels = 0;
    bool Alpha = false;

    // Whether the alpha plane is put beside the converted colours by the load (grey, CMYK and
    // L*a*b*), rather than converted with them (RGB).
    bool Composed() const { return Alpha && Source != cmRGBAlpha; }
    size_t PlanesRead() const { return Planes + (Composed() ? 1 : 0); }
};

// The plan of a document; `alpha` when the file marks its first extra channel as the merged
// image's transparency.
std::optional<TPSDPlan> PlanOf(const TPSDHeader& header, bool alpha) {
    const uint16_t depth = header.Depth, channels = header.Channels;
    const bool wide = depth == 8 || depth == 16;
    switch (header.Mode) {
    case TPSDMode::Bitmap:
        if (depth != 1) break;
        return TPSDPlan{cmGray, cmGray, 1, 1};
    case TPSDMode::Grayscale:
    case TPSDMode::Duotone:
        // Grey shows its first channel; a second is its transparency when marked so, further
        // ones are saved selections or spot channels.
        if (!wide) break;
        return TPSDPlan{cmGray, cmGray, 1, 1, alpha && channels >= 2};
    case TPSDMode::Indexed:
        if (depth != 8) break;
        return TPSDPlan{cmPalette, cmPalette, 1, 1};
    case TPSDMode::Multichannel:
        // One or two channels show as grey, as their first.
        if (wide && channels < 3) return TPSDPlan{cmGray, cmGray, 1, 1};
        [[fallthrough]];
    case TPSDMode::RGB:
        if (!wide || channels < 3) break;
        if (channels == 3 || !alpha) return TPSDPlan{cmRGB, cmBGR, 3, 3};
        return TPSDPlan{cmRGBAlpha, cmBGRAlpha, 4, 4, true};
    case TPSDMode::CMYK:
        if (!wide || channels < 4) break;
        return TPSDPlan{cmCMYK, cmBGR, 4, 3, alpha && channels >= 5};
    case TPSDMode::Lab:
        if (!wide || channels < 3) break;
        return TPSDPlan{cmCIELab, cmBGR, 3, 3, alpha && channels >= 4};
    }
    return std::nullopt;
}

// Image resources the load looks at.
enum class TPSDResource : uint16_t {
    TransparencyIndex = 1047, // the palette index that is transparent
    VersionInfo = 1057,       // written by the application whose merged image is matted
    ExifData = 1058,          // EXIF in TIFF layout: the picture's orientation
};
// The most of an EXIF resource read for its first directory.
constexpr uint64_t MaxExifBytes = 64 * 1024;
constexpr uint16_t ExifOrientationTag = 0x0112;
constexpr uint16_t ExifShort = 3;
constexpr char ResourceSignature[4] = {'8', 'B', 'I', 'M'};

// The orientation (1 to 8) the first directory of an EXIF block in TIFF layout states, 0 when
// it states none or the block is not one.
uint8_t ExifOrientation(std::span<const uint8_t> exif) {
    // Some writers keep the "Exif" prefix of the JPEG segment the block came from.
    if (exif.size() >= 6 && std::memcmp(exif.data(), "Exif\0\0", 6) == 0) exif = exif.subspan(6);
    try {
        TByteReader reader(exif);
        const uint16_t order = reader.BE16();
        if (order != 0x4D4D && order != 0x4949) return 0; // "MM" or "II"
        const bool big = order == 0x4D4D;
        if (reader.U16(big) != 42) return 0;
        reader.Seek(reader.U32(big));
        for (uint16_t entries = reader.U16(big); entries > 0; --entries) {
            const uint16_t tag = reader.U16(big), type = reader.U16(big);
            const uint32_t count = reader.U32(big);
            const uint16_t value = reader.U16(big);
            reader.Skip(2);
            if (tag != ExifOrientationTag) continue;
            return type == ExifShort && count == 1 && value >= 1 && value <= 8 ? uint8_t(value) : 0;
        }
    } catch (const EImageFault&) {
        // A directory that runs past the block states nothing.
    }
    return 0;
}

// Photoshop keeps a merged image with transparency matted against white: colour c of a pixel
// of alpha a is stored as c a / 255 + 255 (1 - a / 255). Takes a row of B, G, R, A pixels back
// to straight colour, rounded; a fully transparent pixel becomes 0, 0, 0, 0.
void Unmatte(std::span<uint8_t> pixels) {
    for (size_t i = 0; i + 3 < pixels.size(); i += 4) {
        uint8_t* pixel = &pixels[i];
        const unsigned a = pixel[3];
        if (a == 255) continue;
        for (size_t c = 0; c < 3; ++c) {
            const unsigned v = pixel[c] + a;
            pixel[c] = a == 0 || v <= 255 ? 0 : uint8_t(((v - 255) * 255 + a / 2) / a);
        }
    }
}

} // namespace

bool TPSDGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() < int64_t(HeaderSize) + 1) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TPSDHeader> header = ParseHeader(reader);
        if (header && header->Version != Version && header->Version != LargeVersion) header.reset();
        return header;
    });
}

bool TPSDGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

// Channels are stored one after another, each row after row; the load holds one row of each
// channel it shows. PackBits rows come with a table of their byte counts (every row of every
// channel), the rows of the shown channels are found through it.
struct TPSDGraphic::TPSDLoad {
    TPSDLoad(TPSDGraphic& image, TLoad& load, const TPSDFile& file)
        : Image(image), Load(load), Colors(*image.ColorEngine), File(file), Header(file.Header),
          Converted(load.Budget()), Counts(load.Budget()), Packed(load.Budget()) {}

    void Run();

private:
    // The header's values this reader cannot show; the plan of the rest.
    void Check();
    // What the file marks beyond the header: a negative layer count (the merged image's first
    // extra channel is its transparency), the transparent palette index, the writer that
    // mattes, the EXIF orientation.
    void ReadLayerCount();
    void ReadResources();
    void ReadResource(TPSDResource id, uint64_t size);
    void SetupColors();
    void ReadPalette();
    // Where each shown plane's rows start; the row counts of PackBits data.
    void LocateRows();
    void LocatePackedRows(size_t planes);
    // The next row of `plane` into `row`, as stored.
    void ReadRow(size_t plane, uint8_t* row);
    // Passes over the next `count` rows of `plane` unread.
    void SkipRows(size_t plane, size_t count);
    // A row of `width` samples in `bytes` bytes of `plane`, as the converter takes it.
    void PrepareRow(size_t plane, uint8_t* row, size_t width, size_t bytes) const;
    // Grey, CMYK and L*a*b* with alpha: the converted colours of row y (`width` pixels) and
    // its alpha plane, put into the scan line as blue, green, red, alpha.
    void Compose(int32_t y, size_t width, std::span<const uint8_t> alpha);
    // Shrinking: the factor, 1 for 1-bit images.
    uint32_t ChooseShrink() const;
    void TransferRows();

    TPSDGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TPSDFile& File;
    const TPSDHeader& Header;
    TPSDPlan Plan;
    size_t Width = 0, Height = 0, RowBytes = 0;
    bool PackBits = false;
    // 16-bit L*a*b* samples are reduced to their high bytes: the converter takes 8-bit ones.
    bool WideLab = false;
    bool AlphaMarked = false, Matted = false;
    uint32_t Shrink = 1; // every Shrink-th pixel of every Shrink-th row is kept
    std::optional<uint16_t> TransparentIndex;
    // The converted colours of a composed row: grey levels, or blue, green, red.
    TBudgetVector<uint8_t> Converted;
    std::array<uint64_t, MaxPlanes> Cursors{}; // where the next row of each plane starts
    std::array<size_t, MaxPlanes> RowIndex{};  // the next row of each plane
    TBudgetVector<uint32_t> Counts;
    TBudgetVector<uint8_t> Packed;
    TPackbitsRLEDecoder Decoder;
};

void TPSDGraphic::TPSDLoad::Check() {
    Width = Header.Width;
    Height = Header.Height;
    if (Width == 0 || Height == 0 || Width > size_t(INT32_MAX) || Height > size_t(INT32_MAX))
        Load.Fail(msgInvalidSize, std::to_string(Width), std::to_string(Height));
    if (Header.Depth == 0 || Header.Depth > 16) throw EColorConversionError(msgInvalidColorDepth);
    if (Header.Channels == 0) throw EColorConversionError(msgInvalidSampleCount);
    ReadLayerCount();
    ReadResources();
    const std::optional<TPSDPlan> plan = PlanOf(Header, AlphaMarked);
    if (!plan) Load.Fail(msgInvalidColorFormat);
    Plan = *plan;
    WideLab = Plan.Source == cmCIELab && Header.Depth == 16;
}

void TPSDGraphic::TPSDLoad::SetupColors() {
    Colors.SourceFlags = TConversionFlags(cfSwapBytes); // 16-bit samples are big-endian
    if (Plan.Source == cmCIELab) Colors.SourceFlags |= cfLabScaledL | cfLabOffsetAB;
    Colors.SetSourceSampleBits(WideLab ? 8 : uint8_t(Header.Depth));
    Colors.SetTargetSampleBits(Header.Depth == 16 ? 8 : uint8_t(Header.Depth));
    Colors.SetSourceChannels(uint8_t(Plan.Planes));
    Colors.SetTargetChannels(Plan.TargetChannels);
    Colors.SetSourceModel(Plan.Source);
    Colors.SetTargetModel(Plan.Target);
    Image.SetPixelFormat(Plan.Composed() ? bf32Bit : Colors.TargetPixelFormat(true));
    if (Plan.Alpha) Image.AlphaFormat = afDefined;
}

void TPSDGraphic::TPSDLoad::ReadPalette() {
    if (Plan.Source == cmGray) {
        Image.SetPalette(Colors.MakeGrayPalette(Header.Mode == TPSDMode::Bitmap));
        return;
    }
    if (Plan.Source != cmPalette) return;
    // The colour mode data holds the palette; data beyond the 256 entries is not part of it.
    const TPSDSpan& data = File.Section(TPSDSection::ColorModeData);
    std::array<uint8_t, PaletteBytes> map{};
    const size_t used = std::min<size_t>(data.Length, PaletteBytes);
    Load.Seek(int64_t(data.Offset));
    Load.Read(map.data(), used);
    const size_t count = used / 3;
    const std::span<const uint8_t> planes(map);
    TPalette palette = Colors.MakeColorPalette(
        {planes.subspan(0, count), planes.subspan(count, count), planes.subspan(2 * count, count)},
        plPlanar8x3, uint32_t(count), false);
    if (TransparentIndex && *TransparentIndex < palette.Count()) {
        std::vector<TRGBQuad> entries = palette.Entries();
        for (TRGBQuad& entry : entries) entry.rgbReserved = 255;
        entries[*TransparentIndex].rgbReserved = 0;
        palette = TPalette(std::move(entries));
        Image.AlphaFormat = afDefined;
    }
    Image.SetPalette(std::move(palette));
}

void TPSDGraphic::TPSDLoad::ReadLayerCount() {
    // The layer and mask information starts with the layer information's length and its
    // layer count.
    const TPSDSpan& layers = File.Section(TPSDSection::LayersAndMasks);
    const size_t lengthBytes = Header.Large() ? 8 : 4;
    if (layers.Length < lengthBytes + 2) return;
    Load.Seek(int64_t(layers.Offset));
    const uint64_t length = Header.Large() ? Load.BE64() : Load.BE32();
    if (length >= 2) AlphaMarked = int16_t(Load.BE16()) < 0;
}

void TPSDGraphic::TPSDLoad::ReadResources() {
    // Each resource: its signature, id, a name (a length byte and the text, padded to an even
    // length), the size of its data and the data, padded to an even length. Resources that do
    // not fit in the section end the reading: they hold nothing the picture needs.
    const TPSDSpan& resources = File.Section(TPSDSection::ImageResources);
    uint64_t at = resources.Offset;
    const uint64_t end = resources.Offset + resources.Length;
    while (end - at >= 12) {
        Load.Seek(int64_t(at));
        uint8_t signature[4];
        Load.Read(signature, sizeof(signature));
        if (std::memcmp(signature, ResourceSignature, 4) != 0) return;
        const uint16_t id = Load.BE16();
        const uint64_t name = (uint64_t(Load.U8()) + 2) & ~uint64_t(1);
        if (end - at < 10 + name) return;
        Load.Seek(int64_t(at + 6 + name));
        const uint64_t size = Load.BE32();
        at += 10 + name;
        if (end - at < size) return;
        ReadResource(TPSDResource(id), size);
        at += std::min(end - at, (size + 1) & ~uint64_t(1));
    }
}

void TPSDGraphic::TPSDLoad::ReadResource(TPSDResource id, uint64_t size) {
    switch (id) {
    case TPSDResource::TransparencyIndex:
        if (size >= 2) TransparentIndex = Load.BE16();
        break;
    case TPSDResource::VersionInfo:
        Matted = true;
        break;
    case TPSDResource::ExifData: {
        TBudgetVector<uint8_t> exif = Load.Buffer(0);
        Load.ReadBlock(exif, size_t(std::min(size, MaxExifBytes)));
        Image.ImageProperties.Orientation = ExifOrientation(exif.Span());
        break;
    }
    }
}

void TPSDGraphic::TPSDLoad::LocatePackedRows(size_t planes) {
    const size_t countBytes = Header.Large() ? 4 : 2;
    const size_t rowCount = CheckedMul(planes, Height);
    const size_t tableBytes = CheckedMul(CheckedMul(Height, size_t(Header.Channels)), countBytes);
    Load.RequireBytes(tableBytes);
    TBudgetVector<uint8_t> table = Load.Buffer(0);
    Load.ReadBlock(table, rowCount * countBytes);
    Counts.Resize(rowCount);
    TByteReader values(table.data(), table.size());
    uint64_t offset = File.ImageData + tableBytes;
    uint32_t longestRow = 0;
    for (size_t plane = 0; plane < planes; ++plane) {
        Cursors[plane] = offset;
        for (size_t y = 0; y < Height; ++y) {
            const uint32_t count = Header.Large() ? values.BE32() : values.BE16();
            Counts[plane * Height + y] = count;
            longestRow = std::max(longestRow, count);
            offset += count;
        }
    }
    Load.Seek(int64_t(File.ImageData + tableBytes));
    // (The rows' sum bounds the longest row, and so the decoder's sizes.)
    if (offset - Cursors[0] > std::min<uint64_t>(Load.Remaining(), INT32_MAX))
        Load.Fail(msgTruncatedPart, "image data");
    Load.RequireExpansion(CheckedMul(rowCount, RowBytes), MaxExpansion);
    Packed.Resize(longestRow);
}

void TPSDGraphic::TPSDLoad::LocateRows() {
    Load.Seek(int64_t(File.ImageData));
    if (File.Compression != uint16_t(TPSDCompression::Raw) &&
        File.Compression != uint16_t(TPSDCompression::PackBits))
        Load.Unsupported(msgCompressionScheme);
    PackBits = File.Compression == uint16_t(TPSDCompression::PackBits);
    RowBytes = CheckedRowBytes(Width, Header.Depth);
    if (PackBits) {
        LocatePackedRows(Plan.PlanesRead());
        return;
    }
    const size_t planeBytes = CheckedMul(Height, RowBytes);
    for (size_t plane = 0; plane < Plan.PlanesRead(); ++plane)
        Cursors[plane] = File.ImageData + uint64_t(plane) * planeBytes;
    Load.RequireBytes(CheckedMul(Plan.PlanesRead(), planeBytes));
}

void TPSDGraphic::TPSDLoad::ReadRow(size_t plane, uint8_t* row) {
    Load.Seek(int64_t(Cursors[plane]));
    if (PackBits) {
        const uint32_t count = Counts[plane * Height + RowIndex[plane]++];
        Load.Read(Packed.data(), count);
        // A row whose packets end early keeps zeros, not the previous row's samples.
        std::fill(row, row + RowBytes, uint8_t(0));
        const uint8_t* input = Packed.data();
        Decoder.Decode(input, row, int32_t(count), int32_t(RowBytes));
        Cursors[plane] += count;
    } else {
        Load.Read(row, RowBytes);
        Cursors[plane] += RowBytes;
    }
}

void TPSDGraphic::TPSDLoad::SkipRows(size_t plane, size_t count) {
    if (!PackBits) {
        Cursors[plane] += uint64_t(count) * RowBytes;
        return;
    }
    for (size_t i = 0; i < count; ++i) Cursors[plane] += Counts[plane * Height + RowIndex[plane]++];
}

void TPSDGraphic::TPSDLoad::PrepareRow(size_t plane, uint8_t* row, size_t width,
                                       size_t bytes) const {
    if (plane >= Plan.Planes) return; // the alpha plane, as stored
    // CMYK is stored as ink coverage inverted: 0 is full ink.
    if (Plan.Source == cmCMYK)
        for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(~row[i]);
    if (WideLab)
        for (size_t i = 0; i < width; ++i) row[i] = row[2 * i];
}

void TPSDGraphic::TPSDLoad::Compose(int32_t y, size_t width, std::span<const uint8_t> alpha) {
    uint8_t* target = Image.ScanLineSpan(y).first(4 * width).data();
    const uint8_t* colours = Converted.data();
    const bool gray = Plan.Source == cmGray;
    const bool wide = Header.Depth == 16;
    for (size_t x = 0; x < width; ++x, target += 4) {
        if (gray)
            target[0] = target[1] = target[2] = colours[x];
        else
            std::memcpy(target, colours + 3 * x, 3);
        // 16-bit samples are big-endian, taken to 8 bits as the colour manager takes them.
        target[3] = wide ? uint8_t((unsigned(alpha[2 * x]) << 8 | alpha[2 * x + 1]) * 255 / 65535)
                         : alpha[x];
    }
}

uint32_t TPSDGraphic::TPSDLoad::ChooseShrink() const {
    return Header.Depth >= 8 ? Image.SamplingFactor(Width, Height) : 1;
}

void TPSDGraphic::TPSDLoad::TransferRows() {
    // Each plane's row is read whole; shrunk, its kept samples go to a row of their own.
    const size_t planes = Plan.PlanesRead(), width = size_t(Image.Width());
    const size_t sampleBytes = Header.Depth / 8; // when shrunk: 8 or 16 bits
    const size_t keptBytes = Shrink > 1 ? width * sampleBytes : RowBytes;
    std::vector<TBudgetVector<uint8_t>> rows, sampled;
    rows.reserve(planes);
    sampled.reserve(planes);
    for (size_t plane = 0; plane < planes; ++plane) {
        rows.emplace_back(Load.Budget(), RowBytes);
        sampled.emplace_back(Load.Budget(), Shrink > 1 ? keptBytes : 0);
    }
    std::vector<TBudgetVector<uint8_t>>& kept = Shrink > 1 ? sampled : rows;
    if (Plan.Composed()) Converted.Resize(CheckedMul(width, Plan.TargetChannels));
    Load.Finish();

    Load.BeginTransfer();
    // Rows as the converter takes them: 16-bit L*a*b* rows hold their reduced samples first.
    std::array<std::span<const uint8_t>, MaxPlanes> sources;
    for (size_t plane = 0; plane < Plan.Planes; ++plane)
        sources[plane] = kept[plane].Span().first(WideLab ? width : keptBytes);
    const std::span<const std::span<const uint8_t>> rowSpans(sources.data(), Plan.Planes);
    for (int32_t y = 0; y < Image.Height(); ++y) {
        for (size_t plane = 0; plane < planes; ++plane) {
            if (y != 0 && Shrink > 1) SkipRows(plane, Shrink - 1);
            ReadRow(plane, rows[plane].data());
            if (Shrink > 1)
                SamplePixels(rows[plane].data(), sampleBytes, width, Shrink, sampled[plane].data());
            PrepareRow(plane, kept[plane].data(), width, keptBytes);
        }
        const std::span<uint8_t> line = Image.ScanLineSpan(y);
        if (Plan.Composed()) {
            Colors.ConvertRows(rowSpans, Converted.Span(), uint32_t(width));
            Compose(y, width, kept[Plan.Planes].Span());
        } else {
            Colors.ConvertRows(rowSpans, line, uint32_t(width));
        }
        if (Matted && Plan.Alpha) Unmatte(line.first(4 * width));
        Load.Row(y);
    }
}

void TPSDGraphic::TPSDLoad::Run() {
    Load.Prepare();
    Check();
    SetupColors();
    ReadPalette();
    LocateRows();
    Shrink = ChooseShrink();
    Image.SetSize(int32_t(SampledCount(Width, Shrink)), int32_t(SampledCount(Height, Shrink)));
    TransferRows();
    Load.Finish();
}

void TPSDGraphic::DecodeImage(TStream& stream) {
    std::optional<TPSDFile> file;
    TLoad load(*this, stream, FormatName,
               [&] { return (file = ReadHeader(stream, ImageProperties)).has_value(); });
    TPSDLoad(*this, load, *file).Run();
}
