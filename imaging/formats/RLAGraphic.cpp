// Messages this reader raises (platform/graphics/ImageMessages.h):
//   msgBadValue            other than three colour channels (msgValueColorChannels), depths
//                          outside 1 to 16 (msgValueChannelBits, msgValueMatteBits), a row
//                          beyond the end of the file (msgValueRowOffset)
//   msgTruncatedPart       the file ends inside its row offsets (msgPartRowOffsets) or a
//                          channel (msgPartChannelData)
//   msgInvalidSize         an active window whose right side lies left of its left side
//   msgDataTooShort        a file that cannot hold the size it states, however well it packs
//   msgConversionFailed    a colour channel space this reader does not know
//                          (EColorConversionError)
//   the stream read error  a file shorter than its header
// and, from the bitmap and the load's budget, msgImageTooLarge and msgMemoryLimit. The channel
// space "xyz" leaves the bitmap empty without an error.
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
constexpr size_t MaxChannels = 4; // red, green, blue, matte

enum class TChannelSpace : uint8_t { Other, RGB, XYZ };

// The 740-byte header of Wavefront's RLA files, as the public description of the format
// (Wavefront's "RLA file format" notes, revision $FFFE) lays it out; numbers are big-endian
// and signed, texts end at their first zero byte.
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
    bool Matte() const { return MatteChannels > 0; }
    // A matte of no stated depth has the colour channels' depth.
    int MatteDepth() const { return MatteBits != 0 ? MatteBits : ChannelBits; }
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

// The header's fields; recognition asks for the revision and a known channel space.
std::optional<TRLAHeader> ParseHeader(TByteReader& reader) {
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

// The header and what it tells of the image; nothing for the channel space "xyz", which this
// reader does not convert. A stream shorter than the header raises its read error.
std::optional<TRLAHeader> ReadHeader(TStream& stream, TImageProperties& properties) {
    std::array<uint8_t, HeaderSize> bytes;
    stream.ReadBuffer(bytes.data(), bytes.size());
    TByteReader reader(bytes.data(), bytes.size());
    const std::optional<TRLAHeader> header = ParseHeader(reader);
    if (header->Space == TChannelSpace::XYZ) return std::nullopt;

    properties.Flags = TImageFlags(flBigEndian);
    properties.SamplesPerPixel = uint8_t(header->ColorChannels + (header->Matte() ? 1 : 0));
    properties.BitsPerSample = uint8_t(header->ChannelBits);
    properties.BitsPerPixel = uint8_t(properties.SamplesPerPixel * properties.BitsPerSample);
    if (header->Space == TChannelSpace::RGB)
        properties.ColorModel = header->Matte() ? cmRGBAlpha : cmRGB;
    else
        properties.ColorModel = cmUnknown;
    properties.SourceGamma = TRLAGraphic::ParseGamma(header->Gamma);
    properties.Compression = ckRunLength;
    properties.Width = uint32_t(std::max(header->Width(), 0));
    properties.Height = uint32_t(header->Height());
    properties.BottomUp = header->BottomUp();
    return header;
}

// Colours are stored premultiplied by the matte: takes a row's red, green and blue back to
// straight colour, rounded; where the matte is 0 they become 0.
void Unpremultiply(std::array<uint8_t*, 3> colours, const uint8_t* matte, size_t width) {
    for (size_t x = 0; x < width; ++x) {
        const unsigned a = matte[x];
        if (a == 255) continue;
        for (uint8_t* colour : colours)
            colour[x] = a == 0 ? 0 : uint8_t(std::min(255u, (colour[x] * 255u + a / 2) / a));
    }
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

// The bytes a channel's row is decoded into: its samples, two bytes each above 8 bits.
size_t StoredBytes(const TChannel& channel) {
    return channel.Bits > 8 ? channel.Stored.size() : channel.Row.size();
}

// The most coded bytes a channel's row can take: each sample a run of its own (a count and
// the byte). Bytes past them are never read, so that rows sharing their bytes cost no more
// than their samples.
size_t MostCoded(const TChannel& channel) {
    return 2 * StoredBytes(channel) + 2;
}

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
    return RecognizeHeader<HeaderSize>(stream, [](TByteReader& reader) {
        std::optional<TRLAHeader> header = ParseHeader(reader);
        if (header->Revision != Revision || header->Space == TChannelSpace::Other) header.reset();
        return header;
    });
}

bool TRLAGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
    TImageGraphic::ReadImageHeader(stream, index);
    return ReadHeader(stream, ImageProperties).has_value();
}

// --- One load ---

// Rows are reached through a table of offsets, one row at a time: each holds its red, green,
// blue (and matte) channels, each a 16-bit byte count and that many run-length bytes.
struct TRLAGraphic::TRLALoad {
    TRLALoad(TRLAGraphic& image, TLoad& load, const TRLAHeader& header)
        : Image(image), Load(load), Colors(*image.ColorEngine), Header(header),
          RowOffsets(load.Budget()), Coded(load.Budget()) {}

    void Run();

private:
    // The header's values this reader cannot show.
    void Check();
    void SetupColors();
    // The row offsets, each counted from the start of the image, within the file.
    void ReadRowOffsets();
    // The channel buffers; checks that the rows' coded bytes can hold the samples they take.
    void SizeChannels();
    // The coded bytes of the rows, each row's once however many rows share its offset.
    uint64_t CodedBytes();
    // Reads and decodes the next channel of the row into `channel.Row`; data that ends early
    // leaves the rest of the row 0.
    void ReadChannel(TChannel& channel);
    void ScaleWide(TChannel& channel);
    void ScaleNarrow(TChannel& channel);

    TRLAGraphic& Image;
    TLoad& Load;
    TColorManager& Colors;
    const TRLAHeader& Header;
    size_t Width = 0, Height = 0, Channels = 0;
    bool Matte = false;
    TBudgetVector<uint32_t> RowOffsets;
    std::optional<std::array<TChannel, MaxChannels>> Planes;
    TBudgetVector<uint8_t> Coded;     // one channel's run-length bytes
    std::array<uint8_t, 256> Scale{}; // samples of under 8 bits to 8 bits
    unsigned ScaleBits = 0;           // the depth Scale is filled for
    TRLADecoder Decoder;
};

void TRLAGraphic::TRLALoad::Check() {
    if (Image.ImageProperties.ColorModel == cmUnknown)
        throw EColorConversionError(msgConversionFailed);
    if (Header.ColorChannels != 3)
        Load.Fail(msgBadValue,
                  FormatImageMessage(msgValueColorChannels, std::to_string(Header.ColorChannels)));
    if (!ValidDepth(Header.ChannelBits))
        Load.Fail(msgBadValue,
                  FormatImageMessage(msgValueChannelBits, std::to_string(Header.ChannelBits)));
    Matte = Image.ImageProperties.ColorModel == cmRGBAlpha;
    if (Matte && !ValidDepth(Header.MatteDepth()))
        Load.Fail(msgBadValue,
                  FormatImageMessage(msgValueMatteBits, std::to_string(Header.MatteDepth())));
    if (Header.Width() <= 0)
        Load.Fail(msgInvalidSize, std::to_string(Header.Width()), std::to_string(Header.Height()));
    Width = size_t(Header.Width());
    Height = size_t(Header.Height());
    Channels = Matte ? 4 : 3;
}

void TRLAGraphic::TRLALoad::SetupColors() {
    // Every channel reaches the colour manager as 8-bit samples.
    Colors.SetSourceModel(Image.ImageProperties.ColorModel);
    Colors.SetSourceChannels(uint8_t(Channels));
    Colors.SetSourceSampleBits(8);
    Colors.SetTargetModel(Matte ? cmBGRAlpha : cmBGR);
    Colors.SetTargetChannels(uint8_t(Channels));
    Colors.SetTargetSampleBits(8);
    Image.SetPixelFormat(Colors.TargetPixelFormat());
    if (Matte) Image.AlphaFormat = afDefined;
    // The gamma states the display the image was made for: an image made for 2.2 shows as
    // stored, so the correction runs from 1 / gamma.
    const float gamma = Image.ImageProperties.SourceGamma;
    if (gamma != 1.0f) Image.ApplySourceGamma(1.0f / gamma);
}

void TRLAGraphic::TRLALoad::ReadRowOffsets() {
    const size_t tableBytes = CheckedMul(Height, 4);
    Load.RequirePart(tableBytes, msgPartRowOffsets);
    TBudgetVector<uint8_t> table = Load.Buffer(tableBytes);
    Load.Read(table.data(), tableBytes);
    const uint64_t imageBytes = HeaderSize + tableBytes + Load.Remaining();
    TByteReader offsets(table.data(), table.size());
    RowOffsets.Resize(Height);
    for (size_t i = 0; i < Height; ++i) {
        RowOffsets[i] = offsets.BE32();
        if (RowOffsets[i] >= imageBytes)
            Load.Fail(msgBadValue, FormatImageMessage(msgValueRowOffset, std::to_string(i),
                                                      std::to_string(RowOffsets[i])));
    }
}

void TRLAGraphic::TRLALoad::SizeChannels() {
    const unsigned bits = unsigned(Header.ChannelBits);
    Planes.emplace(std::array<TChannel, MaxChannels>{
        TChannel{bits, Load.Buffer(0), Load.Buffer(Width)},
        TChannel{bits, Load.Buffer(0), Load.Buffer(Width)},
        TChannel{bits, Load.Buffer(0), Load.Buffer(Width)},
        TChannel{unsigned(Header.MatteDepth()), Load.Buffer(0), Load.Buffer(0)}});
    if (Matte) (*Planes)[3].Row.Resize(Width);
    uint64_t storedBytes = 0;
    for (size_t c = 0; c < Channels; ++c) {
        const size_t sampleBytes = (*Planes)[c].Bits > 8 ? 2 : 1;
        if (sampleBytes == 2) (*Planes)[c].Stored.Resize(CheckedMul(Width, 2));
        storedBytes = CheckedAdd(storedBytes, CheckedMul(Width, sampleBytes));
    }
    Load.RequireExpansion(CheckedMul(storedBytes, Height), LargestExpansion, CodedBytes());
}

uint64_t TRLAGraphic::TRLALoad::CodedBytes() {
    TBudgetVector<uint32_t> offsets = Load.Buffer<uint32_t>(Height);
    std::copy(RowOffsets.begin(), RowOffsets.end(), offsets.begin());
    std::sort(offsets.begin(), offsets.end());
    uint64_t coded = 0;
    for (size_t i = 0; i < Height; ++i) {
        if (i > 0 && offsets[i] == offsets[i - 1]) continue;
        Load.Seek(offsets[i]);
        for (size_t c = 0; c < Channels; ++c) {
            Load.RequirePart(2, msgPartChannelData);
            const size_t length = Load.BE16();
            Load.RequirePart(length, msgPartChannelData);
            coded += std::min(length, MostCoded((*Planes)[c]));
            Load.Stream().Seek(int64_t(length), TSeekOrigin::soCurrent);
        }
    }
    return coded;
}

void TRLAGraphic::TRLALoad::ScaleWide(TChannel& channel) {
    // High bytes of the whole row, then low bytes.
    const uint8_t* high = channel.Stored.data();
    const uint8_t* low = high + Width;
    uint8_t* row = channel.Row.data();
    const unsigned maximum = (1u << channel.Bits) - 1;
    for (size_t x = 0; x < Width; ++x) {
        const unsigned v = std::min((unsigned(high[x]) << 8) | low[x], maximum);
        row[x] = uint8_t(v * 255 / maximum);
    }
}

void TRLAGraphic::TRLALoad::ScaleNarrow(TChannel& channel) {
    if (ScaleBits != channel.Bits) {
        const unsigned maximum = (1u << channel.Bits) - 1;
        for (unsigned v = 0; v < 256; ++v) Scale[v] = uint8_t(std::min(v, maximum) * 255 / maximum);
        ScaleBits = channel.Bits;
    }
    uint8_t* row = channel.Row.data();
    for (size_t x = 0; x < Width; ++x) row[x] = Scale[row[x]];
}

void TRLAGraphic::TRLALoad::ReadChannel(TChannel& channel) {
    Load.RequirePart(2, msgPartChannelData);
    const size_t length = Load.BE16();
    Load.RequirePart(length, msgPartChannelData);
    const bool wide = channel.Bits > 8;
    const std::span<uint8_t> target = wide ? channel.Stored.Span() : channel.Row.Span();
    const size_t used = std::min(length, MostCoded(channel));
    Load.ReadBlock(Coded, used);
    Load.Stream().Seek(int64_t(length - used), TSeekOrigin::soCurrent);
    std::fill(target.begin(), target.end(), 0);
    const uint8_t* input = Coded.data();
    uint8_t* output = target.data();
    Decoder.Decode(input, output, int32_t(used), int32_t(target.size()));
    if (wide)
        ScaleWide(channel);
    else if (channel.Bits < 8)
        ScaleNarrow(channel);
}

void TRLAGraphic::TRLALoad::Run() {
    Check();
    SetupColors();
    ReadRowOffsets();
    SizeChannels();
    Image.SetSize(int32_t(Width), int32_t(Height));
    Load.BeginTransfer();

    std::array<TChannel, MaxChannels>& planes = *Planes;
    const std::array<std::span<const uint8_t>, MaxChannels> sources{
        planes[0].Row.Span(), planes[1].Row.Span(), planes[2].Row.Span(), planes[3].Row.Span()};
    const std::span<const std::span<const uint8_t>> rows(sources.data(), Channels);
    for (size_t i = 0; i < Height; ++i) {
        Load.Seek(RowOffsets[i]);
        for (size_t c = 0; c < Channels; ++c) ReadChannel(planes[c]);
        if (Matte)
            Unpremultiply({planes[0].Row.data(), planes[1].Row.data(), planes[2].Row.data()},
                          planes[3].Row.data(), Width);
        const int32_t y = Header.BottomUp() ? int32_t(Height - 1 - i) : int32_t(i);
        Colors.ConvertRows(rows, Image.ScanLineSpan(y), uint32_t(Width));
        Load.Row(int32_t(i));
    }
    Load.Finish();
}

void TRLAGraphic::DecodeImage(TStream& stream) {
    std::optional<TRLAHeader> header;
    TLoad load(
        *this, stream, FormatName,
        [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); }, hcLeaveEmpty);
    if (!load.HeaderValid()) return;
    TRLALoad(*this, load, *header).Run();
}
