// The ThunderScan and Photo-CD residual decoders on arbitrary data. Buffers and planes are
// exactly sized.
#include "imaging/codecs/PCDDecoder.h"
#include "imaging/codecs/ThunderDecoder.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    if (data[0] & 1) {
        const int32_t width = int32_t(data[1] | (data[2] & 0x0F) << 8) - 8;
        const std::vector<uint8_t> input(data + 4, data + size);
        std::vector<uint8_t> output(data[3] * 8);
        TThunderDecoder decoder(width);
        const uint8_t* in = input.data();
        uint8_t* out = output.data();
        decoder.Decode(in, out, static_cast<int32_t>(input.size()),
                       static_cast<int32_t>(output.size()));
        return 0;
    }
    const int32_t stride = 1 + (data[1] | (data[2] & 7) << 8);
    const int32_t rows = data[3] % 64;
    std::vector<uint8_t> luma(size_t(stride) * rows / 2 + 1), first(size_t(stride) * rows / 4 + 1),
        second(7);
    TPCDPlanes planes{{luma.data(), first.data(), second.data()},
                      {luma.size(), first.size(), second.size()}};
    TMemoryStream stream(std::vector<uint8_t>(data + 4, data + size));
    TPCDDecoder decoder(stream);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(&planes);
    uint8_t* out = nullptr;
    try {
        decoder.Decode(in, out, stride, rows);
    } catch (const EStreamError&) {
    }
    return 0;
}
