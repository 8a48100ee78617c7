// Portable bitmaps, grey maps and pixel maps (magic numbers P1 to P6), plain (text) and raw
// (binary): bitmaps load as 1-bit bitmaps, grey maps as 8-bit grey bitmaps, pixel maps as
// 24-bit bitmaps. Samples are scaled from the file's maximum value to 0..255.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TPPMGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // At least 11 bytes from the position, the first being "P" and the second a digit from
    // 1 to 6. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the magic number and the header numbers. A file holds one image, so `index` is not
    // used. False when the stream does not start with "P"; a "P" followed by a non-digit raises
    // the conversion error; magic numbers other than P1 to P6 answer true with nothing more
    // recorded (their load leaves the bitmap empty).
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    void DecodeImage(TStream& stream) override;

private:
    struct TMapLoad; // the state of one load
};
