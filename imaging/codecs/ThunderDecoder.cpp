#include "imaging/codecs/ThunderDecoder.h"

#include <algorithm>
#include <cstring>

namespace {

// Deltas of the 2-bit and 3-bit fields; the skip fields (2 and 4) are never looked up.
constexpr int Delta2[4] = {0, 1, 0, -1};
constexpr int Delta3[8] = {0, 1, 2, 3, 0, -3, -2, -1};

// One row being written: `count` samples so far out of at most `limit`.
struct TThunderRow {
    uint8_t* Row;
    uint32_t Limit;
    uint32_t Count = 0;
    uint8_t Last = 0;

    bool Full() const { return Count >= Limit; }
    void Emit(int value) {
        Last = static_cast<uint8_t>(value & 0x0F);
        uint8_t& byte = Row[Count >> 1];
        if (Count & 1)
            byte |= Last;
        else
            byte = static_cast<uint8_t>(Last << 4);
        ++Count;
    }
    // Repeats the last value `n` times: a pending low nibble first, then whole bytes.
    void Run(uint32_t n) {
        n = std::min(n, Limit - Count);
        if (n && (Count & 1)) {
            Emit(Last);
            --n;
        }
        const uint32_t pairs = n / 2;
        std::memset(Row + (Count >> 1), Last * 0x11, pairs);
        Count += pairs * 2;
        if (n & 1) Emit(Last);
    }
};

} // namespace

void TThunderDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                             int32_t outputSize) {
    if (!output || outputSize <= 0) return;
    const size_t outSize = static_cast<size_t>(outputSize);
    std::memset(output, 0, outSize);
    if (!input || inputSize <= 0 || rowWidth_ <= 0) return;
    const size_t inSize = static_cast<size_t>(inputSize);
    const size_t rowBytes = (static_cast<size_t>(rowWidth_) + 1) / 2;

    size_t in = 0;
    for (size_t rowStart = 0; rowStart < outSize && in < inSize; rowStart += rowBytes) {
        const size_t room = std::min(rowBytes, outSize - rowStart);
        TThunderRow row{output + rowStart,
                        static_cast<uint32_t>(std::min<size_t>(rowWidth_, room * 2))};
        while (in < inSize && !row.Full()) {
            const uint8_t b = input[in++];
            switch (b >> 6) {
            case 0:
                row.Run(b & 0x3F);
                break;
            case 1:
                for (int shift : {4, 2, 0}) {
                    const int field = (b >> shift) & 3;
                    if (field != 2 && !row.Full()) row.Emit(row.Last + Delta2[field]);
                }
                break;
            case 2:
                for (int shift : {3, 0}) {
                    const int field = (b >> shift) & 7;
                    if (field != 4 && !row.Full()) row.Emit(row.Last + Delta3[field]);
                }
                break;
            default:
                row.Emit(b & 0x0F);
                break;
            }
        }
    }
}
