// CCITT fax decoders (ITU-T T.4 and T.6) for bilevel TIFF strips and tiles.
//
// Every decoder writes one bit per pixel, most significant bit first, 1 for a pixel coded
// black (so the TIFF reader's photometric interpretation applies to the result as to
// uncompressed bilevel data), each row padded to a whole byte. Neither pointer is moved for
// the caller, the input is never written, nothing is read outside the `inputSize` bytes nor
// written outside the `outputSize` bytes.
//
// Two families:
// - one-dimensional (TCCITTFax3Decoder, TCCITTMHDecoder): truncation and bad codes are never
//   raised, the family stops silently. The output area is cleared to white first; input that
//   ends early leaves the rest white, an invalid code ends its row.
// - two-dimensional (TCCITTFax4Decoder, TCCITTFax3TwoDDecoder): table driven, for speed;
//   data they cannot decode raises EGraphicCompression (see TCCITTTwoDDecoder).
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstdint>
#include <vector>

class TCCITTDecoder : public TDecoder {
public:
    // `reverseBits` says the input bytes hold their pixels least significant bit first (TIFF
    // fill order 2), `wordAlignedRows` that rows of the input start on 16-bit boundaries,
    // `lineWidth` the pixels per row.
    TCCITTDecoder(bool reverseBits, bool wordAlignedRows, uint32_t lineWidth);

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

// Group 3, one-dimensional coding: every row follows an end-of-line code. `faxOptions` is the
// T4Options value: two-dimensional coding (bit 0) is TCCITTFax3TwoDDecoder's and is refused
// here at construction with EInvalidGraphic ("Cannot load image. The compression scheme is not
// supported for TIF/TIFF files.").
class TCCITTFax3Decoder : public TCCITTDecoder {
public:
    TCCITTFax3Decoder(uint32_t faxOptions, bool reverseBits, bool wordAlignedRows,
                      uint32_t lineWidth);

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// Modified Huffman: run lengths without end-of-line codes, each row starting on a byte (or,
// with `wordAlignedRows`, 16-bit) boundary of the input. The first argument, a T4Options
// value, means nothing to this coding: it is taken so that every fax decoder is created alike.
class TCCITTMHDecoder : public TCCITTDecoder {
public:
    TCCITTMHDecoder(uint32_t, bool reverseBits, bool wordAlignedRows, uint32_t lineWidth)
        : TCCITTDecoder(reverseBits, wordAlignedRows, lineWidth) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// The two-dimensional decoders' common part: codes read through lookup tables from a 64-bit
// bit buffer filled a word at a time, each row kept as its changing elements (the positions
// where the colour changes), against which the next row is coded, and written from them with
// whole-byte fills.
//
// One Decode call decodes the rows of one block, starting from an imaginary white reference
// row: as many rows as `outputSize` holds, a last partial row included. Any of these faults
// raises EGraphicCompression, with the row (counted from 1 within the block) in its message:
// a bit string that is no code of the coding in use; a code that does not move the coding on
// to the right; a row whose runs reach past `lineWidth` pixels; the uncompressed mode
// extension (not supported); the data ending, or an end-of-facsimile-block code coming,
// before the last row is complete. Work is proportional to the input and output sizes, and
// the memory held besides the caller's buffers is 8 bytes per pixel of one row, at most 64
// bytes per input byte.
class TCCITTTwoDDecoder : public TDecoder {
public:
protected:
    // `reverseBits`: the input bytes hold their pixels least significant bit first (TIFF
    // fill order 2); `lineWidth`: the pixels per row.
    TCCITTTwoDDecoder(bool reverseBits, uint32_t lineWidth);

    // Group 3 rows each follow an end-of-line code (fill bits before it allowed), then, with
    // `taggedRows`, a bit that says whether the row is coded in one dimension (1) or two (0);
    // an end-of-line code inside a row ends it, the rest of it white. Without `group3`, rows
    // are coded in two dimensions one after another (Group 4).
    void DecodeRows(const uint8_t* input, int32_t inputSize, uint8_t* output, int32_t outputSize,
                    bool group3, bool taggedRows);

private:
    bool reverseBits_;
    uint32_t lineWidth_;
    // The changing elements of the reference and coding rows, each with a leading -1 and
    // trailing `lineWidth` sentinels.
    std::vector<int32_t> changes_;
    // A last row that the output holds only part of.
    std::vector<uint8_t> partialRow_;
};

// Group 4 (T.6, TIFF compression 4): every row coded in two dimensions, no end-of-line codes.
class TCCITTFax4Decoder final : public TCCITTTwoDDecoder {
public:
    TCCITTFax4Decoder(bool reverseBits, uint32_t lineWidth)
        : TCCITTTwoDDecoder(reverseBits, lineWidth) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// Group 3 two-dimensional coding (T.4, TIFF compression 3 with T4Options bit 0): each row
// follows an end-of-line code and a bit that says how it is coded. `t4Options` is the
// T4Options value: bit 0 says that the tag bits are present (without it every row is coded in
// one dimension and untagged). Zero bits before an end-of-line code (the fill bits of bit 2, or
// rows padded to whole bytes) are read whether or not bit 2 is set.
class TCCITTFax3TwoDDecoder final : public TCCITTTwoDDecoder {
public:
    TCCITTFax3TwoDDecoder(uint32_t t4Options, bool reverseBits, uint32_t lineWidth)
        : TCCITTTwoDDecoder(reverseBits, lineWidth), taggedRows_(t4Options & 1) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

private:
    bool taggedRows_;
};
