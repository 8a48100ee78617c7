#include "imaging/codecs/Decoder.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

void TDecoder::Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t&) {
    throw EGraphicCompression(msgCannotEncode);
}
