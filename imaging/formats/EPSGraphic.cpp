// Messages raised here (platform/graphics/ImageMessages.h): msgInvalidImage with "EPS" (no
// binary header) and msgCannotSave; past the header the TIFF reader's.
#include "imaging/formats/EPSGraphic.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <optional>

DEFINE_GRAPHIC_CLASS(TEPSGraphic, TTIFFGraphic)

namespace {

constexpr const char* FormatName = "EPS";
constexpr size_t HeaderSize = 30;
constexpr uint32_t Magic = 0xC6D3D0C5;

// The binary header of Encapsulated PostScript files that carry a preview, as the public EPSF
// format description (version 3.0) gives it.
struct TEPSHeader {
    uint32_t PostScriptOffset = 0;
    uint32_t PostScriptLength = 0;
    uint32_t MetafileOffset = 0;
    uint32_t MetafileLength = 0;
    uint32_t TIFFOffset = 0; // from the start of the header
    uint32_t TIFFLength = 0;
};

// The header, or nothing when the magic does not match.
std::optional<TEPSHeader> ParseHeader(TByteReader& reader) {
    if (reader.LE32() != Magic) return std::nullopt;
    TEPSHeader header;
    header.PostScriptOffset = reader.LE32();
    header.PostScriptLength = reader.LE32();
    header.MetafileOffset = reader.LE32();
    header.MetafileLength = reader.LE32();
    header.TIFFOffset = reader.LE32();
    header.TIFFLength = reader.LE32();
    reader.Skip(2); // checksum
    return header;
}

} // namespace

bool TEPSGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TEPSHeader> header = ParseHeader(reader);
        if (header && (header->TIFFOffset <= HeaderSize || header->TIFFLength == 0)) header.reset();
        return header;
    });
}

void TEPSGraphic::DecodeImage(TStream& stream) {
    const int64_t start = stream.Position();
    const std::optional<TEPSHeader> header = ReadHeaderBytes<HeaderSize>(stream, ParseHeader);
    if (!header) {
        ReleaseImage();
        throw EInvalidGraphic(FormatImageMessage(msgInvalidImage, FormatName));
    }
    stream.SetPosition(start + int64_t(header->TIFFOffset));
    TTIFFGraphic::DecodeImage(stream);
}

void TEPSGraphic::EncodeImage(TStream&) {
    throw EInvalidGraphic(FormatImageMessage(msgCannotSave, FormatName));
}
