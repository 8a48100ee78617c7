// Feeds arbitrary data to the TIFF and GIF LZW decoders with an output buffer of exactly the
// size given. Byte 0 picks the decoder (bit 7: GIF) and the GIF minimum code size (low 4
// bits), bytes 1-3 the output size.
#include "imaging/codecs/LZWDecoders.h"
#include "platform/graphics/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const bool gif = data[0] & 0x80;
    const uint8_t minimumCodeSize = data[0] & 0x0F;
    std::unique_ptr<TDecoder> decoder;
    if (gif)
        decoder = std::make_unique<TGIFLZWDecoder>(minimumCodeSize);
    else
        decoder = std::make_unique<TTIFFLZWDecoder>();
    const size_t outputSize = ((size_t(data[1]) << 16) | (size_t(data[2]) << 8) | data[3]) % 300000;
    std::vector<uint8_t> in(data + 4, data + size);
    std::vector<uint8_t> out(outputSize);
    const uint8_t* input = in.data();
    uint8_t* output = out.data();
    try {
        decoder->Decode(input, output, int32_t(in.size()), int32_t(outputSize));
    } catch (const EGraphicCompression&) {
        if (!gif || minimumCodeSize < 12) __builtin_trap();
        return 0;
    }
    if (gif && minimumCodeSize >= 12) __builtin_trap();
    if (input != in.data() || output != out.data()) __builtin_trap();
    return 0;
}
