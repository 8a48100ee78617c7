// Row helpers of the TIFF reader: what is done to a row of samples between the decoder and the
// colour manager (the predictors, fill order, unpacking, reduction of wide and floating-point
// samples to 8 bits, subsampled YCbCr units, tiles placed at bit offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Undoes horizontal differencing on one row of `pixels` pixels of `samples` samples of `bits`
// bits (8, 16, 32 or 64): each sample adds the one a pixel to its left, wrapping at the sample
// size. Wider samples are in the file's byte order; `swap` says it is not this machine's.
void UndoHorizontalPredictor(uint8_t* row, size_t pixels, size_t samples, unsigned bits, bool swap);

// Undoes the floating-point predictor on one row of `count` samples of `bytes` bytes each,
// `samples` to a pixel: the row holds the samples' most significant bytes first, then their
// next bytes and so on, each byte differenced with the byte `samples` before it. The samples
// come out in this machine's byte order; `scratch` holds a row (count x bytes).
void UndoFloatPredictor(uint8_t* row, size_t count, unsigned bytes, size_t samples,
                        uint8_t* scratch);

// Reverses the bit order of every byte (fill order 2 data).
void ReverseBits(uint8_t* data, size_t size);

// Unpacks `count` samples of `bits` bits (a bit stream, most significant bit first) into 8-bit
// samples (`wide` false) or 16-bit samples in this machine's byte order. With `scale` each takes
// v * max div (2^bits - 1) of the wider range; without, it keeps its value.
void UnpackSamples(const uint8_t* source, size_t count, unsigned bits, bool wide, bool scale,
                   uint8_t* target);

// Samples reduced to 8 bits by the reader. Unsigned 16-bit integers take v * 255 div 65535,
// unsigned 32-bit integers
// v * 255 div (2^32 - 1), as 16-bit samples take v * 255 div 65535; signed integers map 0 to
// their largest value onto 0..255, negative values to 0. Floating-point samples map the range
// Low .. Low + 1 / Scale onto 0..255, clamped, rounded to the nearest (ties to even); NaN
// gives 0.
enum class TSampleKind : uint8_t {
    Unsigned16,
    Signed8,
    Signed16,
    Unsigned32,
    Signed32,
    Float16,
    Float32,
    Float64,
};

struct TSampleReduction {
    TSampleKind Kind = TSampleKind::Unsigned32;
    // The samples are stored in the other byte order than this machine's.
    bool Swap = false;
    // Floating point: the range of each sample of a pixel (one entry: the same for all).
    std::vector<double> Low{0.0};
    std::vector<double> Scale{1.0};
};

// Reduces `count` samples at `source` to bytes at `target`. Sample i of the row is sample
// first + i % stride of its pixel, for the ranges (interleaved rows: 0 and the samples per
// pixel; a plane of its own: the plane and 1).
void ReduceSamples(const TSampleReduction& reduction, const uint8_t* source, size_t count,
                   size_t first, size_t stride, uint8_t* target);

// Pixels of one value (a grey level or palette index) and one alpha sample, 8 bits each (the
// value at values[i * step], its alpha at alphas[i * step]), as bitmap pixels of 4 bytes: the
// value's colour from `colors` (the bytes blue, green, red, 0 as this machine reads them as a
// 32-bit value) and the alpha.
void ValueAlphaToBGRA(const uint8_t* values, const uint8_t* alphas, size_t step, size_t count,
                      const uint32_t* colors, uint8_t* target);

// Turns `count` pixels of 4 bytes (blue, green, red, alpha) whose colours are premultiplied by
// their alpha into straight ones: c = min(255, (c x 255 + a / 2) / a); a pixel of alpha 0
// becomes 0, 0, 0, 0. `table` holds the 256 x 256 quotients (UnpremultiplyTable).
void Unpremultiply(uint8_t* pixels, size_t count, const uint8_t* table);
// The quotients of Unpremultiply: table[a * 256 + c].
std::vector<uint8_t> UnpremultiplyTable();

// Copies `bits` bits from the start of `source` into `target` from bit `offset` on (most
// significant bit first), OR-ing them into bytes that are 0 there.
void PlaceBits(uint8_t* target, size_t offset, const uint8_t* source, size_t bits);

// One stored row of YCbCr data units (h x v luma samples, then one Cb and one Cr, 8 bits each)
// as v rows of `width` pixels of interleaved luma and chroma: every pixel of a unit takes its
// unit's chroma.
void UpsampleUnits(const uint8_t* units, uint32_t width, unsigned h, unsigned v, uint8_t* rows);
