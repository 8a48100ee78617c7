// Vector kernels of the colour manager (see ColorConvertersSimd.h). Compiled for 512-bit
// byte/word operations through function attributes and chosen at run time, so the library
// still runs on processors without them.
#include "imaging/ColorConvertersSimd.h"

#ifdef CHRONOLITH_COLOR_SIMD

#include <algorithm>
#include <immintrin.h>

// The compiler's own intrinsics start some results from deliberately undefined vectors, which
// its flow analysis reports as uninitialised.
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

#define SIMD_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace ColorSimd {

namespace {
bool enabled = true;
}

bool Available() {
    static const bool supported = __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vbmi");
    return supported && enabled;
}

void SetEnabled(bool value) {
    enabled = value;
}

namespace {

// The first `n` (0 to 64) lanes.
inline __mmask64 ByteMask(size_t n) {
    return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1;
}
inline __mmask32 WordMask(size_t n) {
    return n >= 32 ? ~__mmask32(0) : (__mmask32(1) << n) - 1;
}

// A byte index vector from a function of the lane.
template <class Fn> SIMD_TARGET __m512i ByteIndex(Fn fn) {
    alignas(64) uint8_t bytes[64];
    for (int j = 0; j < 64; ++j) bytes[j] = static_cast<uint8_t>(fn(j));
    __m512i v;
    __builtin_memcpy(&v, bytes, 64);
    return v;
}

// 256-entry byte table lookup for 64 indices.
struct TByteTable {
    __m512i part[4];
    SIMD_TARGET explicit TByteTable(const uint8_t* table) {
        for (int k = 0; k < 4; ++k) part[k] = _mm512_loadu_si512(table + 64 * k);
    }
    SIMD_TARGET __m512i operator()(__m512i index) const {
        const __m512i low = _mm512_permutex2var_epi8(part[0], index, part[1]);
        const __m512i high = _mm512_permutex2var_epi8(part[2], index, part[3]);
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
    }
};

// 256-entry 16-bit table lookup for 32 indices (0..255 in 16-bit lanes).
struct TWordTable {
    __m512i part[8];
    SIMD_TARGET explicit TWordTable(const int32_t* table) {
        for (int k = 0; k < 8; ++k) {
            const __m256i low = _mm512_cvtepi32_epi16(_mm512_loadu_si512(table + 32 * k));
            const __m256i high = _mm512_cvtepi32_epi16(_mm512_loadu_si512(table + 32 * k + 16));
            part[k] = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
        }
    }
    SIMD_TARGET __m512i operator()(__m512i index) const {
        const __m512i a = _mm512_permutex2var_epi16(part[0], index, part[1]);
        const __m512i b = _mm512_permutex2var_epi16(part[2], index, part[3]);
        const __m512i c = _mm512_permutex2var_epi16(part[4], index, part[5]);
        const __m512i d = _mm512_permutex2var_epi16(part[6], index, part[7]);
        const __mmask32 bit6 = _mm512_test_epi16_mask(index, _mm512_set1_epi16(64));
        const __mmask32 bit7 = _mm512_test_epi16_mask(index, _mm512_set1_epi16(128));
        return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, a, b),
                                       _mm512_mask_blend_epi16(bit6, c, d));
    }
};

// Two vectors of 32 16-bit values (each 0..255) as 64 bytes.
SIMD_TARGET inline __m512i PackWords(__m512i low, __m512i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(low)),
                              _mm512_cvtepi16_epi8(high), 1);
}

SIMD_TARGET inline __m512i ClampWords(__m512i v) {
    return _mm512_min_epi16(_mm512_max_epi16(v, _mm512_setzero_si512()), _mm512_set1_epi16(255));
}

// Four 16-bit samples per pixel (C, M, Y, K): X * K div 255 - X - K + 255, clamped to a byte,
// in every lane (the black lane's result is not used).
SIMD_TARGET inline __m512i MixCMYK(__m512i x) {
    // Black of each pixel into all four of its lanes.
    const __m512i k = _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(x, 0xFF), 0xFF);
    __m512i t = _mm512_mullo_epi16(x, k);
    // t div 255 for t <= 65025.
    t = _mm512_srli_epi16(
        _mm512_add_epi16(_mm512_add_epi16(t, _mm512_set1_epi16(1)), _mm512_srli_epi16(t, 8)), 8);
    return ClampWords(
        _mm512_add_epi16(_mm512_sub_epi16(_mm512_sub_epi16(t, x), k), _mm512_set1_epi16(255)));
}

// 16 CMYK pixels to 16 three-byte pixels (in the first 48 bytes) in the order `order` picks.
SIMD_TARGET inline __m512i MixCMYKPixels(__m512i v, __m512i order) {
    const __m512i low = MixCMYK(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(v)));
    const __m512i high = MixCMYK(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v, 1)));
    return _mm512_permutexvar_epi8(order, PackWords(low, high));
}

// The low 32 bytes widened to 16-bit lanes.
SIMD_TARGET inline __m512i WidenLow(__m512i v) {
    return _mm512_cvtepu8_epi16(_mm512_castsi512_si256(v));
}

// Output bytes base..base+63 of 32 three-byte pixels taken from a vector holding the first
// samples (bytes 0..31) and the second (32..63), and a vector holding the third (64..95).
SIMD_TARGET __m512i SpreadIndex(int base) {
    return ByteIndex([=](int j) {
        const int k = base + j, pixel = k / 3, sample = k % 3;
        if (pixel >= 32) return 0;
        return sample == 0 ? pixel : sample == 1 ? 32 + pixel : 64 + pixel;
    });
}

// The index vectors and masks of Reorder8 for one pixel size (3 or 4 bytes) and sample order,
// made once rather than on every row.
struct TReorderIndices {
    // Lanes of a step of 21 three-byte or 16 four-byte pixels, red and blue swapped or not.
    alignas(64) uint8_t Order[64];
    // Three-byte pixels, swapped, 64 at a time (three vectors): output byte p takes source
    // byte p + 2, p or p - 2 as it is the pixel's first, second or third sample, from one of
    // two adjacent vectors.
    alignas(64) uint8_t First[64];
    alignas(64) uint8_t MiddleLow[64];
    alignas(64) uint8_t MiddleHigh[64];
    alignas(64) uint8_t Last[64];
    __mmask64 MiddleFromLast = 0;
    // Lanes passed on unchanged: alpha, and the byte after 21 three-byte pixels.
    __mmask64 Keep = 0;
};

TReorderIndices MakeReorderIndices(int stride, bool swapRedBlue) {
    TReorderIndices t;
    const int step = stride == 3 ? 21 : 16;
    const auto from = [](int p) { return p % 3 == 0 ? p + 2 : p % 3 == 2 ? p - 2 : p; };
    t.Keep = __mmask64(1) << 63;
    for (int j = 0; j < 64; ++j) {
        const int sample = j % stride;
        t.Order[j] = uint8_t(!swapRedBlue || j >= step * stride ? j
                             : sample == 0                      ? j + 2
                             : sample == 2                      ? j - 2
                                                                : j);
        t.First[j] = uint8_t(from(j));
        t.MiddleLow[j] = uint8_t(from(64 + j) & 127);
        t.MiddleHigh[j] = uint8_t((from(64 + j) - 64) & 127);
        t.Last[j] = uint8_t(from(128 + j) - 64);
        if (from(64 + j) >= 128) t.MiddleFromLast |= __mmask64(1) << j;
        if (stride == 4 && j % 4 == 3) t.Keep |= __mmask64(1) << j;
    }
    return t;
}

const TReorderIndices& ReorderIndices(int stride, bool swapRedBlue) {
    static const TReorderIndices tables[2][2] = {
        {MakeReorderIndices(3, false), MakeReorderIndices(3, true)},
        {MakeReorderIndices(4, false), MakeReorderIndices(4, true)}};
    return tables[stride == 3 ? 0 : 1][swapRedBlue ? 1 : 0];
}

// A vector stored, around the caches when `Stream` (`out` then aligned to 64 bytes).
template <bool Stream> SIMD_TARGET inline void Store(uint8_t* out, __m512i v) {
    if constexpr (Stream)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(out), v);
    else
        _mm512_storeu_si512(out, v);
}

// Three-byte pixels with the first and third samples exchanged (and the gamma applied), 64 a
// step in three whole vectors, so that no load or store straddles the next. Streaming stores
// need a target aligned to 64 bytes. Answers the pixels done.
template <bool Stream>
SIMD_TARGET size_t SwapThree(const uint8_t* source, uint8_t* target, size_t bytes,
                             const uint8_t* gamma, const TByteTable& table,
                             const TReorderIndices& indices) {
    const __m512i first = _mm512_load_si512(indices.First);
    const __m512i middleLow = _mm512_load_si512(indices.MiddleLow);
    const __m512i middleHigh = _mm512_load_si512(indices.MiddleHigh);
    const __mmask64 middleFromLast = indices.MiddleFromLast;
    const __m512i last = _mm512_load_si512(indices.Last);
    size_t done = 0;
    for (; (done + 64) * 3 <= bytes; done += 64) {
        const uint8_t* in = source + done * 3;
        __m512i a = _mm512_loadu_si512(in);
        __m512i b = _mm512_loadu_si512(in + 64);
        __m512i c = _mm512_loadu_si512(in + 128);
        if (gamma) {
            a = table(a);
            b = table(b);
            c = table(c);
        }
        uint8_t* out = target + done * 3;
        Store<Stream>(out, _mm512_permutex2var_epi8(a, first, b));
        Store<Stream>(out + 64, _mm512_mask_blend_epi8(middleFromLast,
                                                       _mm512_permutex2var_epi8(a, middleLow, b),
                                                       _mm512_permutex2var_epi8(b, middleHigh, c)));
        Store<Stream>(out + 128, _mm512_permutex2var_epi8(b, last, c));
    }
    if constexpr (Stream) _mm_sfence();
    return done;
}

} // namespace

SIMD_TARGET void Reorder8(const uint8_t* source, uint8_t* target, size_t count, int stride,
                          const uint8_t* gamma, bool swapRedBlue) {
    const TReorderIndices& indices = ReorderIndices(stride, swapRedBlue);
    // 21 three-byte pixels (63 bytes) or 16 four-byte pixels a step.
    const size_t step = stride == 3 ? 21 : 16;
    const __m512i order = _mm512_load_si512(indices.Order);
    const __mmask64 keep = indices.Keep;
    static const uint8_t kNoTable[256] = {};
    const TByteTable table(gamma ? gamma : kNoTable);
    const size_t bytes = count * stride;
    size_t done = 0;
    if (stride == 3 && swapRedBlue && bytes >= StreamingBytes) {
        // The pixels before the first whose target is aligned to 64 bytes (3 x 43 = 1 modulo
        // 64) go the usual way.
        const size_t head = (64 - reinterpret_cast<uintptr_t>(target) % 64) % 64 * 43 % 64;
        Reorder8(source, target, head, 3, gamma, true);
        done = head + SwapThree<true>(source + head * 3, target + head * 3, bytes - head * 3, gamma,
                                      table, indices);
    } else if (stride == 3 && swapRedBlue) {
        done = SwapThree<false>(source, target, bytes, gamma, table, indices);
    }
    // Whole vectors while 64 bytes remain; the last byte of a three-byte step is the next
    // pixel's first, copied as it is and rewritten by the next step.
    for (; done * stride + 64 <= bytes; done += step) {
        __m512i v = _mm512_loadu_si512(source + done * stride);
        if (gamma) v = _mm512_mask_blend_epi8(keep, table(v), v);
        if (swapRedBlue) v = _mm512_permutexvar_epi8(order, v);
        _mm512_storeu_si512(target + done * stride, v);
    }
    for (; done < count; done += step) {
        const __mmask64 lanes = ByteMask(std::min(step, count - done) * stride);
        __m512i v = _mm512_maskz_loadu_epi8(lanes, source + done * stride);
        if (gamma) v = _mm512_mask_blend_epi8(keep, table(v), v);
        if (swapRedBlue) v = _mm512_permutexvar_epi8(order, v);
        _mm512_mask_storeu_epi8(target + done * stride, lanes, v);
    }
}

SIMD_TARGET void CopyStreaming(const uint8_t* source, uint8_t* target, size_t bytes) {
    // The bytes before the first 64-byte boundary of the target and after the last are
    // copied the usual way.
    const size_t head = std::min(bytes, (64 - reinterpret_cast<uintptr_t>(target) % 64) % 64);
    __builtin_memcpy(target, source, head);
    size_t done = head;
    for (; done + 64 <= bytes; done += 64)
        Store<true>(target + done, _mm512_loadu_si512(source + done));
    _mm_sfence();
    __builtin_memcpy(target + done, source + done, bytes - done);
}

SIMD_TARGET void Narrow16(const uint8_t* source, uint8_t* target, size_t samples, bool swap) {
    const __m512i swapOrder = ByteIndex([](int j) { return j ^ 1; });
    // v * 255 div 65535 = (v * 65281) >> 24 for every 16-bit v.
    const __m512i scale = _mm512_set1_epi16(static_cast<short>(65281));
    for (size_t done = 0; done < samples; done += 64) {
        const size_t n = std::min<size_t>(64, samples - done);
        __m512i low = _mm512_maskz_loadu_epi16(WordMask(n), source + done * 2);
        __m512i high =
            _mm512_maskz_loadu_epi16(WordMask(n > 32 ? n - 32 : 0), source + done * 2 + 64);
        if (swap) {
            low = _mm512_shuffle_epi8(low, swapOrder);
            high = _mm512_shuffle_epi8(high, swapOrder);
        }
        low = _mm512_srli_epi16(_mm512_mulhi_epu16(low, scale), 8);
        high = _mm512_srli_epi16(_mm512_mulhi_epu16(high, scale), 8);
        _mm512_mask_storeu_epi8(target + done, ByteMask(n), PackWords(low, high));
    }
}

SIMD_TARGET void CMYK8(const uint8_t* source, uint8_t* target, size_t count, bool blueFirst) {
    // Results come out as 16 pixels of four bytes (the fourth unused); pick three of each.
    const __m512i order = ByteIndex([&](int j) {
        if (j >= 48) return 0;
        const int sample = j % 3;
        return (j / 3) * 4 + (blueFirst ? 2 - sample : sample);
    });
    size_t done = 0;
    // Whole vectors while 22 pixels remain (64 target bytes; the last 16 bytes written are
    // rewritten by the next step). The target never runs ahead of the source still to read.
    for (; done + 22 <= count; done += 16) {
        const __m512i v = _mm512_loadu_si512(source + done * 4);
        _mm512_storeu_si512(target + done * 3, MixCMYKPixels(v, order));
    }
    for (; done < count; done += 16) {
        const size_t n = std::min<size_t>(16, count - done);
        const __m512i v = _mm512_maskz_loadu_epi8(ByteMask(n * 4), source + done * 4);
        _mm512_mask_storeu_epi8(target + done * 3, ByteMask(n * 3), MixCMYKPixels(v, order));
    }
}

namespace {

// Luma and chroma of 32 three-byte pixels (bytes 0..95 of a, b) to 32 three-byte pixels:
// bytes 0..63 in first, 64..95 in the low half of second.
struct TYCCKernel {
    TWordTable red, blue, greenCr, greenCb;
    __m512i lumaAt, cbAt, crAt, out1At, out2At;
    bool blueFirst;

    SIMD_TARGET TYCCKernel(const int32_t* crToRed, const int32_t* cbToBlue,
                           const int32_t* crToGreen, const int32_t* cbToGreen, bool blueFirst)
        : red(crToRed), blue(cbToBlue), greenCr(crToGreen), greenCb(cbToGreen),
          lumaAt(ByteIndex([](int j) { return j < 32 ? 3 * j : 0; })),
          cbAt(ByteIndex([](int j) { return j < 32 ? 3 * j + 1 : 0; })),
          crAt(ByteIndex([](int j) { return j < 32 ? 3 * j + 2 : 0; })), out1At(SpreadIndex(0)),
          out2At(SpreadIndex(64)), blueFirst(blueFirst) {}

    SIMD_TARGET void operator()(__m512i a, __m512i b, __m512i& first, __m512i& second) const {
        const __m512i y = WidenLow(_mm512_permutex2var_epi8(a, lumaAt, b));
        const __m512i cb = WidenLow(_mm512_permutex2var_epi8(a, cbAt, b));
        const __m512i cr = WidenLow(_mm512_permutex2var_epi8(a, crAt, b));
        const __m512i r = ClampWords(_mm512_add_epi16(y, red(cr)));
        const __m512i g =
            ClampWords(_mm512_add_epi16(_mm512_add_epi16(y, greenCb(cb)), greenCr(cr)));
        const __m512i bl = ClampWords(_mm512_add_epi16(y, blue(cb)));
        const __m512i firstSecond = PackWords(blueFirst ? bl : r, g);
        const __m512i third = _mm512_castsi256_si512(_mm512_cvtepi16_epi8(blueFirst ? r : bl));
        first = _mm512_permutex2var_epi8(firstSecond, out1At, third);
        second = _mm512_permutex2var_epi8(firstSecond, out2At, third);
    }
};

} // namespace

SIMD_TARGET void YCC8(const uint8_t* source, uint8_t* target, size_t count, const int32_t* crToRed,
                      const int32_t* cbToBlue, const int32_t* crToGreen, const int32_t* cbToGreen,
                      bool blueFirst) {
    const TYCCKernel kernel(crToRed, cbToBlue, crToGreen, cbToGreen, blueFirst);
    __m512i first, second;
    size_t done = 0;
    // 32 pixels (96 bytes) a step; whole vectors while 128 source bytes remain.
    for (; done + 43 <= count; done += 32) {
        const uint8_t* p = source + done * 3;
        kernel(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 64), first, second);
        uint8_t* q = target + done * 3;
        _mm512_storeu_si512(q, first);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + 64), _mm512_castsi512_si256(second));
    }
    for (; done < count; done += 32) {
        const size_t bytes = std::min<size_t>(32, count - done) * 3;
        const __mmask64 low = ByteMask(bytes), high = ByteMask(bytes > 64 ? bytes - 64 : 0);
        const uint8_t* p = source + done * 3;
        kernel(_mm512_maskz_loadu_epi8(low, p), _mm512_maskz_loadu_epi8(high, p + 64), first,
               second);
        uint8_t* q = target + done * 3;
        _mm512_mask_storeu_epi8(q, low, first);
        _mm512_mask_storeu_epi8(q + 64, high, second);
    }
}

} // namespace ColorSimd

#endif
