// Row converters of the colour manager. Each converts `count` pixels of one colour model and
// sample depth into the bitmap's layout. Everything that does not change along the row (the
// component function, strides, sample order) is chosen before the pixel loop: the loops are
// template instances, so the per-pixel work is loads, stores, table lookups and integer
// arithmetic.
//
// Interlace mask: pixel i of the row is converted when bit (7 - i mod 8) of the mask is set;
// the target always advances by one pixel, the source only over converted pixels. A row may
// be converted in place when source and target pixels have the same size.
#include "imaging/ColorManager.h"

#include "imaging/ColorConvertersSimd.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CHRONOLITH_X86 1
#endif

namespace {

inline uint16_t Swap16(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}
inline uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void Store16(uint8_t* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
inline uint8_t ClampByte(int32_t x) {
    return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x);
}
// x * y div z with a 32-bit product; callers keep the quotient within 16 bits.
inline uint16_t ScaleDiv16(uint32_t x, uint32_t y, uint32_t z) {
    return static_cast<uint16_t>(x * y / z);
}
// An 8-bit value widened to 16 bits: v * 65535 div 255.
inline uint16_t Widen(uint8_t v) {
    return static_cast<uint16_t>(v * 257u);
}
// A 16-bit value reduced to 8 bits: v * 255 div 65535.
inline uint8_t Narrow(uint16_t v) {
    return static_cast<uint8_t>(v * 255u / 65535u);
}

// Calls fn(sourcePixel, targetPixel) for every converted pixel of the row.
template <class Fn> inline void ForPixels(uint32_t count, uint8_t mask, Fn&& fn) {
    if (mask == 0xFF) {
        for (size_t i = 0; i < count; ++i) fn(i, i);
        return;
    }
    size_t source = 0;
    for (size_t i = 0; i < count; ++i)
        if (mask & (0x80u >> (i & 7))) fn(source++, i);
}

// One sample from `InBytes` to `OutBytes` bytes: 8-bit samples through the gamma table
// (Gamma) and widened to 16 bits, byte-swapped with Swap; 16-bit samples swapped (Swap),
// reduced to 8 bits and looked up in the gamma table (Gamma) or copied. A pixel's samples are
// all read before any is stored, so a row may be converted in place.
template <int InBytes, int OutBytes, bool Gamma, bool Swap> struct TComponent {
    static constexpr size_t In = InBytes;
    static constexpr size_t Out = OutBytes;
    using Value = std::conditional_t<OutBytes == 1, uint8_t, uint16_t>;
    const uint8_t* gamma;

    Value operator()(const uint8_t* in) const {
        if constexpr (InBytes == 1) {
            const uint8_t v = Gamma ? gamma[*in] : *in;
            if constexpr (OutBytes == 1)
                return v;
            else
                return Swap ? Swap16(Widen(v)) : Widen(v);
        } else {
            const uint16_t v = Swap ? Swap16(Load16(in)) : Load16(in);
            if constexpr (OutBytes == 1) {
                const uint8_t b = Narrow(v);
                return Gamma ? gamma[b] : b;
            } else {
                return v;
            }
        }
    }
    static void Put(uint8_t* out, Value v) {
        if constexpr (OutBytes == 1)
            *out = v;
        else
            Store16(out, v);
    }
};

// Calls fn(colour, alpha) with the component functions for the depths: the colour function
// applies gamma when asked, the alpha function never. Depths other than 8 and 16 bits call
// nothing.
template <class Fn>
void WithComponents(unsigned inBits, unsigned outBits, bool gamma, bool swap, const uint8_t* table,
                    Fn&& fn) {
    const auto run = [&]<int I, int O, bool G, bool S>() {
        fn(TComponent<I, O, G, S>{table}, TComponent<I, O, false, S>{table});
    };
    if (inBits == 8 && outBits == 8) {
        gamma ? run.template operator()<1, 1, true, false>()
              : run.template operator()<1, 1, false, false>();
    } else if (inBits == 8 && outBits == 16) {
        if (gamma)
            swap ? run.template operator()<1, 2, true, true>()
                 : run.template operator()<1, 2, true, false>();
        else
            swap ? run.template operator()<1, 2, false, true>()
                 : run.template operator()<1, 2, false, false>();
    } else if (inBits == 16 && outBits == 8) {
        if (gamma)
            swap ? run.template operator()<2, 1, true, true>()
                 : run.template operator()<2, 1, true, false>();
        else
            swap ? run.template operator()<2, 1, false, true>()
                 : run.template operator()<2, 1, false, false>();
    } else if (inBits == 16 && outBits == 16) {
        swap ? run.template operator()<2, 2, false, true>()
             : run.template operator()<2, 2, false, false>();
    }
}

// ---- Reorder family ----------------------------------------------------------------------

// Interleaved source of SourceStride samples per pixel into TargetStride samples per pixel;
// with SwapRedBlue the first and third colour samples change places. Alpha is copied when
// both sides carry it.
template <int SourceStride, int TargetStride, bool SwapRedBlue, class Colour, class Alpha>
void ReorderInterleaved(const uint8_t* source, uint8_t* target, uint32_t count, uint8_t mask,
                        Colour colour, Alpha alpha) {
    constexpr size_t in = Colour::In, out = Colour::Out;
    ForPixels(count, mask, [=](size_t s, size_t t) {
        const uint8_t* p = source + s * SourceStride * in;
        uint8_t* q = target + t * TargetStride * out;
        const auto first = colour(p + (SwapRedBlue ? 2 : 0) * in);
        const auto second = colour(p + in);
        const auto third = colour(p + (SwapRedBlue ? 0 : 2) * in);
        if constexpr (SourceStride == 4 && TargetStride == 4)
            Alpha::Put(q + 3 * out, alpha(p + 3 * in));
        Colour::Put(q, first);
        Colour::Put(q + out, second);
        Colour::Put(q + 2 * out, third);
    });
}

// Planar source: the planes that go to the target's first, second and third place, and the
// alpha plane when alpha is copied.
template <int TargetStride, bool CopyAlpha, class Colour, class Alpha>
void ReorderPlanar(const uint8_t* first, const uint8_t* second, const uint8_t* third,
                   const uint8_t* alphaPlane, uint8_t* target, uint32_t count, uint8_t mask,
                   Colour colour, Alpha alpha) {
    constexpr size_t in = Colour::In, out = Colour::Out;
    ForPixels(count, mask, [=](size_t s, size_t t) {
        uint8_t* q = target + t * TargetStride * out;
        Colour::Put(q, colour(first + s * in));
        Colour::Put(q + out, colour(second + s * in));
        Colour::Put(q + 2 * out, colour(third + s * in));
        if constexpr (CopyAlpha) Alpha::Put(q + 3 * out, alpha(alphaPlane + s * in));
    });
}

#ifdef CHRONOLITH_X86
// 8-bit three-sample pixels with the first and third samples exchanged, 16 bytes at a time.
// Returns the pixels done; the caller finishes the rest.
__attribute__((target("ssse3"))) size_t SwapRedBlue3Simd(const uint8_t* source, uint8_t* target,
                                                         size_t count) {
    // Five pixels (15 bytes) per step; the 16th byte loaded and stored is the next pixel's
    // first, rewritten by the next step, so a step runs only while 16 bytes remain on both
    // sides.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t done = 0;
    while (done * 3 + 16 <= count * 3) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done * 3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + done * 3), _mm_shuffle_epi8(v, order));
        done += 5;
    }
    return done;
}

// 8-bit four-sample pixels with the first and third samples exchanged, four pixels at a time.
__attribute__((target("ssse3"))) size_t SwapRedBlue4Simd(const uint8_t* source, uint8_t* target,
                                                         size_t count) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    size_t done = 0;
    for (; done + 4 <= count; done += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + done * 4), _mm_shuffle_epi8(v, order));
    }
    return done;
}

bool HasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

// Unmasked 8-bit interleaved rows without gamma on processors without the wide kernels:
// block copies when the order is kept, vector shuffles when red and blue change places.
// Answers false when the row needs the general loop.
bool FastReorder8(const uint8_t* source, uint8_t* target, uint32_t count, int sourceStride,
                  int targetStride, bool swapRedBlue) {
    if (sourceStride != targetStride) return false;
    if (!swapRedBlue) {
        std::memmove(target, source, size_t(count) * sourceStride);
        return true;
    }
#ifdef CHRONOLITH_X86
    if (!HasSsse3()) return false;
    const size_t done = sourceStride == 3 ? SwapRedBlue3Simd(source, target, count)
                                          : SwapRedBlue4Simd(source, target, count);
    const size_t offset = done * sourceStride;
    const TComponent<1, 1, false, false> plain{nullptr};
    if (sourceStride == 3)
        ReorderInterleaved<3, 3, true>(source + offset, target + offset, uint32_t(count - done),
                                       0xFF, plain, plain);
    else
        ReorderInterleaved<4, 4, true>(source + offset, target + offset, uint32_t(count - done),
                                       0xFF, plain, plain);
    return true;
#else
    return false;
#endif
}

// Unmasked interleaved rows of 8 or 16-bit samples into 8-bit samples with the same number of
// samples per pixel. Answers false when the row needs the general loop.
bool FastReorder(const uint8_t* source, uint8_t* target, uint32_t count, int stride,
                 unsigned sourceBits, const uint8_t* gamma, bool swapRedBlue, bool swapBytes) {
#ifdef CHRONOLITH_COLOR_SIMD
    if (ColorSimd::Available()) {
        if (sourceBits == 8) {
            if (!gamma && !swapRedBlue)
                std::memmove(target, source, size_t(count) * stride);
            else
                ColorSimd::Reorder8(source, target, count, stride, gamma, swapRedBlue);
            return true;
        }
        if (!gamma && !swapRedBlue) {
            ColorSimd::Narrow16(source, target, size_t(count) * stride, swapBytes);
            return true;
        }
        // Reduce a block to 8 bits, then reorder it; the block is a whole number of the
        // kernel's steps for both strides.
        constexpr size_t kBlock = 1008;
        uint8_t block[kBlock * 4];
        for (size_t done = 0; done < count; done += kBlock) {
            const size_t n = std::min<size_t>(kBlock, count - done);
            ColorSimd::Narrow16(source + done * stride * 2, block, n * stride, swapBytes);
            ColorSimd::Reorder8(block, target + done * stride, n, stride, gamma, swapRedBlue);
        }
        return true;
    }
#endif
    if (sourceBits != 8 || gamma) return false;
    return FastReorder8(source, target, count, stride, stride, swapRedBlue);
}

} // namespace

void TColorManager::CopyPixels(std::span<const uint8_t> source, std::span<uint8_t> target) {
    CheckExtent("target", source.size(), target.size());
#ifdef CHRONOLITH_COLOR_SIMD
    if (source.size() >= ColorSimd::StreamingBytes && ColorSimd::Available()) {
        ColorSimd::CopyStreaming(source.data(), target.data(), source.size());
        return;
    }
#endif
    std::memcpy(target.data(), source.data(), source.size());
}

namespace {

// ---- Index rows ----------------------------------------------------------------------------

// Reads fields of `bits` bits (1 to 8) most significant first; a byte is left when its last
// whole field has been read, and read only when its first field is needed.
class TFieldReader {
public:
    TFieldReader(const uint8_t* source, unsigned bits)
        : p_(source), bits_(bits), mask_((1u << bits) - 1), fieldsPerByte_(8 / bits) {}

    unsigned Next() {
        if (left_ == 0) {
            byte_ = *p_++;
            left_ = fieldsPerByte_;
        }
        --left_;
        return (byte_ >> (8 - bits_ * (fieldsPerByte_ - left_))) & mask_;
    }

private:
    const uint8_t* p_;
    unsigned bits_, mask_, fieldsPerByte_;
    unsigned left_ = 0;
    unsigned byte_ = 0;
};

// Stores `value` into field `index` of a packed row of `bits` bits (1, 2, 4 or 8) per pixel,
// most significant first, keeping the other bits of the byte.
inline void StoreField(uint8_t* target, size_t index, unsigned bits, unsigned value) {
    if (bits == 8) {
        target[index] = static_cast<uint8_t>(value);
        return;
    }
    const unsigned perByte = 8 / bits;
    const unsigned shift = 8 - bits * (unsigned(index % perByte) + 1);
    const unsigned fieldMask = ((1u << bits) - 1) << shift;
    uint8_t& byte = target[index / perByte];
    byte = static_cast<uint8_t>((byte & ~fieldMask) | ((value << shift) & fieldMask));
}

bool IsPackedDepth(unsigned bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8;
}

// ---- CIE L*a*b* --------------------------------------------------------------------------
//
// L*a*b* relative to its white (D50 as TIFF and Photoshop store it, unless the file names
// another) to XYZ, adapted to D65 by the Bradford transform and taken to linear sRGB by one
// matrix, then through the sRGB transfer curve: the conversion of the CIE and IEC 61966-2-1
// formulas.

// One L*a*b* sample set as numbers: L* 0..100, a* and b* about -128..127.
struct TLab {
    float L, A, B;
};

// The sRGB transfer curve over linear light 0..1, tabulated finely enough that neighbouring
// entries differ by less than a quarter of an 8-bit level.
class TSRGBCurve {
public:
    static constexpr int Steps = 16384;

    TSRGBCurve() {
        for (int i = 0; i <= Steps; ++i)
            table_[size_t(i)] = uint8_t(std::lrint(Encode(float(i) / Steps) * 255.0f));
    }
    static float Encode(float linear) {
        if (linear <= 0.0031308f) return 12.92f * linear;
        return 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
    }
    uint8_t Byte(float linear) const {
        const float clamped = linear < 0 ? 0 : linear > 1 ? 1 : linear;
        return table_[size_t(std::lrint(clamped * Steps))];
    }
    static uint16_t Word(float linear) {
        const float clamped = linear < 0 ? 0 : linear > 1 ? 1 : linear;
        return uint16_t(std::lrint(Encode(clamped) * 65535.0f));
    }

private:
    std::array<uint8_t, Steps + 1> table_;
};

const TSRGBCurve& SRGBCurve() {
    static const TSRGBCurve curve;
    return curve;
}

// The inverse of the CIE lightness function f.
inline float LabInverse(float t) {
    constexpr float Delta = 6.0f / 29.0f;
    return t > Delta ? t * t * t : 3.0f * Delta * Delta * (t - 4.0f / 29.0f);
}

// Linear sRGB of an L*a*b* colour relative to `white`, unclamped.
inline std::array<float, 3> LabToLinearRGB(TLab lab, const TLabWhite& white) {
    const float fy = (lab.L + 16.0f) / 116.0f;
    const float x = white.X * LabInverse(fy + lab.A / 500.0f);
    const float y = LabInverse(fy);
    const float z = white.Z * LabInverse(fy - lab.B / 200.0f);
    const std::array<float, 9>& m = white.ToLinearRGB;
    return {m[0] * x + m[1] * y + m[2] * z, m[3] * x + m[4] * y + m[5] * z,
            m[6] * x + m[7] * y + m[8] * z};
}

// Writes three 8-bit colour results to an 8- or 16-bit target pixel in the target's order.
template <bool Wide>
inline void StoreColour(uint8_t* q, uint8_t r, uint8_t g, uint8_t b, bool blueFirst) {
    const uint8_t first = blueFirst ? b : r;
    const uint8_t third = blueFirst ? r : b;
    if constexpr (Wide) {
        Store16(q, Widen(first));
        Store16(q + 2, Widen(g));
        Store16(q + 4, Widen(third));
    } else {
        q[0] = first;
        q[1] = g;
        q[2] = third;
    }
}

// The three source sample planes of a colour row: planes when several pointers are given,
// otherwise the interleaved samples of one plane.
struct TSamplePlanes {
    const uint8_t* plane[4];
    size_t stride; // bytes from one pixel to the next within a plane

    TSamplePlanes(std::span<const void* const> sources, size_t samples, size_t sampleBytes,
                  bool planar) {
        for (size_t k = 0; k < samples; ++k)
            plane[k] = planar ? static_cast<const uint8_t*>(sources[k])
                              : static_cast<const uint8_t*>(sources[0]) + k * sampleBytes;
        stride = planar ? sampleBytes : samples * sampleBytes;
    }
};

} // namespace

// ---- Reorder family ----------------------------------------------------------------------

void TColorManager::ReorderRow(const TRow& row, bool sourceBlueFirst, bool targetBlueFirst) const {
    const bool sourceAlpha = SourceFlags.Contains(cfAlpha);
    const bool targetAlpha = TargetFlags.Contains(cfAlpha);
    const bool copyAlpha = sourceAlpha && targetAlpha;
    const bool swapRedBlue = sourceBlueFirst != targetBlueFirst;
    const bool gamma = TargetFlags.Contains(cfApplyGamma);
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    const int sourceStride = sourceAlpha ? 4 : 3;
    const int targetStride = targetAlpha ? 4 : 3;
    const bool planar = row.sources.size() > 1;
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);

    if (!planar && row.mask == 0xFF && sourceStride == targetStride && targetBits_ == 8 &&
        (sourceBits_ == 8 || sourceBits_ == 16) &&
        FastReorder(source, row.target, row.count, sourceStride, sourceBits_,
                    gamma ? gammaTable_.data() : nullptr, swapRedBlue, swap))
        return;

    WithComponents(
        sourceBits_, targetBits_, gamma, swap, gammaTable_.data(), [&](auto colour, auto alpha) {
            if (planar) {
                const auto plane = [&](size_t k) {
                    return static_cast<const uint8_t*>(row.sources[k]);
                };
                const uint8_t* first = swapRedBlue ? plane(2) : plane(0);
                const uint8_t* third = swapRedBlue ? plane(0) : plane(2);
                const uint8_t* alphaPlane = copyAlpha ? plane(3) : nullptr;
                if (copyAlpha)
                    ReorderPlanar<4, true>(first, plane(1), third, alphaPlane, row.target,
                                           row.count, row.mask, colour, alpha);
                else if (targetAlpha)
                    ReorderPlanar<4, false>(first, plane(1), third, alphaPlane, row.target,
                                            row.count, row.mask, colour, alpha);
                else
                    ReorderPlanar<3, false>(first, plane(1), third, alphaPlane, row.target,
                                            row.count, row.mask, colour, alpha);
                return;
            }
            const auto run = [&]<int S, int T>() {
                if (swapRedBlue)
                    ReorderInterleaved<S, T, true>(source, row.target, row.count, row.mask, colour,
                                                   alpha);
                else
                    ReorderInterleaved<S, T, false>(source, row.target, row.count, row.mask, colour,
                                                    alpha);
            };
            if (sourceStride == 3)
                targetStride == 3 ? run.template operator()<3, 3>()
                                  : run.template operator()<3, 4>();
            else
                targetStride == 3 ? run.template operator()<4, 3>()
                                  : run.template operator()<4, 4>();
        });
}

void TColorManager::BGRToBGRRow(const TRow& row) const {
    ReorderRow(row, true, true);
}
void TColorManager::BGRToRGBRow(const TRow& row) const {
    ReorderRow(row, true, false);
}
void TColorManager::RGBToBGRRow(const TRow& row) const {
    ReorderRow(row, false, true);
}
void TColorManager::RGBToRGBRow(const TRow& row) const {
    ReorderRow(row, false, false);
}

// ---- Grey ----------------------------------------------------------------------------------

void TColorManager::GrayRow(const TRow& row) const {
    // Grey with alpha carries two samples per pixel; the alpha is skipped. A planar source
    // holds the grey plane first.
    const size_t step = SourceFlags.Contains(cfAlpha) && row.sources.size() == 1 ? 2 : 1;
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);
    uint8_t* target = row.target;
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    if (sourceBits_ == 8 && targetBits_ == 8) {
        if (step == 1 && row.mask == 0xFF) {
            std::memmove(target, source, row.count);
            return;
        }
        ForPixels(row.count, row.mask, [=](size_t s, size_t t) { target[t] = source[s * step]; });
    } else if (sourceBits_ == 8 && targetBits_ == 16) {
        ForPixels(row.count, row.mask,
                  [=](size_t s, size_t t) { Store16(target + 2 * t, Widen(source[s * step])); });
    } else if (sourceBits_ == 16 && targetBits_ == 8) {
        const auto run = [&]<bool Swap>() {
            ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
                const uint16_t v = Load16(source + 2 * s * step);
                target[t] = Narrow(Swap ? Swap16(v) : v);
            });
        };
        swap ? run.template operator()<true>() : run.template operator()<false>();
    } else if (sourceBits_ == 16 && targetBits_ == 16) {
        if (!swap && step == 1 && row.mask == 0xFF) {
            std::memmove(target, source, size_t(row.count) * 2);
            return;
        }
        const auto run = [&]<bool Swap>() {
            ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
                const uint16_t v = Load16(source + 2 * s * step);
                Store16(target + 2 * t, Swap ? Swap16(v) : v);
            });
        };
        swap ? run.template operator()<true>() : run.template operator()<false>();
    }
}

// Grey with alpha into colour with alpha: the grey (through the gamma table when asked) in the
// three colour places, the alpha copied. A planar source holds the grey plane, then alpha.
void TColorManager::GrayAlphaToColorRow(const TRow& row) const {
    const unsigned sb = sourceBits_, tb = targetBits_;
    const TSamplePlanes in(row.sources, 2, sb / 8, row.sources.size() > 1);
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    const bool gamma = TargetFlags.Contains(cfApplyGamma);
    const std::array<uint8_t, 256>& table = gammaTable_;
    uint8_t* target = row.target;
    const auto sample8 = [=](size_t k, size_t s) -> uint8_t {
        const uint8_t* p = in.plane[k] + s * in.stride;
        if (sb == 8) return *p;
        return Narrow(swap ? Swap16(Load16(p)) : Load16(p));
    };
    if (tb == 8) {
        ForPixels(row.count, row.mask, [=, &table](size_t s, size_t t) {
            const uint8_t grey = gamma ? table[sample8(0, s)] : sample8(0, s);
            uint8_t* q = target + 4 * t;
            q[0] = q[1] = q[2] = grey;
            q[3] = sample8(1, s);
        });
        return;
    }
    const auto sample16 = [=](size_t k, size_t s) -> uint16_t {
        const uint8_t* p = in.plane[k] + s * in.stride;
        if (sb == 8) return Widen(*p);
        return swap ? Swap16(Load16(p)) : Load16(p);
    };
    ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
        const uint16_t grey = sample16(0, s);
        uint8_t* q = target + 8 * t;
        Store16(q, grey);
        Store16(q + 2, grey);
        Store16(q + 4, grey);
        Store16(q + 6, sample16(1, s));
    });
}

// ---- Index rows ----------------------------------------------------------------------------

void TColorManager::IndexedRow(const TRow& row) const {
    const unsigned s = sourceBits_, t = targetBits_;
    if (s > 8 || !IsPackedDepth(t)) return;
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);
    if (s == t && row.mask == 0xFF) {
        std::memmove(row.target, source, (size_t(row.count) * s + 7) / 8);
        return;
    }
    // Every source value rescaled to the target's range, looked up per pixel.
    uint8_t rescaled[256];
    const unsigned sourceMax = (1u << s) - 1, targetMax = (1u << t) - 1;
    for (unsigned v = 0; v <= sourceMax; ++v)
        rescaled[v] = uint8_t(ScaleDiv16(v, targetMax, sourceMax));
    TFieldReader reader(source, s);
    uint8_t* target = row.target;
    if (t == 8)
        ForPixels(row.count, row.mask,
                  [&](size_t, size_t i) { target[i] = rescaled[reader.Next()]; });
    else
        ForPixels(row.count, row.mask,
                  [&](size_t, size_t i) { StoreField(target, i, t, rescaled[reader.Next()]); });
}

void TColorManager::Indexed16To16Row(const TRow& row) const {
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);
    uint8_t* target = row.target;
    if (SourceFlags.Contains(cfSwapBytes)) {
        ForPixels(row.count, row.mask, [=](size_t s, size_t i) {
            Store16(target + 2 * i, Swap16(Load16(source + 2 * s)));
        });
    } else if (row.mask == 0xFF) {
        std::memmove(target, source, size_t(row.count) * 2);
    } else {
        ForPixels(row.count, row.mask,
                  [=](size_t s, size_t i) { std::memmove(target + 2 * i, source + 2 * s, 2); });
    }
}

void TColorManager::Indexed16To8Row(const TRow& row) const {
    const unsigned t = targetBits_;
    if (!IsPackedDepth(t)) return;
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);
    uint8_t* target = row.target;
    const unsigned targetMax = (1u << t) - 1;
    const auto run = [&]<bool Swap>() {
        ForPixels(row.count, row.mask, [=](size_t s, size_t i) {
            const uint16_t v = Swap ? Swap16(Load16(source + 2 * s)) : Load16(source + 2 * s);
            StoreField(target, i, t, ScaleDiv16(v, targetMax, 65535));
        });
    };
    SourceFlags.Contains(cfSwapBytes) ? run.template operator()<true>()
                                      : run.template operator()<false>();
}

void TColorManager::Indexed8To16Row(const TRow& row) const {
    const unsigned s = sourceBits_;
    if (s > 8) return;
    const auto* source = static_cast<const uint8_t*>(row.sources[0]);
    uint8_t* target = row.target;
    const unsigned sourceMax = (1u << s) - 1;
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    uint16_t rescaled[256];
    for (unsigned v = 0; v <= sourceMax; ++v) {
        const uint16_t w = ScaleDiv16(v, 65535, sourceMax);
        rescaled[v] = swap ? Swap16(w) : w;
    }
    TFieldReader reader(source, s);
    ForPixels(row.count, row.mask,
              [&](size_t, size_t i) { Store16(target + 2 * i, rescaled[reader.Next()]); });
}

// ---- CMYK ----------------------------------------------------------------------------------

void TColorManager::CMYKRow(const TRow& row, bool targetBlueFirst) const {
    const unsigned sb = sourceBits_, tb = targetBits_;
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    const size_t sampleBytes = sb / 8;
    const TSamplePlanes in(row.sources, 4, sampleBytes, row.sources.size() == 4);
    const size_t targetStep = (TargetFlags.Contains(cfAlpha) ? 4 : 3) * (tb / 8);
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    uint8_t* target = row.target;
    const auto at = [=](size_t k, size_t s) { return in.plane[k] + s * in.stride; };

#ifdef CHRONOLITH_COLOR_SIMD
    if (sb == 8 && tb == 8 && row.sources.size() != 4 && targetStep == 3 && row.mask == 0xFF &&
        ColorSimd::Available()) {
        ColorSimd::CMYK8(in.plane[0], target, row.count, targetBlueFirst);
        return;
    }
#endif
    if (sb == 8) {
        const auto mix = [](unsigned x, unsigned k) {
            return ClampByte(int32_t(ScaleDiv16(x, k, 255)) - int32_t(x) - int32_t(k) + 255);
        };
        const auto run = [&]<bool Wide>() {
            ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
                const unsigned k = *at(3, s);
                StoreColour<Wide>(target + t * targetStep, mix(*at(0, s), k), mix(*at(1, s), k),
                                  mix(*at(2, s), k), targetBlueFirst);
            });
        };
        tb == 8 ? run.template operator()<false>() : run.template operator()<true>();
        return;
    }
    const auto run = [&]<bool Swap, bool Wide>() {
        const auto load = [](const uint8_t* p) -> unsigned {
            return Swap ? Swap16(Load16(p)) : Load16(p);
        };
        ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
            const unsigned k = load(at(3, s));
            uint8_t* q = target + t * targetStep;
            unsigned result[3];
            for (size_t c = 0; c < 3; ++c) {
                const unsigned x = load(at(c, s));
                const unsigned m = ScaleDiv16(x, k, 65535);
                if constexpr (Wide) {
                    result[c] = (m - x - k + 65535) & 0xFFFF;
                } else {
                    const unsigned sum = (x + k - m) & 0xFFFF;
                    result[c] = ClampByte(255 - int32_t(ScaleDiv16(sum, 255, 65535)));
                }
            }
            const unsigned first = targetBlueFirst ? result[2] : result[0];
            const unsigned third = targetBlueFirst ? result[0] : result[2];
            if constexpr (Wide) {
                Store16(q, uint16_t(first));
                Store16(q + 2, uint16_t(result[1]));
                Store16(q + 4, uint16_t(third));
            } else {
                q[0] = uint8_t(first);
                q[1] = uint8_t(result[1]);
                q[2] = uint8_t(third);
            }
        });
    };
    if (swap)
        tb == 16 ? run.template operator()<true, true>() : run.template operator()<true, false>();
    else
        tb == 16 ? run.template operator()<false, true>() : run.template operator()<false, false>();
}

void TColorManager::CMYKToBGRRow(const TRow& row) const {
    CMYKRow(row, true);
}
void TColorManager::CMYKToRGBRow(const TRow& row) const {
    CMYKRow(row, false);
}

// ---- CIE L*a*b* --------------------------------------------------------------------------

void TColorManager::LabRow(const TRow& row, bool targetBlueFirst) const {
    const unsigned sb = sourceBits_, tb = targetBits_;
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    const size_t sampleBytes = sb / 8;
    const TSamplePlanes in(row.sources, 3, sampleBytes, row.sources.size() > 1);
    const size_t targetStep = (TargetFlags.Contains(cfAlpha) ? 4 : 3) * (tb / 8);
    const bool scaledL = SourceFlags.Contains(cfLabScaledL);
    const bool offsetAB = SourceFlags.Contains(cfLabOffsetAB);
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    uint8_t* target = row.target;
    // L* is stored 0..100, or scaled over the sample's range; a* and b* are signed, or
    // unsigned about the middle of the range, in steps of 1 (8 bits) or 1/256 (16 bits).
    const float lScale = scaledL ? 100.0f / float((1u << sb) - 1) : (sb == 8 ? 1.0f : 1.0f / 256);
    const float abScale = sb == 8 ? 1.0f : 1.0f / 256;
    const auto sample = [=](size_t k, size_t s) -> unsigned {
        const uint8_t* p = in.plane[k] + s * in.stride;
        if (sb == 8) return *p;
        return swap ? Swap16(Load16(p)) : Load16(p);
    };
    const auto chroma = [=](unsigned v) {
        if (offsetAB) return (float(v) - float(1u << (sb - 1))) * abScale;
        return float(sb == 8 ? int(int8_t(v)) : int(int16_t(v))) * abScale;
    };
    const TSRGBCurve* curve = &SRGBCurve();
    const TLabWhite white = labWhite_;
    const auto run = [&]<bool Wide>() {
        ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
            const std::array<float, 3> rgb = LabToLinearRGB(
                {float(sample(0, s)) * lScale, chroma(sample(1, s)), chroma(sample(2, s))}, white);
            uint8_t* q = target + t * targetStep;
            const float first = targetBlueFirst ? rgb[2] : rgb[0];
            const float third = targetBlueFirst ? rgb[0] : rgb[2];
            if constexpr (Wide) {
                Store16(q, TSRGBCurve::Word(first));
                Store16(q + 2, TSRGBCurve::Word(rgb[1]));
                Store16(q + 4, TSRGBCurve::Word(third));
            } else {
                q[0] = curve->Byte(first);
                q[1] = curve->Byte(rgb[1]);
                q[2] = curve->Byte(third);
            }
        });
    };
    tb == 8 ? run.template operator()<false>() : run.template operator()<true>();
}

void TColorManager::LabToBGRRow(const TRow& row) const {
    LabRow(row, true);
}
void TColorManager::LabToRGBRow(const TRow& row) const {
    LabRow(row, false);
}

TLabWhite TLabWhite::FromChromaticity(double x, double y) {
    using TMatrix = std::array<std::array<double, 3>, 3>;
    // Bradford's cone response and its inverse; XYZ (D65) to linear sRGB (IEC 61966-2-1).
    static constexpr TMatrix Bradford{
        {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    static constexpr TMatrix BradfordInverse{{{0.9869929, -0.1470543, 0.1599627},
                                              {0.4323053, 0.5183603, 0.0492912},
                                              {-0.0085287, 0.0400428, 0.9684867}}};
    static constexpr TMatrix XYZToSRGB{{{3.2404542, -1.5371385, -0.4985314},
                                        {-0.9692660, 1.8760108, 0.0415560},
                                        {0.0556434, -0.2040259, 1.0572252}}};
    const std::array<double, 3> source{x / y, 1.0, (1.0 - x - y) / y};
    const std::array<double, 3> d65{0.95047, 1.0, 1.08883};
    const auto cone = [](const std::array<double, 3>& xyz, size_t i) {
        return Bradford[i][0] * xyz[0] + Bradford[i][1] * xyz[1] + Bradford[i][2] * xyz[2];
    };
    // XYZToSRGB x BradfordInverse x diag(cone(D65) / cone(source)) x Bradford.
    TMatrix adapt{};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j)
            for (size_t k = 0; k < 3; ++k)
                adapt[i][j] +=
                    BradfordInverse[i][k] * cone(d65, k) / cone(source, k) * Bradford[k][j];
    TLabWhite white{float(source[0]), float(source[2]), {}};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j) {
            double sum = 0;
            for (size_t k = 0; k < 3; ++k) sum += XYZToSRGB[i][k] * adapt[k][j];
            white.ToLinearRGB[i * 3 + j] = float(sum);
        }
    return white;
}

// ---- YCbCr and Photo-CD YCC ----------------------------------------------------------------

void TColorManager::YCCRow(const TRow& row, bool targetBlueFirst) const {
    const unsigned sb = sourceBits_, tb = targetBits_;
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    if (crToRed_.size() != 256) return;
    const size_t sampleBytes = sb / 8;
    const TSamplePlanes in(row.sources, 3, sampleBytes, row.sources.size() > 1);
    const size_t targetStep = (TargetFlags.Contains(cfAlpha) ? 4 : 3) * (tb / 8);
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    uint8_t* target = row.target;
    const uint8_t* y = in.plane[0];
    const uint8_t* cb = in.plane[1];
    const uint8_t* cr = in.plane[2];
    const size_t stride = in.stride;

    if (sb == 16 && tb == 16) {
        const auto run = [&]<bool Swap>() {
            const auto load = [](const uint8_t* p) -> int32_t {
                return Swap ? Swap16(Load16(p)) : Load16(p);
            };
            ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
                const size_t o = s * stride;
                const float tc = float(load(cb + o) - 40092);
                const float vc = float(load(cr + o) - 35209);
                const float u = float(load(y + o) * 1.3584L);
                const auto round = [](long double v) {
                    return static_cast<uint16_t>(static_cast<int64_t>(std::nearbyintl(v)));
                };
                const uint16_t blue = round(tc * 2.2179L + u);
                const uint16_t green = round(u - vc * 0.9271435L - tc * 0.4302726L);
                const uint16_t red = round(u + vc * 1.8215L);
                uint8_t* q = target + t * targetStep;
                Store16(q, targetBlueFirst ? blue : red);
                Store16(q + 2, green);
                Store16(q + 4, targetBlueFirst ? red : blue);
            });
        };
        swap ? run.template operator()<true>() : run.template operator()<false>();
        return;
    }

#ifdef CHRONOLITH_COLOR_SIMD
    if (sb == 8 && tb == 8 && row.sources.size() == 1 && targetStep == 3 && row.mask == 0xFF &&
        smallChroma_ && ColorSimd::Available()) {
        ColorSimd::YCC8(y, target, row.count, crToRed_.data(), cbToBlue_.data(), crToGreen_.data(),
                        cbToGreen_.data(), targetBlueFirst);
        return;
    }
#endif
    const int32_t* crToRed = crToRed_.data();
    const int32_t* cbToBlue = cbToBlue_.data();
    const int32_t* crToGreen = crToGreen_.data();
    const int32_t* cbToGreen = cbToGreen_.data();
    // Sources of 16 bits are reduced to 8 first; the rest is table lookups.
    const auto run = [&]<bool Deep, bool Swap, bool Wide>() {
        const auto load = [](const uint8_t* p) -> unsigned {
            if constexpr (Deep)
                return Narrow(Swap ? Swap16(Load16(p)) : Load16(p));
            else
                return *p;
        };
        ForPixels(row.count, row.mask, [=](size_t s, size_t t) {
            const size_t o = s * stride;
            const int32_t luma = int32_t(load(y + o));
            const unsigned cbv = load(cb + o), crv = load(cr + o);
            const uint8_t blue = ClampByte(luma + cbToBlue[cbv]);
            const uint8_t green = ClampByte(luma + cbToGreen[cbv] + crToGreen[crv]);
            const uint8_t red = ClampByte(luma + crToRed[crv]);
            StoreColour<Wide>(target + t * targetStep, red, green, blue, targetBlueFirst);
        });
    };
    if (sb == 8)
        tb == 8 ? run.template operator()<false, false, false>()
                : run.template operator()<false, false, true>();
    else if (swap)
        tb == 8 ? run.template operator()<true, true, false>()
                : run.template operator()<true, true, true>();
    else
        tb == 8 ? run.template operator()<true, false, false>()
                : run.template operator()<true, false, true>();
}

void TColorManager::YCbCrToBGRRow(const TRow& row) const {
    YCCRow(row, true);
}
void TColorManager::YCbCrToRGBRow(const TRow& row) const {
    YCCRow(row, false);
}
void TColorManager::PhotoYCCToBGRRow(const TRow& row) const {
    YCCRow(row, true);
}
void TColorManager::PhotoYCCToRGBRow(const TRow& row) const {
    YCCRow(row, false);
}
