#include "imaging/formats/TIFFSamples.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr bool NativeBigEndian = std::endian::native == std::endian::big;

inline uint16_t ByteSwapped(uint16_t v) {
    return __builtin_bswap16(v);
}
inline uint32_t ByteSwapped(uint32_t v) {
    return __builtin_bswap32(v);
}
inline uint64_t ByteSwapped(uint64_t v) {
    return __builtin_bswap64(v);
}

// The sample of type T at `p`, in this machine's byte order.
template <class T> inline T Load(const uint8_t* p, bool swap) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return swap ? ByteSwapped(v) : v;
}

// Undoes horizontal differencing on `count` samples of 16, 32 or 64 bits: each adds the one
// `samples` to its left, wrapping.
template <class TSample>
void UndoWidePredictor(uint8_t* row, size_t count, size_t samples, bool swap) {
    constexpr size_t size = sizeof(TSample);
    for (size_t i = samples; i < count; ++i) {
        const TSample left = Load<TSample>(row + size * (i - samples), swap);
        TSample current = TSample(Load<TSample>(row + size * i, swap) + left);
        if (swap) current = ByteSwapped(current);
        std::memcpy(row + size * i, &current, size);
    }
}

void UndoBytePredictor(uint8_t* row, size_t count, size_t samples) {
    switch (samples) {
    case 1: {
        uint8_t a = row[0];
        for (size_t i = 1; i < count; ++i) row[i] = a = uint8_t(a + row[i]);
        break;
    }
    case 3: {
        uint8_t r = row[0], g = row[1], b = row[2];
        for (size_t i = 3; i < count; i += 3) {
            row[i] = r = uint8_t(r + row[i]);
            row[i + 1] = g = uint8_t(g + row[i + 1]);
            row[i + 2] = b = uint8_t(b + row[i + 2]);
        }
        break;
    }
    case 4: {
        uint32_t previous;
        std::memcpy(&previous, row, 4);
        for (size_t i = 4; i < count; i += 4) {
            uint32_t current;
            std::memcpy(&current, row + i, 4);
            // Four byte lanes added without carries between them.
            const uint32_t low = (current & 0x7F7F7F7Fu) + (previous & 0x7F7F7F7Fu);
            previous = low ^ ((current ^ previous) & 0x80808080u);
            std::memcpy(row + i, &previous, 4);
        }
        break;
    }
    default:
        for (size_t i = samples; i < count; ++i) row[i] = uint8_t(row[i] + row[i - samples]);
        break;
    }
}

// A half-precision float (1 sign, 5 exponent, 10 mantissa bits) as a float.
float HalfToFloat(uint16_t half) {
    const uint32_t sign = uint32_t(half & 0x8000u) << 16;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    const uint32_t mantissa = half & 0x3FFu;
    if (exponent == 0) {
        const float value = std::ldexp(float(mantissa), -24);
        return sign ? -value : value;
    }
    const uint32_t bits = exponent == 31 ? sign | 0x7F800000u | (mantissa << 13)
                                         : sign | ((exponent + 112) << 23) | (mantissa << 13);
    return std::bit_cast<float>(bits);
}

// x (already scaled to 0..255) clamped and rounded to the nearest byte, ties to even: adding
// 1.5 x 2^23 leaves the rounded value in the low mantissa bits. NaN fails both comparisons
// and gives 0.
inline uint8_t ToByte(float x) {
    x = x > 0.0f ? x : 0.0f;
    x = x < 255.0f ? x : 255.0f;
    return uint8_t(std::bit_cast<uint32_t>(x + 12582912.0f));
}

template <class TRead>
void ReduceFloats(const TSampleReduction& r, const uint8_t* source, size_t count, size_t first,
                  size_t stride, size_t size, uint8_t* target, TRead read) {
    if (r.Low.size() <= 1) {
        const float scale = float(r.Scale[0] * 255.0),
                    offset = float(-r.Low[0] * r.Scale[0] * 255.0);
        for (size_t i = 0; i < count; ++i)
            target[i] = ToByte(read(source + i * size) * scale + offset);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t k = std::min(first + i % stride, r.Low.size() - 1);
        const double v = (double(read(source + i * size)) - r.Low[k]) * r.Scale[k] * 255.0;
        target[i] = ToByte(float(v));
    }
}

template <class TSigned> uint8_t SignedToByte(TSigned v) {
    constexpr uint64_t top = uint64_t(std::numeric_limits<TSigned>::max());
    return v <= 0 ? 0 : uint8_t(uint64_t(v) * 255 / top);
}

// The floating-point predictor's byte differences undone over a row of `total` bytes, with
// `Samples` running sums held in registers rather than read back from the row.
template <size_t Samples> void AccumulateBytes(uint8_t* row, size_t total) {
    std::array<uint8_t, Samples> sums{};
    size_t i = 0;
    for (; i + Samples <= total; i += Samples)
        for (size_t s = 0; s < Samples; ++s) row[i + s] = sums[s] = uint8_t(sums[s] + row[i + s]);
    for (size_t s = 0; i < total; ++i, ++s) row[i] = uint8_t(sums[s] + row[i]);
}

// Samples of `Bytes` bytes put together from byte planes (byte k of every value, most
// significant first, in plane k), in this machine's byte order.
template <unsigned Bytes> void JoinBytePlanes(const uint8_t* planes, size_t count, uint8_t* row) {
    for (size_t i = 0; i < count; ++i)
        for (unsigned k = 0; k < Bytes; ++k)
            row[i * Bytes + (NativeBigEndian ? k : Bytes - 1 - k)] = planes[k * count + i];
}

} // namespace

void UndoHorizontalPredictor(uint8_t* row, size_t pixels, size_t samples, unsigned bits,
                             bool swap) {
    if (pixels < 2) return;
    const size_t count = pixels * samples;
    switch (bits) {
    case 16:
        UndoWidePredictor<uint16_t>(row, count, samples, swap);
        break;
    case 32:
        UndoWidePredictor<uint32_t>(row, count, samples, swap);
        break;
    case 64:
        UndoWidePredictor<uint64_t>(row, count, samples, swap);
        break;
    default:
        UndoBytePredictor(row, count, samples);
        break;
    }
}

void UndoFloatPredictor(uint8_t* row, size_t count, unsigned bytes, size_t samples,
                        uint8_t* scratch) {
    const size_t total = count * bytes;
    switch (samples) {
    case 1:
        AccumulateBytes<1>(row, total);
        break;
    case 2:
        AccumulateBytes<2>(row, total);
        break;
    case 3:
        AccumulateBytes<3>(row, total);
        break;
    case 4:
        AccumulateBytes<4>(row, total);
        break;
    default:
        for (size_t i = samples; i < total; ++i) row[i] = uint8_t(row[i] + row[i - samples]);
        break;
    }
    std::memcpy(scratch, row, total);
    switch (bytes) {
    case 2:
        JoinBytePlanes<2>(scratch, count, row);
        break;
    case 4:
        JoinBytePlanes<4>(scratch, count, row);
        break;
    case 8:
        JoinBytePlanes<8>(scratch, count, row);
        break;
    default:
        for (size_t i = 0; i < count; ++i)
            for (unsigned k = 0; k < bytes; ++k)
                row[i * bytes + (NativeBigEndian ? k : bytes - 1 - k)] = scratch[k * count + i];
        break;
    }
}

void ReduceSamples(const TSampleReduction& r, const uint8_t* source, size_t count, size_t first,
                   size_t stride, uint8_t* target) {
    const bool swap = r.Swap;
    switch (r.Kind) {
    case TSampleKind::Unsigned16:
        for (size_t i = 0; i < count; ++i)
            target[i] = uint8_t(Load<uint16_t>(source + 2 * i, swap) * 255u / 65535u);
        break;
    case TSampleKind::Signed8:
        for (size_t i = 0; i < count; ++i) target[i] = SignedToByte(int8_t(source[i]));
        break;
    case TSampleKind::Signed16:
        for (size_t i = 0; i < count; ++i)
            target[i] = SignedToByte(int16_t(Load<uint16_t>(source + 2 * i, swap)));
        break;
    case TSampleKind::Unsigned32:
        for (size_t i = 0; i < count; ++i)
            target[i] = uint8_t(uint64_t(Load<uint32_t>(source + 4 * i, swap)) * 255 / 0xFFFFFFFFu);
        break;
    case TSampleKind::Signed32:
        for (size_t i = 0; i < count; ++i)
            target[i] = SignedToByte(int32_t(Load<uint32_t>(source + 4 * i, swap)));
        break;
    case TSampleKind::Float16:
        ReduceFloats(r, source, count, first, stride, 2, target,
                     [swap](const uint8_t* p) { return HalfToFloat(Load<uint16_t>(p, swap)); });
        break;
    case TSampleKind::Float32:
        ReduceFloats(r, source, count, first, stride, 4, target, [swap](const uint8_t* p) {
            return std::bit_cast<float>(Load<uint32_t>(p, swap));
        });
        break;
    case TSampleKind::Float64:
        ReduceFloats(r, source, count, first, stride, 8, target, [swap](const uint8_t* p) {
            return float(std::bit_cast<double>(Load<uint64_t>(p, swap)));
        });
        break;
    }
}

void ValueAlphaToBGRA(const uint8_t* values, const uint8_t* alphas, size_t step, size_t count,
                      const uint32_t* colors, uint8_t* target) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t pixel = colors[values[i * step]] | uint32_t(alphas[i * step])
                                                              << (NativeBigEndian ? 0 : 24);
        std::memcpy(target + 4 * i, &pixel, 4);
    }
}

std::vector<uint8_t> UnpremultiplyTable() {
    std::vector<uint8_t> table(256 * 256, 0);
    for (unsigned a = 1; a < 256; ++a)
        for (unsigned c = 0; c < 256; ++c)
            table[a * 256 + c] = uint8_t(std::min(255u, (c * 255 + a / 2) / a));
    return table;
}

void Unpremultiply(uint8_t* pixels, size_t count, const uint8_t* table) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t* p = pixels + 4 * i;
        const uint8_t* row = table + size_t(p[3]) * 256;
        p[0] = row[p[0]];
        p[1] = row[p[1]];
        p[2] = row[p[2]];
    }
}

// Reverses the bit order of every byte (fill order 2 data).
void ReverseBits(uint8_t* data, size_t size) {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned r = 0;
            for (unsigned b = 0; b < 8; ++b)
                if (i & (1u << b)) r |= 0x80u >> b;
            t[i] = uint8_t(r);
        }
        return t;
    }();
    for (size_t i = 0; i < size; ++i) data[i] = table[data[i]];
}

// Unpacks `count` samples of `bits` bits (a bit stream, most significant bit first) into 8-bit
// samples (`wide` false) or 16-bit samples in this machine's byte order. With `scale` each takes
// v * max div (2^bits - 1) of the wider range; without, it keeps its value.
void UnpackSamples(const uint8_t* source, size_t count, unsigned bits, bool wide, bool scale,
                   uint8_t* target) {
    const uint32_t sourceMax = (1u << bits) - 1;
    const uint32_t targetMax = wide ? 65535u : 255u;
    uint64_t accumulator = 0;
    unsigned held = 0;
    for (size_t i = 0; i < count; ++i) {
        while (held < bits) {
            accumulator = accumulator << 8 | *source++;
            held += 8;
        }
        held -= bits;
        uint32_t v = uint32_t(accumulator >> held) & sourceMax;
        if (scale) v = v * targetMax / sourceMax;
        if (wide) {
            const uint16_t w = uint16_t(v);
            std::memcpy(target + 2 * i, &w, 2);
        } else {
            target[i] = uint8_t(v);
        }
    }
}

// Copies `bits` bits from the start of `source` into `target` from bit `offset` on (most
// significant bit first), OR-ing them into bytes that are 0 there.
void PlaceBits(uint8_t* target, size_t offset, const uint8_t* source, size_t bits) {
    uint8_t* out = target + offset / 8;
    const unsigned shift = unsigned(offset % 8);
    for (size_t i = 0; i * 8 < bits; ++i) {
        const size_t left = bits - i * 8;
        uint8_t value = source[i];
        if (left < 8) value = uint8_t(value & (0xFF00u >> left));
        out[i] |= uint8_t(value >> shift);
        if (shift && left > 8 - shift) out[i + 1] |= uint8_t(value << (8 - shift));
    }
}

// One stored row of YCbCr data units (h x v luma samples, then one Cb and one Cr, 8 bits each)
// as v rows of `width` pixels of interleaved luma and chroma: every pixel of a unit takes its
// unit's chroma.
void UpsampleUnits(const uint8_t* units, uint32_t width, unsigned h, unsigned v, uint8_t* rows) {
    const size_t unitBytes = size_t(h) * v + 2;
    const size_t rowBytes = size_t(width) * 3;
    for (uint32_t x0 = 0, u = 0; x0 < width; x0 += h, ++u) {
        const uint8_t* unit = units + u * unitBytes;
        const uint8_t cb = unit[h * v], cr = unit[h * v + 1];
        const unsigned columns = std::min<uint32_t>(h, width - x0);
        for (unsigned r = 0; r < v; ++r) {
            uint8_t* out = rows + r * rowBytes + size_t(x0) * 3;
            for (unsigned c = 0; c < columns; ++c) {
                out[3 * c] = unit[r * h + c];
                out[3 * c + 1] = cb;
                out[3 * c + 2] = cr;
            }
        }
    }
}
