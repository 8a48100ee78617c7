#include "imaging/formats/GIFGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/LZWDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

DEFINE_GRAPHIC_CLASS(TGIFGraphic, TImageGraphic)

namespace {

constexpr size_t SignatureSize = 6;
constexpr size_t ScreenDescriptorSize = 7;
constexpr size_t ImageDescriptorSize = 9;

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t ImageSeparator = 0x2C;
constexpr uint8_t Trailer = 0x3B;

constexpr uint8_t PlainTextLabel = 0x01;
constexpr uint8_t GraphicControlLabel = 0xF9;
constexpr uint8_t CommentLabel = 0xFE;
constexpr uint8_t ApplicationLabel = 0xFF;

// Flags of the screen and image descriptors.
constexpr uint8_t ColorTableFlag = 0x80;
constexpr uint8_t InterlacedFlag = 0x40;
constexpr uint8_t TableSizeMask = 0x07;

bool HasSignature(const uint8_t* bytes) {
    return (bytes[0] & 0xDF) == 'G' && (bytes[1] & 0xDF) == 'I' && (bytes[2] & 0xDF) == 'F';
}

// Entries of a colour table whose size field is `flags`' low three bits.
size_t TableEntries(uint8_t flags) {
    return size_t(2) << (flags & TableSizeMask);
}

void SkipSubBlocks(TStream& stream) {
    while (const uint8_t size = stream.ReadByte()) stream.Seek(size, TSeekOrigin::soCurrent);
}

TPalette ReadColorTable(TStream& stream, size_t entries) {
    uint8_t table[3 * 256];
    stream.ReadBuffer(table, 3 * entries);
    std::vector<TRGBQuad> palette(entries);
    for (size_t i = 0; i < entries; ++i) {
        palette[i].rgbRed = table[3 * i];
        palette[i].rgbGreen = table[3 * i + 1];
        palette[i].rgbBlue = table[3 * i + 2];
    }
    return TPalette(std::move(palette));
}

// The contents of the data sub-blocks from the stream's position, without their size bytes,
// into `data` (never more than the stream holds). Gathering ends after the 0 size byte, or
// quietly where the stream ends.
void GatherSubBlocks(TStream& stream, TBudgetVector<uint8_t>& data) {
    data.Resize(size_t(std::max<int64_t>(stream.Remaining(), 0)));
    size_t used = 0;
    for (;;) {
        uint8_t size;
        if (stream.Read(&size, 1) != 1 || size == 0) break;
        const size_t read =
            stream.Read(data.data() + used, std::min<size_t>(size, data.size() - used));
        used += read;
        if (read < size) break;
    }
    data.Resize(used);
}

// An LZW code of at least `minimumCodeSize` + 1 bits stands for at most 4096 pixels (the
// length of the longest string the table holds).
constexpr uint64_t MaxStringLength = 4096;

} // namespace

bool TGIFGraphic::Recognize(TStream& stream) {
    const int64_t start = stream.Position();
    if (stream.Remaining() < 23) return false;
    uint8_t bytes[SignatureSize];
    const bool complete = stream.Read(bytes, SignatureSize) == SignatureSize;
    stream.SetPosition(start);
    return complete && HasSignature(bytes);
}

uint8_t TGIFGraphic::SkipExtensions(TStream& stream) {
    for (;;) {
        const uint8_t introducer = stream.ReadByte();
        if (introducer == ImageSeparator || introducer == Trailer) return introducer;
        if (introducer != ExtensionIntroducer) continue;
        const uint8_t label = stream.ReadByte();
        switch (label) {
        case PlainTextLabel:
            stream.Seek(stream.ReadByte(), TSeekOrigin::soCurrent);
            SkipSubBlocks(stream);
            break;
        case GraphicControlLabel:
            stream.Seek(int64_t(stream.ReadByte()) + 1, TSeekOrigin::soCurrent);
            break;
        case CommentLabel:
        case ApplicationLabel:
            SkipSubBlocks(stream);
            break;
        default:
            break; // unknown: the following bytes are read as introducers again
        }
        if (label == ImageSeparator || label == Trailer) return label;
    }
}

bool TGIFGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    uint8_t header[SignatureSize];
    stream.ReadBuffer(header, SignatureSize);
    if (!HasSignature(header)) return false;

    TImageProperties& properties = ImageProperties;
    properties.Version =
        uint32_t(StrToInt(std::string_view(reinterpret_cast<const char*>(header) + 3, 2)));
    properties.ColorModel = cmPalette;
    properties.SamplesPerPixel = 1;
    properties.BitsPerSample = 8;
    properties.Compression = ckLZW;

    uint8_t screen[ScreenDescriptorSize];
    stream.ReadBuffer(screen, ScreenDescriptorSize);
    const uint8_t screenFlags = screen[4];
    if (screenFlags & ColorTableFlag) {
        properties.BitsPerSample = uint8_t((screenFlags & TableSizeMask) + 1);
        stream.Seek(int64_t(3 * TableEntries(screenFlags)), TSeekOrigin::soCurrent);
    }

    if (SkipExtensions(stream) == ImageSeparator) {
        uint8_t descriptor[ImageDescriptorSize];
        stream.ReadBuffer(descriptor, ImageDescriptorSize);
        TByteReader image(descriptor, sizeof(descriptor)), size(screen, sizeof(screen));
        image.Skip(4);
        const uint16_t width = image.LE16(), height = image.LE16();
        const uint16_t screenWidth = size.LE16(), screenHeight = size.LE16();
        properties.Width = width ? width : screenWidth;
        properties.Height = height ? height : screenHeight;
        const uint8_t flags = descriptor[8];
        properties.LocalColorMap = (flags & ColorTableFlag) != 0;
        if (properties.LocalColorMap)
            properties.BitsPerSample = uint8_t((flags & TableSizeMask) + 1);
        properties.Interlaced = (flags & InterlacedFlag) != 0;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    return true;
}

void TGIFGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, "GIF");
    load.Seek(0);
    load.Prepare();

    uint8_t header[SignatureSize];
    stream.ReadBuffer(header, SignatureSize);
    SetPixelFormat(bf8Bit);
    uint8_t screen[ScreenDescriptorSize];
    stream.ReadBuffer(screen, ScreenDescriptorSize);
    if (screen[4] & ColorTableFlag) SetPalette(ReadColorTable(stream, TableEntries(screen[4])));

    const uint8_t end = SkipExtensions(stream);
    load.Finish();
    if (end != ImageSeparator) return;

    load.Start(msgLoadingData);
    uint8_t descriptor[ImageDescriptorSize];
    stream.ReadBuffer(descriptor, ImageDescriptorSize);
    if (descriptor[8] & ColorTableFlag)
        SetPalette(ReadColorTable(stream, TableEntries(descriptor[8])));

    const uint8_t minimumCodeSize = stream.ReadByte();
    TBudgetVector<uint8_t> data = load.Buffer(0);
    GatherSubBlocks(stream, data);

    // The image cannot hold more pixels than its codes can stand for.
    const size_t width = ImageProperties.Width, height = ImageProperties.Height;
    const size_t pixelCount = CheckedMul(width, height);
    load.RequireExpansion(pixelCount, CheckedMul(8, MaxStringLength) / (minimumCodeSize + 1u),
                          data.size());
    SetSize(int32_t(width), int32_t(height));

    // Rows stored in order go straight into the bitmap when its rows have no padding;
    // otherwise, and for interlaced rows, through a buffer of the whole image.
    const bool interlaced = ImageProperties.Interlaced;
    const bool inPlace = !interlaced && BytesPerLine() == width;
    TBudgetVector<uint8_t> pixels = load.Buffer(inPlace ? 0 : pixelCount);
    if (pixelCount != 0) {
        TGIFLZWDecoder decoder(minimumCodeSize);
        const uint8_t* input = data.data();
        uint8_t* output = inPlace ? ScanLine(0) : pixels.data();
        const size_t inputSize = std::min<size_t>(data.size(), std::numeric_limits<int32_t>::max());
        decoder.Decode(input, output, int32_t(inputSize), int32_t(pixelCount));
    }
    load.Finish();

    load.BeginTransfer();
    // Rows without pixels (width 0) have nothing to copy.
    const int32_t rows = pixelCount != 0 ? Height() : 0;
    if (!interlaced) {
        for (int32_t y = 0; y < rows; ++y) {
            if (!inPlace)
                std::memcpy(ScanLineSpan(y).data(), pixels.data() + size_t(y) * width, width);
            load.Row(y);
        }
    } else {
        // The stored rows are passes over every 8th row from 0, every 8th from 4, every 4th
        // from 2 and every 2nd from 1.
        static constexpr struct {
            int32_t First, Step;
        } passes[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
        const uint8_t* source = pixels.data();
        for (size_t pass = 0; pass < std::size(passes); ++pass) {
            for (int32_t y = passes[pass].First; y < rows; y += passes[pass].Step) {
                std::memcpy(ScanLine(y), source, width);
                source += width;
                if (pass == 3) load.Row(y + 1);
            }
        }
    }
    load.Finish();
}
