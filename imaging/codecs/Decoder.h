// The interface every decoder implements, so that a reader can pick a decoder by the file's
// compression value and drive it without knowing which it is.
//
// A reader creates the decoder for one load, calls BeginDecoding once, Decode once per block
// (strip, scan line, plane line or whole image), EndDecoding once (also when the load fails
// part-way), and frees it. Decoders never own the buffers they work on.
//
// Safety: `inputSize` is always the number of bytes really available at `input`, and
// `outputSize` never exceeds the room at `output` (for the Targa decoder it counts pixels of
// its pixel size). Decoders never read or write outside those bounds, whatever the data says.
#pragma once

#include <cstdint>

class TDecoder {
public:
    TDecoder() = default;
    TDecoder(const TDecoder&) = delete;
    TDecoder& operator=(const TDecoder&) = delete;
    virtual ~TDecoder() = default;

    // Whether `input` and `output` move on return differs per decoder; each states it.
    virtual void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                        int32_t outputSize) = 0;
    virtual void EndDecoding() {}
    virtual void BeginDecoding() {}
    // Packs `pixelCount` pixels, for the decoders that can (the Targa run-length one); the
    // others raise EGraphicCompression (msgCannotEncode).
    virtual void Encode(const uint8_t* input, uint8_t* output, uint32_t pixelCount,
                        uint32_t& bytesWritten);
};
