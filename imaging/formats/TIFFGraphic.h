// Tagged Image File Format images, classic or BigTIFF, in either byte order: strips or tiles,
// samples interleaved or in separate planes, uncompressed or compressed with PackBits, LZW,
// CCITT modified Huffman, Group 3 (one or two-dimensional) or Group 4, deflate, JPEG (also
// old-style where the file carries what libjpeg needs), ThunderScan, LZMA, Zstandard or WebP,
// with the horizontal and floating-point predictors; palette, grey (with alpha), RGB (with
// alpha, premultiplied or not), CMYK, YCbCr and CIE L*a*b* samples of 1 to 16 bits, 32-bit
// integers and 16, 32 or 64-bit floating point. A file may hold several images; the reader
// loads the first; its orientation is recorded, not applied.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TTIFFGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 8 bytes from the position, "II" or "MM", the version 42 (or 43 with offsets of
    // 8 bytes) in that byte order, and a first directory offset below the bytes that remain.
    // The position is restored.
    static bool Recognize(TStream& stream);
    // Fills ImageProperties for image number `index` (0 = first) of the file that starts at the
    // stream's position. Answers false when the version is not 42 or 43, when the directory chain
    // ends (or loops) before that image, or when its width or height is 0. A directory that
    // lies past the end of the file raises.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads image 0 through the colour manager.
    void DecodeImage(TStream& stream) override;
    // The reader does not write: raises msgCannotSave.
    void EncodeImage(TStream& stream) override;

private:
    // The state of one load, in TIFFGraphic.cpp.
    struct TTIFFLoad;
};
