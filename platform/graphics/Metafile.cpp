#include "platform/graphics/Metafile.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <cstdlib>

namespace {

constexpr uint32_t WMFKey = 0x9AC6CDD7;       // placeable metafile header
constexpr uint32_t EMRHeader = 1;             // record type of the EMF header
constexpr uint32_t EMFSignature = 0x464D4520; // " EMF"
constexpr size_t PlaceableHeaderSize = 22;
constexpr size_t EMFHeaderSize = 88; // the header up to and including szlMillimeters
constexpr int ScreenLogPixels = 96;
constexpr int HundredthMMPerInch = 2540;

[[noreturn]] void InvalidMetafile() {
    throw EInvalidGraphic(msgInvalidMetafile);
}

// a * b / c rounded to nearest, in 64 bits.
int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
    const int64_t p = a * b;
    return (p >= 0 ? p + c / 2 : p - c / 2) / c;
}

int32_t ToInt32(int64_t v) {
    if (v < 0 || v > INT32_MAX) InvalidMetafile();
    return static_cast<int32_t>(v);
}

} // namespace

DEFINE_GRAPHIC_CLASS(TMetafile, TGraphic)

void TMetafile::LoadFromStream(TStream& stream) {
    width_ = height_ = mmWidth_ = mmHeight_ = 0;
    const int64_t start = stream.Position();
    uint8_t key[4];
    if (stream.Read(key, 4) != 4) InvalidMetafile();
    stream.SetPosition(start);
    const uint32_t first = TByteReader(key, 4).LE32();
    if (first == WMFKey)
        ReadWMF(stream);
    else if (first == EMRHeader)
        ReadEMF(stream);
    else
        InvalidMetafile();
}

void TMetafile::ReadWMF(TStream& stream) {
    const int64_t available = stream.Remaining();
    uint8_t header[PlaceableHeaderSize];
    if (stream.Read(header, sizeof header) != sizeof header) InvalidMetafile();
    TByteReader r(header, sizeof header);
    r.Skip(4 + 2); // key, handle
    const auto left = int16_t(r.LE16()), top = int16_t(r.LE16());
    const auto right = int16_t(r.LE16()), bottom = int16_t(r.LE16());
    const uint16_t inch = r.LE16();
    r.Skip(4); // reserved
    const uint16_t checksum = r.LE16();
    uint16_t sum = 0;
    for (size_t i = 0; i < 10; ++i) sum ^= uint16_t(header[2 * i] | (header[2 * i + 1] << 8));
    if (inch == 0 || sum != checksum) InvalidMetafile();
    // The standard metafile header follows: type 1 or 2, header size 9 words.
    uint8_t meta[18];
    if (stream.Read(meta, sizeof meta) != sizeof meta) InvalidMetafile();
    TByteReader m(meta, sizeof meta);
    const uint16_t type = m.LE16(), headerWords = m.LE16();
    m.Skip(2); // version
    const uint64_t metaBytes = uint64_t(m.LE32()) * 2;
    if ((type != 1 && type != 2) || headerWords != 9 || metaBytes < sizeof meta ||
        metaBytes > uint64_t(available) - PlaceableHeaderSize)
        InvalidMetafile();
    enhanced_ = false;
    mmWidth_ = ToInt32(MulDiv(std::abs(int32_t(right) - left), HundredthMMPerInch, inch));
    mmHeight_ = ToInt32(MulDiv(std::abs(int32_t(bottom) - top), HundredthMMPerInch, inch));
    width_ = ToInt32(MulDiv(std::abs(int32_t(right) - left), ScreenLogPixels, inch));
    height_ = ToInt32(MulDiv(std::abs(int32_t(bottom) - top), ScreenLogPixels, inch));
    stream.Seek(int64_t(metaBytes - sizeof meta), TSeekOrigin::soCurrent);
}

void TMetafile::ReadEMF(TStream& stream) {
    const int64_t available = stream.Remaining();
    uint8_t header[EMFHeaderSize];
    if (stream.Read(header, sizeof header) != sizeof header) InvalidMetafile();
    TByteReader r(header, sizeof header);
    const uint32_t type = r.LE32(), size = r.LE32();
    r.Skip(16); // rclBounds
    const auto frameLeft = int32_t(r.LE32()), frameTop = int32_t(r.LE32());
    const auto frameRight = int32_t(r.LE32()), frameBottom = int32_t(r.LE32());
    const uint32_t signature = r.LE32();
    r.Skip(4); // version
    const uint32_t bytes = r.LE32();
    if (type != EMRHeader || signature != EMFSignature || size < EMFHeaderSize || size > bytes ||
        int64_t(bytes) > available)
        InvalidMetafile();
    // The frame is inclusive, in hundredths of a millimetre.
    const int64_t mmWidth = std::abs(int64_t(frameRight) - frameLeft);
    const int64_t mmHeight = std::abs(int64_t(frameBottom) - frameTop);
    enhanced_ = true;
    mmWidth_ = ToInt32(mmWidth);
    mmHeight_ = ToInt32(mmHeight);
    width_ = ToInt32(MulDiv(mmWidth, ScreenLogPixels, HundredthMMPerInch));
    height_ = ToInt32(MulDiv(mmHeight, ScreenLogPixels, HundredthMMPerInch));
    stream.Seek(int64_t(bytes) - int64_t(EMFHeaderSize), TSeekOrigin::soCurrent);
}
