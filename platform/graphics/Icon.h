// Windows icons: the first image of an ICO file, decoded by the windowing system's image
// reader into a bitmap.
#pragma once

#include "platform/graphics/Bitmap.h"

class TIcon : public TGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    void LoadFromStream(TStream& stream) override;
    bool Empty() const override { return bitmap_.Empty(); }
    int32_t Width() const override { return bitmap_.Width(); }
    int32_t Height() const override { return bitmap_.Height(); }
    const TBitmap* AsBitmap() const override { return &bitmap_; }

private:
    TBitmap bitmap_;
};
