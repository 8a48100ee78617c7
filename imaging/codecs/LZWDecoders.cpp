#include "imaging/codecs/LZWDecoders.h"

#include "platform/graphics/Exceptions.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t MaxCodeWidth = 12;
constexpr uint32_t TableSize = 1u << MaxCodeWidth;

// Where the string of a code was last written in the output, and its length. The string of a
// code added to the table is the previous string followed by the first byte of the string
// that came next, which the output holds contiguously; so a string is copied out of the output
// rather than rebuilt by walking a prefix chain.
struct TLZWString {
    uint32_t offset;
    uint32_t length;
};

// How the two variants differ.
struct TLZWScheme {
    bool msbFirst;        // TIFF: bits taken from the top of each byte first
    uint32_t clearCode;   // end code is one above, the first free code two above
    uint32_t firstWidth;  // code width after a clear
    uint32_t earlyChange; // 1: the width grows one code before the entry 2^width - 1 is added
    bool endCodeReturns;  // TIFF: the end code ends the call; GIF: it is passed over
};

// The `width`-bit code at bit position `bit` of `input`; the caller checks that it lies within
// the input. Bytes past the input read as 0.
template <bool MsbFirst>
inline uint32_t FetchCode(const uint8_t* input, size_t inputSize, uint64_t bit, uint32_t width) {
    const size_t byte = static_cast<size_t>(bit >> 3);
    uint8_t b[4] = {0, 0, 0, 0};
    if (byte + 4 <= inputSize)
        std::memcpy(b, input + byte, 4);
    else
        std::memcpy(b, input + byte, inputSize - byte);
    const uint32_t shift = static_cast<uint32_t>(bit & 7);
    if constexpr (MsbFirst) {
        const uint32_t v = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) |
                           uint32_t(b[3]);
        return (v << shift) >> (32 - width);
    } else {
        const uint32_t v = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) |
                           (uint32_t(b[3]) << 24);
        return (v >> shift) & ((1u << width) - 1);
    }
}

// Copies `count` bytes within the output from `from` to `to` (from < to). Where the two
// overlap (a string that repeats its own start) the copy goes forward byte by byte.
inline void CopyWithin(uint8_t* output, size_t to, size_t from, size_t count) {
    uint8_t* target = output + to;
    const uint8_t* source = output + from;
    if (to - from >= count) {
        std::memcpy(target, source, count);
    } else {
        for (size_t i = 0; i < count; ++i) target[i] = source[i];
    }
}

template <bool MsbFirst>
void DecodeLZW(const TLZWScheme& scheme, const uint8_t* input, int32_t inputSize, uint8_t* output,
               int32_t outputSize) {
    if (inputSize <= 0 || outputSize <= 0) return;
    const size_t inSize = static_cast<size_t>(inputSize);
    const size_t outSize = static_cast<size_t>(outputSize);
    const uint64_t endBit = uint64_t(inSize) * 8;
    const uint32_t clearCode = scheme.clearCode;
    const uint32_t endCode = clearCode + 1;
    const uint32_t firstFree = clearCode + 2;

    // Entries from firstFree up are written before they are read: a code is only looked up
    // when it is below the next free code or has just been added.
    TLZWString table[TableSize];
    uint32_t width = scheme.firstWidth;
    uint32_t mask = (1u << width) - 1;
    uint32_t nextFree = firstFree;
    bool havePrevious = false;
    size_t previousOffset = 0; // where the previous string was written
    size_t previousLength = 0;
    size_t written = 0;
    uint64_t bit = 0;
    // Input bytes taken so far when codes had to wait for the next byte (see the header).
    size_t bytesTaken = 0;

    while (bit + width <= endBit) {
        const uint32_t code = FetchCode<MsbFirst>(input, inSize, bit, width);
        bit += width;
        if (code == clearCode) {
            width = scheme.firstWidth;
            mask = (1u << width) - 1;
            nextFree = firstFree;
            havePrevious = false;
            continue;
        }
        const bool usable = code != endCode && code <= nextFree &&
                            (code < clearCode || (havePrevious && code >= firstFree));
        if (!usable) {
            if (code == endCode && scheme.endCodeReturns) return;
            // Wait for the next input byte before taking the codes still held.
            bytesTaken = std::max<size_t>(bytesTaken, static_cast<size_t>((bit + 7) >> 3));
            if (bytesTaken >= inSize) return;
            ++bytesTaken;
            continue;
        }
        // Define the entry for the previous string followed by the first byte of this one,
        // which is written right after it. A code equal to the next free code is exactly that
        // entry.
        if (havePrevious && nextFree < TableSize) {
            table[nextFree] = {static_cast<uint32_t>(previousOffset),
                               static_cast<uint32_t>(previousLength + 1)};
            if (nextFree + scheme.earlyChange >= mask && width < MaxCodeWidth) {
                ++width;
                mask = (1u << width) - 1;
            }
            ++nextFree;
        }
        size_t length;
        if (code < clearCode) {
            output[written] = static_cast<uint8_t>(code);
            length = 1;
        } else {
            const TLZWString entry = table[code];
            length = entry.length;
            CopyWithin(output, written, entry.offset, std::min(length, outSize - written));
        }
        havePrevious = true;
        previousOffset = written;
        previousLength = length;
        if (length >= outSize - written) return;
        written += length;
    }
}

} // namespace

void TTIFFLZWDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                             int32_t outputSize) {
    static constexpr TLZWScheme scheme{true, 256, 9, 1, true};
    DecodeLZW<true>(scheme, input, inputSize, output, outputSize);
}

void TGIFLZWDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    if (minimumCodeSize_ >= MaxCodeWidth)
        throw EGraphicCompression(
            Format("Invalid LZW minimum code size %u in GIF data.", unsigned(minimumCodeSize_)));
    const TLZWScheme scheme{false, 1u << minimumCodeSize_, minimumCodeSize_ + 1u, 0, false};
    DecodeLZW<false>(scheme, input, inputSize, output, outputSize);
}
