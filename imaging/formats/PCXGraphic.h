// ZSoft Paintbrush images, and the word processor's screen captures that share their layout:
// 1, 2, 4 and 8 bits per pixel in one plane, 2 to 4 planes of 1 bit (4, 8 and 16 colours),
// true colour in three planes of 8 bits (four with alpha); run-length compressed or stored.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TPCXGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 128 bytes from the position and a header whose maker byte (10 for Paintbrush,
    // 205 for screen captures), version (0, 2, 3 or 5) and encoding (0 or 1) are known. The
    // position is restored.
    static bool Recognize(TStream& stream);
    // Reads the 128-byte header; false, with the properties reset, when the maker byte is
    // not one of the two. A file holds one image, so `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image; a file whose maker byte is unknown leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;

private:
    struct TPCXLoad; // the state of one load
};
