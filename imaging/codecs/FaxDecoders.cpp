#include "imaging/codecs/FaxDecoders.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
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

TCCITTDecoder::TCCITTDecoder(uint32_t faxOptions, bool reverseBits, bool wordAlignedRows,
                             uint32_t lineWidth)
    : faxOptions_(faxOptions), reverseBits_(reverseBits), wordAlignedRows_(wordAlignedRows),
      lineWidth_(lineWidth), whiteTree_(BuildTree<TCodeTree>(WhiteTerminating, WhiteMakeUp)),
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
    : TCCITTDecoder(faxOptions, reverseBits, wordAlignedRows, lineWidth) {
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
