// Truevision Targa images: indexed, grey and true colour, uncompressed or run-length
// compressed. The one reader that also writes its format.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TTargaGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // At least 19 bytes from the position, and a header whose image type, colour map type,
    // colour map entry size and pixel depth are all ones this reader knows. The position is
    // restored.
    static bool Recognize(TStream& stream);
    // Reads the 18-byte header at the stream's position; a file holds one image, so `index`
    // is not used. Answers whether the image type and colour map type are known ones.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image as stored: every accepted layout is already a bitmap layout. A header
    // of an unknown image or colour map type leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;
    // Writes the bitmap run-length compressed.
    void EncodeImage(TStream& stream) override;
    // Writes the bitmap, run-length compressed (image types 9 and 10) or not (1 and 2). An
    // empty bitmap writes nothing.
    void WriteImage(TStream& stream, bool compress);

private:
    struct TTargaLoad; // the state of one load
};
