// Messages: msgDataTooShort (a file that cannot hold the size it states, however well it
// packs), msgUnexpectedEnd (the rows end before the last one, or the last before its byte
// count), msgPaletteFileShort (a palette
// file shorter than its header or its colours), and the stream read error (a header cut short;
// a palette file that cannot be read).
#include "imaging/formats/CUTGraphic.h"

#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

DEFINE_GRAPHIC_CLASS(TCUTGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "CUT";
constexpr size_t HeaderSize = 6; // width, height, reserved
// A repeat packet of two bytes gives up to 127 pixels.
constexpr uint64_t LargestExpansion = 64;

struct TCUTHeader {
    uint16_t Width = 0;
    uint16_t Height = 0;
};

TCUTHeader ParseHeader(TByteReader& reader) {
    TCUTHeader header;
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    return header;
}

// The palette file: blocks of 512 bytes; the first holds the highest colour index at offset
// 12 and the colours from offset 40; a colour (three 16-bit words, the low byte of each
// used) never straddles two blocks.
constexpr size_t PaletteBlockSize = 512;
constexpr size_t HighestIndexOffset = 12;
constexpr size_t FirstColorOffset = 40;
constexpr size_t ColorSize = 6;

[[noreturn]] void PaletteTooShort(const std::string& fileName) {
    throw EInvalidGraphic(FormatImageMessage(msgPaletteFileShort, FormatName, fileName));
}

// The colours of a palette file, at most the 256 a palette holds; further colours the file
// states are not read.
TPalette ReadPaletteFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead);
    std::array<uint8_t, PaletteBlockSize> block;
    size_t filled = file.Read(block.data(), block.size());
    if (filled < HighestIndexOffset + 2) PaletteTooShort(fileName);
    TByteReader header(block.data(), filled);
    header.Seek(HighestIndexOffset);
    const size_t count = std::min<size_t>(size_t(header.LE16()) + 1, TPalette::MaxEntries);
    std::vector<TRGBQuad> entries(count);
    size_t position = FirstColorOffset;
    for (TRGBQuad& entry : entries) {
        if (position > PaletteBlockSize - ColorSize) {
            filled = file.Read(block.data(), block.size());
            position = 0;
        }
        if (position + ColorSize > filled) PaletteTooShort(fileName);
        entry.rgbRed = block[position];
        entry.rgbGreen = block[position + 2];
        entry.rgbBlue = block[position + 4];
        position += ColorSize;
    }
    return TPalette(std::move(entries));
}

TPalette GrayRamp() {
    std::vector<TRGBQuad> entries(TPalette::MaxEntries);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    return TPalette(std::move(entries));
}

} // namespace

bool TCUTGraphic::Recognize(TStream&) {
    return false;
}

std::string TCUTGraphic::PaletteFileName(const std::string& imageFileName) {
    const size_t folder = imageFileName.find_last_of('/');
    const size_t dot = imageFileName.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (folder == std::string::npos || dot > folder);
    const std::string stem = hasExtension ? imageFileName.substr(0, dot) : imageFileName;
    const std::string lower = stem + ".pal", upper = stem + ".PAL";
    return !FileExists(lower) && FileExists(upper) ? upper : lower;
}

void TCUTGraphic::LoadFromFile(const std::string& fileName) {
    paletteFileName_ = PaletteFileName(fileName);
    struct TForget {
        std::string& Name;
        ~TForget() { Name.clear(); }
    } forget{paletteFileName_};
    TImageGraphic::LoadFromFile(fileName);
}

bool TCUTGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    uint8_t bytes[4];
    stream.ReadBuffer(bytes, sizeof(bytes));
    TByteReader reader(bytes, sizeof(bytes));
    const TCUTHeader header = ParseHeader(reader);
    TImageProperties& properties = ImageProperties;
    properties.Width = header.Width;
    properties.Height = header.Height;
    properties.ColorModel = cmPalette;
    properties.BitsPerSample = 8;
    properties.SamplesPerPixel = 1;
    properties.BitsPerPixel = 8;
    properties.Compression = ckRunLength;
    return true;
}

void TCUTGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Seek(HeaderSize);
    const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;

    SetPixelFormat(bf8Bit);
    const std::string& paletteFile = paletteFileName_;
    SetPalette(!paletteFile.empty() && FileExists(paletteFile) ? ReadPaletteFile(paletteFile)
                                                               : GrayRamp());
    load.RequireExpansion(CheckedMul(width, height), LargestExpansion);
    SetSize(int32_t(width), int32_t(height));
    load.BeginTransfer();
    if (Empty()) {
        load.Finish();
        return;
    }

    // The rows follow each other up to the end of the file; the decoder leaves the input just
    // past each row's end byte.
    TBudgetVector<uint8_t> coded = load.Buffer(0);
    const uint64_t stored = load.Remaining();
    if (stored > uint64_t(std::numeric_limits<int32_t>::max())) load.Fail(msgSizeOverflow);
    load.ReadBlock(coded, size_t(stored));
    const uint8_t* input = coded.data();
    const uint8_t* const end = coded.data() + coded.size();
    TCUTRLEDecoder decoder;
    for (int32_t y = 0; y < int32_t(height); ++y) {
        if (input >= end) load.Fail(msgUnexpectedEnd);
        const uint8_t* const rowStart = input;
        const std::span<uint8_t> line = ScanLineSpan(y);
        uint8_t* output = line.data();
        decoder.Decode(input, output, int32_t(end - input),
                       int32_t(std::min<size_t>(width, line.size())));
        // A row that runs into the end of the data is cut short unless its last byte ends it
        // and the row's byte count says it ends there.
        if (input == end) {
            const size_t stated = end - rowStart >= 2 ? size_t(rowStart[0] | rowStart[1] << 8) : 0;
            if (end[-1] != 0 || size_t(end - rowStart) < stated + 2) load.Fail(msgUnexpectedEnd);
        }
        load.Row(y);
    }
    load.Finish();
}
