// One-dimensional CCITT fax decoders: Group 3 with end-of-line codes (TIFF compression 3) and
// modified Huffman run lengths (TIFF compressions 2 and 32771).
//
// The output is one bit per pixel, most significant bit first, 1 for black, each row padded to
// a whole byte. Neither pointer is moved for the caller.
//
// Truncation and bad codes are never raised: the family stops silently. The output area is
// cleared to white first; input that ends early leaves the rest white, an invalid code ends
// its row, and nothing is written outside the `outputSize` bytes nor read outside the
// `inputSize` bytes.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstdint>
#include <vector>

class TCCITTDecoder : public TDecoder {
public:
    // `faxOptions` is the T4Options value, `reverseBits` says the input bytes hold their
    // pixels least significant bit first (TIFF fill order 2), `wordAlignedRows` that rows of
    // the input start on 16-bit boundaries, `lineWidth` the pixels per row.
    TCCITTDecoder(uint32_t faxOptions, bool reverseBits, bool wordAlignedRows, uint32_t lineWidth);

    uint32_t FaxOptions() const { return faxOptions_; }
    uint32_t LineWidth() const { return lineWidth_; }

protected:
    // A node of a code tree: children for bit 0 and bit 1 (0 = none, node 0 is the root) and
    // the value of the code ending here.
    struct TNode {
        uint16_t Child[2] = {0, 0};
        int32_t Value = 0;
    };
    using TCodeTree = std::vector<TNode>;

    static constexpr int32_t EndOfLine = -1;

    // Sets up the state of one Decode call and clears the output to white.
    void Start(const uint8_t* input, int32_t inputSize, uint8_t* output, int32_t outputSize);
    bool Exhausted() const { return bitPos_ >= inputBits_; }
    bool OutputFull() const { return rowStart_ >= outputSize_; }
    bool RowComplete() const { return missing_ == 0; }
    bool ReadBit() {
        const bool bit = PeekBit();
        ++bitPos_;
        return bit;
    }
    // Reads one run length of the current colour: make-up codes and the terminating code
    // summed up, EndOfLine, or another negative value for an invalid code. When the input
    // ends in the middle of a code, the sum so far is the result.
    int32_t ReadRun();
    // Writes `count` pixels of the current colour, cut at the end of the row.
    void WriteRun(uint32_t count);
    void SwitchColor() { black_ = !black_; }
    // Moves the output to the start of the next row, which starts white.
    void EndRow();
    // Skips the unread bits of the current input byte, then one more byte where rows are
    // word aligned and the input offset is odd.
    void AlignInputRow();
    // Synchronises on the next end-of-line code: eleven zero bits or more and a one bit.
    void SkipToEndOfLine();
    // Consumes an end-of-line code (with its fill bits) if one follows right here.
    void SkipEndOfLineIfPresent();

private:
    bool PeekBit() const;
    void FillBlack(uint64_t x, uint64_t count);

    uint32_t faxOptions_;
    bool reverseBits_;
    bool wordAlignedRows_;
    uint32_t lineWidth_;
    TCodeTree whiteTree_;
    TCodeTree blackTree_;

    // State of one Decode call.
    const uint8_t* input_ = nullptr;
    uint64_t bitPos_ = 0;
    uint64_t inputBits_ = 0;
    uint8_t* output_ = nullptr;
    uint64_t outputSize_ = 0;
    uint64_t rowBytes_ = 0;
    uint64_t rowStart_ = 0;
    uint32_t missing_ = 0;
    bool black_ = false;
};

// Group 3, one-dimensional coding: every row follows an end-of-line code. Two-dimensional
// coding (T4Options bit 0) is refused at construction with EInvalidGraphic ("Cannot load
// image. The compression scheme is not supported for TIF/TIFF files.").
class TCCITTFax3Decoder : public TCCITTDecoder {
public:
    TCCITTFax3Decoder(uint32_t faxOptions, bool reverseBits, bool wordAlignedRows,
                      uint32_t lineWidth);

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    void Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t& bytesWritten) override {
        bytesWritten = 0;
    }
};

// Modified Huffman: run lengths without end-of-line codes, each row starting on a byte (or,
// with `wordAlignedRows`, 16-bit) boundary of the input.
class TCCITTMHDecoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    void Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t& bytesWritten) override {
        bytesWritten = 0;
    }
};
