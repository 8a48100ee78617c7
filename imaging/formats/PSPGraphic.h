// Paint Shop Pro images of major version 3 and later: the first raster layer of the layer
// bank, 1, 4 and 8-bit indexed or grey, 24-bit colour with an optional alpha channel, its
// channels stored, run-length compressed or deflated; the colour palette block.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TPSPGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // At least 37 bytes from the position, the signature (its first 25 characters, in any
    // letter case) and a major version of 3 or more. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the file header and the general image attributes of the first block; false when
    // the signature or the version is not accepted. `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the first raster layer, one channel at a time.
    void DecodeImage(TStream& stream) override;

private:
    struct TPSPLoad; // the state of one load
};
