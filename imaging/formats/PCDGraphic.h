// Kodak Photo-CD image packs: the header knows the six resolutions (192 x 128 up to
// 6144 x 4096) and the stored rotation; a load takes the Base resolution (768 x 512), stored
// uncompressed as a luma plane and two chroma planes of half the size each way, upsamples the
// chroma, converts PhotoYCC to BGR and turns the picture by a quarter when the file says so.
// An overview pack loads its first thumbnail (192 x 128).
#pragma once

#include "imaging/ImageGraphic.h"

#include <cstddef>
#include <cstdint>
#include <span>

class TPCDGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 6144 bytes from the position, starting with "PCD_OPA" (an overview pack) or
    // holding "PCD" at offset 2048 (an image pack). The position is restored.
    static bool Recognize(TStream& stream);
    // `index` chooses the resolution (0 for 192 x 128 ... 5 for 6144 x 4096; larger values
    // count as 5; an overview pack always has 0). Answers whether either signature is there.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the Base image; a stream without either signature leaves the bitmap empty.
    void DecodeImage(TStream& stream) override;

    // Doubles a plane of w x h samples stored with `stride` bytes a row, in place, to 2w x 2h:
    // bilinear between stored samples, the last column and row repeated. A plane shorter than
    // 2h rows of `stride` bytes, or a stride below 2w, is left as it is.
    static void UpsampleChroma(size_t w, size_t h, size_t stride, std::span<uint8_t> plane);

private:
    struct TPCDLoad; // the state of one load
};
