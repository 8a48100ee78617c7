// Autodesk animator images (.cel, .pic): 8-bit palette pixels, uncompressed.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TAutodeskGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 32 bytes from the position, the magic 0x9119, 8 bits per pixel and no
    // compression. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the 32-byte header at the stream's position; a file holds one image, so `index` is
    // not used. Answers whether the magic matches.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the palette (6-bit values) and the rows, top row first, as 8-bit pixels whatever
    // the header's depth says.
    void DecodeImage(TStream& stream) override;
};
