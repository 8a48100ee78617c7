// CompuServe GIF images: the first image of a file, as an 8-bit palette bitmap.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TGIFGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // At least 23 bytes from the position, starting with "GIF" in any letter case. The
    // position is restored.
    static bool Recognize(TStream& stream);
    // Reads the header, the screen descriptor and the first image descriptor; `index` is not
    // used. True whenever the signature matches; Width and Height stay 0 when the file has no
    // image.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the first image; its transparent colour (from the graphic control extension before
    // it) becomes the palette's alpha. A file without an image, or whose image data decodes
    // to no pixel, leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;

private:
    struct TGIFLoad; // the state of one load
};
