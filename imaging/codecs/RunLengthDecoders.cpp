#include "imaging/codecs/RunLengthDecoders.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The bytes available at a pointer for a size given as a signed count.
size_t Available(int32_t size) {
    return size > 0 ? static_cast<size_t>(size) : 0;
}

size_t Left(const uint8_t* source, const uint8_t* end) {
    return static_cast<size_t>(end - source);
}

// Packets are short (at most a few hundred bytes): they are copied and filled in 16-byte
// blocks, the last one overlapping the one before, rather than through a library call.
// Nothing is done for no bytes, where the output may be a null pointer.
inline void CopyBytes(uint8_t* target, const uint8_t* source, size_t count) {
    if (count == 0) return;
    if (count < 16) {
        std::memcpy(target, source, count);
        return;
    }
    for (size_t i = 0; i + 16 < count; i += 16) std::memcpy(target + i, source + i, 16);
    std::memcpy(target + count - 16, source + count - 16, 16);
}

inline void FillBytes(uint8_t* target, uint8_t value, size_t count) {
    if (count == 0) return;
    if (count < 16) {
        std::memset(target, value, count);
        return;
    }
    uint8_t block[16];
    std::memset(block, value, 16);
    for (size_t i = 0; i + 16 < count; i += 16) std::memcpy(target + i, block, 16);
    std::memcpy(target + count - 16, block, 16);
}

// Copies up to `count` literal bytes from `source`, cut to the input left and to the room at
// the output. Answers the number of bytes the packet used at the source.
size_t CopyLiteral(const uint8_t* source, const uint8_t* end, uint8_t*& target, size_t& room,
                   size_t count) {
    const size_t present = std::min(count, Left(source, end));
    const size_t written = std::min(present, room);
    CopyBytes(target, source, written);
    target += written;
    room -= written;
    return present;
}

// Writes `value` `count` times, cut to the room at the output.
void Repeat(uint8_t value, uint8_t*& target, size_t& room, size_t count) {
    const size_t written = std::min(count, room);
    FillBytes(target, value, written);
    target += written;
    room -= written;
}

// Writes the `size`-byte pixel at `pixel` `count` times, cut to the room at the output
// (which may end inside a pixel): the pixel once, then what is written so far copied after
// itself, doubling each time.
void RepeatPixel(const uint8_t* pixel, size_t size, uint8_t*& target, size_t& room, size_t count) {
    if (size == 1) {
        Repeat(pixel[0], target, room, count);
        return;
    }
    const size_t bytes = std::min(count * size, room);
    if (bytes < size) {
        std::memcpy(target, pixel, bytes);
    } else {
        std::memcpy(target, pixel, size);
        for (size_t done = size; done < bytes;) {
            const size_t step = std::min(done, bytes - done);
            std::memcpy(target + done, target, step);
            done += step;
        }
    }
    target += bytes;
    room -= bytes;
}

// PackBits packets while the output has `room` for the longest and the input holds its bytes:
// each copied or filled as 128 bytes, of which the packet's own count is kept (the next packet
// writes over the rest). Moves `source` and `target` past the packets done.
template <class TBlock>
inline void PackBitsPackets(const uint8_t*& source, const uint8_t* end, uint8_t*& target,
                            size_t room) {
    const uint8_t* in = source;
    uint8_t* out = target;
    uint8_t* const last = out + room - 128;
    while (out <= last && end - in > 128) {
        const int n = static_cast<int8_t>(*in++);
        if (n >= 0) {
            TBlock::Copy(out, in);
            in += n + 1;
            out += n + 1;
        } else if (n != -128) {
            TBlock::Fill(out, *in++);
            out += 1 - n;
        }
    }
    source = in;
    target = out;
}

struct TBlock16 {
    static void Copy(uint8_t* target, const uint8_t* source) { std::memcpy(target, source, 128); }
    static void Fill(uint8_t* target, uint8_t value) { std::memset(target, value, 128); }
};

#if defined(__x86_64__)
// The same in two 64-byte moves where the processor has them: the packets are bound by the
// stores.
#define AVX512_TARGET __attribute__((target("avx512f")))
struct TBlock64 {
    AVX512_TARGET static void Copy(uint8_t* target, const uint8_t* source) {
        _mm512_storeu_si512(target, _mm512_loadu_si512(source));
        _mm512_storeu_si512(target + 64, _mm512_loadu_si512(source + 64));
    }
    AVX512_TARGET static void Fill(uint8_t* target, uint8_t value) {
        const __m512i v = _mm512_set1_epi8(char(value));
        _mm512_storeu_si512(target, v);
        _mm512_storeu_si512(target + 64, v);
    }
};
AVX512_TARGET void PackBitsPackets64(const uint8_t*& source, const uint8_t* end, uint8_t*& target,
                                     size_t room) {
    PackBitsPackets<TBlock64>(source, end, target, room);
}
#endif

void FastPackBits(const uint8_t*& source, const uint8_t* end, uint8_t*& target, size_t room) {
    if (room < 128) return;
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx512f");
    if (wide) {
        PackBitsPackets64(source, end, target, room);
        return;
    }
#endif
    PackBitsPackets<TBlock16>(source, end, target, room);
}

// Bytes per pixel of a decodable Targa pixel depth, 0 for any other depth.
size_t TargaPixelSize(int32_t pixelDepth) {
    switch (pixelDepth) {
    case 8:
        return 1;
    case 15:
    case 16:
        return 2;
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

} // namespace

// Truncation: silent (see the header). `input` ends past the last whole packet, or at the end
// of the input when the data ran out inside a packet.
void TTargaRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                              int32_t outputSize) {
    const size_t pixelSize = TargaPixelSize(pixelDepth_);
    if (pixelSize == 0) return;
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize) * pixelSize;
    while (room > 0 && source < end) {
        const uint8_t header = *source++;
        const size_t count = (header & 0x7Fu) + 1;
        if (header & 0x80) {
            if (Left(source, end) < pixelSize) {
                source = end;
                break;
            }
            RepeatPixel(source, pixelSize, target, room, count);
            source += pixelSize;
        } else {
            source += CopyLiteral(source, end, target, room, count * pixelSize);
        }
    }
    input = source;
}

void TTargaRLEDecoder::ContinuePacket(const uint8_t*& source, const uint8_t* end, uint8_t*& target,
                                      size_t count, size_t pixelSize) {
    size_t room = count * pixelSize;
    if (pendingRun_) {
        RepeatPixel(runPixel_.data(), pixelSize, target, room, count);
        pending_ -= count;
        return;
    }
    const size_t used = CopyLiteral(source, end, target, room, count * pixelSize);
    source += used;
    // A literal packet cut by the end of the input goes no further.
    pending_ = used == count * pixelSize ? pending_ - count : 0;
}

// Truncation: silent. Per packet, the only work besides Decode's is the test whether the packet
// runs on past the row.
void TTargaRLEDecoder::DecodeRow(const uint8_t*& input, const uint8_t* end, uint8_t* output,
                                 size_t pixelCount) {
    const size_t pixelSize = TargaPixelSize(pixelDepth_);
    if (pixelSize == 0) return;
    const uint8_t* source = input;
    uint8_t* target = output;
    size_t left = pixelCount;
    if (pending_ != 0) {
        const size_t count = std::min(pending_, left);
        ContinuePacket(source, end, target, count, pixelSize);
        left -= count;
    }
    while (left > 0 && source < end) {
        const uint8_t header = *source++;
        const size_t count = (header & 0x7Fu) + 1;
        const size_t fits = std::min(count, left);
        size_t room = fits * pixelSize;
        if (header & 0x80) {
            if (Left(source, end) < pixelSize) {
                source = end;
                break;
            }
            RepeatPixel(source, pixelSize, target, room, fits);
            if (fits < count) {
                std::memcpy(runPixel_.data(), source, pixelSize);
                pendingRun_ = true;
                pending_ = count - fits;
            }
            source += pixelSize;
        } else {
            const size_t used = CopyLiteral(source, end, target, room, fits * pixelSize);
            source += used;
            if (used < fits * pixelSize) break;
            if (fits < count) {
                pendingRun_ = false;
                pending_ = count - fits;
            }
        }
        left -= fits;
    }
    input = source;
}

uint64_t TTargaRLEDecoder::EncodedSizeBound(uint32_t pixelCount) const {
    const int32_t pixelSize = (pixelDepth_ + 1) / 8;
    if (pixelSize <= 0) return 0;
    return uint64_t(pixelCount) * (uint32_t(pixelSize) + 1);
}

void TTargaRLEDecoder::Encode(const uint8_t* input, uint8_t* output, uint32_t pixelCount,
                              uint32_t& bytesWritten) {
    bytesWritten = 0;
    const int32_t signedSize = (pixelDepth_ + 1) / 8;
    if (signedSize <= 0) return;
    const size_t p = static_cast<size_t>(signedSize);
    auto same = [p](const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, p) == 0; };
    const uint8_t* source = input;
    uint8_t* target = output;
    uint32_t remaining = pixelCount;
    while (remaining > 0) {
        // Pixels before the first pair of equal neighbours (all when there is none), at most
        // 128: one raw packet.
        const uint32_t scan = std::min<uint32_t>(remaining - 1, 128);
        uint32_t differing = 0;
        while (differing < scan && !same(source + differing * p, source + (differing + 1) * p))
            ++differing;
        if (differing == remaining - 1) differing = remaining;
        differing = std::min<uint32_t>(differing, 128);
        if (differing > 0) {
            *target++ = static_cast<uint8_t>(differing - 1);
            std::memcpy(target, source, differing * p);
            target += differing * p;
            source += differing * p;
            remaining -= differing;
            bytesWritten += static_cast<uint32_t>(differing * p + 1);
            continue;
        }
        // The current pixel equals the next: one run packet of at most 128.
        uint32_t run = 2;
        while (run < remaining && run < 128 && same(source, source + run * p)) ++run;
        *target++ = static_cast<uint8_t>((run - 1) | 0x80);
        std::memcpy(target, source, p);
        target += p;
        source += run * p;
        remaining -= run;
        bytesWritten += static_cast<uint32_t>(p + 1);
    }
}

// Truncation: silent. A repeat count byte at the very end of the input produces nothing.
void TPackbitsRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                                 int32_t outputSize) {
    TPackBitsCursor(input, Available(inputSize)).Read(output, Available(outputSize));
}

template <bool Write> size_t TPackBitsCursor::Walk(uint8_t* output, size_t count) {
    uint8_t* target = output;
    size_t room = count;
    // A run carried over from the stretch before.
    if (pending_ > 0 && room > 0) {
        size_t take = std::min(pending_, room);
        if (repeat_) {
            if constexpr (Write) FillBytes(target, value_, take);
        } else {
            take = std::min(take, Left(source_, end_));
            if constexpr (Write) CopyBytes(target, source_, take);
            source_ += take;
        }
        // A literal run the input cuts short ends the data.
        pending_ = !repeat_ && take < std::min(pending_, room) ? 0 : pending_ - take;
        if constexpr (Write) target += take;
        room -= take;
        if (!repeat_ && source_ == end_) return count - room;
    }
    if constexpr (Write) {
        const uint8_t* const start = target;
        FastPackBits(source_, end_, target, room);
        room -= size_t(target - start);
    }
    // The last packets, each cut to the room and to the input; a run the room cuts goes on in
    // the next stretch.
    while (room > 0 && source_ < end_) {
        const int n = static_cast<int8_t>(*source_++);
        if (n >= 0) {
            const size_t length = size_t(n) + 1;
            const size_t present = std::min(length, Left(source_, end_));
            const size_t take = std::min(present, room);
            if constexpr (Write) {
                CopyBytes(target, source_, take);
                target += take;
            }
            source_ += take;
            room -= take;
            if (take < length && take == present) break; // the input ends inside the run
            pending_ = length - take;
            repeat_ = false;
        } else if (n != -128) {
            if (source_ == end_) break;
            const uint8_t value = *source_++;
            const size_t length = size_t(1 - n);
            const size_t take = std::min(length, room);
            if constexpr (Write) {
                FillBytes(target, value, take);
                target += take;
            }
            room -= take;
            pending_ = length - take;
            repeat_ = true;
            value_ = value;
        }
    }
    return count - room;
}

template size_t TPackBitsCursor::Walk<true>(uint8_t*, size_t);
template size_t TPackBitsCursor::Walk<false>(uint8_t*, size_t);

// Truncation: silent. A repeat byte at the very end of the input produces nothing.
void TPCXRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize);
    while (room > 0 && source < end) {
        const uint8_t b = *source++;
        if (b >= 0xC0) {
            if (source == end) break;
            Repeat(*source++, target, room, b & 0x3Fu);
        } else {
            *target++ = b;
            --room;
        }
    }
}

// Truncation: silent. The packets are taken in two loops: while the row has room for the
// longest run (and the input for a whole packet) each packet writes its value as whole blocks
// of 16 bytes without a test of the room, its length only moving the output on; the row's last
// packets are then written one by one, cut at its end.
size_t TPCXRLEDecoder::DecodeRow(const uint8_t*& input, const uint8_t* end, uint8_t* output,
                                 size_t count) {
    constexpr size_t Block = 16, LongestRun = 63;
    uint8_t* target = output;
    uint8_t* const targetEnd = output + count;
    if (pending_ != 0) {
        const size_t n = std::min(pending_, count);
        FillBytes(target, pendingValue_, n);
        target += n;
        pending_ -= n;
    }
    const uint8_t* source = input;
    while (size_t(targetEnd - target) >= LongestRun + Block && Left(source, end) >= 2) {
        const uint8_t b = source[0];
        const bool run = b >= 0xC0;
        const uint8_t value = run ? source[1] : b;
        const size_t n = run ? b & 0x3Fu : 1;
        source += run ? 2 : 1;
        std::memset(target, value, Block);
        for (size_t done = Block; done < n; done += Block) std::memset(target + done, value, Block);
        target += n;
    }
    while (target < targetEnd && source < end) {
        const uint8_t b = *source;
        if (b < 0xC0) {
            *target++ = b;
            ++source;
            continue;
        }
        if (Left(source, end) < 2) break;
        const uint8_t value = source[1];
        source += 2;
        const size_t n = b & 0x3Fu;
        const size_t fits = std::min(n, size_t(targetEnd - target));
        FillBytes(target, value, fits);
        target += fits;
        if (fits < n) {
            pending_ = n - fits;
            pendingValue_ = value;
        }
    }
    input = source;
    return size_t(target - output);
}

// Truncation: silent; a line without its terminating 0 packet ends with the input, and one
// longer than the room is cut there.
void TSGIRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize);
    if (sampleBits_ == 8) {
        while (room > 0 && source < end) {
            const uint8_t b = *source++;
            const size_t n = b & 0x7Fu;
            if (n == 0) break;
            if (b & 0x80) {
                source += CopyLiteral(source, end, target, room, n);
            } else {
                if (source == end) break;
                Repeat(*source++, target, room, n);
            }
        }
        return;
    }
    while (room > 0 && Left(source, end) >= 2) {
        const unsigned control = (unsigned(source[0]) << 8) | source[1];
        source += 2;
        const size_t n = control & 0x7Fu;
        if (n == 0) break;
        if (control & 0x80) {
            source += CopyLiteral(source, end, target, room, 2 * n);
        } else {
            if (Left(source, end) < 2) break;
            RepeatPixel(source, 2, target, room, n);
            source += 2;
        }
    }
}

// Truncation: silent; `input` is left at the end of the input when the line's 0 byte is
// missing.
void TCUTRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize);
    source += std::min<size_t>(2, Left(source, end));
    while (source < end) {
        const uint8_t b = *source++;
        if (b == 0) break;
        const size_t n = b & 0x7Fu;
        if (b & 0x80) {
            if (source == end) break;
            Repeat(*source++, target, room, n);
        } else {
            source += CopyLiteral(source, end, target, room, n);
        }
    }
    input = source;
}

// Truncation: silent; a literal packet cut by the end of the input yields the bytes present.
void TPSPRLEDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                            int32_t outputSize) {
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize);
    while (room > 0 && source < end) {
        const uint8_t b = *source++;
        if (b < 0x80) {
            source += CopyLiteral(source, end, target, room, b);
        } else {
            if (source == end) break;
            Repeat(*source++, target, room, b - 0x80u);
        }
    }
}

// Truncation: silent; a literal packet cut by the end of the input yields the bytes present.
void TRLADecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                         int32_t outputSize) {
    const uint8_t* source = input;
    const uint8_t* const end = source + Available(inputSize);
    uint8_t* target = output;
    size_t room = Available(outputSize);
    while (room > 0 && source < end) {
        const int n = static_cast<int8_t>(*source++);
        if (n >= 0) {
            if (source == end) break;
            Repeat(*source++, target, room, size_t(n) + 1);
        } else {
            source += CopyLiteral(source, end, target, room, size_t(-n));
        }
    }
}
