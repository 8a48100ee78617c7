#include "imaging/codecs/PCDDecoder.h"

#include "platform/graphics/Stream.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr size_t BlockSize = 2048;

// A 32-bit accumulator over the stream: the next unread bits are at its top. Table fields
// are taken from its low bits after their skip.
class TPCDBitReader {
public:
    explicit TPCDBitReader(TStream& stream) : stream_(stream) {}

    uint32_t Sum() const { return sum_; }
    void Skip(int n) {
        sum_ = n >= 32 ? 0 : sum_ << n;
        bits_ -= n;
        while (bits_ <= 24) {
            sum_ |= uint32_t(NextByte()) << (24 - bits_);
            bits_ += 8;
        }
    }

private:
    uint8_t NextByte() {
        if (pos_ == BlockSize) {
            stream_.ReadBuffer(block_.data(), BlockSize);
            pos_ = 0;
        }
        return block_[pos_++];
    }

    TStream& stream_;
    std::array<uint8_t, BlockSize> block_{};
    size_t pos_ = BlockSize;
    uint32_t sum_ = 0;
    int bits_ = 32;
};

struct TPCDCode {
    uint32_t Code;
    uint32_t Mask;
    int Length;
    int Value;
};
using TPCDTable = std::vector<TPCDCode>;

// Skips to the next row header: twelve one bits, then the 23 ones and a zero at the top.
void Synchronise(TPCDBitReader& bits) {
    while ((bits.Sum() & 0x00FFF000) != 0x00FFF000) bits.Skip(8);
    while ((bits.Sum() & 0xFFFFFF00) != 0xFFFFFE00) bits.Skip(1);
}

} // namespace

void TPCDDecoder::Decode(const uint8_t*& input, uint8_t*&, int32_t inputSize, int32_t outputSize) {
    if (!input || inputSize <= 0) return;
    const TPCDPlanes& planes = *reinterpret_cast<const TPCDPlanes*>(input);
    const size_t stride = static_cast<size_t>(inputSize);
    TPCDBitReader bits(huffmanStream_);

    std::array<TPCDTable, 3> tables;
    const int tableCount = stride <= 1536 ? 1 : 3;
    for (int t = 0; t < tableCount; ++t) {
        bits.Skip(8);
        const int entries = int(bits.Sum() & 0xFF) + 1;
        for (int e = 0; e < entries; ++e) {
            bits.Skip(8);
            const int length = int(bits.Sum() & 0xFF) + 1;
            if (length > 16) return;
            bits.Skip(16);
            const uint32_t code = (bits.Sum() & 0xFFFF) << 16;
            bits.Skip(8);
            const int value = int(bits.Sum() & 0xFF);
            const uint32_t mask = ~uint32_t(0) << (32 - length);
            tables[t].push_back({code, mask, length, value < 128 ? value : value - 256});
        }
    }

    bits.Skip(16);
    bits.Skip(16);
    Synchronise(bits);

    const TPCDTable* table = nullptr;
    int plane = 0;
    size_t offset = 0;
    for (;;) {
        if ((bits.Sum() & 0xFFFFFF00) == 0xFFFFFE00) {
            bits.Skip(16);
            const uint32_t row = (bits.Sum() >> 9) & 0x1FFF;
            if (outputSize >= 0 && row == uint32_t(outputSize)) return;
            bits.Skip(8);
            const uint32_t kind = bits.Sum() >> 30;
            bits.Skip(16);
            switch (kind) {
            case 0:
                plane = 0, offset = size_t(row) * stride;
                break;
            case 2:
                plane = 1, offset = size_t(row / 2) * stride;
                break;
            case 3:
                plane = 2, offset = size_t(row / 2) * stride;
                break;
            default:
                return;
            }
            table = tables[plane].empty() ? nullptr : &tables[plane];
            continue;
        }
        const TPCDCode* match = nullptr;
        if (table)
            for (const TPCDCode& entry : *table)
                if ((bits.Sum() & entry.Mask) == entry.Code) {
                    match = &entry;
                    break;
                }
        if (!match) {
            Synchronise(bits);
            continue;
        }
        if (planes.Plane[plane] && offset < planes.Size[plane]) {
            uint8_t& sample = planes.Plane[plane][offset];
            sample = static_cast<uint8_t>(std::clamp(sample + match->Value, 0, 255));
        }
        ++offset;
        bits.Skip(match->Length);
    }
}
