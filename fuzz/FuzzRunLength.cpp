// Feeds arbitrary data to every run-length decoder with an output buffer of exactly the size
// given, and round-trips Targa encoding. Byte 0 picks the decoder, bytes 1-2 the output size.
#include "imaging/codecs/RunLengthDecoders.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

std::unique_ptr<TDecoder> MakeDecoder(uint8_t selector, size_t& unit, bool& movesInput) {
    static constexpr int32_t depths[] = {8, 15, 16, 24, 32, 12, 0, 7};
    unit = 1;
    movesInput = false;
    switch (selector % 8) {
    case 0: {
        const int32_t depth = depths[(selector >> 3) % 8];
        unit = depth == 8 ? 1 : depth <= 16 ? 2 : depth == 24 ? 3 : 4;
        movesInput = true;
        return std::make_unique<TTargaRLEDecoder>(depth);
    }
    case 1:
        return std::make_unique<TPackbitsRLEDecoder>();
    case 2:
        return std::make_unique<TPCXRLEDecoder>();
    case 3:
        return std::make_unique<TSGIRLEDecoder>(8);
    case 4:
        return std::make_unique<TSGIRLEDecoder>(16);
    case 5:
        movesInput = true;
        return std::make_unique<TCUTRLEDecoder>();
    case 6:
        return std::make_unique<TPSPRLEDecoder>();
    default:
        return std::make_unique<TRLADecoder>();
    }
}

void RoundTripTarga(int32_t depth, const uint8_t* data, size_t size) {
    TTargaRLEDecoder codec(depth);
    const size_t p = size_t(depth + 1) / 8;
    const uint32_t count = uint32_t(size / p);
    std::vector<uint8_t> packed(codec.EncodedSizeBound(count));
    uint32_t written = 0;
    codec.Encode(data, packed.data(), count, written);
    Check(written <= packed.size());
    std::vector<uint8_t> pixels(count * p);
    const uint8_t* input = packed.data();
    uint8_t* output = pixels.data();
    codec.Decode(input, output, int32_t(written), int32_t(count));
    Check(input == packed.data() + written);
    Check(count == 0 || std::memcmp(pixels.data(), data, pixels.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t unit;
    bool movesInput;
    const auto decoder = MakeDecoder(data[0], unit, movesInput);
    const size_t outputSize = (size_t(data[1]) << 8) | data[2];
    const size_t inputSize = size - 3;
    // Copies on the heap of exactly the sizes given, so that any access past them shows.
    std::vector<uint8_t> in(data + 3, data + size);
    std::vector<uint8_t> out(outputSize * unit);
    const uint8_t* input = in.data();
    uint8_t* output = out.data();
    decoder->Decode(input, output, int32_t(inputSize), int32_t(outputSize));
    Check(output == out.data());
    Check(movesInput ? input >= in.data() && input <= in.data() + inputSize : input == in.data());

    if (data[0] % 8 == 0) {
        static constexpr int32_t encodeDepths[] = {8, 16, 24, 32};
        RoundTripTarga(encodeDepths[(data[0] >> 3) % 4], in.data(), inputSize);
    }
    return 0;
}
