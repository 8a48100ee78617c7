// The TIFF preview of Encapsulated PostScript files with a binary header. The PostScript
// itself is not interpreted.
#pragma once

#include "imaging/formats/TIFFGraphic.h"

class TEPSGraphic : public TTIFFGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 30 bytes from the position, the binary header's magic, a TIFF preview that
    // starts after the header and is not empty. The position is restored.
    static bool Recognize(TStream& stream);
    // Reads the binary header and loads the TIFF preview at its offset (from the header's
    // start) as the TIFF reader does, its offsets relative to the preview's start. Past the
    // header, failures are the TIFF reader's.
    void DecodeImage(TStream& stream) override;
    // The reader does not write: raises msgCannotSave.
    void EncodeImage(TStream& stream) override;
};
