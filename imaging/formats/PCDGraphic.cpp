// Messages: msgTruncatedPart with msgPartBaseImage (the file ends before the picture's
// planes), the stream read error (a header shorter than its three sectors). A stream without
// either signature raises nothing and leaves the bitmap empty.
#include "imaging/formats/PCDGraphic.h"

#include "imaging/ColorManager.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

DEFINE_GRAPHIC_CLASS(TPCDGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "PCD";
constexpr size_t SectorSize = 2048;
// The header: the overview signature in the first sector, the image pack's information in
// the second.
constexpr size_t HeaderSize = 3 * SectorSize;
constexpr char OverviewSignature[] = "PCD_OPA";
constexpr size_t PackSignatureOffset = SectorSize;
constexpr char PackSignature[] = "PCD";
constexpr size_t AttributesOffset = 3586; // bits 0-1: rotation
constexpr size_t ImageCountOffset = 10;

// Resolutions: Base/16 (index 0) to 64Base (5); the first three are stored uncompressed.
constexpr uint32_t LargestResolution = 5;
constexpr uint32_t LastPlainResolution = 2;
constexpr uint32_t BaseResolution = 2;

// Where the loaded picture starts: the Base/16, Base/4 or Base image of a pack (resolutions 0
// to 2), the first thumbnail (Base/16) of an overview, all stored plainly.
constexpr size_t PackSectors[] = {4, 23, 96};
constexpr size_t OverviewSector = 5;

// Quarter turns the stored picture is to be shown with.
enum class TRotation : uint8_t { None = 0, Left = 1, Half = 2, Right = 3 };

// What the first three sectors of a Photo-CD Image Pac tell, at the places the public
// descriptions of the Image Pac layout give: the overview pack's signature and image count in
// the first sector, the image pack's signature in the second and its rotation in the low bits
// of the attributes byte after it.
struct TPCDHeader {
    bool Overview = false;
    TRotation Rotation = TRotation::None;
    uint16_t ImageCount = 0;
};

// The header's fields, or nothing without either signature.
std::optional<TPCDHeader> ParseHeader(TByteReader& reader) {
    TPCDHeader header;
    header.Overview = std::memcmp(reader.Take(sizeof(OverviewSignature) - 1), OverviewSignature,
                                  sizeof(OverviewSignature) - 1) == 0;
    reader.Seek(PackSignatureOffset);
    const bool pack = std::memcmp(reader.Take(sizeof(PackSignature) - 1), PackSignature,
                                  sizeof(PackSignature) - 1) == 0;
    if (!header.Overview && !pack) return std::nullopt;
    reader.Seek(ImageCountOffset);
    header.ImageCount = reader.BE16();
    // An overview's second sector is no image pack information: it has no rotation.
    reader.Seek(AttributesOffset);
    if (!header.Overview) header.Rotation = TRotation(reader.U8() & 3);
    return header;
}

bool Turned(TRotation rotation) {
    return rotation == TRotation::Left || rotation == TRotation::Right;
}

// The header and what it tells of resolution `index`, or nothing without either signature. A
// stream shorter than the header raises its read error.
std::optional<TPCDHeader> ReadHeader(TStream& stream, TImageProperties& properties,
                                     uint32_t index) {
    index = std::min(index, LargestResolution);
    std::vector<uint8_t> bytes(HeaderSize);
    stream.ReadBuffer(bytes.data(), bytes.size());
    TByteReader reader(bytes);
    const std::optional<TPCDHeader> header = ParseHeader(reader);
    if (!header) return std::nullopt;

    properties.Overview = header->Overview;
    properties.Rotation = uint8_t(header->Rotation);
    properties.ImageCount = header->ImageCount;
    if (header->Overview) index = 0;
    properties.Width = 192u << index;
    properties.Height = 128u << index;
    if (Turned(header->Rotation)) std::swap(properties.Width, properties.Height);
    properties.ColorModel = cmPhotoYCC;
    properties.BitsPerSample = 8;
    properties.SamplesPerPixel = 3;
    properties.BitsPerPixel = 24;
    properties.Compression = index > LastPlainResolution ? ckPhotoCDHuffman : ckNone;
    return header;
}

} // namespace

bool TPCDGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, ParseHeader);
}

bool TPCDGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties, index).has_value();
}

void TPCDGraphic::UpsampleChroma(size_t w, size_t h, size_t stride, std::span<uint8_t> plane) {
    if (w == 0 || h == 0 || stride < 2 * w || plane.size() / stride < 2 * h) return;
    uint8_t* const base = plane.data();
    // Across: stored row r becomes row 2r, from the last row and the right end, so that no
    // sample is overwritten before it is read.
    for (size_t r = h; r-- > 0;) {
        const uint8_t* source = base + r * stride;
        uint8_t* target = base + 2 * r * stride;
        target[2 * w - 1] = source[w - 1];
        target[2 * w - 2] = source[w - 1];
        for (size_t x = w - 1; x-- > 0;) {
            const unsigned left = source[x], right = source[x + 1];
            target[2 * x + 1] = uint8_t((left + right + 1) / 2);
            target[2 * x] = uint8_t(left);
        }
    }
    // Down: each odd row between the even rows above and below it.
    for (size_t r = 0; r + 1 < h; ++r) {
        const uint8_t* above = base + 2 * r * stride;
        const uint8_t* below = above + 2 * stride;
        uint8_t* target = base + (2 * r + 1) * stride;
        for (size_t k = 0; k + 1 < w; ++k) {
            target[2 * k] = uint8_t((above[2 * k] + below[2 * k] + 1) / 2);
            target[2 * k + 1] = uint8_t(
                (above[2 * k] + above[2 * k + 2] + below[2 * k] + below[2 * k + 2] + 2) / 4);
        }
        for (size_t x = 2 * w - 2; x < 2 * w; ++x)
            target[x] = uint8_t((above[x] + below[x] + 1) / 2);
    }
    std::memcpy(base + (2 * h - 1) * stride, base + (2 * h - 2) * stride, 2 * w);
}

// --- One load ---

// The three planes of one load, each of the picture's full size; the chroma planes are read
// into their upper left quarter and upsampled in place.
struct TPCDGraphic::TPCDLoad {
    TPCDLoad(TPCDGraphic& image, TLoad& load, const TPCDHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header), Luma(load.Budget()),
          Chroma1(load.Budget()), Chroma2(load.Budget()) {}

    void Run();

private:
    // The resolution loaded: an overview's thumbnail, or the smallest of a pack's Base/16,
    // Base/4 and Base images that is at least the size asked for.
    void ChooseResolution();
    void SetupColors();
    // Pairs of luma rows, each followed by one row of each chroma plane.
    void ReadPlanes();
    void Upsample();
    // The three plane rows of stored row y.
    std::array<std::span<const uint8_t>, 3> Sources(size_t y) const;
    void Transfer();
    // A quarter turn: stored row y becomes column y (turned left, read from the bottom up) or
    // column height - 1 - y (turned right, from the top down).
    void TransferTurned();

    TPCDGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TPCDHeader Header;
    size_t Width = 0, Height = 0;
    size_t Sector = 0; // where the planes start
    TBudgetVector<uint8_t> Luma, Chroma1, Chroma2;
};

void TPCDGraphic::TPCDLoad::ChooseResolution() {
    uint32_t resolution = 0;
    if (!Header.Overview) {
        // Base/16 and Base/4 are Base shrunk by 4 and by 2, each way.
        const bool turned = Turned(Header.Rotation);
        const uint32_t shrink = Image.ShrinkFactor(turned ? 512 : 768, turned ? 768 : 512, 4);
        resolution = BaseResolution - (shrink >= 4 ? 2 : shrink >= 2 ? 1 : 0);
    }
    Width = size_t(192) << resolution;
    Height = size_t(128) << resolution;
    Sector = Header.Overview ? OverviewSector : PackSectors[resolution];
}

void TPCDGraphic::TPCDLoad::SetupColors() {
    Colors.SetSourceModel(cmPhotoYCC);
    Colors.SetSourceSampleBits(8);
    Colors.SetSourceChannels(3);
    Colors.SetTargetModel(cmBGR);
    Colors.SetTargetSampleBits(8);
    Colors.SetTargetChannels(3);
    Image.SetPixelFormat(Colors.TargetPixelFormat());
    Colors.SetChromaParameters({0.2125f, 0.7154f, 0.0721f}, 2, 2);
}

void TPCDGraphic::TPCDLoad::ReadPlanes() {
    Load.Seek(int64_t(Sector * SectorSize));
    Load.RequirePart(Width * Height * 3 / 2, msgPartBaseImage);
    Luma.Resize(Width * Height);
    Chroma1.Resize(Width * Height);
    Chroma2.Resize(Width * Height);
    Load.Start(msgLoadingData);
    const size_t half = Width / 2;
    for (size_t row = 0; row < Height; row += 2) {
        Load.Running(row, Height);
        Load.Read(Luma.data() + row * Width, 2 * Width);
        Load.Read(Chroma1.data() + row / 2 * Width, half);
        Load.Read(Chroma2.data() + row / 2 * Width, half);
    }
    Load.Finish();
}

void TPCDGraphic::TPCDLoad::Upsample() {
    Load.Start(msgUpsampling);
    Load.Running(80, 100);
    UpsampleChroma(Width / 2, Height / 2, Width, Chroma1);
    Load.Running(100, 100);
    UpsampleChroma(Width / 2, Height / 2, Width, Chroma2);
    Load.Finish();
}

std::array<std::span<const uint8_t>, 3> TPCDGraphic::TPCDLoad::Sources(size_t y) const {
    const size_t at = y * Width;
    return {Luma.Span().subspan(at, Width), Chroma1.Span().subspan(at, Width),
            Chroma2.Span().subspan(at, Width)};
}

void TPCDGraphic::TPCDLoad::Transfer() {
    Image.SetSize(int32_t(Width), int32_t(Height));
    Load.BeginTransfer();
    for (size_t y = 0; y < Height; ++y) {
        const auto rows = Sources(y);
        Colors.ConvertRows(rows, Image.ScanLineSpan(int32_t(y)), uint32_t(Width));
        Load.Row(int32_t(y));
    }
}

void TPCDGraphic::TPCDLoad::TransferTurned() {
    Image.SetSize(int32_t(Height), int32_t(Width));
    Load.BeginTransfer();
    std::vector<uint8_t*> lines(Width);
    for (size_t x = 0; x < Width; ++x) lines[x] = Image.ScanLineSpan(int32_t(x)).data();
    TBudgetVector<uint8_t> row = Load.Buffer(Width * 3);
    const bool left = Header.Rotation == TRotation::Left;
    for (size_t y = 0; y < Height; ++y) {
        const auto rows = Sources(y);
        Colors.ConvertRows(rows, row, uint32_t(Width));
        const size_t column = 3 * (left ? y : Height - 1 - y);
        const uint8_t* pixel = row.data();
        for (size_t x = 0; x < Width; ++x, pixel += 3)
            std::memcpy(lines[left ? Width - 1 - x : x] + column, pixel, 3);
        Load.Running(y, Height);
        ++Image.ProgressBounds.Top;
        ++Image.ProgressBounds.Bottom;
    }
}

void TPCDGraphic::TPCDLoad::Run() {
    Load.Prepare();
    ChooseResolution();
    SetupColors();
    Load.Finish();
    ReadPlanes();
    Upsample();
    if (Turned(Header.Rotation))
        TransferTurned();
    else
        Transfer();
    Load.Finish();
}

void TPCDGraphic::DecodeImage(TStream& stream) {
    std::optional<TPCDHeader> header;
    TLoad load(
        *this, stream, FormatName,
        [&] { return (header = ReadHeader(stream, ImageProperties, BaseResolution)).has_value(); },
        hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    TPCDLoad(*this, load, *header).Run();
}
