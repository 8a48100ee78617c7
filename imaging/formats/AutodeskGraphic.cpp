// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage     the magic is not Autodesk's, or the file ends inside the header
//   msgUnexpectedEnd    the file ends before its palette or its rows
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/AutodeskGraphic.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <optional>
#include <vector>

DEFINE_GRAPHIC_CLASS(TAutodeskGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "Autodesk";
constexpr size_t HeaderSize = 32;
constexpr uint16_t Magic = 0x9119;
constexpr size_t PaletteEntries = 256;

enum class TAutodeskCompression : uint8_t { None = 0 };

// The 32-byte header of Autodesk Animator cels and pictures, as the public description of the
// Animator file formats gives it.
struct TAutodeskHeader {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t BitsPerPixel = 0;
    TAutodeskCompression Compression{};
};

// The header, or nothing when the magic does not match.
std::optional<TAutodeskHeader> ParseHeader(TByteReader& reader) {
    if (reader.LE16() != Magic) return std::nullopt;
    TAutodeskHeader header;
    header.Width = reader.LE16();
    header.Height = reader.LE16();
    reader.Skip(4); // origin
    header.BitsPerPixel = reader.U8();
    header.Compression = TAutodeskCompression(reader.U8());
    reader.Skip(20);
    return header;
}

// The header and what it tells of the image, or nothing when the stream ends first or the
// magic does not match.
std::optional<TAutodeskHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    const std::optional<TAutodeskHeader> header = ReadHeaderBytes<HeaderSize>(stream, ParseHeader);
    if (!header) return std::nullopt;
    properties.ColorModel = cmPalette;
    properties.Width = header->Width;
    properties.Height = header->Height;
    properties.BitsPerSample = 8;
    properties.SamplesPerPixel = 1;
    properties.BitsPerPixel = 8;
    properties.Compression = ckNone;
    return header;
}

} // namespace

bool TAutodeskGraphic::Recognize(TStream& stream) {
    // Only the 8-bit uncompressed kind, followed by data, is taken for this format.
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TAutodeskHeader> header = ParseHeader(reader);
        if (header &&
            (header->BitsPerPixel != 8 || header->Compression != TAutodeskCompression::None))
            header.reset();
        return header;
    });
}

bool TAutodeskGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

void TAutodeskGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName,
               [&] { return ReadHeader(stream, ImageProperties).has_value(); });
    load.BeginTransfer();

    // 256 entries of red, green, blue, each 0 to 63, shifted to the top of its byte.
    uint8_t map[3 * PaletteEntries];
    load.Read(map, sizeof(map));
    std::vector<TRGBQuad> entries(PaletteEntries);
    for (size_t i = 0; i < PaletteEntries; ++i) {
        entries[i].rgbRed = uint8_t(map[3 * i] << 2);
        entries[i].rgbGreen = uint8_t(map[3 * i + 1] << 2);
        entries[i].rgbBlue = uint8_t(map[3 * i + 2] << 2);
    }

    const size_t width = ImageProperties.Width, height = ImageProperties.Height;
    load.RequireBytes(CheckedMul(width, height));
    SetPixelFormat(bf8Bit);
    SetPalette(TPalette(std::move(entries)));
    SetSize(int32_t(width), int32_t(height));
    for (int32_t y = 0; y < int32_t(height) && width != 0; ++y) {
        load.Read(ScanLineSpan(y).data(), width);
        load.Row(y);
    }
    load.Finish();
}
