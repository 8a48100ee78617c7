// Dr. Halo CUT images: 8-bit palette images with run-length coded rows. The palette is not in
// the image file: a load by file name takes it from the palette file beside the image (same
// name, extension ".pal"); other loads, and images without a palette file, show a grey ramp.
// The format has no signature, so it is chosen by its extension alone.
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstdint>
#include <string>

class TCUTGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // Always false: nothing in a CUT file tells it from other data.
    static bool Recognize(TStream& stream);
    // Reads the width and height; a file holds one image, so `index` is not used. Answers true.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    void DecodeImage(TStream& stream) override;
    // Loads the image with the palette file found beside it.
    void LoadFromFile(const std::string& fileName) override;

    // The palette file of an image file: its extension replaced by ".pal", or by ".PAL" when
    // only that file exists.
    static std::string PaletteFileName(const std::string& imageFileName);

private:
    struct TCUTLoad; // the state of one load

    // The palette file of the load by file name under way; empty for every other load.
    std::string paletteFileName_;
};
