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
    // Loads the image in the order the descriptor states (rows top or bottom first, pixels
    // left or right first), run-length packets going on across rows. Indices, grey, 5-5-5 and
    // 24- and 32-bit pixels keep their layout; grey and alpha pixels, and 16-bit pixels whose
    // attribute bit the descriptor announces as alpha, become 32-bit. The alpha of the
    // descriptor's attribute bits is kept (AlphaFormat). A header of an unknown image or colour
    // map type, or of no image data, leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;
    // Writes the bitmap run-length compressed (WriteTargaImage), between a starting and an
    // ending progress event.
    void EncodeImage(TStream& stream) override;

private:
    struct TTargaLoad; // the state of one load
};

// Writes `bitmap` as a Targa file, run-length compressed (image types 9 and 10) or not (1 and 2),
// row by row: indices with a colour map of 256 entries, 15- and 16-bit pixels as 5-5-5, 24- and
// 32-bit pixels as they are; the alpha of an afDefined bitmap goes with it (8 alpha bits, in the
// pixels or in 32-bit colour map entries). An empty bitmap writes nothing; sides above 65535
// raise msgTargaTooLarge.
void WriteTargaImage(const TBitmap& bitmap, TStream& stream, bool compress);
