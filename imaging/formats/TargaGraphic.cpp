#include "imaging/formats/TargaGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

DEFINE_GRAPHIC_CLASS(TTargaGraphic, TImageGraphic)

namespace {

constexpr size_t HeaderSize = 18;
// Descriptor bit: the first stored row is the top row.
constexpr uint8_t TopDownFlag = 0x20;
// A run packet: one count byte and one pixel stand for up to 128 pixels.
constexpr uint64_t MaxRunExpansion = 128;

struct TTargaHeader {
    uint8_t IDLength = 0;
    uint8_t ColorMapType = 0;
    uint8_t ImageType = 0;
    uint16_t ColorMapLength = 0;
    uint8_t ColorMapEntrySize = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t PixelDepth = 0;
    uint8_t Descriptor = 0;
};

TTargaHeader ParseHeader(const uint8_t* bytes) {
    TByteReader reader(bytes, HeaderSize);
    TTargaHeader header;
    header.IDLength = reader.U8();
    header.ColorMapType = reader.U8();
    header.ImageType = reader.U8();
    reader.Skip(2); // first colour map index
    header.ColorMapLength = reader.LE16();
    header.ColorMapEntrySize = reader.U8();
    reader.Skip(4); // origin
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    header.PixelDepth = reader.U8();
    header.Descriptor = reader.U8();
    return header;
}

TTargaHeader ReadHeader(TStream& stream) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    return ParseHeader(bytes);
}

bool IsRunLength(uint8_t imageType) {
    return imageType >= 9 && imageType <= 11;
}
bool IsGray(uint8_t imageType) {
    return imageType == 3 || imageType == 11;
}
bool IsStandardDepth(uint8_t bits) {
    return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}
bool IsStandardMapEntry(uint8_t bits) {
    return bits != 8 && IsStandardDepth(bits);
}
// Bytes a pixel or colour map entry of `bits` bits takes; 15-bit values fill two bytes.
size_t BytesOf(uint8_t bits) {
    return (size_t(bits) + 7) / 8;
}

// A palette from 15- or 16-bit colour map entries (x1r5g5b5), each channel shifted to the
// top of its byte.
TPalette MakeWordPalette(std::span<const uint8_t> map, size_t count) {
    std::vector<TRGBQuad> entries(count);
    for (size_t i = 0; i < count; ++i) {
        const unsigned w = map[2 * i] | (map[2 * i + 1] << 8);
        entries[i].rgbRed = uint8_t((w & 0x7C00) >> 7);
        entries[i].rgbGreen = uint8_t((w & 0x03E0) >> 2);
        entries[i].rgbBlue = uint8_t((w & 0x001F) << 3);
    }
    return TPalette(std::move(entries));
}

void PutLE16(uint8_t* p, unsigned value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

} // namespace

bool TTargaGraphic::Recognize(TStream& stream) {
    const int64_t start = stream.Position();
    if (stream.Remaining() < int64_t(HeaderSize) + 1) return false;
    uint8_t bytes[HeaderSize];
    const bool complete = stream.Read(bytes, HeaderSize) == HeaderSize;
    stream.SetPosition(start);
    if (!complete) return false;
    const TTargaHeader header = ParseHeader(bytes);
    return (header.ImageType <= 3 || IsRunLength(header.ImageType)) && header.ColorMapType <= 1 &&
           IsStandardMapEntry(header.ColorMapEntrySize) && IsStandardDepth(header.PixelDepth);
}

bool TTargaGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    const TTargaHeader header = ReadHeader(stream);
    TImageProperties& properties = ImageProperties;
    properties.Width = header.Width;
    properties.Height = header.Height;
    properties.BitsPerSample = 8;
    switch (header.PixelDepth) {
    case 8:
        properties.ColorModel = IsGray(header.ImageType) ? cmGray : cmPalette;
        properties.SamplesPerPixel = 1;
        break;
    case 15:
    case 16:
        properties.ColorModel = cmRGB;
        properties.BitsPerSample = 5;
        properties.SamplesPerPixel = 3;
        break;
    case 24:
        properties.ColorModel = cmRGB;
        properties.SamplesPerPixel = 3;
        break;
    case 32:
        properties.ColorModel = cmRGBAlpha;
        properties.SamplesPerPixel = 4;
        break;
    default:
        properties.ColorModel = cmUnknown;
        properties.SamplesPerPixel = 0;
        break;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    properties.Compression = IsRunLength(header.ImageType) ? ckRunLength : ckNone;
    return true;
}

void TTargaGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, "TGA", hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    load.Seek(0);
    load.Prepare();

    const TTargaHeader header = ReadHeader(stream);
    const bool topDown = (header.Descriptor & TopDownFlag) != 0;
    stream.Seek(header.IDLength, TSeekOrigin::soCurrent);

    // Every accepted layout is the bitmap's own; the manager chooses the pixel format and
    // builds the palettes.
    const TImageProperties& properties = ImageProperties;
    TColorManager& colors = *ColorEngine;
    colors.SetSourceChannels(properties.SamplesPerPixel);
    colors.SetTargetChannels(properties.SamplesPerPixel);
    colors.SetSourceModel(properties.ColorModel);
    colors.SourceFlags.Clear();
    colors.SetTargetModel(cmBGR);
    colors.SetSourceSampleBits(properties.BitsPerSample);
    colors.SetTargetSampleBits(properties.BitsPerSample);
    SetPixelFormat(colors.TargetPixelFormat(true));
    if (header.PixelDepth == 32) AlphaFormat = afDefined;

    // The colour map lies between the image ID and the pixels; grey images get a grey ramp
    // whatever map they carry, but the map is passed over all the same.
    const size_t mapBytes = header.ColorMapType == 1
                                ? size_t(header.ColorMapLength) * BytesOf(header.ColorMapEntrySize)
                                : 0;
    if (IsGray(header.ImageType)) {
        SetPalette(colors.MakeGrayPalette(false));
        stream.Seek(int64_t(mapBytes), TSeekOrigin::soCurrent);
    } else if (header.ColorMapType == 1) {
        TBudgetVector<uint8_t> map = load.Buffer(0);
        load.ReadBlock(map, mapBytes);
        const std::span<const uint8_t> plane(map);
        switch (header.ColorMapEntrySize) {
        case 15:
        case 16:
            SetPalette(MakeWordPalette(plane, header.ColorMapLength));
            break;
        case 24:
            SetPalette(colors.MakeColorPalette({plane}, plPacked8x3, header.ColorMapLength, true));
            break;
        case 32:
            SetPalette(colors.MakeColorPalette({plane}, plPacked8x4, header.ColorMapLength, true));
            break;
        default:
            break; // no entries this reader can read
        }
    }

    // Stored rows must all be in the file; a run packet of 1 + n bytes gives at most 128
    // pixels of n bytes.
    const size_t rowBytes = CheckedMul(header.Width, BytesOf(header.PixelDepth));
    const size_t imageBytes = CheckedMul(rowBytes, header.Height);
    if (IsRunLength(header.ImageType))
        load.RequireExpansion(imageBytes, MaxRunExpansion);
    else if (header.ImageType >= 1 && header.ImageType <= 3)
        load.RequireBytes(imageBytes);
    SetSize(header.Width, header.Height);
    load.Finish();
    load.BeginTransfer();

    const int32_t height = header.Height;
    auto targetRow = [&](int32_t i) { return topDown ? i : height - 1 - i; };
    if (header.ImageType >= 1 && header.ImageType <= 3) {
        for (int32_t i = 0; i < height; ++i) {
            stream.ReadBuffer(ScanLine(targetRow(i)), rowBytes);
            load.Row(i);
        }
    } else if (IsRunLength(header.ImageType) && rowBytes != 0) {
        // One row of packets takes at most twice the row's bytes. The packets are read in
        // chunks of InputChunk bytes besides that; before each row the buffer is topped up
        // when it holds less than a row's worst case, and at the end the stream is set just
        // after the last packet decoded.
        constexpr size_t InputChunk = size_t(1) << 16;
        const size_t rowPackets = CheckedMul(rowBytes, 2);
        const size_t wanted = CheckedAdd(rowPackets, InputChunk);
        // A smaller file is read whole at once.
        const bool whole = load.Remaining() < wanted;
        const size_t bufferBytes = whole ? size_t(load.Remaining()) : wanted;
        TTargaRLEDecoder decoder(header.PixelDepth);
        TBudgetVector<uint8_t> packed = load.Buffer(bufferBytes);
        size_t position = 0, filled = 0;
        bool ended = false;
        for (int32_t i = 0; i < height; ++i) {
            if (!ended && filled - position < rowPackets) {
                std::memmove(packed.data(), packed.data() + position, filled - position);
                filled -= position;
                position = 0;
                const size_t request = packed.size() - filled;
                const size_t got = stream.Read(packed.data() + filled, request);
                ended = whole || got < request;
                filled += got;
            }
            const uint8_t* start = packed.data() + position;
            const uint8_t* input = start;
            uint8_t* output = ScanLine(targetRow(i));
            decoder.Decode(input, output, int32_t(std::min(filled - position, rowPackets)),
                           header.Width);
            position += size_t(input - start);
            load.Row(i);
        }
        stream.Seek(-int64_t(filled - position), TSeekOrigin::soCurrent);
    }
    load.Finish();
}

void TTargaGraphic::EncodeImage(TStream& stream) {
    WriteImage(stream, true);
}

void TTargaGraphic::WriteImage(TStream& stream, bool compress) {
    static const std::string noMessage;
    ProgressBounds = {0, 0, Width(), 1};
    Progress(psStarting, 0, false, ProgressBounds, msgPreparing);

    const TBitmapFormat format = PixelFormat();
    size_t pixelBytes;
    switch (format) {
    case bf1Bit:
    case bf4Bit:
    case bf8Bit:
        pixelBytes = 1;
        break;
    case bf15Bit:
    case bf16Bit:
        pixelBytes = 2;
        break;
    case bf24Bit:
        pixelBytes = 3;
        break;
    default:
        pixelBytes = 4;
        break; // device and custom formats are held at 32 bits
    }
    if (Empty()) {
        Progress(psEnding, 0, false, ProgressBounds, noMessage);
        return;
    }
    constexpr int32_t MaxSide = std::numeric_limits<uint16_t>::max();
    if (Width() > MaxSide || Height() > MaxSide) {
        throw EInvalidGraphic(FormatImageMessage(msgTargaTooLarge, std::to_string(MaxSide),
                                                 std::to_string(MaxSide), std::to_string(Width()),
                                                 std::to_string(Height())));
    }

    const bool indexed = pixelBytes == 1;
    const uint8_t pixelDepth = uint8_t(pixelBytes * 8);
    std::array<uint8_t, HeaderSize> header{};
    header[1] = indexed ? 1 : 0;
    header[2] = uint8_t((indexed ? 1 : 2) + (compress ? 8 : 0));
    PutLE16(&header[5], 256);
    header[7] = 24;
    PutLE16(&header[12], unsigned(Width()));
    PutLE16(&header[14], unsigned(Height()));
    header[16] = pixelDepth;
    // Rows are written top row first, and the flag says so.
    header[17] = TopDownFlag;
    stream.WriteBuffer(header.data(), header.size());

    if (indexed) {
        std::array<uint8_t, 3 * 256> map{};
        const TPalette& palette = Palette();
        for (size_t i = 0; i < palette.Count(); ++i) {
            map[3 * i] = palette[i].rgbBlue;
            map[3 * i + 1] = palette[i].rgbGreen;
            map[3 * i + 2] = palette[i].rgbRed;
        }
        stream.WriteBuffer(map.data(), map.size());
    }

    // Rows the Targa layout cannot take as they are (1- and 4-bit indices, 5-6-5 pixels) are
    // widened into `converted` first.
    const uint32_t width = uint32_t(Width());
    const size_t rowBytes = CheckedMul(width, pixelBytes);
    const bool convert = format == bf1Bit || format == bf4Bit || format == bf16Bit;
    std::vector<uint8_t> converted(convert ? rowBytes : 0);
    TTargaRLEDecoder encoder(pixelDepth);
    std::vector<uint8_t> packed(compress ? size_t(encoder.EncodedSizeBound(width)) : 0);

    for (int32_t y = 0; y < Height(); ++y) {
        const uint8_t* row = ScanLine(y);
        if (convert) {
            uint8_t* out = converted.data();
            if (format == bf1Bit) {
                for (uint32_t x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
            } else if (format == bf4Bit) {
                for (uint32_t x = 0; x < width; ++x)
                    out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
            } else {
                for (uint32_t x = 0; x < width; ++x) {
                    const unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
                    const unsigned w = ((v >> 1) & 0x7FE0) | (v & 0x001F);
                    out[2 * x] = uint8_t(w);
                    out[2 * x + 1] = uint8_t(w >> 8);
                }
            }
            row = out;
        }
        if (compress) {
            uint32_t written = 0;
            encoder.Encode(row, packed.data(), width, written);
            stream.WriteBuffer(packed.data(), written);
        } else {
            stream.WriteBuffer(row, rowBytes);
        }
        if (OnProgress) {
            Progress(psRunning, uint8_t((uint64_t(y) * 100 + uint64_t(Height()) / 2) / Height()),
                     true, ProgressBounds, noMessage);
        }
        ++ProgressBounds.Top;
        ++ProgressBounds.Bottom;
    }
    Progress(psEnding, 0, false, ProgressBounds, noMessage);
}
