#include "imaging/formats/PNGFilters.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace PNGFilters {

namespace {

enum TFilter : uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

bool vectorsEnabled = true;

// --- Scalar filters, for every pixel size ---

uint8_t PaethPredictor(int left, int up, int upperLeft) {
    // Distances of the estimate left + up - upperLeft to each neighbour.
    const int toLeft = std::abs(up - upperLeft);
    const int toUp = std::abs(left - upperLeft);
    const int toCorner = std::abs(left + up - 2 * upperLeft);
    if (toLeft <= toUp && toLeft <= toCorner) return uint8_t(left);
    return uint8_t(toUp <= toCorner ? up : upperLeft);
}

template <int Bpp> void UnfilterSub(uint8_t* row, size_t count, size_t bpp) {
    const size_t step = Bpp ? Bpp : bpp;
    for (size_t i = step; i < count; ++i) row[i] = uint8_t(row[i] + row[i - step]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* row, const uint8_t* prior, size_t count, size_t bpp) {
    const size_t step = std::min(Bpp ? Bpp : bpp, count);
    for (size_t i = 0; i < step; ++i) row[i] = uint8_t(row[i] + (prior[i] >> 1));
    for (size_t i = step; i < count; ++i)
        row[i] = uint8_t(row[i] + ((unsigned(row[i - step]) + prior[i]) >> 1));
}

template <int Bpp>
void UnfilterPaeth(uint8_t* row, const uint8_t* prior, size_t count, size_t bpp) {
    const size_t step = std::min(Bpp ? Bpp : bpp, count);
    for (size_t i = 0; i < step; ++i) row[i] = uint8_t(row[i] + prior[i]);
    for (size_t i = step; i < count; ++i)
        row[i] = uint8_t(row[i] + PaethPredictor(row[i - step], prior[i], prior[i - step]));
}

template <int Bpp>
void UnfilterScalar(uint8_t type, uint8_t* row, const uint8_t* prior, size_t count, size_t bpp) {
    switch (type) {
    case Sub:
        UnfilterSub<Bpp>(row, count, bpp);
        break;
    case Up:
        for (size_t i = 0; i < count; ++i) row[i] = uint8_t(row[i] + prior[i]);
        break;
    case Average:
        UnfilterAverage<Bpp>(row, prior, count, bpp);
        break;
    case Paeth:
        UnfilterPaeth<Bpp>(row, prior, count, bpp);
        break;
    default:
        break; // None and unknown filter types leave the row as it is
    }
}

#if defined(__x86_64__) || defined(__i386__)
#define CHRONOLITH_FILTER_VECTORS 1
// --- Vector filters for pixels of 3, 4, 6 and 8 bytes, on processors with SSE4.1: one pixel at
// a time, its bytes in the 16-bit lanes of one register. Each pixel is loaded and stored as one
// whole word (4 bytes for 3 and 4, 8 for 6 and 8), so that no load waits on narrower stores to
// a word; the lanes past the pixel carry the next pixel's stored bytes through unchanged (their
// prediction is masked to 0). The next pixel is loaded before the current one is stored, so
// that a load never overlaps the store before it. ---
#define FILTER_VECTORS __attribute__((target("sse4.1")))

bool HasVectors() {
    static const bool has = __builtin_cpu_supports("sse4.1");
    return has;
}

template <int Bpp> FILTER_VECTORS __m128i LoadPixel(const uint8_t* p) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (Bpp <= 4) {
        int32_t word;
        std::memcpy(&word, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
    } else {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    }
}

template <int Bpp> FILTER_VECTORS void StorePixel(uint8_t* p, __m128i lanes) {
    const __m128i bytes = _mm_packus_epi16(lanes, lanes);
    if constexpr (Bpp <= 4) {
        const int32_t word = _mm_cvtsi128_si32(bytes);
        std::memcpy(p, &word, 4);
    } else {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
    }
}

// Predictions from the left, upper and upper-left pixels.
struct TSubPrediction {
    FILTER_VECTORS __m128i operator()(__m128i left, __m128i, __m128i) const { return left; }
};

struct TAveragePrediction {
    FILTER_VECTORS __m128i operator()(__m128i left, __m128i up, __m128i) const {
        return _mm_srli_epi16(_mm_add_epi16(left, up), 1);
    }
};

// Paeth in terms of the distances to the estimate left + up - upperLeft: to left |up - ul|,
// which does not depend on the left pixel, to up |left - ul|, to upper-left the sum of both
// differences; the left pixel goes through as few steps as possible to the next one.
struct TPaethPrediction {
    FILTER_VECTORS __m128i operator()(__m128i left, __m128i up, __m128i upperLeft) const {
        const __m128i upDelta = _mm_sub_epi16(up, upperLeft);
        const __m128i toLeft = _mm_abs_epi16(upDelta);
        const __m128i leftDelta = _mm_sub_epi16(left, upperLeft);
        const __m128i toUp = _mm_abs_epi16(leftDelta);
        const __m128i toCorner = _mm_abs_epi16(_mm_add_epi16(leftDelta, upDelta));
        const __m128i notLeft =
            _mm_or_si128(_mm_cmpgt_epi16(toLeft, toUp), _mm_cmpgt_epi16(toLeft, toCorner));
        const __m128i upOrCorner = _mm_blendv_epi8(up, upperLeft, _mm_cmpgt_epi16(toUp, toCorner));
        return _mm_blendv_epi8(left, upOrCorner, notLeft);
    }
};

template <int Bpp, class TPrediction>
FILTER_VECTORS void UnfilterVector(uint8_t* row, const uint8_t* prior, size_t count) {
    const TPrediction predict;
    const __m128i own = _mm_srli_si128(_mm_set1_epi8(char(0xFF)), 16 - 2 * Bpp);
    const __m128i low = _mm_set1_epi16(0xFF);
    __m128i left = _mm_setzero_si128(), upperLeft = _mm_setzero_si128();
    __m128i next = LoadPixel<Bpp>(row);
    for (size_t i = 0; i + Bpp <= count; i += Bpp) {
        const __m128i stored = next;
        next = LoadPixel<Bpp>(row + i + Bpp);
        const __m128i up = LoadPixel<Bpp>(prior + i);
        const __m128i prediction = _mm_and_si128(predict(left, up, upperLeft), own);
        left = _mm_and_si128(_mm_add_epi16(stored, prediction), low);
        StorePixel<Bpp>(row + i, left);
        upperLeft = up;
    }
}

// Rows whose pixels the vector filters take; the rest goes to the scalar ones.
template <int Bpp>
bool UnfilterWithVectors(uint8_t type, uint8_t* row, const uint8_t* prior, size_t count) {
    if (!vectorsEnabled || !HasVectors() || count % Bpp != 0) return false;
    switch (type) {
    case Sub:
        UnfilterVector<Bpp, TSubPrediction>(row, prior, count);
        return true;
    case Average:
        UnfilterVector<Bpp, TAveragePrediction>(row, prior, count);
        return true;
    case Paeth:
        UnfilterVector<Bpp, TPaethPrediction>(row, prior, count);
        return true;
    default:
        return false;
    }
}
#endif

template <int Bpp>
void UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t count) {
#if defined(CHRONOLITH_FILTER_VECTORS)
    if constexpr (Bpp >= 3) {
        if (UnfilterWithVectors<Bpp>(type, row, prior, count)) return;
    }
#endif
    UnfilterScalar<Bpp>(type, row, prior, count, Bpp);
}

} // namespace

void Unfilter(uint8_t type, uint8_t* row, const uint8_t* prior, int bpp, size_t count) {
    switch (bpp) {
    case 1:
        return UnfilterRow<1>(type, row, prior, count);
    case 2:
        return UnfilterRow<2>(type, row, prior, count);
    case 3:
        return UnfilterRow<3>(type, row, prior, count);
    case 4:
        return UnfilterRow<4>(type, row, prior, count);
    case 6:
        return UnfilterRow<6>(type, row, prior, count);
    case 8:
        return UnfilterRow<8>(type, row, prior, count);
    default:
        return UnfilterScalar<0>(type, row, prior, count, size_t(bpp));
    }
}

bool VectorsAvailable() {
#if defined(CHRONOLITH_FILTER_VECTORS)
    return vectorsEnabled && HasVectors();
#else
    return false;
#endif
}

void SetVectorsEnabled(bool enabled) {
    vectorsEnabled = enabled;
}

} // namespace PNGFilters
