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

// Where the loaded picture starts: the Base image of a pack, the first thumbnail (Base/16) of
// an overview, both stored plainly.
constexpr size_t BaseSector = 96;
constexpr size_t OverviewSector = 5;

// Quarter turns the stored picture is to be shown with.
enum class TRotation : uint8_t { None = 0, Left = 1, Half = 2, Right = 3 };

struct TPCDHeader {
    bool Overview = false;
    TRotation Rotation = TRotation::None;
    uint16_t ImageCount = 0;
};

// The header's fields, or nothing without either signature.
std::optional<TPCDHeader> ParseHeader(std::span<const uint8_t> bytes) {
    TByteReader reader(bytes);
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

// The three planes of one load, each of the picture's full size; the chroma planes are read
// into their upper left quarter and upsampled in place.
struct TPCDLoad {
    TBudgetVector<uint8_t> Luma;
    TBudgetVector<uint8_t> Chroma1;
    TBudgetVector<uint8_t> Chroma2;
};

} // namespace

bool TPCDGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    std::vector<uint8_t> bytes(HeaderSize);
    if (PeekBytes(stream, bytes) < HeaderSize) return false;
    return ParseHeader(bytes).has_value();
}

bool TPCDGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    index = std::min(index, LargestResolution);
    TImageGraphic::ReadImageHeader(stream, index);
    std::vector<uint8_t> bytes(HeaderSize);
    stream.ReadBuffer(bytes.data(), bytes.size());
    const std::optional<TPCDHeader> header = ParseHeader(bytes);
    if (!header) return false;

    TImageProperties& properties = ImageProperties;
    properties.Overview = header->Overview;
    properties.Rotation = uint8_t(header->Rotation);
    properties.ImageCount = header->ImageCount;
    if (header->Overview) index = 0;
    properties.Width = 192u << index;
    properties.Height = 128u << index;
    if (header->Rotation == TRotation::Left || header->Rotation == TRotation::Right)
        std::swap(properties.Width, properties.Height);
    properties.ColorModel = cmPhotoYCC;
    properties.BitsPerSample = 8;
    properties.SamplesPerPixel = 3;
    properties.BitsPerPixel = 24;
    properties.Compression = index > LastPlainResolution ? ckPhotoCDHuffman : ckNone;
    return true;
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

void TPCDGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName, hcLeaveEmpty, BaseResolution);
    if (!load.HeaderValid()) return;
    const bool overview = ImageProperties.Overview;
    const TRotation rotation = TRotation(ImageProperties.Rotation);
    const size_t width = overview ? 192 : 768;
    const size_t height = overview ? 128 : 512;
    load.Seek(0);
    load.Prepare();

    TColorManager& colors = *ColorEngine;
    colors.SetSourceModel(cmPhotoYCC);
    colors.SetSourceSampleBits(8);
    colors.SetSourceChannels(3);
    colors.SetTargetModel(cmBGR);
    colors.SetTargetSampleBits(8);
    colors.SetTargetChannels(3);
    SetPixelFormat(colors.TargetPixelFormat());
    colors.SetChromaParameters({0.2125f, 0.7154f, 0.0721f}, 2, 2);
    load.Finish();

    // Pairs of luma rows, each followed by one row of each chroma plane.
    load.Seek(int64_t((overview ? OverviewSector : BaseSector) * SectorSize));
    if (load.Remaining() < width * height * 3 / 2) load.Fail(msgTruncatedPart, msgPartBaseImage);
    TPCDLoad planes{load.Buffer(width * height), load.Buffer(width * height),
                    load.Buffer(width * height)};
    load.Start(msgLoadingData);
    const size_t half = width / 2;
    for (size_t row = 0; row < height; row += 2) {
        load.Running(row, height);
        load.Read(planes.Luma.data() + row * width, 2 * width);
        load.Read(planes.Chroma1.data() + row / 2 * width, half);
        load.Read(planes.Chroma2.data() + row / 2 * width, half);
    }
    load.Finish();

    load.Start(msgUpsampling);
    load.Running(80, 100);
    UpsampleChroma(half, height / 2, width, planes.Chroma1);
    load.Running(100, 100);
    UpsampleChroma(half, height / 2, width, planes.Chroma2);
    load.Finish();

    auto sources = [&](size_t y) {
        const size_t at = y * width;
        return std::array<std::span<const uint8_t>, 3>{planes.Luma.Span().subspan(at, width),
                                                       planes.Chroma1.Span().subspan(at, width),
                                                       planes.Chroma2.Span().subspan(at, width)};
    };
    const bool turned = rotation == TRotation::Left || rotation == TRotation::Right;
    if (!turned) {
        SetSize(int32_t(width), int32_t(height));
        load.BeginTransfer();
        for (size_t y = 0; y < height; ++y) {
            const auto rows = sources(y);
            colors.ConvertRows(rows, ScanLineSpan(int32_t(y)), uint32_t(width));
            load.Row(int32_t(y));
        }
    } else {
        // A quarter turn: stored row y becomes column y (turned left, read from the bottom
        // up) or column height - 1 - y (turned right, from the top down).
        SetSize(int32_t(height), int32_t(width));
        load.BeginTransfer();
        std::vector<uint8_t*> lines(width);
        for (size_t x = 0; x < width; ++x) lines[x] = ScanLineSpan(int32_t(x)).data();
        TBudgetVector<uint8_t> row = load.Buffer(width * 3);
        for (size_t y = 0; y < height; ++y) {
            const auto rows = sources(y);
            colors.ConvertRows(rows, row, uint32_t(width));
            const size_t column = 3 * (rotation == TRotation::Left ? y : height - 1 - y);
            const uint8_t* pixel = row.data();
            for (size_t x = 0; x < width; ++x, pixel += 3) {
                uint8_t* line = lines[rotation == TRotation::Left ? width - 1 - x : x];
                std::memcpy(line + column, pixel, 3);
            }
            load.Running(y, height);
            ++ProgressBounds.Top;
            ++ProgressBounds.Bottom;
        }
    }
    load.Finish();
}
