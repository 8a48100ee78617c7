// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgInvalidImage         no "P" at the start
//   msgStreamReadError      (with msgMapReadFormat) the data ends before the header or the
//                           raster is complete
//   msgUnexpectedCharacter  something else than white space, a comment or a digit where a
//                           number or a bit should be
//   msgBadValue             (with msgValueMaximum) a maximum value of 0 or above 65535
//   msgInvalidSize          a width or height beyond what a bitmap holds
// the conversion error of StrToInt (a magic number whose second character is not a digit),
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit.
#include "imaging/formats/PPMGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/RowSampling.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

DEFINE_GRAPHIC_CLASS(TPPMGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = msgMapFormats;
constexpr size_t RecognizeBytes = 11;

enum class TMapKind : uint8_t {
    Other = 0, // a magic digit this reader does not load (0, 7, 8, 9)
    PlainBitmap = 1,
    PlainGray = 2,
    PlainPixel = 3,
    RawBitmap = 4,
    RawGray = 5,
    RawPixel = 6,
};

bool IsPlain(TMapKind kind) {
    return kind >= TMapKind::PlainBitmap && kind <= TMapKind::PlainPixel;
}
bool IsBitmap(TMapKind kind) {
    return kind == TMapKind::PlainBitmap || kind == TMapKind::RawBitmap;
}
bool IsPixelMap(TMapKind kind) {
    return kind == TMapKind::PlainPixel || kind == TMapKind::RawPixel;
}

// The largest maximum value the format allows; samples above 255 take two bytes in raw maps.
constexpr uint32_t LargestMaximum = 65535;
// Numbers are accumulated up to this value and no further, so that no digit string overflows.
constexpr uint64_t NumberCap = uint64_t(1) << 40;

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

[[noreturn]] void ReadError() {
    throw EInvalidGraphic(FormatImageMessage(msgStreamReadError, msgMapReadFormat));
}

[[noreturn]] void UnexpectedCharacter(int c, const char* where) {
    const std::string shown =
        c >= 0x21 && c < 0x7F ? std::string("'") + char(c) + "'" : "of code " + std::to_string(c);
    throw EInvalidGraphic(FormatImageMessage(msgUnexpectedCharacter, FormatName, shown, where));
}

// The stream's bytes from its position through a read-ahead block: the header and the plain
// rasters are read a character at a time, raw rows in blocks.
class TMapReader {
public:
    explicit TMapReader(TStream& stream)
        : stream_(stream), memory_(dynamic_cast<TMemoryStream*>(&stream)) {}

    // The next byte, or -1 at the end of the stream.
    int Get() {
        if (index_ == size_ && !Refill()) return -1;
        return buffer_[index_++];
    }
    int Peek() {
        if (index_ == size_ && !Refill()) return -1;
        return buffer_[index_];
    }
    // Bytes left: those read ahead and those the stream still holds.
    uint64_t Remaining() const {
        return (size_ - index_) + uint64_t(std::max<int64_t>(stream_.Remaining(), 0));
    }
    // Raises the read error unless `count` more bytes are there.
    void Require(uint64_t count) const {
        if (count > Remaining()) ReadError();
    }
    // The next `count` bytes into `target`: the bytes read ahead first, then straight from
    // the stream.
    void ReadRaw(std::span<uint8_t> target) {
        const size_t buffered = std::min(target.size(), size_ - index_);
        std::memcpy(target.data(), buffer_.data() + index_, buffered);
        index_ += buffered;
        const size_t rest = target.size() - buffered;
        if (rest != 0 && stream_.Read(target.data() + buffered, rest) != rest) ReadError();
        Taken(rest);
    }

    // Passes over the next `count` bytes (which Require has found there) without reading them.
    void Skip(uint64_t count) {
        const size_t buffered = size_t(std::min<uint64_t>(count, size_ - index_));
        index_ += buffered;
        if (count > buffered) stream_.Seek(int64_t(count - buffered), TSeekOrigin::soCurrent);
    }

    // The next `count` bytes where they already are: in the read-ahead block, or in the
    // stream when it holds them in memory; else nothing, and the caller reads them with
    // ReadRaw.
    std::span<const uint8_t> Borrow(size_t count) {
        const size_t buffered = size_ - index_;
        if (count <= buffered) {
            index_ += count;
            return {buffer_.data() + index_ - count, count};
        }
        if (!memory_) return {};
        const int64_t position = memory_->Position();
        const std::vector<uint8_t>& data = memory_->Data();
        // The bytes read ahead are the stream's just before its position.
        if (position < int64_t(buffered) || uint64_t(position) > data.size() ||
            count - buffered > data.size() - size_t(position))
            return {};
        memory_->Seek(int64_t(count - buffered), TSeekOrigin::soCurrent);
        Taken(count - buffered);
        index_ = size_;
        return {data.data() + (size_t(position) - buffered), count};
    }

    // From now on the bytes taken from the stream are counted by `load` (those taken so far
    // included).
    void ChargeTo(TImageGraphic::TLoad& load) {
        load_ = &load;
        load.ChargeRead(taken_);
    }

    // Passes over white space and comments (from "#" to the end of its line); answers the
    // first other byte without taking it, or -1 at the end.
    int SkipSeparators() {
        for (;;) {
            const int c = Peek();
            if (c == '#') {
                SkipComment();
            } else if (IsSpace(c)) {
                ++index_;
            } else {
                return c;
            }
        }
    }
    // A decimal number after white space and comments; the end of the data raises the read
    // error, any other character `where` it stands. Values beyond NumberCap stay at it.
    uint64_t Number(const char* where) {
        const int first = SkipSeparators();
        if (first < 0) ReadError();
        if (!IsDigit(first)) UnexpectedCharacter(first, where);
        uint64_t value = 0;
        while (IsDigit(Peek())) value = std::min(value * 10 + uint64_t(Get() - '0'), NumberCap);
        return value;
    }
    // The single character that ends the header: white space, or a comment with its line end.
    void EndHeader() {
        const int c = Get();
        if (c == '#') {
            --index_;
            SkipComment();
            Get();
        } else if (c >= 0 && !IsSpace(c)) {
            UnexpectedCharacter(c, msgInHeader);
        }
    }

private:
    // From "#" up to (not including) the line's carriage return or line feed.
    void SkipComment() {
        for (int c = Peek(); c >= 0 && c != '\n' && c != '\r'; c = Peek()) ++index_;
    }
    bool Refill() {
        index_ = 0;
        size_ = stream_.Read(buffer_.data(), buffer_.size());
        Taken(size_);
        return size_ != 0;
    }
    void Taken(size_t count) {
        if (load_)
            load_->ChargeRead(count);
        else
            taken_ += count;
    }

    TStream& stream_;
    TImageGraphic::TLoad* load_ = nullptr;
    uint64_t taken_ = 0;    // bytes taken before ChargeTo
    TMemoryStream* memory_; // the same stream when it holds its bytes in memory
    std::array<uint8_t, 4096> buffer_;
    size_t index_ = 0;
    size_t size_ = 0;
};

// The header of the netpbm formats' descriptions (pbm, pgm, ppm): the magic number, then
// width, height and (but for bitmaps) the maximum value, as decimal numbers between white
// space and comments.
struct TMapHeader {
    TMapKind Kind = TMapKind::Other;
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t MaxValue = 1;
};

// The kind a magic digit names; Other for a digit outside 1..6. The framework's conversion
// error names what stands there when it is not a digit at all.
TMapKind KindOf(int digit) {
    const int32_t kind = StrToInt(digit >= 0 ? std::string(1, char(digit)) : std::string());
    return kind >= 1 && kind <= 6 ? TMapKind(kind) : TMapKind::Other;
}

// The header from the reader's position, leaving the reader at the first byte of the raster;
// nothing when the data does not start with "P". Other kinds are answered with nothing more
// read.
std::optional<TMapHeader> ParseHeader(TMapReader& reader) {
    if (reader.Get() != 'P') return std::nullopt;
    TMapHeader header;
    header.Kind = KindOf(reader.Get());
    if (header.Kind == TMapKind::Other) return header;
    const uint64_t width = reader.Number(msgInHeader);
    const uint64_t height = reader.Number(msgInHeader);
    constexpr uint64_t Largest = uint64_t(std::numeric_limits<int32_t>::max());
    if (width > Largest || height > Largest)
        throw EInvalidGraphic(FormatImageMessage(msgInvalidSize, FormatName, std::to_string(width),
                                                 std::to_string(height)));
    header.Width = uint32_t(width);
    header.Height = uint32_t(height);
    if (!IsBitmap(header.Kind)) {
        const uint64_t maximum = reader.Number(msgInHeader);
        if (maximum == 0 || maximum > LargestMaximum)
            throw EInvalidGraphic(
                FormatImageMessage(msgBadValue, FormatName,
                                   FormatImageMessage(msgValueMaximum, std::to_string(maximum))));
        header.MaxValue = uint32_t(maximum);
    }
    reader.EndHeader();
    return header;
}

// The header and what it tells of the image, or nothing when the data does not start with
// "P".
std::optional<TMapHeader> ReadHeader(TMapReader& reader, TImageProperties& properties) {
    properties.Compression = ckNone;
    const std::optional<TMapHeader> header = ParseHeader(reader);
    if (!header || header->Kind == TMapKind::Other) return header;
    properties.Width = header->Width;
    properties.Height = header->Height;
    const uint8_t depth = header->MaxValue > 255 ? 16 : 8;
    properties.ColorModel = IsPixelMap(header->Kind) ? cmRGB : cmPalette;
    properties.SamplesPerPixel = IsPixelMap(header->Kind) ? 3 : 1;
    properties.BitsPerSample = IsBitmap(header->Kind) ? 1 : depth;
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    return header;
}

// 8-bit levels of the samples 0 to `maximum`: v x 255 / maximum, rounded. Samples above the
// maximum are clamped to it by the callers.
void FillLevels(std::span<uint8_t> levels, uint32_t maximum) {
    for (uint32_t v = 0; v <= maximum; ++v) levels[v] = uint8_t((v * 255 + maximum / 2) / maximum);
}

} // namespace

bool TPPMGraphic::Recognize(TStream& stream) {
    uint8_t bytes[RecognizeBytes];
    if (PeekBytes(stream, bytes) < RecognizeBytes) return false;
    return bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6';
}

bool TPPMGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    TMapReader reader(stream);
    return ReadHeader(reader, ImageProperties).has_value();
}

// --- One load ---

struct TPPMGraphic::TMapLoad {
    TMapLoad(TPPMGraphic& image, TLoad& load, TMapReader& reader, const TMapHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Reader(reader), Header(header),
          Levels(load.Budget()), Wide(load.Budget()), Samples(load.Budget()), Whole(load.Budget()) {
    }

    void Run();

private:
    // Raises the read error unless the rest of the data can hold the raster.
    void RequireRaster() const;
    void SetUpColors();
    // A raw 8-bit raster held in memory, whose rows the bitmap takes without padding, in one
    // go; answers false when the raster is not such.
    bool ConvertHeldRaster();
    void ReadRow(int32_t y);
    // Shrinking: the factor (1 for bitmaps), the stored rows passed over before the next kept
    // one, and a kept row of stored row y x Shrink sampled into row y.
    uint32_t ChooseShrink() const;
    void SkipRows(size_t rows);
    void ReadShrunkRow(int32_t y);
    void ReadPlainBits(std::span<uint8_t> line);
    void ReadPlainSamples(std::span<uint8_t> samples);
    // Raw samples into `samples`, scaled to 8 bits; answers false when a pixel row held in
    // memory was converted into `line` from where it is.
    bool ReadRawSamples(std::span<uint8_t> samples, std::span<uint8_t> line);
    uint8_t Level(uint64_t v) const {
        return Levels[size_t(std::min<uint64_t>(v, Header.MaxValue))];
    }

    TPPMGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    TMapReader& Reader;
    const TMapHeader& Header;
    size_t Width = 0;
    size_t RowSamples = 0;          // samples of a row: width, or 3 x width for pixel maps
    size_t RasterRowBytes = 0;      // bytes of a raw row
    bool WideSamples = false;       // raw samples take two bytes (maximum above 255)
    bool Scaled = false;            // samples go through Levels
    uint32_t Shrink = 1;            // every Shrink-th pixel of every Shrink-th row is kept
    size_t Channels = 1;            // samples of a pixel
    TBudgetVector<uint8_t> Levels;  // sample to 8-bit level, MaxValue + 1 entries
    TBudgetVector<uint8_t> Wide;    // one row of two-byte raw samples
    TBudgetVector<uint8_t> Samples; // one row of 8-bit red, green, blue samples
    TBudgetVector<uint8_t> Whole;   // a kept row's 8-bit samples at full width
};

void TPPMGraphic::TMapLoad::Run() {
    if (Header.Kind == TMapKind::Other) {
        Load.BeginTransfer();
        Load.Finish();
        return;
    }
    const TMapKind kind = Header.Kind;
    Width = Header.Width;
    RowSamples = Width * (IsPixelMap(kind) ? 3 : 1); // bounded by RequireRaster
    WideSamples = Header.MaxValue > 255;
    RasterRowBytes = IsBitmap(kind) ? CheckedRowBytes(Header.Width, 1)
                                    : CheckedMul(CheckedMul(Header.Width, IsPixelMap(kind) ? 3 : 1),
                                                 WideSamples ? 2 : 1);
    RequireRaster();
    SetUpColors();
    Scaled = !IsBitmap(kind) && Header.MaxValue != 255;
    if (Scaled) {
        Levels.Resize(size_t(Header.MaxValue) + 1);
        FillLevels(Levels, Header.MaxValue);
    }
    Channels = IsPixelMap(kind) ? 3 : 1;
    Shrink = ChooseShrink();
    // Every row is written whole, its padding cleared (a load that fails releases the pixels).
    Image.SetSizeToOverwrite(int32_t(SampledCount(Header.Width, Shrink)),
                             int32_t(SampledCount(Header.Height, Shrink)));
    Load.BeginTransfer();
    if (WideSamples && !IsPlain(kind)) Wide.Resize(RasterRowBytes);
    if (IsPixelMap(kind)) Samples.Resize(size_t(Image.Width()) * Channels);
    if (Shrink > 1 && Wide.empty()) Whole.Resize(RowSamples);
    if (ConvertHeldRaster()) {
        Load.Finish();
        return;
    }
    for (int32_t y = 0; y < Image.Height() && Width != 0; ++y) {
        if (Shrink == 1) {
            ReadRow(y);
        } else {
            if (y != 0) SkipRows(Shrink - 1);
            ReadShrunkRow(y);
        }
        Load.Row(y);
    }
    Load.Finish();
}

bool TPPMGraphic::TMapLoad::ConvertHeldRaster() {
    if (IsPlain(Header.Kind) || IsBitmap(Header.Kind) || Scaled || WideSamples || Shrink != 1 ||
        Width == 0 || Image.BytesPerLine() != RowSamples)
        return false;
    const size_t height = size_t(Image.Height());
    const std::span<const uint8_t> stored = Reader.Borrow(RowSamples * height);
    if (stored.empty()) return false;
    // Blocks of rows whose pixels a count of the converter holds.
    const size_t blockRows = std::max<size_t>(1, (size_t(1) << 28) / Width);
    for (size_t y = 0; y < height; y += blockRows) {
        const size_t rows = std::min(blockRows, height - y);
        const std::span<const uint8_t> source = stored.subspan(y * RowSamples, rows * RowSamples);
        uint8_t* const target = Image.ScanLine(int32_t(y));
        if (IsPixelMap(Header.Kind))
            Colors.ConvertRows(source, {target, source.size()}, uint32_t(rows * Width));
        else
            TColorManager::CopyPixels(source, {target, source.size()});
        for (size_t row = y; row < y + rows; ++row) Load.Row(int32_t(row));
    }
    return true;
}

void TPPMGraphic::TMapLoad::RequireRaster() const {
    // What the raster must hold at least: raw rows as they are; plain bits a character each;
    // plain samples a digit each and a separator between two.
    const size_t pixels = CheckedMul(Header.Width, Header.Height);
    const size_t samples = CheckedMul(pixels, IsPixelMap(Header.Kind) ? 3 : 1);
    if (Header.Kind == TMapKind::PlainBitmap)
        Reader.Require(pixels);
    else if (IsPlain(Header.Kind))
        Reader.Require(samples == 0 ? 0 : CheckedMul(samples, 2) - 1);
    else
        Reader.Require(CheckedMul(RasterRowBytes, Header.Height));
}

void TPPMGraphic::TMapLoad::SetUpColors() {
    if (IsPixelMap(Header.Kind)) {
        // Pixel rows are stored red first; the bitmap takes them blue first.
        Colors.SetSourceModel(cmRGB);
        Colors.SetSourceChannels(3);
        Colors.SetSourceSampleBits(8);
        Colors.SetTargetModel(cmBGR);
        Colors.SetTargetChannels(3);
        Colors.SetTargetSampleBits(8);
        Image.SetPixelFormat(Colors.TargetPixelFormat());
    } else {
        // Bitmaps show 1 as black; grey maps 0 as black.
        Colors.SetTargetChannels(1);
        Colors.SetTargetSampleBits(IsBitmap(Header.Kind) ? 1 : 8);
        Image.SetPixelFormat(Colors.TargetPixelFormat());
        Image.SetPalette(Colors.MakeGrayPalette(IsBitmap(Header.Kind)));
    }
}

void TPPMGraphic::TMapLoad::ReadRow(int32_t y) {
    const std::span<uint8_t> line = Image.ScanLineSpan(y);
    const size_t lineBytes = IsBitmap(Header.Kind) ? RasterRowBytes : RowSamples;
    std::fill(line.begin() + std::ptrdiff_t(lineBytes), line.end(), 0);
    // Pixel rows are gathered apart and converted into the scan line; grey rows and bits go
    // straight into it.
    const bool pixelMap = IsPixelMap(Header.Kind);
    const std::span<uint8_t> samples = pixelMap ? Samples.Span() : line.first(RowSamples);
    switch (Header.Kind) {
    case TMapKind::RawBitmap:
        Reader.ReadRaw(line.first(RasterRowBytes));
        return;
    case TMapKind::PlainBitmap:
        ReadPlainBits(line);
        return;
    case TMapKind::PlainGray:
    case TMapKind::PlainPixel:
        ReadPlainSamples(samples);
        break;
    case TMapKind::RawGray:
    case TMapKind::RawPixel:
        if (!ReadRawSamples(samples, line)) return;
        break;
    case TMapKind::Other:
        return;
    }
    if (pixelMap) Colors.ConvertRows(samples, line, uint32_t(Width));
}

uint32_t TPPMGraphic::TMapLoad::ChooseShrink() const {
    return IsBitmap(Header.Kind) ? 1 : Image.SamplingFactor(Header.Width, Header.Height);
}

void TPPMGraphic::TMapLoad::SkipRows(size_t rows) {
    // Raw rows are passed over unread; plain samples must still be parsed to be passed.
    if (!IsPlain(Header.Kind)) {
        Reader.Skip(CheckedMul(RasterRowBytes, rows));
        return;
    }
    for (size_t i = 0, count = CheckedMul(RowSamples, rows); i < count; ++i)
        Reader.Number(msgInPixelData);
}

void TPPMGraphic::TMapLoad::ReadShrunkRow(int32_t y) {
    const std::span<uint8_t> line = Image.ScanLineSpan(y);
    const size_t width = size_t(Image.Width());
    const size_t kept = width * Channels;
    std::fill(line.begin() + std::ptrdiff_t(kept), line.end(), 0);
    const std::span<uint8_t> samples = IsPixelMap(Header.Kind) ? Samples.Span() : line.first(kept);
    if (!Wide.empty()) {
        // Two bytes a sample, most significant first: only the kept pixels' are scaled.
        Reader.ReadRaw(Wide.Span());
        TByteReader wide(Wide.Span());
        const size_t passed = size_t(Shrink - 1) * Channels * 2;
        for (size_t x = 0; x < width; ++x) {
            for (size_t c = 0; c < Channels; ++c) samples[x * Channels + c] = Level(wide.BE16());
            if (x + 1 < width) wide.Skip(passed);
        }
    } else {
        std::span<const uint8_t> stored;
        if (IsPlain(Header.Kind)) {
            ReadPlainSamples(Whole.Span());
            stored = Whole.Span();
        } else if ((stored = Reader.Borrow(RowSamples)).empty()) {
            Reader.ReadRaw(Whole.Span());
            stored = Whole.Span();
        }
        SamplePixels(stored.data(), Channels, width, Shrink, samples.data());
        // Plain samples were scaled as they were parsed.
        if (Scaled && !IsPlain(Header.Kind))
            for (uint8_t& sample : samples) sample = Level(sample);
    }
    if (IsPixelMap(Header.Kind)) Colors.ConvertRows(samples, line, uint32_t(width));
}

void TPPMGraphic::TMapLoad::ReadPlainBits(std::span<uint8_t> line) {
    // One digit a pixel, with or without white space or comments between them.
    std::fill_n(line.begin(), RasterRowBytes, 0);
    for (size_t x = 0; x < Width; ++x) {
        const int c = Reader.SkipSeparators();
        if (c < 0) ReadError();
        if (c != '0' && c != '1') UnexpectedCharacter(c, msgInPixelData);
        Reader.Get();
        if (c == '1') line[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
}

void TPPMGraphic::TMapLoad::ReadPlainSamples(std::span<uint8_t> samples) {
    for (uint8_t& sample : samples) {
        const uint64_t v = Reader.Number(msgInPixelData);
        sample = Scaled ? Level(v) : uint8_t(std::min<uint64_t>(v, 255));
    }
}

bool TPPMGraphic::TMapLoad::ReadRawSamples(std::span<uint8_t> samples, std::span<uint8_t> line) {
    if (WideSamples) {
        // Two bytes a sample, most significant first.
        Reader.ReadRaw(Wide.Span());
        TByteReader wide(Wide.Span());
        for (uint8_t& sample : samples) sample = Level(wide.BE16());
        return true;
    }
    const std::span<const uint8_t> stored = Reader.Borrow(RowSamples);
    if (!stored.empty() && !Scaled && IsPixelMap(Header.Kind)) {
        // Pixel rows held in memory are converted from where they are.
        Colors.ConvertRows(stored, line, uint32_t(Width));
        return false;
    }
    if (stored.empty())
        Reader.ReadRaw(samples);
    else
        std::memcpy(samples.data(), stored.data(), RowSamples);
    if (Scaled)
        for (uint8_t& sample : samples) sample = Level(sample);
    return true;
}

void TPPMGraphic::DecodeImage(TStream& stream) {
    TMapReader reader(stream);
    std::optional<TMapHeader> header;
    TLoad load(*this, stream, FormatName,
               [&] { return (header = ReadHeader(reader, ImageProperties)).has_value(); });
    reader.ChargeTo(load);
    TMapLoad(*this, load, reader, *header).Run();
}
