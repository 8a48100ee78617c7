// Silicon Graphics images: grey, RGB and RGB with alpha, 8 or 16 bits per sample, stored
// verbatim or run-length compressed, one channel after another with the bottom row first.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>

class TSGIGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 512 bytes from the position and a header with the magic number, 1 or 2 bytes
    // per channel and a dimension of 1, 2 or 3. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the 512-byte header; false when the magic number is wrong. A file holds one
    // image, so `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image. Grey images (one or two channels) show their first channel.
    void DecodeImage(TStream& stream) override;

private:
    struct TSGILoad; // the state of one load
};
