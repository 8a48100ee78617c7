// The LZW decoders: TIFF compression 5 and GIF image data.
//
// Both decode one block per Decode call from an empty dictionary, so a caller hands over the
// whole compressed data of one strip (TIFF) or one image (GIF) at once. `inputSize` is the
// number of compressed bytes, `outputSize` the number of bytes to produce; neither pointer is
// moved for the caller. No byte is written beyond `outputSize`, even when the last string is
// longer than the output still wanted.
//
// Truncation and bad data, for the whole family: no error is raised for the data. Decoding
// stops silently when the input ends (the output not reached keeps its previous contents). A
// code above the next free code, or a first code after a clear that is not a single byte, is
// dropped without output; as with an end code in GIF data, the codes still held from the
// current input byte are then taken only once the next byte has been added, so they are lost
// when that was the last byte.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstddef>
#include <cstdint>

// TIFF LZW: codes of 9 to 12 bits, most significant bit first; clear code 256, end code 257
// (which ends the call); the width grows one code early (to 10 bits once the next free code
// reaches 511); once 4096 entries are defined no further entries are made.
class TTIFFLZWDecoder : public TDecoder {
public:
    // With `scribble`, up to 15 bytes of the output past what a call produces may be written
    // over (for a caller that takes only Produced() bytes): short strings are then moved 16
    // bytes at a time.
    explicit TTIFFLZWDecoder(bool scribble = false) : scribble_(scribble) {}
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    // The bytes the last Decode call wrote, from the start of its output.
    size_t Produced() const { return produced_; }

private:
    bool scribble_;
    size_t produced_ = 0;
};

// GIF LZW: codes of MinimumCodeSize + 1 to 12 bits, least significant bit first; clear code
// 2^MinimumCodeSize and end code one above it (an end code followed by more data does not end
// decoding); the width grows once the entry 2^width - 1 has been added; once 4096 entries are
// defined no further entries are made (data that goes on without a clear code keeps using the
// full table).
class TGIFLZWDecoder : public TDecoder {
public:
    explicit TGIFLZWDecoder(uint8_t minimumCodeSize) : minimumCodeSize_(minimumCodeSize) {}

    // Raises EGraphicCompression when MinimumCodeSize is above 11 (no 12-bit code could follow
    // its clear code).
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

    // Bytes the last Decode wrote.
    size_t Written() const { return written_; }

private:
    uint8_t minimumCodeSize_;
    size_t written_ = 0;
};
