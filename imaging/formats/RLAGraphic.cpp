// Messages: msgBadValue with msgValueColorChannels (other than three colour channels),
// msgValueChannelBits and msgValueMatteBits (depths outside 1 to 16) and msgValueRowOffset (a
// row beyond the end of the file), msgTruncatedPart with msgPartRowOffsets and
// msgPartChannelData, msgInvalidSize (an active window whose right side lies left of its left
// side), msgDataTooShort (a file that cannot hold the size it states, however well it packs),
// msgConversionFailed (a colour channel space this reader does not know). The channel space
// "xyz" leaves the bitmap empty without an error.
#include "imaging/formats/RLAGraphic.h"

#include "imaging/ColorManager.h"
#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

DEFINE_GRAPHIC_CLASS(TRLAGraphic, TImageGraphic)

namespace {

constexpr const char* FormatName = "RLA";
constexpr size_t HeaderSize = 740;
constexpr uint16_t Revision = 0xFFFE;
// A repeat packet of two bytes gives up to 128 bytes.
constexpr uint64_t LargestExpansion = 64;
constexpr unsigned LargestDepth = 16;

enum class TChannelSpace : uint8_t { Other, RGB, XYZ };

struct TRLAHeader {
    int16_t ActiveLeft = 0;
    int16_t ActiveRight = 0;
    int16_t ActiveBottom = 0;
    int16_t ActiveTop = 0;
    int16_t ColorChannels = 0;
    int16_t MatteChannels = 0;
    uint16_t Revision = 0;
    std::string Gamma;
    TChannelSpace Space = TChannelSpace::Other;
    int16_t ChannelBits = 0;
    int16_t MatteBits = 0;

    int32_t Width() const { return int32_t(ActiveRight) - ActiveLeft + 1; }
    int32_t Height() const { return std::abs(int32_t(ActiveBottom) - ActiveTop) + 1; }
    bool BottomUp() const { return ActiveBottom < ActiveTop; }
};

// A text field: its bytes up to the first zero within its length.
std::string Text(TByteReader& reader, size_t length) {
    const uint8_t* bytes = reader.Take(length);
    const size_t used = size_t(std::find(bytes, bytes + length, 0) - bytes);
    return std::string(reinterpret_cast<const char*>(bytes), used);
}

TChannelSpace SpaceOf(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (text == "rgb") return TChannelSpace::RGB;
    if (text == "xyz") return TChannelSpace::XYZ;
    return TChannelSpace::Other;
}

TRLAHeader ParseHeader(TByteReader& reader) {
    TRLAHeader header;
    auto signed16 = [&reader] { return int16_t(reader.BE16()); };
    reader.Seek(8);
    header.ActiveLeft = signed16();
    header.ActiveRight = signed16();
    header.ActiveBottom = signed16();
    header.ActiveTop = signed16();
    reader.Seek(20);
    header.ColorChannels = signed16();
    header.MatteChannels = signed16();
    reader.Seek(26);
    header.Revision = reader.BE16();
    header.Gamma = Text(reader, 16);
    reader.Seek(580);
    header.Space = SpaceOf(Text(reader, 32));
    reader.Seek(658);
    header.ChannelBits = signed16();
    reader.Skip(2); // matte type
    header.MatteBits = signed16();
    return header;
}

bool ValidDepth(int bits) {
    return bits >= 1 && bits <= int(LargestDepth);
}

// One channel of a row: decoded as stored (bytes of more than 8 bits in two planes, the high
// bytes of every sample first), then taken to 8 bits, v x 255 div (2^bits - 1).
struct TChannel {
    unsigned Bits = 8;
    TBudgetVector<uint8_t> Stored; // width x bytes per sample
    TBudgetVector<uint8_t> Row;    // width 8-bit samples
};

// State of one load.
struct TRLALoad {
    TBudgetVector<uint8_t> Coded;   // one channel's run-length bytes
    std::array<uint8_t, 256> Scale; // samples of under 8 bits to 8 bits
};

} // namespace

float TRLAGraphic::ParseGamma(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    std::string number(text);
    std::replace(number.begin(), number.end(), ',', '.');
    float value = 0;
    const char* end = number.data() + number.size();
    const auto [stop, error] = std::from_chars(number.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value) || value <= 0) return 1.0f;
    return value;
}

bool TRLAGraphic::Recognize(TStream& stream) {
    if (stream.Remaining() <= int64_t(HeaderSize)) return false;
    std::array<uint8_t, HeaderSize> bytes;
    if (PeekBytes(stream, bytes) < HeaderSize) return false;
    TByteReader reader(bytes.data(), bytes.size());
    const TRLAHeader header = ParseHeader(reader);
    return header.Revision == Revision && header.Space != TChannelSpace::Other;
}

bool TRLAGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    std::array<uint8_t, HeaderSize> bytes;
    stream.ReadBuffer(bytes.data(), bytes.size());
    TByteReader reader(bytes.data(), bytes.size());
    const TRLAHeader header = ParseHeader(reader);

    TImageProperties& properties = ImageProperties;
    properties.Flags = TImageFlags(flBigEndian);
    const bool matte = header.MatteChannels > 0;
    properties.SamplesPerPixel = uint8_t(header.ColorChannels + (matte ? 1 : 0));
    properties.BitsPerSample = uint8_t(header.ChannelBits);
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    switch (header.Space) {
    case TChannelSpace::RGB:
        properties.ColorModel = matte ? cmRGBAlpha : cmRGB;
        break;
    case TChannelSpace::XYZ:
        return false;
    case TChannelSpace::Other:
        properties.ColorModel = cmUnknown;
        break;
    }
    properties.SourceGamma = ParseGamma(header.Gamma);
    properties.Compression = ckRunLength;
    properties.Width = uint32_t(std::max(header.Width(), 0));
    properties.Height = uint32_t(header.Height());
    properties.BottomUp = header.BottomUp();
    return true;
}

void TRLAGraphic::DecodeImage(TStream& stream) {
    TLoad load(*this, stream, FormatName, hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    load.Seek(0);
    std::array<uint8_t, HeaderSize> bytes;
    load.Read(bytes.data(), bytes.size());
    TByteReader reader(bytes.data(), bytes.size());
    const TRLAHeader header = ParseHeader(reader);

    const TColorModel model = ImageProperties.ColorModel;
    if (model == cmUnknown) throw EColorConversionError(msgConversionFailed);
    if (header.ColorChannels != 3)
        load.Fail(msgBadValue,
                  FormatImageMessage(msgValueColorChannels, std::to_string(header.ColorChannels)));
    if (!ValidDepth(header.ChannelBits))
        load.Fail(msgBadValue,
                  FormatImageMessage(msgValueChannelBits, std::to_string(header.ChannelBits)));
    const bool matte = model == cmRGBAlpha;
    // A matte of no stated depth has the colour channels' depth.
    const int matteBits = header.MatteBits != 0 ? header.MatteBits : header.ChannelBits;
    if (matte && !ValidDepth(matteBits))
        load.Fail(msgBadValue, FormatImageMessage(msgValueMatteBits, std::to_string(matteBits)));
    if (header.Width() <= 0)
        load.Fail(msgInvalidSize, std::to_string(header.Width()), std::to_string(header.Height()));
    const size_t width = size_t(header.Width());
    const size_t height = size_t(header.Height());

    // Every channel reaches the colour manager as 8-bit samples.
    TColorManager& colors = *ColorEngine;
    const uint8_t channels = matte ? 4 : 3;
    colors.SetSourceModel(model);
    colors.SetSourceChannels(channels);
    colors.SetSourceSampleBits(8);
    colors.SetTargetModel(matte ? cmBGRAlpha : cmBGR);
    colors.SetTargetChannels(channels);
    colors.SetTargetSampleBits(8);
    SetPixelFormat(colors.TargetPixelFormat());
    if (matte) AlphaFormat = afDefined;
    // The gamma states the display the image was made for: an image made for 2.2 shows as
    // stored, so the correction runs from 1 / gamma.
    if (ImageProperties.SourceGamma != 1.0f) ApplySourceGamma(1.0f / ImageProperties.SourceGamma);

    // The row offsets, each counted from the start of the image, within the file.
    const size_t tableBytes = CheckedMul(height, 4);
    if (load.Remaining() < tableBytes) load.Fail(msgTruncatedPart, msgPartRowOffsets);
    TBudgetVector<uint8_t> table = load.Buffer(tableBytes);
    load.Read(table.data(), tableBytes);
    const uint64_t imageBytes = HeaderSize + tableBytes + load.Remaining();
    TByteReader offsets(table.data(), table.size());
    TBudgetVector<uint32_t> rowOffsets = load.Buffer<uint32_t>(height);
    for (size_t i = 0; i < height; ++i) {
        rowOffsets[i] = offsets.BE32();
        if (rowOffsets[i] >= imageBytes)
            load.Fail(msgBadValue, FormatImageMessage(msgValueRowOffset, std::to_string(i),
                                                      std::to_string(rowOffsets[i])));
    }

    std::array<TChannel, 4> planes{
        TChannel{unsigned(header.ChannelBits), load.Buffer(0), load.Buffer(width)},
        TChannel{unsigned(header.ChannelBits), load.Buffer(0), load.Buffer(width)},
        TChannel{unsigned(header.ChannelBits), load.Buffer(0), load.Buffer(width)},
        TChannel{unsigned(matteBits), load.Buffer(0), load.Buffer(0)}};
    if (matte) planes[3].Row.Resize(width);
    uint64_t storedBytes = 0;
    for (size_t c = 0; c < channels; ++c) {
        const size_t sampleBytes = planes[c].Bits > 8 ? 2 : 1;
        if (sampleBytes == 2) planes[c].Stored.Resize(CheckedMul(width, 2));
        storedBytes = CheckedAdd(storedBytes, CheckedMul(width, sampleBytes));
    }
    load.RequireExpansion(CheckedMul(storedBytes, height), LargestExpansion);
    SetSize(int32_t(width), int32_t(height));

    TRLALoad rla{load.Buffer(0), {}};
    auto fillScale = [&rla](unsigned bits) {
        const unsigned maximum = (1u << bits) - 1;
        for (unsigned v = 0; v < 256; ++v)
            rla.Scale[v] = uint8_t(std::min(v, maximum) * 255 / maximum);
    };
    TRLADecoder decoder;
    load.BeginTransfer();

    // Reads and decodes the next channel of the row into `channel.Row`; data that ends early
    // leaves the rest of the row 0.
    auto readChannel = [&](TChannel& channel) {
        if (load.Remaining() < 2) load.Fail(msgTruncatedPart, msgPartChannelData);
        uint8_t count[2];
        load.Read(count, 2);
        const size_t length = size_t(count[0]) << 8 | count[1];
        if (load.Remaining() < length) load.Fail(msgTruncatedPart, msgPartChannelData);
        load.ReadBlock(rla.Coded, length);
        const bool wide = channel.Bits > 8;
        const std::span<uint8_t> target = wide ? channel.Stored.Span() : channel.Row.Span();
        std::fill(target.begin(), target.end(), 0);
        const uint8_t* input = rla.Coded.data();
        uint8_t* output = target.data();
        decoder.Decode(input, output, int32_t(length), int32_t(target.size()));
        uint8_t* row = channel.Row.data();
        if (wide) {
            // High bytes of the whole row, then low bytes.
            const uint8_t* high = channel.Stored.data();
            const uint8_t* low = high + width;
            const unsigned maximum = (1u << channel.Bits) - 1;
            for (size_t x = 0; x < width; ++x) {
                const unsigned v = std::min((unsigned(high[x]) << 8) | low[x], maximum);
                row[x] = uint8_t(v * 255 / maximum);
            }
        } else if (channel.Bits < 8) {
            fillScale(channel.Bits);
            for (size_t x = 0; x < width; ++x) row[x] = rla.Scale[row[x]];
        }
    };

    const std::array<std::span<const uint8_t>, 4> sources{
        planes[0].Row.Span(), planes[1].Row.Span(), planes[2].Row.Span(), planes[3].Row.Span()};
    const std::span<const std::span<const uint8_t>> rows(sources.data(), channels);
    for (size_t i = 0; i < height; ++i) {
        load.Seek(rowOffsets[i]);
        for (size_t c = 0; c < channels; ++c) readChannel(planes[c]);
        const int32_t y = header.BottomUp() ? int32_t(height - 1 - i) : int32_t(i);
        colors.ConvertRows(rows, ScanLineSpan(y), uint32_t(width));
        load.Row(int32_t(i));
    }
    load.Finish();
}
