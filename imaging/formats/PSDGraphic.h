// Photoshop documents (PSD) and large documents (PSB): the merged image of every colour mode
// (bitmap, grey, duotone, indexed, RGB, multichannel, CMYK, L*a*b*) at 8 and 16 bits (1 bit in
// bitmap mode), raw or PackBits. Its first extra channel is its transparency when a negative
// layer count marks it so, and an indexed document's transparency index makes that palette
// entry transparent; the EXIF orientation is recorded. Layers and masks are passed over.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TPSDGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // At least 27 bytes from the position, the signature "8BPS" and version 1 or 2. The
    // position is restored.
    static bool Recognize(TStream& stream);
    // Reads the header, passes over the colour mode data, the image resources and the layer
    // and mask information by their lengths (each checked against the stream) and reads the
    // compression of the merged image. False when the signature is wrong; the version is not
    // checked. A file holds one merged image, so `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the merged image, one row of each channel at a time.
    void DecodeImage(TStream& stream) override;

private:
    struct TPSDLoad; // the state of one load
};
