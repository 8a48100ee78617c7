// Messages: msgInvalidImage (no "P" at the start), the conversion error of StrToInt (a magic
// number whose second character is not a digit), msgStreamReadError with msgMapReadFormat (the
// data ends before the header or the raster is complete), msgUnexpectedCharacter (something
// else than white space, a comment or a digit where a number or a bit should be), msgBadValue
// with msgValueMaximum (a maximum value of 0 or above 65535), msgInvalidSize (a width or height
// beyond what a bitmap holds), and the bitmap's own size messages.
#include "imaging/formats/PPMGraphic.h"

#include "imaging/ColorManager.h"
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
    }

    // The next `count` bytes where they already are, when the stream holds them in memory and
    // nothing is read ahead; else nothing, and the caller reads them with ReadRaw.
    std::span<const uint8_t> Borrow(size_t count) {
        if (!memory_ || index_ != size_) return {};
        const int64_t position = memory_->Position();
        const std::vector<uint8_t>& data = memory_->Data();
        if (position < 0 || uint64_t(position) > data.size() ||
            count > data.size() - size_t(position))
            return {};
        memory_->Seek(int64_t(count), TSeekOrigin::soCurrent);
        return {data.data() + position, count};
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
        return size_ != 0;
    }

    TStream& stream_;
    TMemoryStream* memory_; // the same stream when it holds its bytes in memory
    std::array<uint8_t, 4096> buffer_;
    size_t index_ = 0;
    size_t size_ = 0;
};

struct TMapHeader {
    TMapKind Kind = TMapKind::Other;
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t MaxValue = 1;
};

// The header from the reader's position, leaving the reader at the first byte of the raster;
// nothing when the data does not start with "P".
std::optional<TMapHeader> ParseHeader(TMapReader& reader) {
    if (reader.Get() != 'P') return std::nullopt;
    const int digit = reader.Get();
    // The framework's conversion error names what stands there.
    const int32_t kind = StrToInt(digit >= 0 ? std::string(1, char(digit)) : std::string());
    TMapHeader header;
    if (kind < 1 || kind > 6) return header;
    header.Kind = TMapKind(kind);
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

// 8-bit levels of the samples 0 to `maximum`: v x 255 / maximum, rounded. Samples above the
// maximum are clamped to it by the callers.
void FillLevels(std::span<uint8_t> levels, uint32_t maximum) {
    for (uint32_t v = 0; v <= maximum; ++v) levels[v] = uint8_t((v * 255 + maximum / 2) / maximum);
}

// State of one load.
struct TMapLoad {
    TMapReader Reader;
    TMapHeader Header;
    size_t Samples = 1;            // samples per pixel
    TBudgetVector<uint8_t> Levels; // sample to 8-bit level, MaxValue + 1 entries
    TBudgetVector<uint8_t> Wide;   // one row of two-byte raw samples
    TBudgetVector<uint8_t> Row;    // one row of 8-bit red, green, blue samples
};

} // namespace

bool TPPMGraphic::Recognize(TStream& stream) {
    uint8_t bytes[RecognizeBytes];
    if (PeekBytes(stream, bytes) < RecognizeBytes) return false;
    return bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6';
}

bool TPPMGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    TImageProperties& properties = ImageProperties;
    properties.Compression = ckNone;
    TMapReader reader(stream);
    const std::optional<TMapHeader> header = ParseHeader(reader);
    if (!header) return false;
    if (header->Kind == TMapKind::Other) return true;
    properties.Width = header->Width;
    properties.Height = header->Height;
    const uint8_t depth = header->MaxValue > 255 ? 16 : 8;
    if (IsBitmap(header->Kind)) {
        properties.ColorModel = cmPalette;
        properties.SamplesPerPixel = 1;
        properties.BitsPerSample = 1;
    } else if (IsPixelMap(header->Kind)) {
        properties.ColorModel = cmRGB;
        properties.SamplesPerPixel = 3;
        properties.BitsPerSample = depth;
    } else {
        properties.ColorModel = cmPalette;
        properties.SamplesPerPixel = 1;
        properties.BitsPerSample = depth;
    }
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    return true;
}

void TPPMGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName);
    load.Seek(0);
    TMapLoad map{TMapReader(stream), {}, 1, load.Buffer(0), load.Buffer(0), load.Buffer(0)};
    const std::optional<TMapHeader> parsed = ParseHeader(map.Reader);
    if (!parsed) load.Fail(msgInvalidImage);
    map.Header = *parsed;
    const TMapHeader& header = map.Header;
    if (header.Kind == TMapKind::Other) {
        load.BeginTransfer();
        load.Finish();
        return;
    }

    // What the raster must hold at least: raw rows as they are; plain bits a character each;
    // plain samples a digit each and a separator between two.
    const TMapKind kind = header.Kind;
    map.Samples = IsPixelMap(kind) ? 3 : 1;
    const bool wide = header.MaxValue > 255;
    const size_t sampleBytes = wide ? 2 : 1;
    const size_t pixels = CheckedMul(header.Width, header.Height);
    const size_t samples = CheckedMul(pixels, map.Samples);
    const size_t rasterRowBytes =
        IsBitmap(kind) ? CheckedRowBytes(header.Width, 1)
                       : CheckedMul(CheckedMul(header.Width, map.Samples), sampleBytes);
    if (kind == TMapKind::PlainBitmap)
        map.Reader.Require(pixels);
    else if (IsPlain(kind))
        map.Reader.Require(samples == 0 ? 0 : CheckedMul(samples, 2) - 1);
    else
        map.Reader.Require(CheckedMul(rasterRowBytes, header.Height));

    TColorManager& colors = *ColorEngine;
    if (IsPixelMap(kind)) {
        // Pixel rows are stored red first; the bitmap takes them blue first.
        colors.SetSourceModel(cmRGB);
        colors.SetSourceChannels(3);
        colors.SetSourceSampleBits(8);
        colors.SetTargetModel(cmBGR);
        colors.SetTargetChannels(3);
        colors.SetTargetSampleBits(8);
        SetPixelFormat(colors.TargetPixelFormat());
    } else {
        // Bitmaps show 1 as black; grey maps 0 as black.
        colors.SetTargetChannels(1);
        colors.SetTargetSampleBits(IsBitmap(kind) ? 1 : 8);
        SetPixelFormat(colors.TargetPixelFormat());
        SetPalette(colors.MakeGrayPalette(IsBitmap(kind)));
    }

    const bool scaled = !IsBitmap(kind) && header.MaxValue != 255;
    if (scaled) {
        map.Levels.Resize(size_t(header.MaxValue) + 1);
        FillLevels(map.Levels, header.MaxValue);
    }
    SetSize(int32_t(header.Width), int32_t(header.Height));
    load.BeginTransfer();

    const int32_t height = Height();
    const size_t width = header.Width;
    const size_t rowSamples = width * map.Samples; // bounded by the checks above
    const uint32_t maximum = header.MaxValue;
    const uint8_t* levels = map.Levels.data();
    auto level = [levels, maximum](uint64_t v) { return levels[std::min<uint64_t>(v, maximum)]; };
    TMapReader& reader = map.Reader;
    if (wide && !IsPlain(kind)) map.Wide.Resize(rasterRowBytes);
    if (IsPixelMap(kind)) map.Row.Resize(rowSamples);

    for (int32_t y = 0; y < height && width != 0; ++y) {
        const std::span<uint8_t> line = ScanLineSpan(y);
        // Pixel rows are gathered apart and converted into the scan line; grey rows and bits
        // go straight into it.
        const std::span<uint8_t> samples = IsPixelMap(kind) ? map.Row.Span()
                                           : IsBitmap(kind) ? line
                                                            : line.first(rowSamples);
        switch (kind) {
        case TMapKind::RawBitmap:
            reader.ReadRaw(line.first(rasterRowBytes));
            break;
        case TMapKind::PlainBitmap: {
            // One digit a pixel, with or without white space or comments between them.
            std::fill_n(line.begin(), rasterRowBytes, 0);
            for (size_t x = 0; x < width; ++x) {
                const int c = reader.SkipSeparators();
                if (c < 0) ReadError();
                if (c != '0' && c != '1') UnexpectedCharacter(c, msgInPixelData);
                reader.Get();
                if (c == '1') line[x >> 3] |= uint8_t(0x80 >> (x & 7));
            }
            break;
        }
        case TMapKind::PlainGray:
        case TMapKind::PlainPixel:
            for (size_t i = 0; i < rowSamples; ++i)
                samples[i] = scaled
                                 ? level(reader.Number(msgInPixelData))
                                 : uint8_t(std::min<uint64_t>(reader.Number(msgInPixelData), 255));
            break;
        case TMapKind::RawGray:
        case TMapKind::RawPixel:
            if (wide) {
                reader.ReadRaw(map.Wide.Span());
                const uint8_t* source = map.Wide.data();
                for (size_t i = 0; i < rowSamples; ++i)
                    samples[i] = level((unsigned(source[2 * i]) << 8) | source[2 * i + 1]);
            } else if (const auto stored = reader.Borrow(rowSamples);
                       !stored.empty() && !scaled && IsPixelMap(kind)) {
                // Pixel rows held in memory are converted from where they are.
                colors.ConvertRows(stored, line, uint32_t(width));
                load.Row(y);
                continue;
            } else {
                if (stored.empty())
                    reader.ReadRaw(samples);
                else
                    std::memcpy(samples.data(), stored.data(), rowSamples);
                if (scaled)
                    for (size_t i = 0; i < rowSamples; ++i) samples[i] = level(samples[i]);
            }
            break;
        case TMapKind::Other:
            break;
        }
        if (IsPixelMap(kind)) colors.ConvertRows(samples, line, uint32_t(width));
        load.Row(y);
    }
    load.Finish();
}
