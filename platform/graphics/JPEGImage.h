// JPEG pictures through libjpeg: baseline and progressive files, grey into an 8-bit bitmap
// with a grey palette, colour and CMYK into a 24-bit bitmap.
#pragma once

#include "platform/graphics/Bitmap.h"

class TJPEGImage : public TGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // Most scans a progressive file may have; more is taken for a damaged or hostile file.
    static constexpr int MaxScans = 1000;

    // A JPEG stream's start of image marker followed by another marker. The position is
    // restored.
    static bool Recognize(TStream& stream);

    void LoadFromStream(TStream& stream) override;
    bool Empty() const override { return bitmap_.Empty(); }
    int32_t Width() const override { return bitmap_.Width(); }
    int32_t Height() const override { return bitmap_.Height(); }
    const TBitmap* AsBitmap() const override { return &bitmap_; }

    int32_t FullWidth() const override { return fullWidth_; }
    int32_t FullHeight() const override { return fullHeight_; }

    bool Grayscale() const { return bitmap_.PixelFormat() == bf8Bit; }
    bool ProgressiveEncoding() const { return progressive_; }

private:
    TBitmap bitmap_;
    bool progressive_ = false;
    int32_t fullWidth_ = 0, fullHeight_ = 0;
};

// The JPEG class's own start-up: registers "jpeg" and "jpg" as "Fichier image JPEG" in the
// global picture registry, once until FinalizeJPEGImage. Runs before the image library's.
void InitializeJPEGImage();
// Unregisters the JPEG class from the global picture registry.
void FinalizeJPEGImage();
