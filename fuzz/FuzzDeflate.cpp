// The deflate decoder on arbitrary data, fed in pieces as the PNG reader does, or one block
// per strip as the TIFF reader does. Buffers are exactly sized.
#include "imaging/codecs/DeflateDecoder.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int32_t flush = data[0] % 6;
    const bool reset = data[1] & 1;
    const size_t piece = 1 + data[2];
    const size_t outputPiece = 1 + data[3] * 16;
    const std::vector<uint8_t> input(data + 4, data + size);

    TLZ77Decoder decoder(flush, reset);
    decoder.BeginDecoding();
    const uint8_t* in = input.data();
    const uint8_t* end = input.data() + input.size();
    for (int block = 0; block < 64 && in < end; ++block) {
        std::vector<uint8_t> output(outputPiece);
        uint8_t* out = output.data();
        const size_t available = std::min<size_t>(piece, static_cast<size_t>(end - in));
        const uint8_t* before = in;
        decoder.Decode(in, out, static_cast<int32_t>(available),
                       static_cast<int32_t>(output.size()));
        if (in < before || in > before + available || out < output.data() ||
            out > output.data() + output.size())
            __builtin_trap();
        if (in == before && decoder.ZResult() != 0 && !reset) break;
        if (reset) in = before + available;
    }
    try {
        decoder.EndDecoding();
    } catch (...) {
    }
    return 0;
}
