// Portable Network Graphics images: every colour type and bit depth, Adam7 interlacing,
// palette, gamma, background and transparency chunks.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TPNGGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 8 bytes from the position, the first 8 being the PNG signature. The position
    // is restored.
    static bool Recognize(TStream& stream);
    // Reads the signature and the header chunk, then looks for a gamma chunk up to the end
    // chunk. A file holds one image, so `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image, inflating the image data row by row.
    void DecodeImage(TStream& stream) override;

private:
    struct TPNGLoad; // the state of one load
};
