#include "imaging/codecs/FaxDecoders.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace {

// Code words of ITU-T T.4, most significant bit first.

// Terminating codes, run lengths 0 to 63.
constexpr std::array<std::string_view, 64> WhiteTerminating = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};

constexpr std::array<std::string_view, 64> BlackTerminating = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};

// Make-up codes, run lengths 64, 128, ... 1728.
constexpr std::array<std::string_view, 27> WhiteMakeUp = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};

constexpr std::array<std::string_view, 27> BlackMakeUp = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101"};

// Extended make-up codes shared by both colours, run lengths 1792, 1856, ... 2560.
constexpr std::array<std::string_view, 13> ExtendedMakeUp = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111"};

constexpr std::string_view EndOfLineCode = "000000000001";
constexpr int32_t InvalidCode = -2;
// Bit strings no valid code starts with.
constexpr std::array<std::string_view, 4> InvalidCodes = {"000000001", "0000000001", "00000000001",
                                                          "000000000000"};

constexpr std::array<uint8_t, 256> MakeReverseTable() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (i & (1 << bit)) r |= 0x80 >> bit;
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}
constexpr std::array<uint8_t, 256> ReversedBits = MakeReverseTable();

template <typename Tree> void Insert(Tree& tree, std::string_view code, int32_t value) {
    size_t node = 0;
    for (char c : code) {
        const int bit = c == '1';
        if (tree[node].Child[bit] == 0) {
            tree[node].Child[bit] = static_cast<uint16_t>(tree.size());
            tree.emplace_back();
        }
        node = tree[node].Child[bit];
    }
    tree[node].Value = value;
}

template <typename Tree, size_t N, size_t M>
Tree BuildTree(const std::array<std::string_view, N>& terminating,
               const std::array<std::string_view, M>& makeUp) {
    Tree tree(1);
    for (size_t i = 0; i < terminating.size(); ++i)
        Insert(tree, terminating[i], static_cast<int32_t>(i));
    for (size_t i = 0; i < makeUp.size(); ++i)
        Insert(tree, makeUp[i], static_cast<int32_t>(64 * (i + 1)));
    for (size_t i = 0; i < ExtendedMakeUp.size(); ++i)
        Insert(tree, ExtendedMakeUp[i], static_cast<int32_t>(1792 + 64 * i));
    Insert(tree, EndOfLineCode, -1);
    for (std::string_view code : InvalidCodes) Insert(tree, code, InvalidCode);
    return tree;
}

} // namespace

TCCITTDecoder::TCCITTDecoder(bool reverseBits, bool wordAlignedRows, uint32_t lineWidth)
    : reverseBits_(reverseBits), wordAlignedRows_(wordAlignedRows), lineWidth_(lineWidth),
      whiteTree_(BuildTree<TCodeTree>(WhiteTerminating, WhiteMakeUp)),
      blackTree_(BuildTree<TCodeTree>(BlackTerminating, BlackMakeUp)) {}

void TCCITTDecoder::Start(const uint8_t* input, int32_t inputSize, uint8_t* output,
                          int32_t outputSize) {
    input_ = input;
    bitPos_ = 0;
    inputBits_ = input ? uint64_t(std::max(inputSize, 0)) * 8 : 0;
    output_ = output;
    outputSize_ = output ? uint64_t(std::max(outputSize, 0)) : 0;
    if (outputSize_) std::memset(output_, 0, outputSize_);
    rowBytes_ = (uint64_t(lineWidth_) + 7) / 8;
    rowStart_ = 0;
    missing_ = lineWidth_;
    black_ = false;
    // Without pixels per row there is nothing to place.
    if (lineWidth_ == 0) outputSize_ = 0;
}

bool TCCITTDecoder::PeekBit() const {
    uint8_t byte = input_[bitPos_ >> 3];
    if (reverseBits_) byte = ReversedBits[byte];
    return (byte << (bitPos_ & 7)) & 0x80;
}

int32_t TCCITTDecoder::ReadRun() {
    const TCodeTree& tree = black_ ? blackTree_ : whiteTree_;
    int64_t sum = 0;
    size_t node = 0;
    for (;;) {
        const TNode& current = tree[node];
        const bool leaf = current.Child[0] == 0 && current.Child[1] == 0;
        if (Exhausted()) {
            // A code completed by the last bit still counts.
            if (node != 0 && leaf) sum += current.Value;
            break;
        }
        const int bit = PeekBit();
        if (current.Child[bit]) {
            ++bitPos_;
            node = current.Child[bit];
            continue;
        }
        sum += current.Value;
        if (current.Value < 64) break;
        // A make-up code: the bit looked at starts the next code.
        ++bitPos_;
        node = tree[0].Child[bit];
    }
    return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

void TCCITTDecoder::FillBlack(uint64_t x, uint64_t count) {
    const uint64_t first = rowStart_ + x / 8;
    const uint64_t last = rowStart_ + (x + count - 1) / 8;
    if (first >= outputSize_) return;
    const uint8_t head = static_cast<uint8_t>(0xFF >> (x & 7));
    const uint8_t tail = static_cast<uint8_t>(0xFF << (7 - ((x + count - 1) & 7)));
    if (first == last) {
        output_[first] |= head & tail;
        return;
    }
    output_[first] |= head;
    const uint64_t wholeEnd = std::min(last, outputSize_);
    if (wholeEnd > first + 1) std::memset(output_ + first + 1, 0xFF, wholeEnd - first - 1);
    if (last < outputSize_) output_[last] |= tail;
}

void TCCITTDecoder::WriteRun(uint32_t count) {
    count = std::min(count, missing_);
    if (count == 0) return;
    if (black_) FillBlack(lineWidth_ - missing_, count);
    missing_ -= count;
}

void TCCITTDecoder::EndRow() {
    rowStart_ += rowBytes_;
    missing_ = lineWidth_;
    black_ = false;
}

void TCCITTDecoder::AlignInputRow() {
    bitPos_ = (bitPos_ + 7) & ~uint64_t(7);
    if (wordAlignedRows_ && ((bitPos_ >> 3) & 1)) bitPos_ += 8;
    bitPos_ = std::min(bitPos_, inputBits_);
}

void TCCITTDecoder::SkipToEndOfLine() {
    int zeros = 0;
    while (zeros < 11 && !Exhausted()) zeros = ReadBit() ? 0 : zeros + 1;
    while (!Exhausted() && !ReadBit()) {
    }
}

void TCCITTDecoder::SkipEndOfLineIfPresent() {
    uint64_t pos = bitPos_;
    int zeros = 0;
    while (pos < inputBits_) {
        uint8_t byte = input_[pos >> 3];
        if (reverseBits_) byte = ReversedBits[byte];
        const bool bit = (byte << (pos & 7)) & 0x80;
        ++pos;
        if (bit) {
            if (zeros >= 11) bitPos_ = pos;
            return;
        }
        ++zeros;
    }
}

TCCITTFax3Decoder::TCCITTFax3Decoder(uint32_t faxOptions, bool reverseBits, bool wordAlignedRows,
                                     uint32_t lineWidth)
    : TCCITTDecoder(reverseBits, wordAlignedRows, lineWidth) {
    // Two-dimensional rows would come out as wrong pixels: refuse them.
    if (faxOptions & 1)
        throw EInvalidGraphic(
            FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, "TIF/TIFF"));
}

void TCCITTFax3Decoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                               int32_t outputSize) {
    Start(input, inputSize, output, outputSize);
    // End-of-line codes met as runs: they end a short row and start the next one.
    int endOfLines = 0;
    while (!Exhausted() && !OutputFull()) {
        if (endOfLines == 0)
            SkipToEndOfLine();
        else
            SkipEndOfLineIfPresent();
        endOfLines = 0;
        while (!Exhausted()) {
            const int32_t run = ReadRun();
            if (run == EndOfLine) {
                ++endOfLines;
                break;
            }
            if (run < 0) break;
            WriteRun(static_cast<uint32_t>(run));
            if (RowComplete()) break;
            SwitchColor();
        }
        EndRow();
    }
}

void TCCITTMHDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                             int32_t outputSize) {
    Start(input, inputSize, output, outputSize);
    while (!Exhausted() && !OutputFull()) {
        const int32_t run = ReadRun();
        if (run > 0) {
            WriteRun(static_cast<uint32_t>(run));
            if (RowComplete()) {
                EndRow();
                AlignInputRow();
                continue;
            }
        }
        SwitchColor();
    }
}

// --- Two-dimensional decoders ---

namespace {

// Run-length codes are looked up in two levels: the next PrimaryBits bits of the input pick an
// entry of the first level; a link there continues in the second level with the bits after
// them. Every code of up to PrimaryBits bits (nearly all that text pages use) takes one look.
enum TRunKind : uint8_t { rkTerminating, rkMakeUp, rkEndOfLine, rkInvalid, rkLink };

struct TRunEntry {
    uint16_t Value = 0; // the run, or where a link's second-level entries start
    uint8_t Length = 0; // of the code, in bits
    TRunKind Kind = rkInvalid;

    bool operator==(const TRunEntry&) const = default;
};

constexpr int PrimaryBits = 9;

struct TRunTable {
    std::array<TRunEntry, 1 << PrimaryBits> Primary{};
    std::vector<TRunEntry> Secondary;
    int SecondaryBits = 0;
};

template <size_t N, size_t M>
TRunTable BuildRunTable(const std::array<std::string_view, N>& terminating,
                        const std::array<std::string_view, M>& makeUp) {
    size_t longest = EndOfLineCode.size();
    for (std::string_view code : terminating) longest = std::max(longest, code.size());
    for (std::string_view code : makeUp) longest = std::max(longest, code.size());
    for (std::string_view code : ExtendedMakeUp) longest = std::max(longest, code.size());
    const int bits = int(longest);

    // Every bit string of the longest code's length, then split into the two levels.
    std::vector<TRunEntry> flat(size_t(1) << bits);
    auto insert = [&](std::string_view code, size_t value, TRunKind kind) {
        size_t prefix = 0;
        for (char c : code) prefix = prefix * 2 + (c == '1');
        const int free = bits - int(code.size());
        std::fill_n(flat.begin() + ptrdiff_t(prefix << free), size_t(1) << free,
                    TRunEntry{uint16_t(value), uint8_t(code.size()), kind});
    };
    for (size_t i = 0; i < N; ++i) insert(terminating[i], i, rkTerminating);
    for (size_t i = 0; i < M; ++i) insert(makeUp[i], 64 * (i + 1), rkMakeUp);
    for (size_t i = 0; i < ExtendedMakeUp.size(); ++i)
        insert(ExtendedMakeUp[i], 1792 + 64 * i, rkMakeUp);
    // Eleven zero bits start an end-of-line code, with any fill bits before it: the row
    // decoder reads it itself.
    std::fill_n(flat.begin(), size_t(1) << (bits - 11), TRunEntry{0, 0, rkEndOfLine});

    TRunTable table;
    table.SecondaryBits = bits - PrimaryBits;
    const size_t span = size_t(1) << table.SecondaryBits;
    for (size_t p = 0; p < table.Primary.size(); ++p) {
        const auto first = flat.begin() + ptrdiff_t(p * span);
        const bool whole = std::all_of(first, first + ptrdiff_t(span),
                                       [&](const TRunEntry& e) { return e == *first; });
        if (whole && first->Length <= PrimaryBits) {
            table.Primary[p] = *first;
        } else {
            table.Primary[p] = {uint16_t(table.Secondary.size()), PrimaryBits, rkLink};
            table.Secondary.insert(table.Secondary.end(), first, first + ptrdiff_t(span));
        }
    }
    return table;
}

const TRunTable& WhiteRuns() {
    static const TRunTable table = BuildRunTable(WhiteTerminating, WhiteMakeUp);
    return table;
}

const TRunTable& BlackRuns() {
    static const TRunTable table = BuildRunTable(BlackTerminating, BlackMakeUp);
    return table;
}

// The codes of two-dimensional coding (T.4 Table 4, T.6 Table 1), by the next seven bits of
// the input. The vertical modes come first, in the order of a1 - b1.
enum TMode : uint8_t {
    mdVL3,
    mdVL2,
    mdVL1,
    mdV0,
    mdVR1,
    mdVR2,
    mdVR3,
    mdPass,
    mdHorizontal,
    mdExtension,
    mdZeros // seven zero bits: an end-of-line code or no code at all
};

struct TModeEntry {
    TMode Mode = mdZeros;
    uint8_t Length = 0;
};

constexpr int ModeBits = 7;

constexpr std::array<TModeEntry, 1 << ModeBits> MakeModeTable() {
    constexpr std::pair<std::string_view, TMode> codes[] = {
        {"0000010", mdVL3},    {"000010", mdVL2},       {"010", mdVL1},     {"1", mdV0},
        {"011", mdVR1},        {"000011", mdVR2},       {"0000011", mdVR3}, {"0001", mdPass},
        {"001", mdHorizontal}, {"0000001", mdExtension}};
    std::array<TModeEntry, 1 << ModeBits> table{};
    for (const auto& [code, mode] : codes) {
        size_t prefix = 0;
        for (char c : code) prefix = prefix * 2 + (c == '1');
        const size_t free = ModeBits - code.size();
        for (size_t k = 0; k < (size_t(1) << free); ++k)
            table[(prefix << free) | k] = {mode, uint8_t(code.size())};
    }
    return table;
}
constexpr std::array<TModeEntry, 1 << ModeBits> ModeTable = MakeModeTable();

// The uncompressed mode extension of two-dimensional coding, as ten bits.
constexpr uint32_t UncompressedMode = 0b0000001111;

// Reverses the bits of each byte of a word.
constexpr uint64_t ReverseBitsOfBytes(uint64_t w) {
    w = ((w >> 1) & 0x5555555555555555u) | ((w & 0x5555555555555555u) << 1);
    w = ((w >> 2) & 0x3333333333333333u) | ((w & 0x3333333333333333u) << 2);
    return ((w >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((w & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

// The input as a stream of bits, most significant first, through a 64-bit buffer refilled a
// word at a time. Bits past the end of the data read as 0; PastEnd tells when any of them
// were taken.
class TBitReader {
public:
    TBitReader(const uint8_t* data, size_t size, bool reverse)
        : data_(data), size_(size), reverse_(reverse) {}

    // At least `bits` (at most 56) bits are held after this.
    void Need(int bits) {
        if (count_ < bits) Refill();
    }
    // The next `bits` (1 to 63) bits, without taking them.
    uint32_t Peek(int bits) const { return uint32_t(buffer_ >> (64 - bits)); }
    // The held bits, first at the top.
    uint64_t Word() const { return buffer_; }
    int Held() const { return count_; }
    // Takes `bits` (below 64, at most Held()) bits.
    void Skip(int bits) {
        buffer_ <<= bits;
        count_ -= bits;
    }
    // Whether the next `ahead` bits (or bits already taken) reach past the end of the data.
    bool PastEnd(int ahead = 0) const {
        return position_ * 8 - uint64_t(count_) + uint64_t(ahead) > uint64_t(size_) * 8;
    }

private:
    void Refill() {
        if (position_ + 8 <= size_) {
            // Bits beyond those counted may be in the buffer already: they are the same.
            uint64_t word;
            std::memcpy(&word, data_ + position_, 8);
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap64(word);
            if (reverse_) word = ReverseBitsOfBytes(word);
            buffer_ |= word >> count_;
            position_ += size_t(63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        RefillTail();
    }
    void RefillTail() {
        while (count_ <= 56) {
            uint64_t byte = 0;
            if (position_ < size_)
                byte = reverse_ ? ReversedBits[data_[position_]] : data_[position_];
            buffer_ |= byte << (56 - count_);
            ++position_;
            count_ += 8;
        }
    }

    const uint8_t* data_;
    size_t size_;
    bool reverse_;
    uint64_t buffer_ = 0;
    int count_ = 0;
    uint64_t position_ = 0;
};

// Raises `message` for row `row`, or that the data ends where the bits taken, or the `looked`
// bits after them that showed the fault, reach past the end of the data.
[[noreturn]] void Fail(const char* message, const TBitReader& bits, size_t row, int looked = 0) {
    if (bits.PastEnd(looked)) message = msgFaxUnexpectedEnd;
    throw EGraphicCompression(FormatImageMessage(message, std::to_string(row + 1)));
}

// The most bits that a run-length code (or an end-of-line code) spans.
constexpr int LongestRunCode = 13;

// One run: make-up codes summed with the terminating code. Stops early once the sum exceeds
// `room`; -1 for an end-of-line code (not taken), -2 for a bit string that is no code.
inline int32_t ReadRun(TBitReader& bits, const TRunTable& table, int32_t room) {
    int32_t run = 0;
    for (;;) {
        bits.Need(16);
        const TRunEntry* entry = &table.Primary[bits.Peek(PrimaryBits)];
        if (entry->Kind == rkLink)
            entry = &table.Secondary[entry->Value +
                                     ((bits.Word() << PrimaryBits) >> (64 - table.SecondaryBits))];
        switch (entry->Kind) {
        case rkTerminating:
            bits.Skip(entry->Length);
            return run + entry->Value;
        case rkMakeUp:
            bits.Skip(entry->Length);
            run += entry->Value;
            if (run > room) return run;
            break;
        case rkEndOfLine:
            return -1;
        default:
            return -2;
        }
    }
}

// Reads an end-of-line code: eleven zero bits or more and a one bit.
void ReadEndOfLine(TBitReader& bits, size_t row) {
    int64_t zeros = 0;
    for (;;) {
        bits.Need(56);
        const int leading = std::countl_zero(bits.Word());
        if (leading < bits.Held()) {
            zeros += leading;
            bits.Skip(leading);
            bits.Skip(1);
            break;
        }
        if (bits.PastEnd()) Fail(msgFaxUnexpectedEnd, bits, row);
        zeros += 56;
        bits.Skip(56);
    }
    if (zeros < 11) Fail(msgFaxInvalidCode, bits, row);
}

// Adds a changing element to a row's list, or, where it repeats the last one (a run of 0),
// takes that one back. The list is preceded by -1.
inline void AddChange(int32_t* changes, int32_t& count, int32_t position) {
    if (changes[count - 1] == position)
        --count;
    else
        changes[count++] = position;
}

// The rows of one Decode call. A row's changing elements are the positions where its colour
// changes, from white at even and from black at odd indices; the reference row's are followed
// by three copies of the width, and preceded by -1.
struct TFaxRows {
    TBitReader Bits;
    int32_t Width;
    size_t Row = 0;

    void SkipEndOfLine() { ReadEndOfLine(Bits, Row); }

    bool ReadBit() {
        Bits.Need(1);
        const bool bit = Bits.Peek(1);
        Bits.Skip(1);
        return bit;
    }

    // A row coded in one dimension; returns the number of its changing elements. In Group 3
    // an end-of-line code may end it early: the rest stays white.
    int32_t OneDimensional(int32_t* coding) {
        TBitReader bits = Bits;
        const int32_t width = Width;
        const TRunTable* tables[2] = {&WhiteRuns(), &BlackRuns()};
        int32_t position = 0, count = 0, color = 0;
        for (;;) {
            const int32_t run = ReadRun(bits, *tables[color], width - position);
            if (run == -1) {
                // An end-of-line code ends the row early, unless the data ends first.
                TBitReader endOfLine = bits;
                ReadEndOfLine(endOfLine, Row);
                if (color) --count;
                break;
            }
            if (run < 0) Fail(msgFaxInvalidCode, bits, Row, LongestRunCode);
            if (run > width - position) Fail(msgFaxRowTooLong, bits, Row);
            // Only the first (white) run of a row may be empty.
            if (run == 0 && (position > 0 || color)) Fail(msgFaxInvalidCode, bits, Row);
            position += run;
            coding[count++] = position;
            if (position == width) break;
            color ^= 1;
        }
        Bits = bits;
        return count;
    }

    // A row coded in two dimensions against `reference`; returns the number of its changing
    // elements. Every code must move a0 to the right.
    template <bool Group3> int32_t TwoDimensional(const int32_t* reference, int32_t* coding) {
        TBitReader bits = Bits;
        const int32_t width = Width;
        const TRunTable* tables[2] = {&WhiteRuns(), &BlackRuns()};
        int32_t a0 = -1;   // -1: before the first pixel
        int32_t color = 0; // of the pixels from a0 on: 0 white, 1 black
        int32_t b = 0;     // where to look for b1; even for white, odd for black
        int32_t count = 0;
        while (a0 < width) {
            bits.Need(32);
            const TModeEntry mode = ModeTable[bits.Peek(ModeBits)];
            if (mode.Mode <= mdVR3) {
                bits.Skip(mode.Length);
                while (reference[b] <= a0) b += 2;
                const int32_t a1 = reference[b] + int32_t(mode.Mode) - int32_t(mdV0);
                if (a1 <= a0 || a1 > width)
                    Fail(a1 > width ? msgFaxRowTooLong : msgFaxInvalidCode, bits, Row);
                coding[count++] = a1;
                a0 = a1;
                color ^= 1;
                // b1 of the other colour cannot lie before this one's predecessor.
                --b;
            } else if (mode.Mode == mdHorizontal) {
                bits.Skip(3);
                const int32_t start = std::max(a0, 0);
                const int32_t first = ReadRun(bits, *tables[color], width - start);
                if (first < 0) Fail(msgFaxInvalidCode, bits, Row, LongestRunCode);
                if (first > width - start) Fail(msgFaxRowTooLong, bits, Row);
                const int32_t a1 = start + first;
                const int32_t second = ReadRun(bits, *tables[color ^ 1], width - a1);
                if (second < 0) Fail(msgFaxInvalidCode, bits, Row, LongestRunCode);
                if (second > width - a1) Fail(msgFaxRowTooLong, bits, Row);
                const int32_t a2 = a1 + second;
                if (a2 <= a0) Fail(msgFaxInvalidCode, bits, Row);
                AddChange(coding, count, a1);
                AddChange(coding, count, a2);
                a0 = a2;
            } else if (mode.Mode == mdPass) {
                bits.Skip(4);
                while (reference[b] <= a0) b += 2;
                a0 = reference[b + 1];
                b += 2;
            } else if (mode.Mode == mdExtension) {
                Fail(bits.Peek(10) == UncompressedMode ? msgFaxUncompressedMode : msgFaxInvalidCode,
                     bits, Row, 10);
            } else if constexpr (Group3) {
                // An end-of-line code ends the row early; the rest of it stays white.
                TBitReader endOfLine = bits;
                ReadEndOfLine(endOfLine, Row);
                if (color) AddChange(coding, count, std::max(a0, 0));
                break;
            } else {
                // An end-of-facsimile-block code or no code at all.
                Fail(bits.Peek(12) == 1 ? msgFaxUnexpectedEnd : msgFaxInvalidCode, bits, Row, 12);
            }
        }
        Bits = bits;
        return count;
    }
};

void FillBlack(uint8_t* row, int32_t from, int32_t to) {
    if (from >= to) return;
    const size_t first = size_t(from) >> 3;
    const size_t last = size_t(to - 1) >> 3;
    const uint8_t head = uint8_t(0xFF >> (from & 7));
    const uint8_t tail = uint8_t(0xFF << (7 - ((to - 1) & 7)));
    if (first == last) {
        row[first] |= head & tail;
        return;
    }
    row[first] |= head;
    for (size_t i = first + 1; i < last; ++i) row[i] = 0xFF;
    row[last] |= tail;
}

// Writes a row from its changing elements (followed by the width).
void WriteRow(uint8_t* row, size_t rowBytes, const int32_t* changes, int32_t count) {
    std::memset(row, 0, rowBytes);
    for (int32_t k = 0; k < count; k += 2) FillBlack(row, changes[k], changes[k + 1]);
}

// Positions and runs are 32-bit: rows wider than this are refused.
constexpr uint32_t MaxLineWidth = uint32_t(std::numeric_limits<int32_t>::max()) - 8192;

} // namespace

TCCITTTwoDDecoder::TCCITTTwoDDecoder(bool reverseBits, uint32_t lineWidth)
    : reverseBits_(reverseBits), lineWidth_(lineWidth) {}

void TCCITTTwoDDecoder::DecodeRows(const uint8_t* input, int32_t inputSize, uint8_t* output,
                                   int32_t outputSize, bool group3, bool taggedRows) {
    if (!output || outputSize <= 0) return;
    const size_t outputBytes = size_t(outputSize);
    const size_t rowBytes = (size_t(lineWidth_) + 7) / 8;
    if (rowBytes == 0) {
        std::memset(output, 0, outputBytes);
        return;
    }
    const size_t inputBytes = input && inputSize > 0 ? size_t(inputSize) : 0;
    TFaxRows rows{TBitReader(input, inputBytes, reverseBits_), int32_t(lineWidth_)};
    if (lineWidth_ > MaxLineWidth) Fail(msgFaxRowTooLong, rows.Bits, 0);

    // A row has at most one changing element per pixel and one at its end, and each takes at
    // least one bit of the input (a code may reach 16 bits past its end).
    const size_t most = size_t(std::min<uint64_t>(uint64_t(lineWidth_) + 1, inputBytes * 8 + 16));
    const size_t slots = most + 4;
    changes_.assign(2 * slots, -1);
    int32_t* reference = changes_.data() + 1;
    int32_t* coding = reference + slots;
    const int32_t width = int32_t(lineWidth_);
    std::fill_n(reference, 3, width);

    const size_t rowCount = (outputBytes + rowBytes - 1) / rowBytes;
    for (size_t row = 0; row < rowCount; ++row) {
        rows.Row = row;
        bool twoDimensional = !group3;
        if (group3) {
            rows.SkipEndOfLine();
            twoDimensional = taggedRows && !rows.ReadBit();
        }
        int32_t count;
        if (!twoDimensional)
            count = rows.OneDimensional(coding);
        else if (group3)
            count = rows.TwoDimensional<true>(reference, coding);
        else
            count = rows.TwoDimensional<false>(reference, coding);
        if (rows.Bits.PastEnd()) Fail(msgFaxUnexpectedEnd, rows.Bits, row);
        std::fill_n(coding + count, 3, width);

        const size_t offset = row * rowBytes;
        if (outputBytes - offset >= rowBytes) {
            WriteRow(output + offset, rowBytes, coding, count);
        } else {
            partialRow_.resize(rowBytes);
            WriteRow(partialRow_.data(), rowBytes, coding, count);
            std::memcpy(output + offset, partialRow_.data(), outputBytes - offset);
        }
        std::swap(reference, coding);
    }
}

void TCCITTFax4Decoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                               int32_t outputSize) {
    DecodeRows(input, inputSize, output, outputSize, false, false);
}

void TCCITTFax3TwoDDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                                   int32_t outputSize) {
    DecodeRows(input, inputSize, output, outputSize, true, taggedRows_);
}
