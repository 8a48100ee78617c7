// Alias/Wavefront RLA images: run-length coded RGB channels of 1 to 16 bits with an optional
// matte, rows reached through a table of offsets, stored bottom-up or top-down. The file's
// gamma is applied; the first matte channel becomes the bitmap's alpha, the colours stored
// premultiplied by it straight.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>
#include <string_view>

class TRLAGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 740 bytes from the position, the header's revision $FFFE and its colour
    // channel space "rgb" or "xyz" in any letter case. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the 740-byte header, leaving the stream after it; `index` is not used. False for
    // the channel space "xyz", which this reader does not convert.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image; a header ReadImageHeader refuses leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;

    // A gamma as the header writes it ("2.2", also "2,2"), whatever the user's decimal
    // separator; 1.0 for a text that is no positive number.
    static float ParseGamma(std::string_view text);

private:
    struct TRLALoad; // the state of one load
};
