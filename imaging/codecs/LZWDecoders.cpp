#include "imaging/codecs/LZWDecoders.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <bit>
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

// How the two variants differ (besides the bit order: TIFF takes the bits from the top of
// each byte first, GIF from the bottom).
struct TLZWScheme {
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
    uint32_t v;
    if (byte + 4 <= inputSize) [[likely]] {
        std::memcpy(&v, input + byte, 4);
        if constexpr (MsbFirst == (std::endian::native == std::endian::little))
            v = __builtin_bswap32(v);
    } else {
        v = 0;
        for (size_t i = 0; byte + i < inputSize; ++i)
            v |= uint32_t(input[byte + i]) << (MsbFirst ? 24 - 8 * i : 8 * i);
    }
    const uint32_t shift = static_cast<uint32_t>(bit & 7);
    if constexpr (MsbFirst)
        return (v << shift) >> (32 - width);
    else
        return (v >> shift) & ((1u << width) - 1);
}

// Copies `count` bytes from `source` to `target`, which do not overlap, reading and writing
// only those bytes. Strings are mostly short: they are moved as two possibly overlapping
// words rather than through a call.
inline void CopyString(uint8_t* target, const uint8_t* source, size_t count) {
    if (count > 16) {
        std::memcpy(target, source, count);
    } else if (count >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, source, 8);
        std::memcpy(&tail, source + count - 8, 8);
        std::memcpy(target, &head, 8);
        std::memcpy(target + count - 8, &tail, 8);
    } else if (count >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, source, 4);
        std::memcpy(&tail, source + count - 4, 4);
        std::memcpy(target, &head, 4);
        std::memcpy(target + count - 4, &tail, 4);
    } else if (count >= 2) {
        uint16_t head, tail;
        std::memcpy(&head, source, 2);
        std::memcpy(&tail, source + count - 2, 2);
        std::memcpy(target, &head, 2);
        std::memcpy(target + count - 2, &tail, 2);
    } else if (count == 1) {
        *target = *source;
    }
}

// Copies `count` bytes within the output from `from` to `to` (from < to). Where the two
// overlap (a string that repeats its own start) the copy goes forward byte by byte.
inline void CopyWithin(uint8_t* output, size_t to, size_t from, size_t count) {
    uint8_t* target = output + to;
    const uint8_t* source = output + from;
    if (to - from >= count) {
        CopyString(target, source, count);
    } else {
        for (size_t i = 0; i < count; ++i) target[i] = source[i];
    }
}

// Answers the number of bytes written. With `Scribble`, up to 15 bytes of the output past that
// count may have been written over: short strings are then moved 16 bytes at a time.
template <bool MsbFirst, bool Scribble>
size_t DecodeLZW(const TLZWScheme& scheme, const uint8_t* input, int32_t inputSize, uint8_t* output,
                 int32_t outputSize) {
    if (inputSize <= 0 || outputSize <= 0) return 0;
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
            if (code == endCode && scheme.endCodeReturns) return written;
            // Wait for the next input byte before taking the codes still held.
            bytesTaken = std::max<size_t>(bytesTaken, static_cast<size_t>((bit + 7) >> 3));
            if (bytesTaken >= inSize) return written;
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
            if (Scribble && length <= 16 && written + 16 <= outSize &&
                written - entry.offset >= length) {
                // The bytes past the string are written over by the strings that follow.
                uint8_t block[16];
                std::memcpy(block, output + entry.offset, 16);
                std::memcpy(output + written, block, 16);
            } else {
                CopyWithin(output, written, entry.offset, std::min(length, outSize - written));
            }
        }
        havePrevious = true;
        previousOffset = written;
        previousLength = length;
        if (length >= outSize - written) return outSize;
        written += length;
    }
    return written;
}

} // namespace

void TTIFFLZWDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                             int32_t outputSize) {
    static constexpr TLZWScheme scheme{256, 9, 1, true};
    produced_ = scribble_ ? DecodeLZW<true, true>(scheme, input, inputSize, output, outputSize)
                          : DecodeLZW<true, false>(scheme, input, inputSize, output, outputSize);
}

void TGIFLZWDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    if (minimumCodeSize_ >= MaxCodeWidth)
        throw EGraphicCompression(
            FormatImageMessage(msgLZWCodeSize, std::to_string(unsigned(minimumCodeSize_))));
    const TLZWScheme scheme{1u << minimumCodeSize_, minimumCodeSize_ + 1u, 0, false};
    written_ = DecodeLZW<false, false>(scheme, input, inputSize, output, outputSize);
}
