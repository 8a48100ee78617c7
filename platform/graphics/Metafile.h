// Windows metafiles (WMF with a placeable header, EMF). Only the header is read, so that a
// preview can state the picture's size; metafiles are not drawn.
#pragma once

#include "platform/graphics/Graphic.h"

class TMetafile : public TGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // Reads a placeable WMF or an EMF header from the stream's position; raises
    // EInvalidGraphic for anything else.
    void LoadFromStream(TStream& stream) override;
    bool Empty() const override { return width_ == 0 || height_ == 0; }
    int32_t Width() const override { return width_; }
    int32_t Height() const override { return height_; }
    const TBitmap* AsBitmap() const override { return nullptr; }

    bool Enhanced() const { return enhanced_; }
    // Size of the picture in hundredths of a millimetre.
    int32_t MMWidth() const { return mmWidth_; }
    int32_t MMHeight() const { return mmHeight_; }

private:
    void ReadWMF(TStream& stream);
    void ReadEMF(TStream& stream);

    bool enhanced_ = false;
    int32_t width_ = 0, height_ = 0;
    int32_t mmWidth_ = 0, mmHeight_ = 0;
};
