#include "imaging/formats/TIFFGraphic.h"
#include "imaging/formats/RowSampling.h"
#include "imaging/formats/TIFFSamples.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/DeflateDecoder.h"
#include "imaging/codecs/FaxDecoders.h"
#include "imaging/codecs/LZWDecoders.h"
#include "imaging/codecs/LibraryDecoders.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "imaging/codecs/TIFFJPEGDecoder.h"
#include "imaging/codecs/ThunderDecoder.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Messages raised here (all of platform/graphics/ImageMessages.h):
// - msgInvalidImage: not a TIFF, version not 42 or 43, no such image, width or height 0;
// - msgUnsupportedFeature with msgCompressionScheme (no decoder for the scheme, a library the
//   build lacks, old-style JPEG without what libjpeg needs), msgTIFFPredictor,
//   msgTIFFSubsampling or msgTIFFSampleDepth;
// - msgTruncatedPart with msgTIFFDirectory, msgTIFFStripOffsets, ... (a table the file does not
//   hold); msgBadValue with msgTIFFBitsPerSample, msgTIFFSamplesPerPixel, msgTIFFRowsPerStrip
//   or msgTIFFJPEGTables;
// - msgTIFFNoImageData (neither strip nor tile offsets), msgInvalidSize, msgDataTooShort (the
//   file cannot hold the image it states, or asks for JPEG work beyond its size), msgReadLimit
//   (blocks that share their data read over and over), msgCompression (LZMA, Zstandard or WebP
//   data their library refuses), msgMemoryLimit (a library's memory beyond the budget);
// - msgCannotSave (the reader does not write);
// - msgInvalidSampleCount and msgConversionFailed (EColorConversionError) for sample layouts the
//   colour manager has no converter for.
// Decoder and colour manager errors pass through.

DEFINE_GRAPHIC_CLASS(TTIFFGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "TIF/TIFF";
// Classic headers take 8 bytes, BigTIFF ones 16.
constexpr size_t HeaderSize = 8;
constexpr size_t BigHeaderSize = 16;
constexpr uint16_t TIFFVersion = 42;
constexpr uint16_t BigTIFFVersion = 43;

enum class TTag : uint16_t {
    NewSubfileType = 254,
    ImageWidth = 256,
    ImageLength = 257,
    BitsPerSample = 258,
    Compression = 259,
    Photometric = 262,
    FillOrder = 266,
    Orientation = 274,
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
    WhitePoint = 318,
    ColorMap = 320,
    TileWidth = 322,
    TileLength = 323,
    TileOffsets = 324,
    TileByteCounts = 325,
    ExtraSamples = 338,
    SampleFormat = 339,
    SMinSampleValue = 340,
    SMaxSampleValue = 341,
    JPEGTables = 347,
    JPEGProc = 512,
    JPEGInterchangeFormat = 513,
    JPEGInterchangeFormatLength = 514,
    JPEGRestartInterval = 515,
    JPEGQTables = 519,
    JPEGDCTables = 520,
    JPEGACTables = 521,
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
    Ifd = 13,
    Long8 = 16,
    SLong8 = 17,
    Ifd8 = 18,
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
    LZMA = 34925,
    Zstd = 50000,
    WebP = 50001,
};

enum class TResolutionUnit : uint32_t { Inch = 2, Centimetre = 3 };
enum class TPredictor : uint32_t { Absent = 0, None = 1, Horizontal = 2, FloatingPoint = 3 };
// What an extra sample is: ExtraSamples 1 and 2 mark alpha.
enum class TExtraSample : uint32_t { Unspecified = 0, Associated = 1, Unassociated = 2 };
// Absent, 0 and 4 (undefined) are read as unsigned integers.
enum class TSampleFormat : uint32_t { Unsigned = 1, Signed = 2, Float = 3, Undefined = 4 };
enum class TPlanarConfig : uint32_t { Contiguous = 1, Separate = 2 };
enum class TFillOrder : uint32_t { HighBitFirst = 1, LowBitFirst = 2 };
// NewSubfileType bits: a reduced-resolution version of another image, a page of a document, a
// transparency mask.
enum TSubfileFlag : uint32_t { sfReduced = 1, sfPage = 2, sfMask = 4 };

// RowsPerStrip: the whole image is one strip.
constexpr uint32_t AllRows = 0xFFFFFFFF;
// Header lists (BitsPerSample, ExtraSamples, ...) are read up to this many values.
constexpr size_t HeaderListLimit = 1024;
// RowsPerStrip values kept in the properties; strips beyond take the last one.
constexpr size_t RowsPerStripLimit = 4096;
// JPEG scans x blocks of 8 x 8 samples a load may decode: this many a byte of the file, and
// this many more. Real files stay below (a flat progressive picture: about 24 a byte).
constexpr uint64_t JPEGWorkPerByte = 32;
constexpr uint64_t JPEGWorkAllowance = 1 << 20;
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
    case ckOldJPEG:
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
    case TFieldType::Ifd:
        return 4;
    case TFieldType::Rational:
    case TFieldType::SRational:
    case TFieldType::Double:
    case TFieldType::Long8:
    case TFieldType::SLong8:
    case TFieldType::Ifd8:
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
    case TFieldType::Ifd:
    case TFieldType::Long8:
    case TFieldType::SLong8:
    case TFieldType::Ifd8:
        return true;
    default:
        return false;
    }
}

// --- The file header ---

struct TTIFFHeader {
    bool BigEndian = false;
    uint16_t Version = 0;
    // BigTIFF (version 43): counts and offsets of 8 bytes.
    bool Big = false;
    uint64_t FirstIFD = 0;
};

// The header: the byte-order mark, the version and the offset of the first directory, which
// BigTIFF files (version 43) give in 8 bytes after two 16-bit values 8 and 0. Nothing when the
// byte-order mark is neither "II" nor "MM", or a BigTIFF header states other offset sizes.
std::optional<TTIFFHeader> ParseHeader(TByteReader& reader) {
    const uint8_t first = reader.U8(), second = reader.U8();
    if (first != second || (first != 'I' && first != 'M')) return std::nullopt;
    TTIFFHeader header;
    header.BigEndian = first == 'M';
    header.Version = reader.U16(header.BigEndian);
    if (header.Version != BigTIFFVersion) {
        header.FirstIFD = reader.U32(header.BigEndian);
        return header;
    }
    header.Big = true;
    const uint16_t offsetSize = reader.U16(header.BigEndian);
    const uint16_t zero = reader.U16(header.BigEndian);
    if (offsetSize != 8 || zero != 0) return std::nullopt;
    header.FirstIFD = reader.U64(header.BigEndian);
    return header;
}

// The header at the stream's position, or nothing when the stream ends inside it or it is not
// a TIFF header (a classic header takes the first 8 of the bytes read).
std::optional<TTIFFHeader> HeaderOf(std::span<const uint8_t> bytes) {
    TByteReader reader(bytes);
    try {
        return ParseHeader(reader);
    } catch (const EImageFault&) {
        return std::nullopt;
    }
}

// --- Directories ---

struct TEntry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint64_t Count = 0;
    // The value field as stored: the values themselves when they fit (4 bytes, 8 in BigTIFF),
    // else their offset.
    std::array<uint8_t, 8> Field{};
};

[[noreturn]] void FailTruncated(const char* part) {
    throw EInvalidGraphic(FormatImageMessage(msgTruncatedPart, FormatName, part));
}

// One image file directory of a file that starts at `origin` in the stream: its entries sorted
// by tag, and readers of the values they hold or point to. Every value read outside the entry
// is checked against the bytes the file holds. Classic directories have 16-bit entry counts
// and entries of 12 bytes; BigTIFF ones 64-bit counts and entries of 20 bytes.
class TDirectory {
public:
    TDirectory(TStream& stream, int64_t origin, const TTIFFHeader& header)
        : stream_(&stream), origin_(origin), bigEndian_(header.BigEndian), big_(header.Big),
          size_(uint64_t(std::max<int64_t>(stream.Size() - origin, 0))) {}

    bool BigEndian() const { return bigEndian_; }
    // Where the directory last read lies in the file.
    uint64_t Offset() const { return offset_; }
    // Bytes of the file from its start to the end of the stream.
    uint64_t FileSize() const { return size_; }

    // Reads the entries of the directory at `offset`. Raises msgTruncatedPart when the file
    // does not hold them.
    void Read(uint64_t offset) {
        offset_ = offset;
        const uint64_t count = ReadCount(offset);
        const size_t bytes = size_t(count) * EntrySize();
        std::vector<uint8_t> table(bytes);
        ReadAt(offset + CountSize(), table.data(), bytes);
        entries_.resize(size_t(count));
        TByteReader reader(table.data(), bytes);
        for (TEntry& entry : entries_) {
            entry.Tag = reader.U16(bigEndian_);
            entry.Type = reader.U16(bigEndian_);
            entry.Count = big_ ? reader.U64(bigEndian_) : reader.U32(bigEndian_);
            reader.Read(entry.Field.data(), FieldSize());
        }
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const TEntry& a, const TEntry& b) { return a.Tag < b.Tag; });
    }
    // The offset of the directory after the one at `offset`, reading only its entry count and
    // link.
    uint64_t NextAfter(uint64_t offset) const {
        const uint64_t count = ReadCount(offset);
        return ReadOffset(offset + CountSize() + count * EntrySize());
    }

    const TEntry* Find(TTag tag) const {
        const auto it = std::lower_bound(
            entries_.begin(), entries_.end(), uint16_t(tag),
            [](const TEntry& entry, uint16_t wanted) { return entry.Tag < wanted; });
        return it != entries_.end() && it->Tag == uint16_t(tag) ? &*it : nullptr;
    }

    // The first value of an integer entry (values past 32 bits saturate); `fallback` when the
    // tag is absent, holds no value, is of another type or points outside the file.
    uint32_t Value(TTag tag, uint32_t fallback) const {
        const TEntry* entry = Find(tag);
        if (!entry || entry->Count == 0 || !IsIntegerType(entry->Type)) return fallback;
        uint8_t bytes[8];
        if (!ValueBytes(*entry, 1, bytes)) return fallback;
        return Saturated(IntegerAt(bytes, entry->Type, 0));
    }

    // Up to `limit` values of an integer entry (none for other types or values outside the
    // file); values past 32 bits saturate.
    std::vector<uint32_t> Values(TTag tag, size_t limit) const {
        std::vector<uint32_t> values;
        const TEntry* entry = Find(tag);
        if (!entry || !IsIntegerType(entry->Type)) return values;
        const size_t count = size_t(std::min<uint64_t>(entry->Count, limit));
        std::vector<uint8_t> bytes(count * TypeSize(entry->Type));
        if (!ValueBytes(*entry, count, bytes.data())) return values;
        values.resize(count);
        for (size_t i = 0; i < count; ++i)
            values[i] = Saturated(IntegerAt(bytes.data(), entry->Type, i));
        return values;
    }

    // Up to `limit` values as doubles: integers converted, rationals divided (both terms read
    // as unsigned; a zero denominator gives 0), floats and doubles as stored.
    std::vector<double> Reals(TTag tag, size_t limit) const {
        std::vector<double> values;
        const TEntry* entry = Find(tag);
        if (!entry || TypeSize(entry->Type) == 0) return values;
        const TFieldType type = TFieldType(entry->Type);
        if (type == TFieldType::Ascii || type == TFieldType::Undefined) return values;
        const size_t count = size_t(std::min<uint64_t>(entry->Count, limit));
        const size_t size = TypeSize(entry->Type);
        std::vector<uint8_t> bytes(count * size);
        if (!ValueBytes(*entry, count, bytes.data())) return values;
        for (size_t i = 0; i < count; ++i) values.push_back(RealAt(bytes.data() + i * size, type));
        return values;
    }
    std::vector<float> Floats(TTag tag, size_t limit) const {
        const std::vector<double> reals = Reals(tag, limit);
        return std::vector<float>(reals.begin(), reals.end());
    }

    // One float from an entry of one value; `fallback` otherwise.
    float Float(TTag tag, float fallback) const {
        const TEntry* entry = Find(tag);
        if (!entry || entry->Count != 1) return fallback;
        const std::vector<float> values = Floats(tag, 1);
        return values.empty() ? fallback : values[0];
    }

    // All values of `entry` as 64-bit integers into `values` (charged to its budget). Raises
    // msgTruncatedPart with `part` when the file does not hold them; entries of other types
    // give none.
    void Integers(const TEntry& entry, TBudgetVector<uint64_t>& values, TMemoryBudget& budget,
                  const char* part) const {
        values.Resize(0);
        if (!IsIntegerType(entry.Type)) return;
        TBudgetVector<uint8_t> bytes(budget);
        RawValues(entry, bytes, part);
        values.Resize(size_t(entry.Count));
        for (size_t i = 0; i < entry.Count; ++i) values[i] = IntegerAt(bytes.data(), entry.Type, i);
    }

    // The bytes of all values of `entry`, as stored, into `out` (charged to its budget).
    // Raises msgTruncatedPart with `part` when the file does not hold them.
    void RawValues(const TEntry& entry, TBudgetVector<uint8_t>& out, const char* part) const {
        const uint64_t size = ValuesSize(entry);
        if (size > FieldSize() && !Holds(Offset(entry), size)) FailTruncated(part);
        out.Resize(size_t(size));
        if (!ValueBytes(entry, size_t(entry.Count), out.data())) FailTruncated(part);
    }

private:
    size_t CountSize() const { return big_ ? 8 : 2; }
    size_t EntrySize() const { return big_ ? 20 : 12; }
    size_t FieldSize() const { return big_ ? 8 : 4; }
    // Bytes of all values of `entry`; more than any file when the product overflows.
    static uint64_t ValuesSize(const TEntry& entry) {
        const uint64_t size = TypeSize(entry.Type);
        return entry.Count > std::numeric_limits<uint64_t>::max() / 16 ? ~uint64_t(0)
                                                                       : entry.Count * size;
    }
    static uint32_t Saturated(uint64_t value) {
        return uint32_t(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
    }
    uint64_t Offset(const TEntry& entry) const {
        TByteReader reader(entry.Field.data(), FieldSize());
        return big_ ? reader.U64(bigEndian_) : reader.U32(bigEndian_);
    }
    bool Holds(uint64_t offset, uint64_t size) const {
        return offset <= size_ && size <= size_ - offset;
    }
    void ReadAt(uint64_t offset, uint8_t* out, size_t size) const {
        if (!Holds(offset, size)) FailTruncated(msgTIFFDirectory);
        stream_->SetPosition(origin_ + int64_t(offset));
        stream_->ReadBuffer(out, size);
    }
    uint64_t ReadOffset(uint64_t at) const {
        uint8_t field[8];
        ReadAt(at, field, FieldSize());
        TByteReader reader(field, FieldSize());
        return big_ ? reader.U64(bigEndian_) : reader.U32(bigEndian_);
    }
    uint64_t ReadCount(uint64_t offset) const {
        uint8_t field[8];
        ReadAt(offset, field, CountSize());
        TByteReader reader(field, CountSize());
        const uint64_t count = big_ ? reader.U64(bigEndian_) : reader.U16(bigEndian_);
        if (count > size_ / EntrySize() || !Holds(offset + CountSize(), count * EntrySize()))
            FailTruncated(msgTIFFDirectory);
        return count;
    }
    // The bytes of the first `count` values of `entry`: from the value field when all values
    // fit in it, else from the file. False when the file does not hold them.
    bool ValueBytes(const TEntry& entry, size_t count, uint8_t* out) const {
        const uint64_t all = ValuesSize(entry);
        const size_t size = count * TypeSize(entry.Type);
        if (all <= FieldSize()) {
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
    uint64_t IntegerAt(const uint8_t* bytes, uint16_t type, size_t index) const {
        const size_t size = TypeSize(type);
        TByteReader reader(bytes + index * size, size);
        switch (size) {
        case 1:
            return reader.U8();
        case 2:
            return reader.U16(bigEndian_);
        case 4:
            return reader.U32(bigEndian_);
        default:
            return reader.U64(bigEndian_);
        }
    }
    double RealAt(const uint8_t* bytes, TFieldType type) const {
        TByteReader reader(bytes, TypeSize(uint16_t(type)));
        switch (type) {
        case TFieldType::Rational:
        case TFieldType::SRational: {
            const uint32_t numerator = reader.U32(bigEndian_);
            const uint32_t denominator = reader.U32(bigEndian_);
            return denominator ? double(numerator) / denominator : 0.0;
        }
        case TFieldType::Float: {
            const uint32_t bits = reader.U32(bigEndian_);
            return double(std::bit_cast<float>(bits));
        }
        case TFieldType::Double:
            return std::bit_cast<double>(reader.U64(bigEndian_));
        case TFieldType::SByte:
            return double(int8_t(reader.U8()));
        case TFieldType::SShort:
            return double(int16_t(reader.U16(bigEndian_)));
        case TFieldType::SLong:
            return double(int32_t(reader.U32(bigEndian_)));
        case TFieldType::SLong8:
            return double(int64_t(reader.U64(bigEndian_)));
        default:
            return double(IntegerAt(bytes, uint16_t(type), 0));
        }
    }

    TStream* stream_;
    int64_t origin_;
    bool bigEndian_;
    bool big_;
    uint64_t size_;
    uint64_t offset_ = 0;
    std::vector<TEntry> entries_;
};

// The offset of directory number `index` of the chain from `first`, or nothing when the chain
// ends or loops before it. A loop is caught by comparing with a saved offset that is moved up
// to the current one after 1, 2, 4, ... steps, so no chain of any length is walked forever.
std::optional<uint64_t> DirectoryOffset(const TDirectory& directory, uint64_t first,
                                        uint32_t index) {
    uint64_t offset = first, saved = first;
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
    // No kind of the properties names these; the load decodes them by the tag.
    case TCompressionTag::LZMA:
    case TCompressionTag::Zstd:
    case TCompressionTag::WebP:
        return ckUnknown;
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

int32_t CheckedInt32(size_t value) {
    if (value > size_t(std::numeric_limits<int32_t>::max())) throw EImageFault(msgSizeOverflow);
    return int32_t(value);
}

size_t CeilDiv(size_t a, size_t b) {
    return a / b + (a % b != 0);
}

// The properties directory `directory` gives, besides those of the file's header; false when
// its width or height is 0 (the rest is then not read).
bool ReadProperties(const TDirectory& directory, TImageProperties& p) {
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
    // The orientation as stated (1 to 8; anything else is none).
    const uint32_t orientation = directory.Value(TTag::Orientation, 0);
    p.Orientation = orientation >= 1 && orientation <= 8 ? uint8_t(orientation) : 0;
    if (TFillOrder(directory.Value(TTag::FillOrder, 1)) == TFillOrder::LowBitFirst)
        p.Flags.Include(flLowBitFirst);
    return true;
}

// Reads the header of the file that starts at the stream's position and the directory of
// image `index`, filling the properties from both: the directory, or nothing when the header
// is not a TIFF one, the version is not 42, the chain ends (or loops) before the image or its
// width or height is 0. A directory past the end of the file raises.
std::optional<TDirectory> ReadHeader(TStream& stream, uint32_t index, TImageProperties& p) {
    const int64_t origin = stream.Position();
    uint8_t bytes[BigHeaderSize];
    const std::optional<TTIFFHeader> header =
        HeaderOf({bytes, size_t(stream.Read(bytes, BigHeaderSize))});
    if (!header) return std::nullopt;
    if (header->BigEndian) p.Flags.Include(flBigEndian);
    p.Version = header->Version;
    p.FirstIFD = uint32_t(std::min<uint64_t>(header->FirstIFD, UINT32_MAX));
    if (p.Version != TIFFVersion && p.Version != BigTIFFVersion) return std::nullopt;

    TDirectory directory(stream, origin, *header);
    const std::optional<uint64_t> offset = DirectoryOffset(directory, header->FirstIFD, index);
    if (!offset) return std::nullopt;
    directory.Read(*offset);
    if (!ReadProperties(directory, p)) return std::nullopt;
    return directory;
}

// --- Reduced-resolution images ---

// Directories after the first image looked at for reduced-resolution versions of it.
constexpr uint32_t ReducedImageLimit = 32;

// A reduced-resolution version of the first image: its directory and its properties.
struct TReducedImage {
    TDirectory Directory;
    TImageProperties Properties;
};

// Whether a picture of width x height has the proportions of one of fullWidth x fullHeight
// reduced by some factor, each side rounded either way.
bool SameProportions(double width, double height, double fullWidth, double fullHeight) {
    return std::abs(width * fullHeight - height * fullWidth) <= fullWidth + fullHeight;
}

// The smallest reduced-resolution version of the first image (properties `first`, directory
// `directory`) that still covers `wanted` (0 on a side: any size): the directories that follow
// the first image up to the next image of full resolution (NewSubfileType bit 0 clear) are
// looked at, transparency masks passed over, and those of other proportions or that are not
// smaller left out. Nothing when none qualifies, nothing is wanted, or the directories cannot
// be read (the first image is then loaded as it is).
std::optional<TReducedImage> FindReducedImage(const TDirectory& directory,
                                              const TImageProperties& first, int32_t wantedWidth,
                                              int32_t wantedHeight) {
    if (wantedWidth <= 0 && wantedHeight <= 0) return std::nullopt;
    const auto covers = [&](uint32_t width, uint32_t height) {
        return (wantedWidth <= 0 || width >= uint32_t(wantedWidth)) &&
               (wantedHeight <= 0 || height >= uint32_t(wantedHeight));
    };
    std::optional<TReducedImage> best;
    try {
        uint64_t offset = directory.Offset();
        for (uint32_t i = 0; i < ReducedImageLimit; ++i) {
            offset = directory.NextAfter(offset);
            if (offset == 0) break;
            TDirectory candidate = directory;
            candidate.Read(offset);
            const uint32_t type = candidate.Value(TTag::NewSubfileType, 0);
            if (!(type & sfReduced)) break;
            if (type & sfMask) continue;
            TImageProperties properties;
            properties.Version = first.Version;
            properties.FirstIFD = first.FirstIFD;
            if (first.Flags.Contains(flBigEndian)) properties.Flags.Include(flBigEndian);
            if (!ReadProperties(candidate, properties)) continue;
            const uint32_t width = properties.Width, height = properties.Height;
            const uint32_t bestWidth = best ? best->Properties.Width : first.Width;
            const uint32_t bestHeight = best ? best->Properties.Height : first.Height;
            if (width >= bestWidth || height >= bestHeight || !covers(width, height) ||
                !SameProportions(width, height, first.Width, first.Height))
                continue;
            best = TReducedImage{std::move(candidate), std::move(properties)};
        }
    } catch (const Exception&) {
        // A chain that breaks after the first image offers what was found before the break.
    }
    return best;
}

// The k x k blocks of a picture of width x height pixels (`pixel` bytes each, rows `stride`
// bytes apart), each averaged into one pixel of `target` (rows `targetStride` apart); the last
// blocks of a row or column hold what is left.
void AverageBlocks(const uint8_t* source, size_t stride, uint32_t width, uint32_t height,
                   size_t pixel, uint32_t k, uint8_t* target, size_t targetStride) {
    for (uint32_t y = 0; y * k < height; ++y) {
        const uint32_t rows = std::min(k, height - y * k);
        uint8_t* out = target + y * targetStride;
        for (uint32_t x = 0; x * k < width; ++x) {
            const uint32_t columns = std::min(k, width - x * k);
            const uint32_t count = rows * columns;
            const uint8_t* block = source + size_t(y) * k * stride + size_t(x) * k * pixel;
            for (size_t c = 0; c < pixel; ++c) {
                uint32_t sum = 0;
                for (uint32_t v = 0; v < rows; ++v)
                    for (uint32_t u = 0; u < columns; ++u) sum += block[v * stride + u * pixel + c];
                out[x * pixel + c] = uint8_t((sum + count / 2) / count);
            }
        }
    }
}

} // namespace

// --- Recognition and the header ---

bool TTIFFGraphic::Recognize(TStream& stream) {
    const int64_t remaining = stream.Remaining();
    if (remaining <= int64_t(HeaderSize)) return false;
    uint8_t bytes[BigHeaderSize];
    const std::optional<TTIFFHeader> header = HeaderOf({bytes, PeekBytes(stream, bytes)});
    return header && (header->Version == TIFFVersion || header->Version == BigTIFFVersion) &&
           header->FirstIFD < uint64_t(remaining);
}

bool TTIFFGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, index, ImageProperties).has_value();
}

void TTIFFGraphic::EncodeImage(TStream&) {
    throw EInvalidGraphic(FormatImageMessage(msgCannotSave, FormatName));
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
//
// Asked for a smaller picture, a load shrinks by a whole factor: JPEG blocks decode through
// libjpeg's scaled transform (the grid then being that of the scaled blocks, as if the image
// were stored at that size; tiles that reach past the image are decoded whole and averaged
// down, since their padding would show), other data is sampled every Shrink-th row and pixel: only
// the bands that hold such rows are decoded, only those rows of stored and PackBits strips are read
// or unpacked, and only they are converted.
struct TTIFFGraphic::TTIFFLoad {
    // `properties` describe the image of `directory` (the image's own for the first image).
    TTIFFLoad(TTIFFGraphic& image, TLoad& load, TDirectory directory, TImageProperties& properties)
        : Image(image), Load(load), P(properties), Directory(std::move(directory)),
          Offsets(load.Budget()), ByteCounts(load.Budget()), SortedOffsets(load.Budget()),
          Input(load.Budget()), Band(load.Budget()), Tile(load.Budget()), Unpacked(load.Budget()),
          Upsampled(load.Budget()), Scratch(load.Budget()), Sampled(load.Budget()),
          WholeTile(load.Budget()), OldJPEGStrip(load.Budget()) {}

    void Run();

private:
    void CheckSampleLayout();
    void CheckSampleDepth();
    void SetUpReduction(TColorModel source);
    void SetUpPredictor();
    uint64_t ExpansionLimit() const;
    void UndoPredictor(uint8_t* row);
    void SetUpValueAlpha();
    void SetValueColors();
    size_t ReadColorMap(TBudgetVector<uint8_t>& values);
    bool JPEG() const { return P.Compression == ckJPEG || P.Compression == ckOldJPEG; }
    // The fax decoders take fill order 2 data as it is.
    bool Fax() const {
        return P.Compression == ckFax3 || P.Compression == ckFax4 ||
               P.Compression == ckFaxHuffman || P.Compression == ckFaxHuffmanWord;
    }
    // Group 3 with T4Options bit 0: rows coded in one or two dimensions.
    bool TwoDimensionalFax3() const {
        return P.Compression == ckFax3 && (Directory.Value(TTag::T4Options, 0) & 1) != 0;
    }
    void ReadOldJPEG();
    bool HoldsScan(uint64_t start, uint64_t length);
    void ReadOldJPEGTables();
    void PutHuffmanTables(TTag tag, uint8_t tableClass, uint32_t components);
    std::span<const uint8_t> Wrapped(size_t block, std::span<const uint8_t> data);
    // False when the file holds none of the image's data.
    bool CheckDataSize();
    void SizeBlockRows();
    void ChooseShrink();
    bool ScalesBy(uint32_t scale) const;
    void ScaleBlocks(uint32_t scale);
    void SizeBitmap();
    void ChooseTransfer();
    void AllocateBuffers();
    void Transfer();
    void TransferStoredStrip(uint32_t band);
    void SetUpColors();
    void SetUpLayout();
    void ReadTables();
    void SetPalette();
    std::unique_ptr<TDecoder> MakeDecoder();
    void DecodeBand(uint32_t band);
    void ReadStoredRows(uint32_t band, uint32_t firstStoredRow, uint32_t storedRows);
    void DecodeBlock(size_t block, uint8_t* target, size_t bytes);
    bool PaddedEdgeTile(uint32_t band, uint32_t column) const;
    void DecodeEdgeTile(size_t block, uint32_t band, uint32_t column);
    size_t DecodeData(std::span<const uint8_t> data, uint8_t* target, size_t bytes);
    void DecodePackBitsRows(size_t block, uint8_t* target, uint32_t y0, size_t storedRows);
    std::span<const uint8_t> ReadCompressed(size_t block, size_t output);
    bool StoredRowsInMemory(uint32_t band, uint32_t firstStoredRow, uint32_t storedRows,
                            std::array<const uint8_t*, 4>& planes);
    void DecodeStripIntoBitmap(uint32_t band);
    uint64_t BlockRoom(uint64_t offset) const;
    uint64_t ByteCount(size_t block) const;
    uint64_t InputLimit(size_t output) const;
    uint64_t PresentBytes(size_t blockBytes) const;
    // Converts `rows` image rows from y0 on (those the bitmap takes), stored rows of each plane
    // from planes[p] on, `stride` bytes apart.
    void ConvertRows(uint32_t y0, uint32_t rows, const std::array<const uint8_t*, 4>& planes,
                     size_t stride);
    // Converts stored rows (each plane's at rows[p]) into bitmap row y.
    void ConvertRow(uint32_t y, const std::array<const uint8_t*, 4>& rows, size_t rowBytes);
    void FinishRow(uint32_t y);
    void TransferSampledStoredStrip(uint32_t band);
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
    TCompressionTag Scheme{};  // the Compression value
    TSampleFormat Format = TSampleFormat::Unsigned;
    TPredictor Predictor = TPredictor::None; // to undo on decoded rows
    bool SwapSamples = false; // wide samples in the other byte order than this machine's
    TExtraSample Alpha = TExtraSample::Unspecified; // the extra sample, when it is alpha
    bool ValueAlpha = false; // grey or palette pixels with alpha, made 4 bytes by the reader
    std::array<uint32_t, 256> ValueColors{};
    // Premultiplied colours are made straight with these quotients.
    std::vector<uint8_t> Quotients;
    bool Reversed = false;     // fill order 2 bytes to reverse before decoding
    bool Subsampled = false;   // YCbCr data units
    unsigned UnitWidth = 1;    // pixels across a YCbCr unit
    unsigned RowGroup = 1;     // image rows per stored row
    unsigned UnpackBits = 0;   // samples are unpacked to 8 or 16 bits before conversion
    bool UnpackScaled = false; // ... and scaled to the wider range
    // Wide, signed and floating-point samples are reduced to 8 bits before conversion.
    std::optional<TSampleReduction> Reduction;

    // The bitmap's size, and how it is reached: JPEG blocks decoded at 1 / Scale of their
    // size, or every Shrink-th stored row and pixel.
    uint32_t OutWidth = 0, OutHeight = 0;
    uint32_t Scale = 1;
    uint32_t Shrink = 1;
    // The bytes the conversion writes to a bitmap row, and the padding after them.
    size_t TargetRowBytes = 0, Padding = 0;

    // The block grid.
    bool Tiled = false;
    uint32_t BlockWidth = 0, BlockHeight = 0;
    uint32_t StoredBlockHeight = 0; // rows of a block as stored (before any JPEG scaling)
    uint32_t Across = 1, Down = 1;
    size_t BlockRowBytes = 0;   // one stored row of a block
    size_t BlockStoredRows = 0; // stored rows of a whole block
    size_t BandRowBytes = 0;    // one stored row across a band
    bool ByteAligned = true;    // block rows end on a byte within band rows
    size_t SegmentRows = 0;     // stored rows the band buffer holds for each plane
    size_t PlaneBytes = 0;      // bytes of one plane in the band buffer

    TBudgetVector<uint64_t> Offsets, ByteCounts, SortedOffsets;
    TBudgetVector<uint8_t> Input;     // one block as stored
    TBudgetVector<uint8_t> Band;      // one band as decoded
    TBudgetVector<uint8_t> Tile;      // one tile as decoded
    TBudgetVector<uint8_t> Unpacked;  // one row of each plane, unpacked
    TBudgetVector<uint8_t> Upsampled; // the image rows of one stored YCbCr row
    TBudgetVector<uint8_t> Scratch;   // one block row, for the floating-point predictor
    TBudgetVector<uint8_t> Sampled;   // the pixels of a row the bitmap takes, of each plane
    TBudgetVector<uint8_t> WholeTile; // a scaled JPEG tile at the edge, decoded whole
    size_t SampledBytes = 0;          // of one plane
    // Old-style JPEG with tables in tags: the stream's start (markers up to the frame), and
    // one strip wrapped into a whole stream.
    std::vector<uint8_t> OldJPEGHeader;
    TBudgetVector<uint8_t> OldJPEGStrip;
    TDecoder* Decoder = nullptr;
    // The decoders that tell how much they wrote: LZW, and deflate by moving its output;
    // JPEG writes every row.
    TTIFFLZWDecoder* LZW = nullptr;
    TTIFFJPEGDecoder* ScaledJPEG = nullptr; // JPEG blocks decoded scaled
    // The file's bytes, when the stream holds them in memory: blocks are then decoded from
    // there without a copy.
    std::span<const uint8_t> Memory;
    // Strips decode straight into the bitmap's rows (stored and bitmap rows of one size),
    // converted there in place, or not at all when the layouts are the same. PackBits and JPEG
    // strips go there row by row (rows may have padding); others as a whole.
    bool IntoBitmap = false;
    bool SameLayout = false;
};

void TTIFFGraphic::TTIFFLoad::Run() {
    Load.Prepare();
    Width = P.Width;
    Height = P.Height;
    if (Width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        Height > uint32_t(std::numeric_limits<int32_t>::max()))
        Load.Fail(msgInvalidSize, std::to_string(Width), std::to_string(Height));
    Scheme = TCompressionTag(Directory.Value(TTag::Compression, 1));
    CheckSampleLayout();
    SetUpPredictor();
    SetUpColors();
    SetUpLayout();
    if (ExpansionLimit() == 0) Load.Unsupported(msgCompressionScheme);
    ReadTables();
    if (!CheckDataSize()) {
        Load.Finish();
        return;
    }
    ChooseShrink();
    SizeBitmap();
    ChooseTransfer();
    AllocateBuffers();

    TDecoderSession decoder(MakeDecoder());
    Decoder = decoder.Get();
    Load.Finish();
    Load.BeginTransfer();
    Transfer();
    decoder.Finish();
    Decoder = nullptr;
    Load.Finish();
}

// The file must hold data for every block of the image before the bitmap is sized.
bool TTIFFGraphic::TTIFFLoad::CheckDataSize() {
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
    Load.RequireExpansion(needed, ExpansionLimit());
    // The decoders take sizes of 32 bits.
    const size_t blockBytes = CheckedMul(BlockStoredRows, BlockRowBytes);
    CheckedInt32(blockBytes);
    // Nothing from nothing: a file that holds none of the image's data gives an empty bitmap,
    // one that holds part of it must hold a real part (stored data: a quarter).
    const uint64_t present = PresentBytes(blockBytes);
    if (present == 0) return false;
    Load.RequireExpansion(needed, std::max<uint64_t>(ExpansionLimit(), 4), present);
    return true;
}

// Asked for a smaller picture: JPEG blocks through libjpeg's scaled transform (1/8, 1/4 or 1/2,
// the largest the factor allows that divides the blocks); what is left of the factor, and the
// factor of other data, by sampling every k-th row and pixel where pixels take whole bytes
// (subsampled YCbCr units and packed pixels are loaded whole).
void TTIFFGraphic::TTIFFLoad::ChooseShrink() {
    if (P.Compression == ckJPEG) {
        const uint32_t most = Image.ShrinkFactor(Width, Height, 8);
        for (uint32_t scale = 8; scale >= 2; scale /= 2) {
            if (scale > most || !ScalesBy(scale)) continue;
            ScaleBlocks(scale);
            break;
        }
    }
    const uint32_t factor = Image.SamplingFactor(Width, Height);
    if (factor > 1 && !Subsampled && PlaneBits % 8 == 0) Shrink = factor;
    OutWidth = uint32_t(SampledCount(Width, Shrink));
    OutHeight = uint32_t(SampledCount(Height, Shrink));
}

// Whether every block (but the last strip, which may be shorter) divides by the scale.
bool TTIFFGraphic::TTIFFLoad::ScalesBy(uint32_t scale) const {
    if (Tiled) return BlockWidth % scale == 0 && BlockHeight % scale == 0;
    return Down == 1 || BlockHeight % scale == 0;
}

// The grid of the scaled blocks: the image and its blocks 1 / scale of their size (rounded up).
void TTIFFGraphic::TTIFFLoad::ScaleBlocks(uint32_t scale) {
    Scale = scale;
    Width = uint32_t(SampledCount(Width, scale));
    Height = uint32_t(SampledCount(Height, scale));
    BlockWidth = Tiled ? BlockWidth / scale : Width;
    BlockHeight = Tiled || Down > 1 ? BlockHeight / scale : Height;
    SizeBlockRows();
}

void TTIFFGraphic::TTIFFLoad::SizeBitmap() {
    TColorManager& colors = *Image.ColorEngine;
    Image.SetPixelFormat(colors.TargetPixelFormat(true));
    // Transparency as the file marks it: an extra sample of unspecified meaning is no alpha.
    if (colors.TargetModel() == cmBGRAlpha && Alpha != TExtraSample::Unspecified)
        Image.AlphaFormat = afDefined;
    // Every row is converted (rows of blocks the file lacks from zeros): pixels of whole bytes
    // need no clearing first, only the padding after them.
    if (Image.BitsPerPixel() >= 8) {
        Image.SetSizeToOverwrite(int32_t(OutWidth), int32_t(OutHeight));
        TargetRowBytes = colors.RowBytes(OutWidth, true);
        Padding = Image.BytesPerLine() - TargetRowBytes;
    } else {
        Image.SetSize(int32_t(OutWidth), int32_t(OutHeight));
    }
    SetPalette();
}

void TTIFFGraphic::TTIFFLoad::ChooseTransfer() {
    TColorManager& colors = *Image.ColorEngine;
    if (auto* memory = dynamic_cast<TMemoryStream*>(&Load.Stream())) {
        const std::vector<uint8_t>& data = memory->Data();
        if (uint64_t(Image.StreamStart) <= data.size())
            Memory = std::span<const uint8_t>(data).subspan(size_t(Image.StreamStart));
    }
    const size_t targetRowBytes = colors.RowBytes(Width, true);
    const bool rowByRow = P.Compression == ckPackBits || P.Compression == ckJPEG;
    IntoBitmap = Shrink == 1 && !Tiled && Planes == 1 && !UnpackBits && !Subsampled &&
                 P.Compression != ckNone && (rowByRow || BlockRowBytes == Image.BytesPerLine()) &&
                 colors.RowBytes(Width, false) == targetRowBytes && targetRowBytes == BlockRowBytes;
    SameLayout = colors.SourceModel() == colors.TargetModel() &&
                 colors.SourceSampleBits() == colors.TargetSampleBits() &&
                 colors.SourceSampleBits() <= 8 && colors.TargetFlags.Empty();
}

// One band as decoded (none when strips decode into the bitmap), one tile besides it, the rows
// of the conversion steps; the block as stored grows as blocks need.
void TTIFFGraphic::TTIFFLoad::AllocateBuffers() {
    PlaneBytes = SegmentRows * BandRowBytes;
    if (!IntoBitmap) Band.Resize(CheckedMul(PlaneBytes, Planes));
    if (Tiled) Tile.Resize(CheckedMul(BlockStoredRows, BlockRowBytes));
    if (UnpackBits)
        Unpacked.Resize(
            CheckedMul(CheckedMul(size_t(OutWidth), PlaneSamples * (UnpackBits / 8)), Planes));
    if (Subsampled) Upsampled.Resize(CheckedMul(CheckedMul(size_t(Width), 3), RowGroup));
    if (Predictor == TPredictor::FloatingPoint) Scratch.Resize(BlockRowBytes);
    if (Scale > 1 && Tiled)
        WholeTile.Resize(CheckedMul(CheckedRowBytes(P.TileWidth, PlaneBits), P.TileLength));
    if (Shrink > 1) {
        SampledBytes = CheckedMul(size_t(OutWidth), PlaneBits / 8);
        Sampled.Resize(CheckedMul(SampledBytes, Planes));
    }
    if (Alpha == TExtraSample::Associated) Quotients = UnpremultiplyTable();
}

void TTIFFGraphic::TTIFFLoad::Transfer() {
    P.CurrentRow = 0;
    P.CurrentStrip = 0;
    P.StripCount = uint32_t(Offsets.size());
    for (uint32_t band = 0; band < Down; ++band) {
        const uint32_t y0 = band * BlockHeight;
        const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
        // A band that holds no row the bitmap takes is passed over.
        if (SampledOffset(y0, Shrink) >= rows) continue;
        P.CurrentStrip = band;
        if (P.Compression == ckNone && !Tiled) {
            if (Shrink > 1)
                TransferSampledStoredStrip(band);
            else
                TransferStoredStrip(band);
        } else if (IntoBitmap) {
            DecodeStripIntoBitmap(band);
        } else {
            DecodeBand(band);
            ConvertRows(y0, rows, BandPlanes(), BandRowBytes);
        }
    }
}

// Stored strips are read a few rows at a time (or converted from the file's bytes in memory).
void TTIFFGraphic::TTIFFLoad::TransferStoredStrip(uint32_t band) {
    const uint32_t y0 = band * BlockHeight;
    const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
    const uint32_t storedRows = uint32_t(CeilDiv(rows, RowGroup));
    for (uint32_t first = 0; first < storedRows; first += uint32_t(SegmentRows)) {
        const uint32_t count = std::min<uint32_t>(uint32_t(SegmentRows), storedRows - first);
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
}

// Shrinking, only the rows the bitmap takes are read (or converted from the bytes in memory).
void TTIFFGraphic::TTIFFLoad::TransferSampledStoredStrip(uint32_t band) {
    const uint32_t y0 = band * BlockHeight;
    const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
    for (uint32_t r = uint32_t(SampledOffset(y0, Shrink)); r < rows; r += Shrink) {
        std::array<const uint8_t*, 4> planes{};
        if (!StoredRowsInMemory(band, r, 1, planes)) {
            ReadStoredRows(band, r, 1);
            planes = BandPlanes();
        }
        ConvertRow((y0 + r) / Shrink, planes, BlockRowBytes);
    }
}

void TTIFFGraphic::TTIFFLoad::CheckSampleLayout() {
    const uint32_t samples = Directory.Value(TTag::SamplesPerPixel, 1);
    if (samples == 0 || samples > 255)
        Load.Fail(msgBadValue, FormatImageMessage(msgTIFFSamplesPerPixel, std::to_string(samples)));
    Samples = samples;
    CheckSampleDepth();
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
    // The extra sample of grey, palette and RGB pixels, when the file marks it as alpha.
    const std::vector<uint32_t> extra = Directory.Values(TTag::ExtraSamples, 1);
    const bool withExtra = P.ColorModel == cmRGBAlpha || Samples == 2;
    if (withExtra && !extra.empty() &&
        (TExtraSample(extra[0]) == TExtraSample::Associated ||
         TExtraSample(extra[0]) == TExtraSample::Unassociated))
        Alpha = TExtraSample(extra[0]);
}

// Unsigned integer samples of 1 to 16 or 32 bits, signed ones of 8, 16 or 32 bits (CIE L*a*b*
// samples are signed by definition, whatever the format says), floating-point ones of 16, 32
// or 64 bits.
void TTIFFGraphic::TTIFFLoad::CheckSampleDepth() {
    const std::vector<uint32_t> bits = Directory.Values(TTag::BitsPerSample, 1);
    Bits = bits.empty() ? 1 : bits[0];
    const uint32_t format = Directory.Value(TTag::SampleFormat, 1);
    Format = format == 0 || TSampleFormat(format) == TSampleFormat::Undefined
                 ? TSampleFormat::Unsigned
                 : TSampleFormat(format);
    if (Format != TSampleFormat::Unsigned && Format != TSampleFormat::Signed &&
        Format != TSampleFormat::Float)
        Load.Unsupported(msgTIFFSampleDepth);
    const bool floating = Format == TSampleFormat::Float;
    if (Bits == 0 || Bits > 64 || (!floating && Bits > 16 && Bits != 32))
        Load.Fail(msgBadValue, FormatImageMessage(msgTIFFBitsPerSample, std::to_string(Bits)));
    if (P.ColorModel == cmCIELab && Format == TSampleFormat::Signed)
        Format = TSampleFormat::Unsigned;
    if ((floating && Bits != 16 && Bits != 32 && Bits != 64) ||
        (Format == TSampleFormat::Signed && Bits != 8 && Bits != 16 && Bits != 32))
        Load.Unsupported(msgTIFFSampleDepth);
    SwapSamples = Directory.BigEndian() != (std::endian::native == std::endian::big);
}

// The horizontal predictor works on integers of 8 to 64 bits (floating-point samples are
// differenced as integers of their size), the floating-point one on floating-point samples;
// stored data has none to undo.
void TTIFFGraphic::TTIFFLoad::SetUpPredictor() {
    const TPredictor predictor = TPredictor(P.Predictor);
    Predictor = TPredictor::None;
    if (predictor == TPredictor::Absent || predictor == TPredictor::None) return;
    if ((predictor != TPredictor::Horizontal && predictor != TPredictor::FloatingPoint) ||
        (predictor == TPredictor::FloatingPoint && Format != TSampleFormat::Float))
        Load.Unsupported(msgTIFFPredictor);
    if (Scheme == TCompressionTag::None) return;
    if (predictor == TPredictor::Horizontal && Bits != 8 && Bits != 16 && Bits != 32 && Bits != 64)
        Load.Unsupported(msgTIFFPredictor);
    Predictor = predictor;
}

// Samples reduced to 8 bits by the reader: their kind, byte order and, for floating point, the
// range SMinSampleValue .. SMaxSampleValue (0 .. 1 when absent or empty), per sample.
void TTIFFGraphic::TTIFFLoad::SetUpReduction(TColorModel source) {
    if (source == cmPalette || source == cmYCbCr || source == cmCIELab)
        Load.Unsupported(msgTIFFSampleDepth);
    TSampleReduction reduction;
    switch (Format) {
    case TSampleFormat::Float:
        reduction.Kind = Bits == 16   ? TSampleKind::Float16
                         : Bits == 32 ? TSampleKind::Float32
                                      : TSampleKind::Float64;
        break;
    case TSampleFormat::Signed:
        reduction.Kind = Bits == 8    ? TSampleKind::Signed8
                         : Bits == 16 ? TSampleKind::Signed16
                                      : TSampleKind::Signed32;
        break;
    default:
        reduction.Kind = Bits == 16 ? TSampleKind::Unsigned16 : TSampleKind::Unsigned32;
        break;
    }
    // The floating-point predictor leaves the samples in this machine's order.
    reduction.Swap = SwapSamples && Predictor != TPredictor::FloatingPoint;
    if (Format == TSampleFormat::Float) {
        const std::vector<double> low = Directory.Reals(TTag::SMinSampleValue, Samples);
        const std::vector<double> high = Directory.Reals(TTag::SMaxSampleValue, Samples);
        const size_t count = std::max<size_t>({low.size(), high.size(), 1});
        reduction.Low.assign(count, 0.0);
        reduction.Scale.assign(count, 1.0);
        for (size_t k = 0; k < count; ++k) {
            const double lo = low.empty() ? 0.0 : low[std::min(k, low.size() - 1)];
            const double hi = high.empty() ? 1.0 : high[std::min(k, high.size() - 1)];
            if (!(hi > lo) || !std::isfinite(hi - lo)) continue;
            reduction.Low[k] = lo;
            reduction.Scale[k] = 1.0 / (hi - lo);
        }
    }
    Reduction = std::move(reduction);
}

// Grey or palette pixels with alpha become bitmap pixels of 4 bytes with that alpha: the
// samples are brought to 8 bits (grey levels scaled, indices as they are) and each value takes
// its colour from ValueColors.
void TTIFFGraphic::TTIFFLoad::SetUpValueAlpha() {
    const bool palette = P.ColorModel == cmPalette;
    if (palette && (Bits > 8 || Format != TSampleFormat::Unsigned))
        Load.Unsupported(msgTIFFSampleDepth);
    ValueAlpha = true;
    if (Bits > 8 || Format != TSampleFormat::Unsigned) {
        SetUpReduction(cmGray);
        UnpackBits = 8;
    } else if (Bits < 8) {
        UnpackBits = 8;
        UnpackScaled = !palette;
    }
    TColorManager& colors = *Image.ColorEngine;
    colors.SourceFlags.Clear();
    colors.TargetFlags.Clear();
    colors.SetSourceSampleBits(8);
    colors.SetTargetSampleBits(8);
    colors.SetSourceModel(cmBGRAlpha);
    colors.SetTargetModel(cmBGRAlpha);
    colors.SetSourceChannels(4);
    colors.SetTargetChannels(4);
}

// The colours of the 8-bit values of grey or palette pixels with alpha: grey levels (reversed
// where 0 is white), or the colour map's 16-bit entries as v x 255 div 65535 (entries the map
// does not hold are black).
void TTIFFGraphic::TTIFFLoad::SetValueColors() {
    const auto pack = [](uint8_t blue, uint8_t green, uint8_t red) {
        const uint8_t bytes[4] = {blue, green, red, 0};
        uint32_t color;
        std::memcpy(&color, bytes, 4);
        return color;
    };
    if (P.ColorModel != cmPalette) {
        const bool white = P.Flags.Contains(flWhiteIsZero);
        for (unsigned v = 0; v < 256; ++v) {
            const uint8_t g = uint8_t(white ? 255 - v : v);
            ValueColors[v] = pack(g, g, g);
        }
        return;
    }
    ValueColors.fill(pack(0, 0, 0));
    TBudgetVector<uint8_t> values(Load.Budget());
    const size_t entries = ReadColorMap(values);
    TByteReader reader(values.Span());
    std::array<uint8_t, 3 * 256> channels{};
    for (size_t i = 0; i < 3 * entries; ++i)
        channels[i] = uint8_t(reader.U16(Directory.BigEndian()) * 255u / 65535u);
    for (size_t i = 0; i < entries; ++i)
        ValueColors[i] = pack(channels[2 * entries + i], channels[entries + i], channels[i]);
}

void TTIFFGraphic::TTIFFLoad::UndoPredictor(uint8_t* row) {
    if (Predictor == TPredictor::Horizontal)
        UndoHorizontalPredictor(row, BlockWidth, PlaneSamples, Bits, SwapSamples);
    else if (Predictor == TPredictor::FloatingPoint)
        UndoFloatPredictor(row, size_t(BlockWidth) * PlaneSamples, Bits / 8, PlaneSamples,
                           Scratch.data());
}

void TTIFFGraphic::TTIFFLoad::SetUpColors() {
    TColorManager& colors = *Image.ColorEngine;
    const bool separate = TPlanarConfig(P.PlanarConfig) == TPlanarConfig::Separate && Samples > 1;
    // libjpeg delivers three interleaved components as blue, green, red.
    const bool jpegColors = JPEG() && !separate && Samples == 3;
    TColorModel source = jpegColors ? cmBGR : P.ColorModel;
    if ((source == cmGray || source == cmPalette) && Alpha != TExtraSample::Unspecified) {
        SetUpValueAlpha();
        return;
    }
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
    if (Bits > 16 || Format != TSampleFormat::Unsigned) {
        SetUpReduction(source);
        UnpackBits = 8;
        sourceBits = 8;
    } else if (!native) {
        if (palette && Bits > 8) Load.Unsupported(msgTIFFSampleDepth);
        UnpackBits = Bits < 8 ? 8 : 16;
        UnpackScaled = !palette;
        sourceBits = uint8_t(UnpackBits);
    }
    uint8_t targetBits = 8;
    if (indexed && sourceBits <= 8) targetBits = sourceBits == 1 ? 1 : sourceBits <= 4 ? 4 : 8;

    colors.SourceFlags.Clear();
    colors.TargetFlags.Clear();
    if (P.Flags.Contains(flBigEndian) && !UnpackBits) colors.SourceFlags.Include(cfSwapBytes);
    if (source == cmCIELab) {
        colors.SourceFlags.Include(cfLabScaledL);
        // L*a*b* is relative to D50 unless the file names its white (ImageMagick writes D65).
        const std::vector<float> white = Directory.Floats(TTag::WhitePoint, 2);
        if (white.size() == 2) colors.SetLabWhitePoint(white[0], white[1]);
    }
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
    Reversed = P.Flags.Contains(flLowBitFirst) && !Fax() && !JPEG();

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
    if (P.ColorModel == cmYCbCr && !JPEG()) {
        UnitWidth = P.YCbCrSubSampling[0];
        RowGroup = P.YCbCrSubSampling[1];
        Subsampled = UnitWidth != 1 || RowGroup != 1;
    }
    if (Subsampled) {
        if (separate || Predictor != TPredictor::None ||
            (Tiled && (BlockWidth % UnitWidth != 0 || BlockHeight % RowGroup != 0)))
            Load.Unsupported(msgTIFFSubsampling);
        if (Bits != 8) Load.Unsupported(msgTIFFSampleDepth);
    }
    StoredBlockHeight = BlockHeight;
    SizeBlockRows();
}

// The bytes of the grid's rows, from the blocks' size.
void TTIFFGraphic::TTIFFLoad::SizeBlockRows() {
    if (Subsampled) {
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
    // Offsets and counts past the end of the file reach its end and no further (BigTIFF
    // values of 64 bits then leave no sum that overflows).
    const uint64_t size = Directory.FileSize();
    for (uint64_t& offset : Offsets) offset = std::min(offset, size);
    for (uint64_t& count : ByteCounts) count = std::min(count, size);
    if (P.Compression == ckOldJPEG) ReadOldJPEG();
    // Where each block's data ends: at the next block above it, or the end of the file.
    SortedOffsets.Resize(Offsets.size());
    std::copy(Offsets.begin(), Offsets.end(), SortedOffsets.begin());
    std::sort(SortedOffsets.begin(), SortedOffsets.end());
    SortedOffsets.Resize(
        size_t(std::unique(SortedOffsets.begin(), SortedOffsets.end()) - SortedOffsets.begin()));
    if (P.Compression == ckJPEG) {
        if (const TEntry* tables = Directory.Find(TTag::JPEGTables)) {
            TBudgetVector<uint8_t> bytes(Load.Budget());
            Directory.RawValues(*tables, bytes, msgTIFFJPEGTables);
            P.JPEGTables.assign(bytes.begin(), bytes.end());
        }
    }
}

// The colour map's first 768 16-bit values (three planes of `entries` each) as stored; 0
// entries when the file has none.
size_t TTIFFGraphic::TTIFFLoad::ReadColorMap(TBudgetVector<uint8_t>& values) {
    const TEntry* map = Directory.Find(TTag::ColorMap);
    if (!map || map->Count < 3 || TypeSize(map->Type) != 2) return 0;
    TEntry limited = *map;
    limited.Count = std::min<uint64_t>(map->Count, 768);
    Directory.RawValues(limited, values, msgTIFFColorMap);
    return size_t(limited.Count / 3);
}

void TTIFFGraphic::TTIFFLoad::SetPalette() {
    if (ValueAlpha) {
        SetValueColors();
        return;
    }
    TColorManager& colors = *Image.ColorEngine;
    if (colors.TargetModel() == cmGray) {
        Image.SetPalette(colors.MakeGrayPalette(P.Flags.Contains(flWhiteIsZero)));
        return;
    }
    if (colors.TargetModel() != cmPalette) return;
    TBudgetVector<uint8_t> values(Load.Budget());
    const size_t entries = ReadColorMap(values);
    if (entries == 0) return;
    const std::span<const uint8_t> all = values.Span();
    Image.SetPalette(
        colors.MakeColorPalette({all.subspan(0, 2 * entries), all.subspan(2 * entries, 2 * entries),
                                 all.subspan(4 * entries, 2 * entries)},
                                plPlanar16x3, uint32_t(entries), false));
}

// --- Old-style JPEG ---
//
// Files of the first JPEG-in-TIFF design (TIFF 6.0, section 22) decode where they carry what
// libjpeg needs: an interchange stream (JPEGInterchangeFormat) that holds its own scan, taken
// as one strip of the whole image; or baseline strips whose tables are in JPEGQTables,
// JPEGDCTables and JPEGACTables, each strip then wrapped into a stream of its own. Anything
// else (tiles, separate planes, lossless processes, streams of tables alone) is refused.

namespace {

constexpr uint8_t MarkerSOI = 0xD8, MarkerEOI = 0xD9, MarkerSOS = 0xDA, MarkerDQT = 0xDB,
                  MarkerDHT = 0xC4, MarkerDRI = 0xDD, MarkerSOF0 = 0xC0;
// Markers walked before a stream's scan is given up for.
constexpr int MarkerLimit = 256;

void PutMarker(std::vector<uint8_t>& out, uint8_t marker, size_t length) {
    out.insert(out.end(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length)});
}

} // namespace

void TTIFFGraphic::TTIFFLoad::ReadOldJPEG() {
    if (Tiled || Planes > 1 || Samples > 4 || Width > 65535) Load.Unsupported(msgCompressionScheme);
    const uint64_t size = Directory.FileSize();
    const uint64_t start = Directory.Value(TTag::JPEGInterchangeFormat, 0);
    if (start != 0 && start < size) {
        uint64_t length = Directory.Value(TTag::JPEGInterchangeFormatLength, 0);
        if (length == 0 || length > size - start) length = size - start;
        if (HoldsScan(start, length)) {
            Offsets.Resize(1);
            Offsets[0] = start;
            ByteCounts.Resize(1);
            ByteCounts[0] = length;
            P.RowsPerStrip = {Height};
            SetUpLayout();
            return;
        }
    }
    if (Height > 65535) Load.Unsupported(msgCompressionScheme);
    ReadOldJPEGTables();
}

// Whether the stream at `start` opens with SOI and reaches a scan, walking its markers.
bool TTIFFGraphic::TTIFFLoad::HoldsScan(uint64_t start, uint64_t length) {
    Load.Seek(int64_t(start));
    if (length < 4 || Load.BE16() != (0xFF00 | MarkerSOI)) return false;
    uint64_t at = 2;
    for (int i = 0; i < MarkerLimit && at + 4 <= length; ++i) {
        const uint16_t marker = Load.BE16();
        if (marker >> 8 != 0xFF || (marker & 0xFF) == MarkerEOI) return false;
        if ((marker & 0xFF) == MarkerSOS) return true;
        const uint16_t segment = Load.BE16();
        at += 2 + uint64_t(segment);
        if (segment < 2 || at + 4 > length) return false;
        Load.Seek(int64_t(start + at));
    }
    return false;
}

void TTIFFGraphic::TTIFFLoad::ReadOldJPEGTables() {
    const uint32_t components = Samples;
    if (Directory.Value(TTag::JPEGProc, 1) != 1) Load.Unsupported(msgCompressionScheme);
    const std::vector<uint32_t> quantization = Directory.Values(TTag::JPEGQTables, components);
    if (quantization.size() < components) Load.Unsupported(msgCompressionScheme);
    std::vector<uint8_t>& out = OldJPEGHeader;
    out = {0xFF, MarkerSOI};
    for (uint32_t i = 0; i < components; ++i) {
        PutMarker(out, MarkerDQT, 67);
        out.push_back(uint8_t(i));
        Load.Seek(quantization[i]);
        Load.RequirePart(64, msgTIFFJPEGTables);
        out.resize(out.size() + 64);
        Load.Read(out.data() + out.size() - 64, 64);
    }
    PutHuffmanTables(TTag::JPEGDCTables, 0, components);
    PutHuffmanTables(TTag::JPEGACTables, 1, components);
    const uint32_t restart = Directory.Value(TTag::JPEGRestartInterval, 0);
    if (restart > 65535) Load.Unsupported(msgCompressionScheme);
    if (restart != 0) {
        PutMarker(out, MarkerDRI, 4);
        out.insert(out.end(), {uint8_t(restart >> 8), uint8_t(restart)});
    }
}

// One Huffman table per component: 16 code counts, then the values they count.
void TTIFFGraphic::TTIFFLoad::PutHuffmanTables(TTag tag, uint8_t tableClass, uint32_t components) {
    const std::vector<uint32_t> tables = Directory.Values(tag, components);
    if (tables.size() < components) Load.Unsupported(msgCompressionScheme);
    for (uint32_t i = 0; i < components; ++i) {
        uint8_t counts[16];
        Load.Seek(tables[i]);
        Load.RequirePart(sizeof counts, msgTIFFJPEGTables);
        Load.Read(counts, sizeof counts);
        size_t values = 0;
        for (uint8_t count : counts) values += count;
        if (values > 256) Load.Fail(msgBadValue, msgTIFFJPEGTables);
        Load.RequirePart(values, msgTIFFJPEGTables);
        std::vector<uint8_t>& out = OldJPEGHeader;
        PutMarker(out, MarkerDHT, 2 + 1 + sizeof counts + values);
        out.push_back(uint8_t(tableClass << 4 | i));
        out.insert(out.end(), counts, counts + sizeof counts);
        out.resize(out.size() + values);
        Load.Read(out.data() + out.size() - values, values);
    }
}

// A strip's data as a whole baseline stream: the tables, a frame of the strip's rows, a scan
// of every component (component i takes tables i), the data and the end of the image.
std::span<const uint8_t> TTIFFGraphic::TTIFFLoad::Wrapped(size_t block,
                                                          std::span<const uint8_t> data) {
    if (OldJPEGHeader.empty()) return data;
    const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - uint32_t(block) * BlockHeight);
    const uint32_t components = Samples;
    std::vector<uint8_t> frame;
    PutMarker(frame, MarkerSOF0, 8 + 3 * components);
    frame.insert(frame.end(), {8, uint8_t(rows >> 8), uint8_t(rows), uint8_t(Width >> 8),
                               uint8_t(Width), uint8_t(components)});
    for (uint32_t i = 0; i < components; ++i) {
        const bool subsampled = i == 0 && P.ColorModel == cmYCbCr;
        const uint8_t factors =
            subsampled ? uint8_t(P.YCbCrSubSampling[0] << 4 | P.YCbCrSubSampling[1]) : 0x11;
        frame.insert(frame.end(), {uint8_t(i + 1), factors, uint8_t(i)});
    }
    PutMarker(frame, MarkerSOS, 6 + 2 * components);
    frame.push_back(uint8_t(components));
    for (uint32_t i = 0; i < components; ++i)
        frame.insert(frame.end(), {uint8_t(i + 1), uint8_t(i << 4 | i)});
    frame.insert(frame.end(), {0, 63, 0});
    const size_t total = CheckedAdd(OldJPEGHeader.size() + frame.size() + 2, data.size());
    OldJPEGStrip.Resize(total);
    uint8_t* out = std::copy(OldJPEGHeader.begin(), OldJPEGHeader.end(), OldJPEGStrip.data());
    out = std::copy(frame.begin(), frame.end(), out);
    out = std::copy(data.begin(), data.end(), out);
    out[0] = 0xFF;
    out[1] = MarkerEOI;
    return OldJPEGStrip.Span();
}

// The most the scheme expands its data (0: no decoder). Two-dimensional fax rows take at least
// a bit each. LZMA, Zstandard and WebP can expand
// flat pictures almost without end: these limits pass the flattest pictures their encoders
// make of real sizes (xz about 6800 to 1, zstd 32000 to 1 on zeros) and keep a small file from
// claiming a huge image.
uint64_t TTIFFGraphic::TTIFFLoad::ExpansionLimit() const {
    // Two-dimensional fax codes a row like the one above it in a single bit.
    if (P.Compression == ckFax4 || TwoDimensionalFax3())
        return std::max<uint64_t>(8 * uint64_t(BlockRowBytes), 256);
    switch (Scheme) {
    case TCompressionTag::LZMA:
        return 8192;
    case TCompressionTag::Zstd:
        return 32768;
    case TCompressionTag::WebP:
        return 65536;
    default:
        return ExpansionRatio(P.Compression);
    }
}

std::unique_ptr<TDecoder> TTIFFGraphic::TTIFFLoad::MakeDecoder() {
    const bool lowBitFirst = P.Flags.Contains(flLowBitFirst);
    const uint32_t options = Directory.Value(TTag::T4Options, 0);
    std::unique_ptr<TDecoder> library;
    switch (Scheme) {
    case TCompressionTag::LZMA:
        library = MakeLZMADecoder(Load.Budget());
        break;
    case TCompressionTag::Zstd:
        library = MakeZstdDecoder(Load.Budget());
        break;
    case TCompressionTag::WebP:
        // 8-bit red, green, blue (and alpha) samples, interleaved.
        if (Bits == 8 && Planes == 1 && (Samples == 3 || Samples == 4) &&
            (P.ColorModel == cmRGB || P.ColorModel == cmRGBAlpha))
            library = MakeWebPDecoder(Load.Budget(), BlockWidth, Samples);
        break;
    default:
        break;
    }
    if (library) return library;
    switch (P.Compression) {
    case ckNone:
    case ckPackBits: // read through a TPackBitsCursor, row by row
        return nullptr;
    case ckLZW: {
        // What a strip does not fill is cleared after Produced(), so it may be written over.
        auto lzw = std::make_unique<TTIFFLZWDecoder>(true);
        LZW = lzw.get();
        return lzw;
    }
    case ckFax3:
        if (TwoDimensionalFax3())
            return std::make_unique<TCCITTFax3TwoDDecoder>(options, lowBitFirst, BlockWidth);
        return std::make_unique<TCCITTFax3Decoder>(options, lowBitFirst, false, BlockWidth);
    case ckFax4:
        return std::make_unique<TCCITTFax4Decoder>(lowBitFirst, BlockWidth);
    case ckFaxHuffman:
    case ckFaxHuffmanWord:
        return std::make_unique<TCCITTMHDecoder>(options, lowBitFirst,
                                                 P.Compression == ckFaxHuffmanWord, BlockWidth);
    case ckDeflate:
        return std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, true);
    case ckJPEG:
    case ckOldJPEG: {
        auto jpeg = std::make_unique<TTIFFJPEGDecoder>(
            P, &Load.Budget(), JPEGWorkPerByte * Directory.FileSize() + JPEGWorkAllowance);
        jpeg->SetScale(Scale);
        if (Scale > 1) ScaledJPEG = jpeg.get();
        if (IntoBitmap) jpeg->SetRowStride(Image.BytesPerLine());
        return jpeg;
    }
    case ckThunderscan:
        return std::make_unique<TThunderDecoder>(CheckedInt32(BlockWidth));
    default:
        Load.Unsupported(msgCompressionScheme);
    }
}

uint64_t TTIFFGraphic::TTIFFLoad::BlockRoom(uint64_t offset) const {
    const auto next = std::upper_bound(SortedOffsets.begin(), SortedOffsets.end(), offset);
    const uint64_t end = next != SortedOffsets.end() ? *next : Directory.FileSize();
    return end > offset ? end - offset : 0;
}

// A block's stated count (the room to the next block when it has none), cut at the next block.
uint64_t TTIFFGraphic::TTIFFLoad::ByteCount(size_t block) const {
    const uint64_t room = BlockRoom(Offsets[block]);
    return block < ByteCounts.size() ? std::min(ByteCounts[block], room) : room;
}

// The most input a block of `output` bytes can take from the encoders of its scheme (a whole
// row of alternating fax runs takes up to 8 bits a pixel; LZW codes take 12 bits for at least
// one byte; PackBits, deflate, LZMA, Zstandard and lossless WebP store incompressible data
// with small headers; progressive JPEG scans of noise can pass their samples); the rest of a
// longer count is never read.
uint64_t TTIFFGraphic::TTIFFLoad::InputLimit(size_t output) const {
    const uint64_t bytes = output;
    switch (Scheme) {
    case TCompressionTag::LZMA:
    case TCompressionTag::Zstd:
    case TCompressionTag::WebP:
        return 2 * bytes + 4096;
    default:
        break;
    }
    switch (P.Compression) {
    case ckFax3:
    case ckFax4:
    case ckFaxHuffman:
    case ckFaxHuffmanWord:
        return 16 * bytes + 1024;
    case ckJPEG:
    case ckOldJPEG:
        return 8 * bytes + 65536;
    default:
        return 2 * bytes + 1024;
    }
}

// The bytes of the image's data the file holds: each block's extent once, however many blocks
// share it (blocks of stored rows reach as far as their rows, compressed ones as their counts),
// cut at the next block and the end of the file.
uint64_t TTIFFGraphic::TTIFFLoad::PresentBytes(size_t blockBytes) const {
    const bool stored = P.Compression == ckNone;
    uint64_t present = 0;
    for (size_t i = 0; i < SortedOffsets.size(); ++i) {
        const uint64_t offset = SortedOffsets[i];
        present += stored ? std::min<uint64_t>(BlockRoom(offset), blockBytes) : BlockRoom(offset);
    }
    if (stored || ByteCounts.size() < Offsets.size()) return present;
    // Compressed blocks with counts: no more than their counts.
    uint64_t counted = 0;
    for (size_t block = 0; block < Offsets.size(); ++block) counted += ByteCount(block);
    return std::min(present, counted);
}

std::span<const uint8_t> TTIFFGraphic::TTIFFLoad::ReadCompressed(size_t block, size_t output) {
    if (block >= Offsets.size()) return {};
    const uint64_t offset = Offsets[block];
    const uint64_t size = Directory.FileSize();
    if (offset >= size) return {};
    // A count beyond the next block or the file is cut there.
    const size_t count = size_t(std::min<uint64_t>(
        {ByteCount(block), InputLimit(output), uint64_t(std::numeric_limits<int32_t>::max())}));
    // The fax decoders reverse the bits of their input in place: they get a copy.
    const bool changed = P.Flags.Contains(flLowBitFirst) && !JPEG();
    if (!Memory.empty() && !changed && offset + count <= Memory.size()) {
        Load.ChargeRead(count);
        return Wrapped(block, Memory.subspan(size_t(offset), count));
    }
    Load.Seek(int64_t(offset));
    Load.ReadBlock(Input, count);
    if (Reversed) ReverseBits(Input.data(), Input.size());
    return Wrapped(block, Input.Span());
}

// Decodes block `block` into `bytes` bytes at `target`; what the data does not reach is
// cleared.
void TTIFFGraphic::TTIFFLoad::DecodeBlock(size_t block, uint8_t* target, size_t bytes) {
    size_t produced = 0;
    if (P.Compression == ckNone) {
        if (block < Offsets.size() && Offsets[block] < Directory.FileSize()) {
            Load.Seek(Offsets[block]);
            produced = size_t(std::min<uint64_t>(bytes, Load.Remaining()));
            Load.Read(target, produced);
            if (Reversed) ReverseBits(target, produced);
        }
    } else {
        // Scaled JPEG blocks take the input of their whole size.
        const std::span<const uint8_t> data = ReadCompressed(block, bytes * Scale * Scale);
        if (!data.empty()) produced = DecodeData(data, target, bytes);
    }
    std::memset(target + produced, 0, bytes - produced);
}

// Decodes `data` into `bytes` bytes at `target`; answers how many of them it wrote (all, for
// the decoders that do not tell, whose output is cleared first).
size_t TTIFFGraphic::TTIFFLoad::DecodeData(std::span<const uint8_t> data, uint8_t* target,
                                           size_t bytes) {
    if (P.Compression == ckPackBits)
        return TPackBitsCursor(data.data(), data.size()).Read(target, bytes);
    const uint8_t* input = data.data();
    uint8_t* output = target;
    const bool moves =
        Scheme == TCompressionTag::AdobeDeflate || Scheme == TCompressionTag::Deflate;
    if (!LZW && !moves && !JPEG()) std::memset(target, 0, bytes);
    Decoder->Decode(input, output, int32_t(data.size()), CheckedInt32(bytes));
    if (LZW) return LZW->Produced();
    return moves ? size_t(output - target) : bytes;
}

// Whether a tile reaches past the image's right or bottom edge while JPEG blocks are scaled:
// the scaled transform works on whole JPEG blocks, which there take in whatever the writer put
// past the image (strips have no such padding: libjpeg's own repeats the last pixels).
bool TTIFFGraphic::TTIFFLoad::PaddedEdgeTile(uint32_t band, uint32_t column) const {
    return ScaledJPEG && ((column + 1 == Across && P.Width % P.TileWidth != 0) ||
                          (band + 1 == Down && P.Height % P.TileLength != 0));
}

// Such a tile is decoded whole and its part inside the image averaged down by Scale into the
// scaled tile.
void TTIFFGraphic::TTIFFLoad::DecodeEdgeTile(size_t block, uint32_t band, uint32_t column) {
    const size_t rowBytes = WholeTile.size() / P.TileLength;
    ScaledJPEG->SetScale(1);
    P.BytesPerRow = uint32_t(rowBytes);
    size_t produced = 0;
    const std::span<const uint8_t> data = ReadCompressed(block, WholeTile.size());
    if (!data.empty()) produced = DecodeData(data, WholeTile.data(), WholeTile.size());
    std::memset(WholeTile.data() + produced, 0, WholeTile.size() - produced);
    ScaledJPEG->SetScale(Scale);
    P.BytesPerRow = uint32_t(BlockRowBytes);
    const uint32_t width = std::min(P.TileWidth, P.Width - column * P.TileWidth);
    const uint32_t height = std::min(P.TileLength, P.Height - band * P.TileLength);
    AverageBlocks(WholeTile.data(), rowBytes, width, height, PlaneBits / 8, Scale, Tile.data(),
                  BlockRowBytes);
}

// A PackBits strip of which only the rows the bitmap takes are unpacked, the others passed
// over; rows the data does not reach are cleared.
void TTIFFGraphic::TTIFFLoad::DecodePackBitsRows(size_t block, uint8_t* target, uint32_t y0,
                                                 size_t storedRows) {
    const std::span<const uint8_t> data = ReadCompressed(block, storedRows * BlockRowBytes);
    TPackBitsCursor cursor(data.data(), data.size());
    for (size_t r = 0, next = SampledOffset(y0, Shrink); r < storedRows; ++r) {
        if (r != next) {
            cursor.Skip(BlockRowBytes);
            continue;
        }
        uint8_t* row = target + r * BlockRowBytes;
        const size_t produced = cursor.Read(row, BlockRowBytes);
        std::memset(row + produced, 0, BlockRowBytes - produced);
        next += Shrink;
    }
}

// The strip's rows decoded in the bitmap and converted there, each right after it is decoded
// (PackBits, JPEG at the bitmap's row stride) or after the whole strip.
void TTIFFGraphic::TTIFFLoad::DecodeStripIntoBitmap(uint32_t band) {
    const uint32_t y0 = band * BlockHeight;
    const uint32_t rows = std::min<uint32_t>(BlockHeight, Height - y0);
    P.CurrentRow = band * StoredBlockHeight;
    const size_t stride = Image.BytesPerLine();
    uint8_t* const first = Image.ScanLine(int32_t(y0));
    std::array<const uint8_t*, 4> planes{};
    if (P.Compression == ckPackBits) {
        const std::span<const uint8_t> data = ReadCompressed(band, rows * BlockRowBytes);
        TPackBitsCursor cursor(data.data(), data.size());
        for (uint32_t r = 0; r < rows; ++r) {
            uint8_t* row = first + r * stride;
            const size_t produced = cursor.Read(row, BlockRowBytes);
            std::memset(row + produced, 0, BlockRowBytes - produced);
            if (Predictor != TPredictor::None) UndoPredictor(row);
            planes[0] = row;
            ConvertRow(y0 + r, planes, BlockRowBytes);
        }
        return;
    }
    DecodeBlock(band, first, (rows - 1) * stride + BlockRowBytes);
    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = first + r * stride;
        if (Predictor != TPredictor::None) UndoPredictor(row);
        planes[0] = row;
        ConvertRow(y0 + r, planes, BlockRowBytes);
    }
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
    Load.ChargeRead(uint64_t(storedRows) * BlockRowBytes * Planes);
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
    // The predictor is undone on the rows the bitmap takes.
    const size_t firstSampled = SampledOffset(y0, Shrink);
    P.CurrentRow = band * StoredBlockHeight;
    for (uint32_t plane = 0; plane < Planes; ++plane) {
        uint8_t* planeRows = Band.data() + plane * PlaneBytes;
        const size_t strip = size_t(plane) * Down + band;
        if (!Tiled) {
            // A strip decodes straight into the band.
            if (P.Compression == ckPackBits && Shrink > 1)
                DecodePackBitsRows(strip, planeRows, y0, storedRows);
            else
                DecodeBlock(strip, planeRows, storedRows * BlockRowBytes);
            if (Predictor != TPredictor::None)
                for (size_t r = firstSampled; r < storedRows; r += Shrink)
                    UndoPredictor(planeRows + r * BlockRowBytes);
            continue;
        }
        if (!ByteAligned) std::memset(planeRows, 0, storedRows * BandRowBytes);
        for (uint32_t column = 0; column < Across; ++column) {
            if (PaddedEdgeTile(band, column))
                DecodeEdgeTile(strip * Across + column, band, column);
            else
                DecodeBlock(strip * Across + column, Tile.data(), Tile.size());
            for (size_t r = 0; r < storedRows; ++r) {
                uint8_t* row = Tile.data() + r * BlockRowBytes;
                if (Predictor != TPredictor::None && r >= firstSampled &&
                    (r - firstSampled) % Shrink == 0)
                    UndoPredictor(row);
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
    if (!Subsampled) {
        for (uint32_t r = uint32_t(SampledOffset(y0, Shrink)); r < rows; r += Shrink) {
            std::array<const uint8_t*, 4> row{};
            for (uint32_t plane = 0; plane < Planes; ++plane)
                row[plane] = planes[plane] + r * stride;
            ConvertRow((y0 + r) / Shrink, row, std::min(stride, BandRowBytes));
        }
        return;
    }
    const uint32_t storedRows = uint32_t(CeilDiv(rows, RowGroup));
    for (uint32_t r = 0; r < storedRows; ++r) {
        UpsampleUnits(planes[0] + r * stride, Width, UnitWidth, RowGroup, Upsampled.data());
        const size_t rowBytes = size_t(Width) * 3;
        for (uint32_t k = 0; k < RowGroup && r * RowGroup + k < rows; ++k) {
            const uint32_t y = y0 + r * RowGroup + k;
            Image.ColorEngine->ConvertRows(Upsampled.Span().subspan(k * rowBytes, rowBytes),
                                           Image.ScanLineSpan(int32_t(y)), Width);
            FinishRow(y);
        }
    }
}

void TTIFFGraphic::TTIFFLoad::ConvertRow(uint32_t y, const std::array<const uint8_t*, 4>& rows,
                                         size_t rowBytes) {
    // A strip decoded into the bitmap in its own layout is there already.
    if (!(IntoBitmap && SameLayout)) {
        // Shrinking: the pixels the bitmap takes, of each plane.
        std::array<const uint8_t*, 4> from = rows;
        if (Shrink > 1) {
            for (uint32_t plane = 0; plane < Planes; ++plane) {
                uint8_t* sampled = Sampled.data() + plane * SampledBytes;
                SamplePixels(rows[plane], PlaneBits / 8, OutWidth, Shrink, sampled);
                from[plane] = sampled;
            }
            rowBytes = SampledBytes;
        }
        std::array<std::span<const uint8_t>, 4> sources;
        const size_t unpackedBytes = size_t(OutWidth) * PlaneSamples * (UnpackBits / 8);
        for (uint32_t plane = 0; plane < Planes; ++plane) {
            if (UnpackBits) {
                uint8_t* unpacked = Unpacked.data() + plane * unpackedBytes;
                const size_t count = size_t(OutWidth) * PlaneSamples;
                if (Reduction)
                    ReduceSamples(*Reduction, from[plane], count, Planes > 1 ? plane : 0,
                                  PlaneSamples, unpacked);
                else
                    UnpackSamples(from[plane], count, Bits, UnpackBits == 16, UnpackScaled,
                                  unpacked);
                sources[plane] = {unpacked, unpackedBytes};
            } else {
                sources[plane] = {from[plane], rowBytes};
            }
        }
        if (ValueAlpha) {
            const bool apart = Planes > 1;
            ValueAlphaToBGRA(sources[0].data(), apart ? sources[1].data() : sources[0].data() + 1,
                             apart ? 1 : 2, OutWidth, ValueColors.data(),
                             Image.ScanLineSpan(int32_t(y)).data());
        } else {
            Image.ColorEngine->ConvertRows(
                std::span<const std::span<const uint8_t>>(sources.data(), Planes),
                Image.ScanLineSpan(int32_t(y)), OutWidth);
        }
    }
    if (!Quotients.empty()) Unpremultiply(Image.ScanLine(int32_t(y)), OutWidth, Quotients.data());
    FinishRow(y);
}

// Bitmap row y is done: its padding cleared (the bitmap was not), the progress told.
void TTIFFGraphic::TTIFFLoad::FinishRow(uint32_t y) {
    if (Padding) std::memset(Image.ScanLine(int32_t(y)) + TargetRowBytes, 0, Padding);
    ++P.CurrentRow;
    Load.Row(int32_t(y));
}

void TTIFFGraphic::DecodeImage(TStream& stream) {
    std::optional<TDirectory> directory;
    TLoad load(*this, stream, FormatName,
               [&] { return (directory = ReadHeader(stream, 0, ImageProperties)).has_value(); });
    // Asked for a smaller picture: a reduced-resolution version that covers it, when the file
    // holds one; should that one fail to load, the first image as always. The properties stay
    // those of the first image.
    if (std::optional<TReducedImage> reduced =
            FindReducedImage(*directory, ImageProperties, RequestedWidth(), RequestedHeight())) {
        try {
            TTIFFLoad(*this, load, std::move(reduced->Directory), reduced->Properties).Run();
            return;
        } catch (const Exception&) {
            ReleaseImage();
            SetPalette(TPalette());
            AlphaFormat = afIgnored;
        }
    }
    TTIFFLoad(*this, load, std::move(*directory), ImageProperties).Run();
}
