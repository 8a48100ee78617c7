// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgDataTooShort      a file that cannot hold the size it states, however well it packs
//   msgUnexpectedEnd     the rows end before the last one, or the last before its byte count
//   msgSizeOverflow      rows longer than a decoder call takes
//   msgPaletteFileShort  a palette file shorter than its header or its colours
//   msgStreamReadError   the file ends inside the width and height
// the stream's errors of a palette file that cannot be read, and, from the bitmap and the
// load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/CUTGraphic.h"

#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <string>
#include <vector>

DEFINE_GRAPHIC_CLASS(TCUTGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "CUT";
// The width and height; a reserved word follows them.
constexpr size_t HeaderSize = 4;
constexpr size_t ReservedSize = 2;
// A repeat packet of two bytes gives up to 127 pixels.
constexpr uint64_t LargestExpansion = 64;

// The header of a Dr. Halo CUT file as the Encyclopedia of Graphics File Formats describes the
// format: little-endian width and height, a reserved word, then the run-length coded rows.
struct TCUTHeader {
    uint16_t Width = 0;
    uint16_t Height = 0;
};

// The header: the format has no signature, so any four bytes are one.
TCUTHeader ParseHeader(TByteReader& reader) {
    TCUTHeader header;
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    return header;
}

// The header and what it tells of the image. A header cut short is the stream's read error.
TCUTHeader ReadHeader(TStream& stream, TImageProperties& properties) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    TByteReader reader(bytes, HeaderSize);
    const TCUTHeader header = ParseHeader(reader);
    properties.Width = header.Width;
    properties.Height = header.Height;
    properties.ColorModel = cmPalette;
    properties.BitsPerSample = 8;
    properties.SamplesPerPixel = 1;
    properties.BitsPerPixel = 8;
    properties.Compression = ckRunLength;
    return header;
}

// The palette file of the same description: blocks of 512 bytes; the first holds the highest colour
// index at offset 12 and the colours from offset 40; a colour (three 16-bit words, the low byte of
// each used) never straddles two blocks.
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
    ReadHeader(stream, ImageProperties);
    return true;
}

// --- One load ---

struct TCUTGraphic::TCUTLoad {
    TCUTLoad(TCUTGraphic& image, TLoad& load, const TCUTHeader& header)
        : Image(image), Load(load), Header(header) {}

    void Run();

private:
    // Decodes the rows from the rest of the stream, read whole.
    void DecodeRows();
    // Raises unless a row that ran into the end of the data ends there: its last byte ends it
    // and its byte count says so.
    void CheckLastRow(const uint8_t* rowStart, const uint8_t* end) const;

    TCUTGraphic& Image;
    TLoad& Load;
    const TCUTHeader& Header;
};

void TCUTGraphic::TCUTLoad::Run() {
    Load.Seek(HeaderSize + ReservedSize);
    Image.SetPixelFormat(bf8Bit);
    const std::string& paletteFile = Image.paletteFileName_;
    Image.SetPalette(!paletteFile.empty() && FileExists(paletteFile) ? ReadPaletteFile(paletteFile)
                                                                     : GrayRamp());
    Load.RequireExpansion(CheckedMul(Header.Width, Header.Height), LargestExpansion);
    Image.SetSize(Header.Width, Header.Height);
    Load.BeginTransfer();
    if (!Image.Empty()) DecodeRows();
    Load.Finish();
}

void TCUTGraphic::TCUTLoad::DecodeRows() {
    // The rows follow each other up to the end of the file; the decoder leaves the input just
    // past each row's end byte.
    TBudgetVector<uint8_t> coded = Load.Buffer(0);
    const uint64_t stored = Load.Remaining();
    if (stored > uint64_t(std::numeric_limits<int32_t>::max())) Load.Fail(msgSizeOverflow);
    Load.ReadBlock(coded, size_t(stored));
    const uint8_t* input = coded.data();
    const uint8_t* const end = coded.data() + coded.size();
    TCUTRLEDecoder decoder;
    for (int32_t y = 0; y < Header.Height; ++y) {
        if (input >= end) Load.Fail(msgUnexpectedEnd);
        const uint8_t* const rowStart = input;
        const std::span<uint8_t> line = Image.ScanLineSpan(y);
        uint8_t* output = line.data();
        decoder.Decode(input, output, int32_t(end - input),
                       int32_t(std::min<size_t>(Header.Width, line.size())));
        if (input == end) CheckLastRow(rowStart, end);
        Load.Row(y);
    }
}

void TCUTGraphic::TCUTLoad::CheckLastRow(const uint8_t* rowStart, const uint8_t* end) const {
    TByteReader row(rowStart, size_t(end - rowStart));
    const size_t stated = row.Remaining() >= 2 ? row.LE16() : 0;
    if (end[-1] != 0 || size_t(end - rowStart) < stated + 2) Load.Fail(msgUnexpectedEnd);
}

void TCUTGraphic::DecodeImage(TStream& stream) {
    TCUTHeader header;
    TLoad load(*this, stream, FormatName, [&] {
        header = ReadHeader(stream, ImageProperties);
        return true;
    });
    TCUTLoad(*this, load, header).Run();
}
