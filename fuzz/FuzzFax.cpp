// Fax decoders on arbitrary data: a header picks the decoder, its options and the output
// size; the rest is the compressed input. Buffers are exactly sized so that the address
// sanitizer catches any access outside them.
//
// Header: a kind byte (bits 0-1: 0 Group 3, 1 modified Huffman, 2 the same word-aligned, 3
// two-dimensional; bit 2: fill order 2; Group 3: bits 3-7 the T4Options; two-dimensional: bit
// 3 Group 4, else Group 3 with bits 4-7 as T4Options), the line width and the output size, 16
// bits each, little-endian.
#include "imaging/codecs/FaxDecoders.h"
#include "platform/graphics/Exceptions.h"

#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t kind = data[0];
    const uint32_t lineWidth = (data[1] | (data[2] << 8)) % 4000;
    const size_t outputSize = (data[3] | (data[4] << 8)) % 20000;
    const std::vector<uint8_t> input(data + 5, data + size);
    std::vector<uint8_t> output(outputSize);

    std::unique_ptr<TDecoder> decoder;
    const bool reverse = kind & 4;
    try {
        if ((kind & 3) == 0)
            decoder = std::make_unique<TCCITTFax3Decoder>(kind >> 3, reverse, false, lineWidth);
        else if ((kind & 3) == 3 && (kind & 8))
            decoder = std::make_unique<TCCITTFax4Decoder>(reverse, lineWidth);
        else if ((kind & 3) == 3)
            decoder = std::make_unique<TCCITTFax3TwoDDecoder>(kind >> 4, reverse, lineWidth);
        else
            decoder = std::make_unique<TCCITTMHDecoder>(0, reverse, (kind & 3) == 2, lineWidth);
    } catch (const EInvalidGraphic&) {
        return 0;
    }
    const uint8_t* in = input.data();
    uint8_t* out = output.data();
    try {
        decoder->Decode(in, out, static_cast<int32_t>(input.size()),
                        static_cast<int32_t>(output.size()));
    } catch (const EGraphicCompression&) {
    }
    return 0;
}
