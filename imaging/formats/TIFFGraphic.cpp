#include "imaging/formats/TIFFGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/DeflateDecoder.h"
#include "imaging/codecs/FaxDecoders.h"
#include "imaging/codecs/LZWDecoders.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/codecs/TIFFJPEGDecoder.h"
#include "imaging/codecs/ThunderDecoder.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Messages raised here (all of platform/graphics/ImageMessages.h):
// - msgInvalidImage: not a TIFF, version not 42, no such image, width or height 0;
// - msgUnsupportedFeature with msgCompressionScheme (no decoder for the scheme), msgTIFFPredictor,
//   msgTIFFSubsampling or msgTIFFSampleDepth;
// - msgTruncatedPart with msgTIFFDirectory, msgTIFFStripOffsets, ... (a table the file does not
//   hold); msgBadValue with msgTIFFBitsPerSample, msgTIFFSamplesPerPixel, msgTIFFRowsPerStrip;
// - msgTIFFNoImageData (neither strip nor tile offsets), msgInvalidSize, msgDataTooShort (the
//   file cannot hold the image it states);
// - msgInvalidSampleCount and msgConversionFailed (EColorConversionError) for sample layouts the
//   colour manager has no converter for.
// Decoder and colour manager errors pass through.

DEFINE_GRAPHIC_CLASS(TTIFFGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "TIF/TIFF";
constexpr size_t HeaderSize = 8;
constexpr size_t EntrySize = 12;
constexpr uint16_t TIFFVersion = 42;

enum class TTag : uint16_t {
    ImageWidth = 256,
    ImageLength = 257,
    BitsPerSample = 258,
    Compression = 259,
    Photometric = 262,
    FillOrder = 266,
    StripOffsets = 273,
    SamplesPerPixel = 277,
    RowsPerStrip = 278,
    StripByteCounts = 279,
    XResolution = 282,
    YResolution = 283,
    PlanarConfig = 284,
    T4Options = 292,
    ResolutionUnit = 296,
    Predictor = 317,
    ColorMap = 320,
    TileWidth = 322,
    TileLength = 323,
    TileOffsets = 324,
    TileByteCounts = 325,
    ExtraSamples = 338,
    JPEGTables = 347,
    YCbCrCoefficients = 529,
    YCbCrSubSampling = 530,
};

enum class TFieldType : uint16_t {
    Byte = 1,
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    SByte = 6,
    Undefined = 7,
    SShort = 8,
    SLong = 9,
    SRational = 10,
    Float = 11,
    Double = 12,
};

enum class TPhotometric : uint32_t {
    WhiteIsZero = 0,
    BlackIsZero = 1,
    RGB = 2,
    Palette = 3,
    Separated = 5,
    YCbCr = 6,
    CIELab = 8,
};

enum class TCompressionTag : uint32_t {
    None = 1,
    CCITTHuffman = 2,
    Fax3 = 3,
    Fax4 = 4,
    LZW = 5,
    OldJPEG = 6,
    JPEG = 7,
    AdobeDeflate = 8,
    NeXT = 32766,
    CCITTHuffmanWord = 32771,
    PackBits = 32773,
    Thunderscan = 32809,
    IT8CTPad = 32895,
    IT8LW = 32896,
    IT8MP = 32897,
    IT8BL = 32898,
    PixarFilm = 32908,
    PixarLog = 32909,
    Deflate = 32946,
    KodakDCS = 32947,
    JBIG = 34661,
};

enum class TResolutionUnit : uint32_t { Inch = 2, Centimetre = 3 };
enum class TPredictor : uint32_t { Absent = 0, None = 1, Horizontal = 2 };
enum class TPlanarConfig : uint32_t { Contiguous = 1, Separate = 2 };
enum class TFillOrder : uint32_t { HighBitFirst = 1, LowBitFirst = 2 };

// RowsPerStrip: the whole image is one strip.
constexpr uint32_t AllRows = 0xFFFFFFFF;
// Header lists (BitsPerSample, ExtraSamples, ...) are read up to this many values.
constexpr size_t HeaderListLimit = 1024;
// RowsPerStrip values kept in the properties; strips beyond take the last one.
constexpr size_t RowsPerStripLimit = 4096;
// Uncompressed strips are read a few rows at a time, about this many bytes.
constexpr size_t StoredChunkBytes = 128 * 1024;

// The most a scheme expands its data, for the check that the file can hold the image it
// states: PackBits repeats a byte 128 times for 2; an LZW code of 12 bits gives up to 3839
// bytes; deflate at most 1032 to 1; a one-dimensional fax row of white takes at least a
// make-up and a terminating code (the largest ratio, about 213, is for rows just over 1664
// pixels); ThunderScan repeats 63 samples per byte; a baseline JPEG block takes at least two
// bits per component.
uint64_t ExpansionRatio(TCompressionKind compression) {
    switch (compression) {
    case ckNone:
        return 1;
    case ckPackBits:
        return 64;
    case ckLZW:
        return 2560;
    case ckDeflate:
        return 1032;
    case ckFax3:
    case ckFaxHuffman:
    case ckFaxHuffmanWord:
        return 256;
    case ckThunderscan:
        return 32;
    case ckJPEG:
        return 2048;
    default:
        return 0;
    }
}

size_t TypeSize(uint16_t type) {
    switch (TFieldType(type)) {
    case TFieldType::Byte:
    case TFieldType::Ascii:
    case TFieldType::SByte:
    case TFieldType::Undefined:
        return 1;
    case TFieldType::Short:
    case TFieldType::SShort:
        return 2;
    case TFieldType::Long:
    case TFieldType::SLong:
    case TFieldType::Float:
        return 4;
    case TFieldType::Rational:
    case TFieldType::SRational:
    case TFieldType::Double:
        return 8;
    }
    return 0;
}

bool IsIntegerType(uint16_t type) {
    switch (TFieldType(type)) {
    case TFieldType::Byte:
    case TFieldType::SByte:
    case TFieldType::Short:
    case TFieldType::SShort:
    case TFieldType::Long:
    case TFieldType::SLong:
        return true;
    default:
        return false;
    }
}

// --- The file header ---

struct TTIFFHeader {
    bool BigEndian = false;
    uint16_t Version = 0;
    uint32_t FirstIFD = 0;
};

// The header, or nothing when the byte-order mark is neither "II" nor "MM".
std::optional<TTIFFHeader> ParseHeader(TByteReader& reader) {
    const uint8_t first = reader.U8(), second = reader.U8();
    if (first != second || (first != 'I' && first != 'M')) return std::nullopt;
    TTIFFHeader header;
    header.BigEndian = first == 'M';
    header.Version = reader.U16(header.BigEndian);
    header.FirstIFD = reader.U32(header.BigEndian);
    return header;
}

// --- Directories ---

struct TEntry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    // The value field as stored: the values themselves when they fit, else their offset.
    std::array<uint8_t, 4> Field{};
};

[[noreturn]] void FailTruncated(const char* part) {
    throw EInvalidGraphic(FormatImageMessage(msgTruncatedPart, FormatName, part));
}

// One image file directory of a file that starts at `origin` in the stream: its entries sorted
// by tag, and readers of the values they hold or point to. Every value read outside the entry
// is checked against the bytes the file holds.
class TDirectory {
public:
    TDirectory(TStream& stream, int64_t origin, bool bigEndian)
        : stream_(&stream), origin_(origin), bigEndian_(bigEndian),
          size_(uint64_t(std::max<int64_t>(stream.Size() - origin, 0))) {}

    bool BigEndian() const { return bigEndian_; }
    // Bytes of the file from its start to the end of the stream.
    uint64_t FileSize() const { return size_; }

    // Reads the directory at `offset`: its entries and the offset of the next one (0 when the
    // file ends before it). Raises msgTruncatedPart when the file does not hold the entries.
    void Read(uint32_t offset) {
        const uint16_t count = ReadCount(offset);
        const size_t bytes = size_t(count) * EntrySize;
        std::vector<uint8_t> table(bytes);
        ReadAt(uint64_t(offset) + 2, table.data(), bytes);
        entries_.resize(count);
        TByteReader reader(table.data(), bytes);
        for (TEntry& entry : entries_) {
            entry.Tag = reader.U16(bigEndian_);
            entry.Type = reader.U16(bigEndian_);
            entry.Count = reader.U32(bigEndian_);
            reader.Read(entry.Field.data(), 4);
        }
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const TEntry& a, const TEntry& b) { return a.Tag < b.Tag; });
        next_ = 0;
        const uint64_t nextAt = uint64_t(offset) + 2 + bytes;
        if (nextAt + 4 <= size_) {
            uint8_t field[4];
            ReadAt(nextAt, field, 4);
            TByteReader next(field, 4);
            next_ = next.U32(bigEndian_);
        }
    }
    // The offset of the directory after the one at `offset`, reading only its entry count and
    // link.
    uint32_t NextAfter(uint32_t offset) const {
        const uint16_t count = ReadCount(offset);
        uint8_t field[4];
        ReadAt(uint64_t(offset) + 2 + uint64_t(count) * EntrySize, field, 4);
        TByteReader reader(field, 4);
        return reader.U32(bigEndian_);
    }
    uint32_t Next() const { return next_; }

    const TEntry* Find(TTag tag) const {
        const auto it = std::lower_bound(
            entries_.begin(), entries_.end(), uint16_t(tag),
            [](const TEntry& entry, uint16_t wanted) { return entry.Tag < wanted; });
        return it != entries_.end() && it->Tag == uint16_t(tag) ? &*it : nullptr;
    }

    // The first value of an integer entry; `fallback` when the tag is absent, holds no value,
    // is of another type or points outside the file.
    uint32_t Value(TTag tag, uint32_t fallback) const {
        const TEntry* entry = Find(tag);
        if (!entry || entry->Count == 0 || !IsIntegerType(entry->Type)) return fallback;
        uint8_t bytes[4];
        if (!ValueBytes(*entry, 1, bytes)) return fallback;
        return IntegerAt(bytes, entry->Type, 0);
    }

    // Up to `limit` values of an integer entry (none for other types or values outside the
    // file).
    std::vector<uint32_t> Values(TTag tag, size_t limit) const {
        std::vector<uint32_t> values;
        const TEntry* entry = Find(tag);
        if (!entry || !IsIntegerType(entry->Type)) return values;
        const size_t count = std::min<size_t>(entry->Count, limit);
        std::vector<uint8_t> bytes(count * TypeSize(entry->Type));
        if (!ValueBytes(*entry, count, bytes.data())) return values;
        values.resize(count);
        for (size_t i = 0; i < count; ++i) values[i] = IntegerAt(bytes.data(), entry->Type, i);
        return values;
    }

    // Up to `limit` values as floats: integers converted, rationals divided (both terms read
    // as unsigned; a zero denominator gives 0), floats and doubles as stored.
    std::vector<float> Floats(TTag tag, size_t limit) const {
        std::vector<float> values;
        const TEntry* entry = Find(tag);
        if (!entry || TypeSize(entry->Type) == 0) return values;
        const size_t count = std::min<size_t>(entry->Count, limit);
        const size_t size = TypeSize(entry->Type);
        std::vector<uint8_t> bytes(count * size);
        if (!ValueBytes(*entry, count, bytes.data())) return values;
        for (size_t i = 0; i < count; ++i) {
            TByteReader reader(bytes.data() + i * size, size);
            switch (TFieldType(entry->Type)) {
            case TFieldType::Rational:
            case TFieldType::SRational: {
                const uint32_t numerator = reader.U32(bigEndian_);
                const uint32_t denominator = reader.U32(bigEndian_);
                values.push_back(denominator ? float(double(numerator) / denominator) : 0.0f);
                break;
            }
            case TFieldType::Float: {
                const uint32_t bits = reader.U32(bigEndian_);
                float value;
                std::memcpy(&value, &bits, 4);
                values.push_back(value);
                break;
            }
            case TFieldType::Double: {
                const uint64_t high = reader.U32(bigEndian_), low = reader.U32(bigEndian_);
                const uint64_t bits = bigEndian_ ? (high << 32 | low) : (low << 32 | high);
                double value;
                std::memcpy(&value, &bits, 8);
                values.push_back(float(value));
                break;
            }
            case TFieldType::Ascii:
            case TFieldType::Undefined:
                return {};
            default:
                values.push_back(float(IntegerAt(bytes.data(), entry->Type, i)));
                break;
            }
        }
        return values;
    }

    // One float from an entry of one value; `fallback` otherwise.
    float Float(TTag tag, float fallback) const {
        const TEntry* entry = Find(tag);
        if (!entry || entry->Count != 1) return fallback;
        const std::vector<float> values = Floats(tag, 1);
        return values.empty() ? fallback : values[0];
    }

    // All values of `entry` as 32-bit integers into `values` (charged to its budget). Raises
    // msgTruncatedPart with `part` when the file does not hold them; entries of other types
    // give none.
    void Integers(const TEntry& entry, TBudgetVector<uint32_t>& values, TMemoryBudget& budget,
                  const char* part) const {
        values.Resize(0);
        if (!IsIntegerType(entry.Type)) return;
        TBudgetVector<uint8_t> bytes(budget);
        RawValues(entry, bytes, part);
        values.Resize(entry.Count);
        const uint8_t* p = bytes.data();
        switch (TypeSize(entry.Type)) {
        case 1:
            for (size_t i = 0; i < entry.Count; ++i) values[i] = p[i];
            break;
        case 2:
            for (size_t i = 0; i < entry.Count; ++i)
                values[i] = bigEndian_ ? uint32_t(p[2 * i] << 8 | p[2 * i + 1])
                                       : uint32_t(p[2 * i] | p[2 * i + 1] << 8);
            break;
        default:
            for (size_t i = 0; i < entry.Count; ++i) {
                TByteReader reader(p + 4 * i, 4);
                values[i] = reader.U32(bigEndian_);
            }
            break;
        }
    }

    // The bytes of all values of `entry`, as stored, into `out` (charged to its budget).
    // Raises msgTruncatedPart with `part` when the file does not hold them.
    void RawValues(const TEntry& entry, TBudgetVector<uint8_t>& out, const char* part) const {
        const uint64_t size = uint64_t(entry.Count) * TypeSize(entry.Type);
        if (size > 4 && !Holds(Offset(entry), size)) FailTruncated(part);
        out.Resize(size_t(size));
        if (!ValueBytes(entry, entry.Count, out.data())) FailTruncated(part);
    }

private:
    uint32_t Offset(const TEntry& entry) const {
        TByteReader reader(entry.Field.data(), 4);
        return reader.U32(bigEndian_);
    }
    bool Holds(uint64_t offset, uint64_t size) const {
        return offset <= size_ && size <= size_ - offset;
    }
    void ReadAt(uint64_t offset, uint8_t* out, size_t size) const {
        if (!Holds(offset, size)) FailTruncated(msgTIFFDirectory);
        stream_->SetPosition(origin_ + int64_t(offset));
        stream_->ReadBuffer(out, size);
    }
    uint16_t ReadCount(uint32_t offset) const {
        uint8_t field[2];
        ReadAt(offset, field, 2);
        const uint16_t count =
            bigEndian_ ? uint16_t(field[0] << 8 | field[1]) : uint16_t(field[0] | field[1] << 8);
        if (!Holds(uint64_t(offset) + 2, uint64_t(count) * EntrySize))
            FailTruncated(msgTIFFDirectory);
        return count;
    }
    // The bytes of the first `count` values of `entry`: from the value field when all values
    // fit in it, else from the file. False when the file does not hold them.
    bool ValueBytes(const TEntry& entry, size_t count, uint8_t* out) const {
        const uint64_t all = uint64_t(entry.Count) * TypeSize(entry.Type);
        const size_t size = count * TypeSize(entry.Type);
        if (all <= 4) {
            if (size != 0) std::memcpy(out, entry.Field.data(), size);
            return true;
        }
        const uint64_t offset = Offset(entry);
        if (!Holds(offset, size)) return false;
        if (size == 0) return true;
        stream_->SetPosition(origin_ + int64_t(offset));
        stream_->ReadBuffer(out, size);
        return true;
    }
    uint32_t IntegerAt(const uint8_t* bytes, uint16_t type, size_t index) const {
        const size_t size = TypeSize(type);
        TByteReader reader(bytes + index * size, size);
        switch (size) {
        case 1:
            return reader.U8();
        case 2:
            return reader.U16(bigEndian_);
        default:
            return reader.U32(bigEndian_);
        }
    }

    TStream* stream_;
    int64_t origin_;
    bool bigEndian_;
    uint64_t size_;
    std::vector<TEntry> entries_;
    uint32_t next_ = 0;
};

// The offset of directory number `index` of the chain from `first`, or nothing when the chain
// ends or loops before it. A loop is caught by comparing with a saved offset that is moved up
// to the current one after 1, 2, 4, ... steps, so no chain of any length is walked forever.
std::optional<uint32_t> DirectoryOffset(const TDirectory& directory, uint32_t first,
                                        uint32_t index) {
    uint32_t offset = first, saved = first;
    uint64_t steps = 0, power = 1;
    for (uint32_t i = 0; i < index; ++i) {
        offset = directory.NextAfter(offset);
        if (offset == 0 || offset == saved) return std::nullopt;
        if (++steps == power) {
            saved = offset;
            power *= 2;
            steps = 0;
        }
    }
    return offset;
}

TCompressionKind CompressionKind(uint32_t value) {
    switch (TCompressionTag(value)) {
    case TCompressionTag::None:
        return ckNone;
    case TCompressionTag::CCITTHuffman:
        return ckFaxHuffman;
    case TCompressionTag::Fax3:
        return ckFax3;
    case TCompressionTag::Fax4:
        return ckFax4;
    case TCompressionTag::LZW:
        return ckLZW;
    case TCompressionTag::OldJPEG:
        return ckOldJPEG;
    case TCompressionTag::JPEG:
        return ckJPEG;
    case TCompressionTag::AdobeDeflate:
    case TCompressionTag::Deflate:
        return ckDeflate;
    case TCompressionTag::NeXT:
        return ckNeXT;
    case TCompressionTag::CCITTHuffmanWord:
        return ckFaxHuffmanWord;
    case TCompressionTag::PackBits:
        return ckPackBits;
    case TCompressionTag::Thunderscan:
        return ckThunderscan;
    case TCompressionTag::IT8CTPad:
        return ckIT8CTPad;
    case TCompressionTag::IT8LW:
        return ckIT8LW;
    case TCompressionTag::IT8MP:
        return ckIT8MP;
    case TCompressionTag::IT8BL:
        return ckIT8BL;
    case TCompressionTag::PixarFilm:
        return ckPixarFilm;
    case TCompressionTag::PixarLog:
        return ckPixarLog;
    case TCompressionTag::KodakDCS:
        return ckKodakDCS;
    case TCompressionTag::JBIG:
        return ckJBIG;
    }
    return ckUnknown;
}

TColorModel ColorModelOf(uint32_t photometric, uint32_t samplesPerPixel) {
    switch (TPhotometric(photometric)) {
    case TPhotometric::WhiteIsZero:
    case TPhotometric::BlackIsZero:
        return cmGray;
    case TPhotometric::RGB:
        return samplesPerPixel < 4 ? cmRGB : cmRGBAlpha;
    case TPhotometric::Palette:
        return cmPalette;
    case TPhotometric::Separated:
        return cmCMYK;
    case TPhotometric::YCbCr:
        return cmYCbCr;
    case TPhotometric::CIELab:
        return cmCIELab;
    }
    return cmUnknown;
}

// --- Row helpers ---

// Undoes horizontal differencing on one row of `pixels` pixels of `samples` samples: each
// sample adds the one a pixel to its left, wrapping at the sample size; 16-bit samples are in
// the file's byte order.
void UndoPredictor(uint8_t* row, size_t pixels, size_t samples, unsigned bits, bool bigEndian) {
    if (pixels < 2) return;
    const size_t count = pixels * samples;
    if (bits == 8) {
        switch (samples) {
        case 1: {
            uint8_t a = row[0];
            for (size_t i = 1; i < count; ++i) row[i] = a = uint8_t(a + row[i]);
            break;
        }
        case 3: {
            uint8_t r = row[0], g = row[1], b = row[2];
            for (size_t i = 3; i < count; i += 3) {
                row[i] = r = uint8_t(r + row[i]);
                row[i + 1] = g = uint8_t(g + row[i + 1]);
                row[i + 2] = b = uint8_t(b + row[i + 2]);
            }
            break;
        }
        case 4: {
            uint32_t previous;
            std::memcpy(&previous, row, 4);
            for (size_t i = 4; i < count; i += 4) {
                uint32_t current;
                std::memcpy(&current, row + i, 4);
                // Four byte lanes added without carries between them.
                const uint32_t low = (current & 0x7F7F7F7Fu) + (previous & 0x7F7F7F7Fu);
                previous = low ^ ((current ^ previous) & 0x80808080u);
                std::memcpy(row + i, &previous, 4);
            }
            break;
        }
        default:
            for (size_t i = samples; i < count; ++i) row[i] = uint8_t(row[i] + row[i - samples]);
            break;
        }
        return;
    }
    const auto load = [bigEndian](const uint8_t* p) {
        return bigEndian ? unsigned(p[0] << 8 | p[1]) : unsigned(p[0] | p[1] << 8);
    };
    const auto store = [bigEndian](uint8_t* p, unsigned v) {
        p[bigEndian ? 0 : 1] = uint8_t(v >> 8);
        p[bigEndian ? 1 : 0] = uint8_t(v);
    };
    for (size_t i = samples; i < count; ++i)
        store(row + 2 * i, load(row + 2 * i) + load(row + 2 * (i - samples)));
}

// Reverses the bit order of every byte (fill order 2 data).
void ReverseBits(uint8_t* data, size_t size) {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned r = 0;
            for (unsigned b = 0; b < 8; ++b)
                if (i & (1u << b)) r |= 0x80u >> b;
            t[i] = uint8_t(r);
        }
        return t;
    }();
    for (size_t i = 0; i < size; ++i) data[i] = table[data[i]];
}

// Unpacks `count` samples of `bits` bits (a bit stream, most significant bit first) into 8-bit
// samples (`wide` false) or 16-bit samples in this machine's byte order. With `scale` each takes
// v * max div (2^bits - 1) of the wider range; without, it keeps its value.
void UnpackSamples(const uint8_t* source, size_t count, unsigned bits, bool wide, bool scale,
                   uint8_t* target) {
    const uint32_t sourceMax = (1u << bits) - 1;
    const uint32_t targetMax = wide ? 65535u : 255u;
    uint64_t accumulator = 0;
    unsigned held = 0;
    for (size_t i = 0; i < count; ++i) {
        while (held < bits) {
            accumulator = accumulator << 8 | *source++;
            held += 8;
        }
        held -= bits;
        uint32_t v = uint32_t(accumulator >> held) & sourceMax;
        if (scale) v = v * targetMax / sourceMax;
        if (wide) {
            const uint16_t w = uint16_t(v);
            std::memcpy(target + 2 * i, &w, 2);
        } else {
            target[i] = uint8_t(v);
        }
    }
}

// Copies `bits` bits from the start of `source` into `target` from bit `offset` on (most
// significant bit first), OR-ing them into bytes that are 0 there.
void PlaceBits(uint8_t* target, size_t offset, const uint8_t* source, size_t bits) {
    uint8_t* out = target + offset / 8;
    const unsigned shift = unsigned(offset % 8);
    for (size_t i = 0; i * 8 < bits; ++i) {
        const size_t left = bits - i * 8;
        uint8_t value = source[i];
        if (left < 8) value = uint8_t(value & (0xFF00u >> left));
        out[i] |= uint8_t(value >> shift);
        if (shift && left > 8 - shift) out[i + 1] |= uint8_t(value << (8 - shift));
    }
}

// One stored row of YCbCr data units (h x v luma samples, then one Cb and one Cr, 8 bits each)
// as v rows of `width` pixels of interleaved luma and chroma: every pixel of a unit takes its
// unit's chroma.
void UpsampleUnits(const uint8_t* units, uint32_t width, unsigned h, unsigned v, uint8_t* rows) {
    const size_t unitBytes = size_t(h) * v + 2;
    const size_t rowBytes = size_t(width) * 3;
    for (uint32_t x0 = 0, u = 0; x0 < width; x0 += h, ++u) {
        const uint8_t* unit = units + u * unitBytes;
        const uint8_t cb = unit[h * v], cr = unit[h * v + 1];
        const unsigned columns = std::min<uint32_t>(h, width - x0);
        for (unsigned r = 0; r < v; ++r) {
            uint8_t* out = rows + r * rowBytes + size_t(x0) * 3;
            for (unsigned c = 0; c < columns; ++c) {
                out[3 * c] = unit[r * h + c];
                out[3 * c + 1] = cb;
                out[3 * c + 2] = cr;
            }
        }
    }
}

int32_t CheckedInt32(size_t value) {
    if (value > size_t(std::numeric_limits<int32_t>::max())) throw EImageFault(msgSizeOverflow);
    return int32_t(value);
}

size_t CeilDiv(size_t a, size_t b) {
    return a / b + (a % b != 0);
}

} // namespace

// --- Recognition and the header ---

bool TTIFFGraphic::Recognize(TStream& stream) {
    const int64_t remaining = stream.Remaining();
    if (remaining <= int64_t(HeaderSize)) return false;
    uint8_t bytes[HeaderSize];
    if (PeekBytes(stream, bytes) != HeaderSize) return false;
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TTIFFHeader> header = ParseHeader(reader);
    return header && header->Version == TIFFVersion && int64_t(header->FirstIFD) < remaining;
}

bool TTIFFGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    const int64_t origin = stream.Position();
    uint8_t bytes[HeaderSize];
    if (stream.Read(bytes, HeaderSize) != HeaderSize) return false;
    TByteReader reader(bytes, HeaderSize);
    const std::optional<TTIFFHeader> header = ParseHeader(reader);
    if (!header) return false;

    TImageProperties& p = ImageProperties;
    if (header->BigEndian) p.Flags.Include(flBigEndian);
    p.Version = header->Version;
    p.FirstIFD = header->FirstIFD;
    if (p.Version != TIFFVersion) return false;

    TDirectory directory(stream, origin, header->BigEndian);
    const std::optional<uint32_t> offset = DirectoryOffset(directory, header->FirstIFD, index);
    if (!offset) return false;
    directory.Read(*offset);

    p.Width = directory.Value(TTag::ImageWidth, 0);
    p.Height = directory.Value(TTag::ImageLength, 0);
    if (p.Width == 0 || p.Height == 0) return false;

    std::vector<uint32_t> rows = directory.Values(TTag::RowsPerStrip, RowsPerStripLimit);
    if (rows.empty() || rows[0] == AllRows) rows.assign(1, p.Height);
    p.RowsPerStrip = std::move(rows);
    // Values past one byte keep their place in the byte (and so are rejected by the load).
    const uint32_t samples = directory.Value(TTag::SamplesPerPixel, 1);
    p.SamplesPerPixel = uint8_t(std::min<uint32_t>(samples, 255));
    const std::vector<uint32_t> bits = directory.Values(TTag::BitsPerSample, 1);
    p.BitsPerSample = uint8_t(std::min<uint32_t>(bits.empty() ? 1 : bits[0], 255));
    p.BitsPerPixel = uint8_t(std::min<uint32_t>(p.BitsPerSample * p.SamplesPerPixel, 255));
    p.TileWidth = directory.Value(TTag::TileWidth, 0);
    p.TileLength = directory.Value(TTag::TileLength, 0);
    if (p.TileWidth != 0 && p.TileLength != 0) p.Flags.Include(flTiled);

    const uint32_t photometric = directory.Value(TTag::Photometric, 0);
    p.ColorModel = ColorModelOf(photometric, samples);
    if (TPhotometric(photometric) == TPhotometric::WhiteIsZero) p.Flags.Include(flWhiteIsZero);
    const std::vector<uint32_t> extra = directory.Values(TTag::ExtraSamples, HeaderListLimit);
    p.HasAlpha = !extra.empty() &&
                 std::all_of(extra.begin(), extra.end(), [](uint32_t v) { return v <= 2; });
    p.Compression = CompressionKind(directory.Value(TTag::Compression, 1));

    if (p.ColorModel == cmYCbCr) {
        const std::vector<uint32_t> subsampling = directory.Values(TTag::YCbCrSubSampling, 2);
        if (subsampling.size() == 2)
            p.YCbCrSubSampling = {uint8_t(subsampling[0]), uint8_t(subsampling[1])};
        else
            p.YCbCrSubSampling = {2, 2};
    }
    p.JPEGColorMode = 0;
    p.JPEGTablesMode = 3;
    p.PlanarConfig = directory.Value(TTag::PlanarConfig, 0);
    p.XResolution = directory.Float(TTag::XResolution, 0);
    p.YResolution = directory.Float(TTag::YResolution, 0);
    if (TResolutionUnit(directory.Value(TTag::ResolutionUnit, 2)) == TResolutionUnit::Centimetre) {
        p.XResolution *= 2.54f;
        p.YResolution *= 2.54f;
    }
    p.Predictor = directory.Value(TTag::Predictor, 0);
    if (TFillOrder(directory.Value(TTag::FillOrder, 1)) == TFillOrder::LowBitFirst)
        p.Flags.Include(flLowBitFirst);
    return true;
}

// --- Loading ---

// The image as a grid of blocks (strips or tiles), one grid per plane, and what one stored
// row of a block holds.
//
// Strips are blocks as wide as the image; every strip has the first RowsPerStrip value of
// rows (the last strip fewer). A band is one strip, or one row of tiles, of every plane; the
// reader decodes one band at a time into its band buffer, whose rows are as wide as the
// band's blocks together (tiles reach past the image's right edge), and converts the image's
// rows from there. Subsampled YCbCr data is stored in units of h x v pixels, so that one stored
// row holds v image rows.
struct TTIFFGraphic::TTIFFLoad {
    TTIFFLoad(TTIFFGraphic& image, TLoad& load)
        : Image(image), Load(load), P(image.ImageProperties),
          Directory(load.Stream(), image.StreamStart, P.Flags.Contains(flBigEndian)),
          Offsets(load.Budget()), ByteCounts(load.Budget()), SortedOffsets(load.Budget()),
          Input(load.Budget()), Band(load.Budget()), Tile(load.Budget()), Unpacked(load.Budget()),
          Upsampled(load.Budget()) {}

    void Run();

private:
    void CheckSampleLayout();
    void SetUpColors();
    void SetUpLayout();
    void ReadTables();
    void SetPalette();
    std::unique_ptr<TDecoder> MakeDecoder();
    void DecodeBand(uint32_t band);
    void ReadStoredRows(uint32_t band, uint32_t firstStoredRow, uint32_t storedRows);
    void DecodeBlock(size_t block, uint8_t* target, size_t bytes, bool clear);
    std::span<const uint8_t> ReadCompressed(size_t block);
    bool StoredRowsInMemory(uint32_t band, uint32_t firstStoredRow, uint32_t storedRows,
                            std::array<const uint8_t*, 4>& planes);
    void DecodeStripIntoBitmap(uint32_t band);
    uint64_t ByteCount(size_t block);
    // Converts `rows` image rows from y0 on, stored rows of each plane from planes[p] on,
    // `stride` bytes apart.
    void ConvertRows(uint32_t y0, uint32_t rows, const std::array<const uint8_t*, 4>& planes,
                     size_t stride);
    void ConvertRow(uint32_t y, const std::array<const uint8_t*, 4>& rows, size_t rowBytes);
    std::array<const uint8_t*, 4> BandPlanes() const;

    TTIFFGraphic& Image;
    TLoad& Load;
    TImageProperties& P;
    TDirectory Directory;

    // The sample layout.
    uint32_t Width = 0, Height = 0;
    uint32_t Samples = 0;      // per pixel
    uint32_t Bits = 0;         // per sample
    uint32_t Planes = 1;       // stored apart (1 when interleaved)
    uint32_t PlaneSamples = 1; // samples per pixel within a plane
    uint32_t PlaneBits = 0;    // bits of one pixel within a plane
    bool Predictor = false;    // undo horizontal differencing
    bool Reversed = false;     // fill order 2 bytes to reverse before decoding
    bool Subsampled = false;   // YCbCr data units
    unsigned UnitWidth = 1;    // pixels across a YCbCr unit
    unsigned RowGroup = 1;     // image rows per stored row
    unsigned UnpackBits = 0;   // samples are unpacked to 8 or 16 bits before conversion
    bool UnpackScaled = false; // ... and scaled to the wider range

    // The block grid.
    bool Tiled = false;
    uint32_t BlockWidth = 0, BlockHeight = 0;
    uint32_t Across = 1, Down = 1;
    size_t BlockRowBytes = 0;   // one stored row of a block
    size_t BlockStoredRows = 0; // stored rows of a whole block
    size_t BandRowBytes = 0;    // one stored row across a band
    bool ByteAligned = true;    // block rows end on a byte within band rows
    size_t SegmentRows = 0;     // stored rows the band buffer holds for each plane
    size_t PlaneBytes = 0;      // bytes of one plane in the band buffer

    TBudgetVector<uint32_t> Offsets, ByteCounts, SortedOffsets;
    TBudgetVector<uint8_t> Input;     // one block as stored
    TBudgetVector<uint8_t> Band;      // one band as decoded
    TBudgetVector<uint8_t> Tile;      // one tile as decoded
    TBudgetVector<uint8_t> Unpacked;  // one row of each plane, unpacked
    TBudgetVector<uint8_t> Upsampled; // the image rows of one stored YCbCr row
    TDecoder* Decoder = nullptr;
    // The file's bytes, when the stream holds them in memory: blocks are then decoded from
    // there without a copy.
    std::span<const uint8_t> Memory;
    // Strips decode straight into the bitmap's rows (stored and bitmap rows of one size),
    // converted there in place, or not at all when the layouts are the same.
    bool IntoBitmap = false;
    bool SameLayout = false;
};

void TTIFFGraphic::TTIFFLoad::Run() {
    Directory.Read(P.FirstIFD);
    Width = P.Width;
    Height = P.Height;
    if (Width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        Height > uint32_t(std::numeric_limits<int32_t>::max()))
        Load.Fail(msgInvalidSize, std::to_string(Width), std::to_string(Height));
    CheckSampleLayout();
    SetUpColors();
    SetUpLayout();
    if (ExpansionRatio(P.Compression) == 0)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));
    ReadTables();

    // The file must hold data for every block of the image before the bitmap is sized.
    const size_t bandBytes = CheckedMul(BlockStoredRows, BandRowBytes);
    size_t needed;
    if (Tiled) {
        needed = CheckedMul(CheckedMul(bandBytes, Down), Planes);
    } else {
        const size_t lastRows = Height - size_t(Down - 1) * BlockHeight;
        const size_t rows =
            CheckedAdd(CheckedMul(size_t(Down - 1), BlockStoredRows), CeilDiv(lastRows, RowGroup));
        needed = CheckedMul(CheckedMul(rows, BandRowBytes), Planes);
    }
    Load.Seek(0);
    Load.RequireExpansion(needed, ExpansionRatio(P.Compression));
    // The decoders take sizes of 32 bits.
    CheckedInt32(CheckedMul(BlockStoredRows, BlockRowBytes));

    Image.SetPixelFormat(Image.ColorEngine->TargetPixelFormat(true));
    if (Image.ColorEngine->TargetModel() == cmBGRAlpha) Image.AlphaFormat = afDefined;
    Image.SetSize(int32_t(Width), int32_t(Height));
    SetPalette();

    TColorManager& colors = *Image.ColorEngine;
    if (auto* memory = dynamic_cast<TMemoryStream*>(&Load.Stream())) {
        const std::vector<uint8_t>& data = memory->Data();
        if (uint64_t(Image.StreamStart) <= data.size())
            Memory = std::span<const uint8_t>(data).subspan(size_t(Image.StreamStart));
    }
    const size_t targetRowBytes = colors.RowBytes(Width, true);
    IntoBitmap = !Tiled && Planes == 1 && !UnpackBits && !Subsampled && P.Compression != ckNone &&
                 BlockRowBytes == Image.BytesPerLine() &&
                 colors.RowBytes(Width, false) == targetRowBytes && targetRowBytes == BlockRowBytes;
    SameLayout = colors.SourceModel() == colors.TargetModel() &&
                 colors.SourceSampleBits() == colors.TargetSampleBits() &&
                 colors.SourceSampleBits() <= 8 && colors.TargetFlags.Empty();

    // Buffers: one band as decoded (none when strips decode into the bitmap), one tile besides
    // it, one block as stored (grown as blocks need), the rows of the conversion steps.
    PlaneBytes = SegmentRows * BandRowBytes;
    if (!IntoBitmap) Band.Resize(CheckedMul(PlaneBytes, Planes));
    if (Tiled) Tile.Resize(CheckedMul(BlockStoredRows, BlockRowBytes));
    if (UnpackBits)
        Unpacked.Resize(
            CheckedMul(CheckedMul(size_t(Width), PlaneSamples * (UnpackBits / 8)), Planes));
    if (Subsampled) Upsampled.Resize(CheckedMul(CheckedMul(size_t(Width), 3), RowGroup));

    TDecoderSession decoder(MakeDecoder());
    Decoder = decoder.Get();
    Load.Finish();
    Load.BeginTransfer();

    P.CurrentRow = 0;
    P.CurrentStrip = 0;
    P.StripCount = uint32_t(Offsets.size());
    for (uint32_t band = 0; band < Down; ++band) {
        const uint32_t y0 = band * BlockHeight;
        const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
        P.CurrentStrip = band;
        if (P.Compression == ckNone && !Tiled) {
            // Stored strips are read a few rows at a time.
            const uint32_t storedRows = uint32_t(CeilDiv(rows, RowGroup));
            for (uint32_t first = 0; first < storedRows; first += uint32_t(SegmentRows)) {
                const uint32_t count =
                    std::min<uint32_t>(uint32_t(SegmentRows), storedRows - first);
                const uint32_t top = y0 + first * RowGroup;
                const uint32_t imageRows = std::min<uint32_t>(count * RowGroup, y0 + rows - top);
                std::array<const uint8_t*, 4> planes{};
                if (StoredRowsInMemory(band, first, count, planes)) {
                    ConvertRows(top, imageRows, planes, BlockRowBytes);
                } else {
                    ReadStoredRows(band, first, count);
                    ConvertRows(top, imageRows, BandPlanes(), BandRowBytes);
                }
            }
        } else if (IntoBitmap) {
            DecodeStripIntoBitmap(band);
            std::array<const uint8_t*, 4> planes{};
            planes[0] = Image.ScanLine(int32_t(y0));
            ConvertRows(y0, rows, planes, Image.BytesPerLine());
        } else {
            DecodeBand(band);
            ConvertRows(y0, rows, BandPlanes(), BandRowBytes);
        }
    }
    decoder.Finish();
    Decoder = nullptr;
}

void TTIFFGraphic::TTIFFLoad::CheckSampleLayout() {
    const uint32_t samples = Directory.Value(TTag::SamplesPerPixel, 1);
    if (samples == 0 || samples > 255)
        Load.Fail(msgBadValue, FormatImageMessage(msgTIFFSamplesPerPixel, std::to_string(samples)));
    const std::vector<uint32_t> bits = Directory.Values(TTag::BitsPerSample, 1);
    const uint32_t bitsPerSample = bits.empty() ? 1 : bits[0];
    if (bitsPerSample == 0 || bitsPerSample > 16)
        Load.Fail(msgBadValue,
                  FormatImageMessage(msgTIFFBitsPerSample, std::to_string(bitsPerSample)));
    Samples = samples;
    Bits = bitsPerSample;
    // Grey and palette images may carry one extra sample; the colour models have their own.
    size_t wanted = 0;
    switch (P.ColorModel) {
    case cmPalette:
    case cmGray:
        wanted = Samples == 2 ? 2 : 1;
        break;
    case cmRGB:
    case cmCIELab:
    case cmYCbCr:
        wanted = 3;
        break;
    case cmRGBAlpha:
    case cmCMYK:
        wanted = 4;
        break;
    default:
        wanted = Samples;
        break;
    }
    if (Samples != wanted) throw EColorConversionError(msgInvalidSampleCount);
}

void TTIFFGraphic::TTIFFLoad::SetUpColors() {
    TColorManager& colors = *Image.ColorEngine;
    const bool separate = TPlanarConfig(P.PlanarConfig) == TPlanarConfig::Separate && Samples > 1;
    // libjpeg delivers three interleaved components as blue, green, red.
    const bool jpegColors = P.Compression == ckJPEG && !separate && Samples == 3;
    TColorModel source = jpegColors ? cmBGR : P.ColorModel;
    TColorModel target;
    switch (source) {
    case cmPalette:
    case cmGray:
        target = source;
        // The extra sample (alpha or not) is passed over.
        if (Samples == 2) source = cmGrayAlpha;
        break;
    case cmRGB:
        target = cmBGR;
        break;
    case cmRGBAlpha:
        target = cmBGRAlpha;
        break;
    case cmBGR:
    case cmCMYK:
    case cmCIELab:
    case cmYCbCr:
        target = cmBGR;
        break;
    default:
        target = source;
        break;
    }

    // Depths the converters take as they are; others are unpacked to 8 or 16 bits first:
    // scaled, except palette indices.
    const bool indexed = source == cmPalette || source == cmGray;
    const bool palette = P.ColorModel == cmPalette;
    const bool native =
        indexed ? (Bits <= 8 && (Bits & (Bits - 1)) == 0) || Bits == 16 : Bits == 8 || Bits == 16;
    uint8_t sourceBits = uint8_t(Bits);
    if (!native) {
        if (palette && Bits > 8)
            throw EInvalidGraphic(
                FormatImageMessage(msgUnsupportedFeature, msgTIFFSampleDepth, FormatName));
        UnpackBits = Bits < 8 ? 8 : 16;
        UnpackScaled = !palette;
        sourceBits = uint8_t(UnpackBits);
    }
    uint8_t targetBits = 8;
    if (indexed && sourceBits <= 8) targetBits = sourceBits == 1 ? 1 : sourceBits <= 4 ? 4 : 8;

    colors.SourceFlags.Clear();
    colors.TargetFlags.Clear();
    if (P.Flags.Contains(flBigEndian) && !UnpackBits) colors.SourceFlags.Include(cfSwapBytes);
    if (source == cmCIELab) colors.SourceFlags.Include(cfLabScaledL);
    colors.SetSourceSampleBits(sourceBits);
    colors.SetTargetSampleBits(targetBits);
    colors.SetSourceModel(source);
    colors.SetTargetModel(target);
    colors.SetSourceChannels(uint8_t(std::min<uint32_t>(Samples, 255)));
    colors.SetTargetChannels(target == cmBGR ? 3 : target == cmBGRAlpha ? 4 : 1);
    if (source == cmYCbCr) {
        std::vector<float> coefficients = Directory.Floats(TTag::YCbCrCoefficients, 3);
        if (coefficients.empty()) coefficients = {0.299f, 0.587f, 0.114f};
        colors.SetChromaParameters(coefficients, P.YCbCrSubSampling[0], P.YCbCrSubSampling[1]);
    }
    // Every layout must have a converter before anything is sized for it.
    if (colors.RowBytes(1, false) == 0) throw EColorConversionError(msgConversionFailed);
}

void TTIFFGraphic::TTIFFLoad::SetUpLayout() {
    Tiled = P.Flags.Contains(flTiled);
    const bool separate = TPlanarConfig(P.PlanarConfig) == TPlanarConfig::Separate && Samples > 1;
    Planes = separate ? Samples : 1;
    PlaneSamples = separate ? 1 : Samples;
    PlaneBits = PlaneSamples * Bits;
    Reversed = P.Flags.Contains(flLowBitFirst) && P.Compression != ckFax3 &&
               P.Compression != ckFaxHuffman && P.Compression != ckFaxHuffmanWord &&
               P.Compression != ckJPEG;

    const TPredictor predictor = TPredictor(P.Predictor);
    Predictor = predictor == TPredictor::Horizontal && P.Compression != ckNone;
    if (predictor != TPredictor::Absent && predictor != TPredictor::None &&
        predictor != TPredictor::Horizontal)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgTIFFPredictor, FormatName));
    if (Predictor && Bits != 8 && Bits != 16)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgTIFFPredictor, FormatName));

    if (Tiled) {
        BlockWidth = P.TileWidth;
        BlockHeight = P.TileLength;
        Across = uint32_t(CeilDiv(Width, BlockWidth));
        Down = uint32_t(CeilDiv(Height, BlockHeight));
    } else {
        const uint32_t rows = P.RowsPerStrip.empty() ? Height : P.RowsPerStrip[0];
        if (rows == 0) Load.Fail(msgBadValue, FormatImageMessage(msgTIFFRowsPerStrip, "0"));
        BlockWidth = Width;
        BlockHeight = std::min(rows, Height);
        Down = uint32_t(CeilDiv(Height, BlockHeight));
    }

    // YCbCr samples other than JPEG's (which libjpeg upsamples) come in units of h x v pixels.
    if (P.ColorModel == cmYCbCr && P.Compression != ckJPEG) {
        UnitWidth = P.YCbCrSubSampling[0];
        RowGroup = P.YCbCrSubSampling[1];
        Subsampled = UnitWidth != 1 || RowGroup != 1;
    }
    if (Subsampled) {
        if (separate || Predictor ||
            (Tiled && (BlockWidth % UnitWidth != 0 || BlockHeight % RowGroup != 0)))
            throw EInvalidGraphic(
                FormatImageMessage(msgUnsupportedFeature, msgTIFFSubsampling, FormatName));
        if (Bits != 8)
            throw EInvalidGraphic(
                FormatImageMessage(msgUnsupportedFeature, msgTIFFSampleDepth, FormatName));
        BlockRowBytes =
            CheckedMul(CeilDiv(BlockWidth, UnitWidth), size_t(UnitWidth) * RowGroup + 2);
        BandRowBytes = CheckedMul(BlockRowBytes, Across);
    } else {
        BlockRowBytes = CheckedRowBytes(BlockWidth, PlaneBits);
        const size_t bandBits = CheckedMul(CheckedMul(size_t(BlockWidth), Across), PlaneBits);
        BandRowBytes = CheckedAdd(bandBits, 7) / 8;
        ByteAligned = size_t(BlockWidth) * PlaneBits % 8 == 0;
    }
    BlockStoredRows = CeilDiv(BlockHeight, RowGroup);
    SegmentRows = BlockStoredRows;
    if (P.Compression == ckNone && !Tiled)
        SegmentRows = std::clamp<size_t>(StoredChunkBytes / BandRowBytes, 1, BlockStoredRows);
    // What the JPEG decoder expects of every block.
    P.BytesPerRow = uint32_t(CheckedInt32(BlockRowBytes));
}

void TTIFFGraphic::TTIFFLoad::ReadTables() {
    const TEntry* offsets = Directory.Find(Tiled ? TTag::TileOffsets : TTag::StripOffsets);
    if (!offsets) Load.Fail(msgTIFFNoImageData);
    Directory.Integers(*offsets, Offsets, Load.Budget(),
                       Tiled ? msgTIFFTileOffsets : msgTIFFStripOffsets);
    if (Offsets.empty()) Load.Fail(msgTIFFNoImageData);
    if (const TEntry* counts = Directory.Find(Tiled ? TTag::TileByteCounts : TTag::StripByteCounts))
        Directory.Integers(*counts, ByteCounts, Load.Budget(),
                           Tiled ? msgTIFFTileByteCounts : msgTIFFStripByteCounts);
    // Blocks without a count reach to the next block above them or the end of the file.
    if (P.Compression != ckNone && ByteCounts.size() < Offsets.size()) {
        SortedOffsets.Resize(Offsets.size());
        std::copy(Offsets.begin(), Offsets.end(), SortedOffsets.begin());
        std::sort(SortedOffsets.begin(), SortedOffsets.end());
    }
    if (P.Compression == ckJPEG) {
        if (const TEntry* tables = Directory.Find(TTag::JPEGTables)) {
            TBudgetVector<uint8_t> bytes(Load.Budget());
            Directory.RawValues(*tables, bytes, msgTIFFJPEGTables);
            P.JPEGTables.assign(bytes.begin(), bytes.end());
        }
    }
}

void TTIFFGraphic::TTIFFLoad::SetPalette() {
    TColorManager& colors = *Image.ColorEngine;
    if (colors.TargetModel() == cmGray) {
        Image.SetPalette(colors.MakeGrayPalette(P.Flags.Contains(flWhiteIsZero)));
        return;
    }
    if (colors.TargetModel() != cmPalette) return;
    // Three planes of 16-bit values, of which the first 768 are read.
    const TEntry* map = Directory.Find(TTag::ColorMap);
    if (!map || map->Count < 3 || TypeSize(map->Type) != 2) return;
    TEntry limited = *map;
    limited.Count = std::min<uint32_t>(map->Count, 768);
    TBudgetVector<uint8_t> values(Load.Budget());
    Directory.RawValues(limited, values, msgTIFFColorMap);
    const size_t entries = limited.Count / 3;
    const std::span<const uint8_t> all = values.Span();
    Image.SetPalette(
        colors.MakeColorPalette({all.subspan(0, 2 * entries), all.subspan(2 * entries, 2 * entries),
                                 all.subspan(4 * entries, 2 * entries)},
                                plPlanar16x3, uint32_t(entries), false));
}

std::unique_ptr<TDecoder> TTIFFGraphic::TTIFFLoad::MakeDecoder() {
    const bool lowBitFirst = P.Flags.Contains(flLowBitFirst);
    const uint32_t options = Directory.Value(TTag::T4Options, 0);
    switch (P.Compression) {
    case ckNone:
        return nullptr;
    case ckPackBits:
        return std::make_unique<TPackbitsRLEDecoder>();
    case ckLZW:
        return std::make_unique<TTIFFLZWDecoder>();
    case ckFax3:
        return std::make_unique<TCCITTFax3Decoder>(options, lowBitFirst, false, BlockWidth);
    case ckFaxHuffman:
    case ckFaxHuffmanWord:
        return std::make_unique<TCCITTMHDecoder>(options, lowBitFirst,
                                                 P.Compression == ckFaxHuffmanWord, BlockWidth);
    case ckDeflate:
        return std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, true);
    case ckJPEG:
        return std::make_unique<TTIFFJPEGDecoder>(P);
    case ckThunderscan:
        return std::make_unique<TThunderDecoder>(CheckedInt32(BlockWidth));
    default:
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, FormatName));
    }
}

uint64_t TTIFFGraphic::TTIFFLoad::ByteCount(size_t block) {
    if (block < ByteCounts.size()) return ByteCounts[block];
    const uint32_t offset = Offsets[block];
    const auto next = std::upper_bound(SortedOffsets.begin(), SortedOffsets.end(), offset);
    const uint64_t end = next != SortedOffsets.end() ? *next : Directory.FileSize();
    return end > offset ? end - offset : 0;
}

std::span<const uint8_t> TTIFFGraphic::TTIFFLoad::ReadCompressed(size_t block) {
    if (block >= Offsets.size()) return {};
    const uint64_t offset = Offsets[block];
    const uint64_t size = Directory.FileSize();
    if (offset >= size) return {};
    // A count beyond the file is cut at its end.
    const size_t count = size_t(std::min<uint64_t>(
        {ByteCount(block), size - offset, uint64_t(std::numeric_limits<int32_t>::max())}));
    // The fax decoders reverse the bits of their input in place: they get a copy.
    const bool changed = P.Flags.Contains(flLowBitFirst) && P.Compression != ckJPEG;
    if (!Memory.empty() && !changed && offset + count <= Memory.size())
        return Memory.subspan(size_t(offset), count);
    Load.Seek(int64_t(offset));
    Load.ReadBlock(Input, count);
    if (Reversed) ReverseBits(Input.data(), Input.size());
    return Input.Span();
}

// Decodes block `block` into `bytes` bytes at `target`: what the data does not reach stays 0
// (cleared first unless `clear` is false, for memory that is 0 already).
void TTIFFGraphic::TTIFFLoad::DecodeBlock(size_t block, uint8_t* target, size_t bytes, bool clear) {
    if (clear) std::memset(target, 0, bytes);
    if (!Decoder) {
        if (block >= Offsets.size() || Offsets[block] >= Directory.FileSize()) return;
        Load.Seek(Offsets[block]);
        const size_t count = size_t(std::min<uint64_t>(bytes, Load.Remaining()));
        Load.Read(target, count);
        if (Reversed) ReverseBits(target, count);
        return;
    }
    const std::span<const uint8_t> data = ReadCompressed(block);
    if (data.empty()) return;
    const uint8_t* input = data.data();
    uint8_t* output = target;
    Decoder->Decode(input, output, int32_t(data.size()), CheckedInt32(bytes));
}

void TTIFFGraphic::TTIFFLoad::DecodeStripIntoBitmap(uint32_t band) {
    const uint32_t y0 = band * BlockHeight;
    const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
    P.CurrentRow = y0;
    // The rows of the strip follow each other in the bitmap, which starts out 0.
    uint8_t* target = Image.ScanLine(int32_t(y0));
    DecodeBlock(band, target, size_t(rows) * BlockRowBytes, false);
    if (Predictor)
        for (uint32_t r = 0; r < rows; ++r)
            UndoPredictor(target + r * BlockRowBytes, BlockWidth, PlaneSamples, Bits,
                          Directory.BigEndian());
}

bool TTIFFGraphic::TTIFFLoad::StoredRowsInMemory(uint32_t band, uint32_t firstStoredRow,
                                                 uint32_t storedRows,
                                                 std::array<const uint8_t*, 4>& planes) {
    if (Memory.empty() || Reversed) return false;
    for (uint32_t plane = 0; plane < Planes; ++plane) {
        const size_t block = size_t(plane) * Down + band;
        if (block >= Offsets.size()) return false;
        const uint64_t offset = uint64_t(Offsets[block]) + uint64_t(firstStoredRow) * BlockRowBytes;
        const uint64_t bytes = uint64_t(storedRows) * BlockRowBytes;
        if (offset > Memory.size() || bytes > Memory.size() - offset) return false;
        planes[plane] = Memory.data() + offset;
    }
    return true;
}

std::array<const uint8_t*, 4> TTIFFGraphic::TTIFFLoad::BandPlanes() const {
    std::array<const uint8_t*, 4> planes{};
    for (uint32_t plane = 0; plane < Planes; ++plane)
        planes[plane] = Band.data() + plane * PlaneBytes;
    return planes;
}

void TTIFFGraphic::TTIFFLoad::DecodeBand(uint32_t band) {
    const uint32_t y0 = band * BlockHeight;
    const size_t storedRows = CeilDiv(std::min<uint32_t>(BlockHeight, Height - y0), RowGroup);
    P.CurrentRow = y0;
    for (uint32_t plane = 0; plane < Planes; ++plane) {
        uint8_t* planeRows = Band.data() + plane * PlaneBytes;
        if (!Tiled) {
            // A strip decodes straight into the band.
            const size_t bytes = storedRows * BlockRowBytes;
            DecodeBlock(size_t(plane) * Down + band, planeRows, bytes, true);
            if (Predictor)
                for (size_t r = 0; r < storedRows; ++r)
                    UndoPredictor(planeRows + r * BlockRowBytes, BlockWidth, PlaneSamples, Bits,
                                  Directory.BigEndian());
            continue;
        }
        if (!ByteAligned) std::memset(planeRows, 0, storedRows * BandRowBytes);
        for (uint32_t column = 0; column < Across; ++column) {
            const size_t block = (size_t(plane) * Down + band) * Across + column;
            DecodeBlock(block, Tile.data(), Tile.size(), true);
            for (size_t r = 0; r < storedRows; ++r) {
                uint8_t* row = Tile.data() + r * BlockRowBytes;
                if (Predictor)
                    UndoPredictor(row, BlockWidth, PlaneSamples, Bits, Directory.BigEndian());
                uint8_t* bandRow = planeRows + r * BandRowBytes;
                if (ByteAligned)
                    std::memcpy(bandRow + column * BlockRowBytes, row, BlockRowBytes);
                else
                    PlaceBits(bandRow, size_t(column) * BlockWidth * PlaneBits, row,
                              size_t(BlockWidth) * PlaneBits);
            }
        }
    }
}

void TTIFFGraphic::TTIFFLoad::ReadStoredRows(uint32_t band, uint32_t firstStoredRow,
                                             uint32_t storedRows) {
    const size_t bytes = size_t(storedRows) * BlockRowBytes;
    for (uint32_t plane = 0; plane < Planes; ++plane) {
        uint8_t* target = Band.data() + plane * PlaneBytes;
        std::memset(target, 0, bytes);
        const size_t block = size_t(plane) * Down + band;
        if (block >= Offsets.size()) continue;
        const uint64_t offset = uint64_t(Offsets[block]) + uint64_t(firstStoredRow) * BlockRowBytes;
        if (offset >= Directory.FileSize()) continue;
        Load.Seek(int64_t(offset));
        const size_t count = size_t(std::min<uint64_t>(bytes, Load.Remaining()));
        Load.Read(target, count);
        if (Reversed) ReverseBits(target, count);
    }
}

void TTIFFGraphic::TTIFFLoad::ConvertRows(uint32_t y0, uint32_t rows,
                                          const std::array<const uint8_t*, 4>& planes,
                                          size_t stride) {
    const uint32_t storedRows = uint32_t(CeilDiv(rows, RowGroup));
    for (uint32_t r = 0; r < storedRows; ++r) {
        if (!Subsampled) {
            std::array<const uint8_t*, 4> row{};
            for (uint32_t plane = 0; plane < Planes; ++plane)
                row[plane] = planes[plane] + r * stride;
            ConvertRow(y0 + r, row, std::min(stride, BandRowBytes));
            continue;
        }
        UpsampleUnits(planes[0] + r * stride, Width, UnitWidth, RowGroup, Upsampled.data());
        const size_t rowBytes = size_t(Width) * 3;
        for (uint32_t k = 0; k < RowGroup && r * RowGroup + k < rows; ++k) {
            const uint32_t y = y0 + r * RowGroup + k;
            Image.ColorEngine->ConvertRows(Upsampled.Span().subspan(k * rowBytes, rowBytes),
                                           Image.ScanLineSpan(int32_t(y)), Width);
            ++P.CurrentRow;
            Load.Row(int32_t(y));
        }
    }
}

void TTIFFGraphic::TTIFFLoad::ConvertRow(uint32_t y, const std::array<const uint8_t*, 4>& rows,
                                         size_t rowBytes) {
    // A strip decoded into the bitmap in its own layout is there already.
    if (!(IntoBitmap && SameLayout)) {
        std::array<std::span<const uint8_t>, 4> sources;
        const size_t unpackedBytes = size_t(Width) * PlaneSamples * (UnpackBits / 8);
        for (uint32_t plane = 0; plane < Planes; ++plane) {
            if (UnpackBits) {
                uint8_t* unpacked = Unpacked.data() + plane * unpackedBytes;
                UnpackSamples(rows[plane], size_t(Width) * PlaneSamples, Bits, UnpackBits == 16,
                              UnpackScaled, unpacked);
                sources[plane] = {unpacked, unpackedBytes};
            } else {
                sources[plane] = {rows[plane], rowBytes};
            }
        }
        Image.ColorEngine->ConvertRows(
            std::span<const std::span<const uint8_t>>(sources.data(), Planes),
            Image.ScanLineSpan(int32_t(y)), Width);
    }
    ++P.CurrentRow;
    Load.Row(int32_t(y));
}

void TTIFFGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Prepare();
    TTIFFLoad tiff(*this, load);
    tiff.Run();
    load.Finish();
}
