// JPEG-compressed TIFF strips (compression 7), with an optional shared tables block.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <memory>

struct TImageProperties;

// Decodes one strip (or tile) per Decode call through libjpeg, checking its size, component
// count, precision and sampling factors against the reader's ImageProperties (read at each
// call: Width, Height, CurrentRow, RowsPerStrip, BytesPerRow, SamplesPerPixel, BitsPerSample,
// PlanarConfig, ColorModel, YCbCrSubSampling, JPEGTables; for tiled images, flagged flTiled,
// TileWidth and TileLength instead of the strip's size). Three-component data is delivered
// in blue, green, red order; other data as stored. Neither pointer is moved.
//
// A mismatch raises EGraphicCompression with its message; libjpeg's fatal errors raise
// EInvalidGraphic ("JPEG error #%d"). A truncated strip is not raised: it shows the warning
// "JPEG decompression error. Unexpected end of input." (once per strip) and decodes as if
// the image ended there. libjpeg never reads outside the strip and never writes outside the
// `outputSize` bytes.
class TTIFFJPEGDecoder : public TDecoder {
public:
    // Keeps a reference to `properties`, which must outlive the decoder.
    explicit TTIFFJPEGDecoder(const TImageProperties& properties);
    ~TTIFFJPEGDecoder() override;

    void BeginDecoding() override;
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    void EndDecoding() override;

    // Most scans a progressive strip may have; more is taken for a damaged or hostile file.
    static constexpr int MaxScans = 1000;
    // Memory libjpeg may use for one strip.
    static constexpr long MaxMemory = 512L << 20;

    // libjpeg's objects, known to the implementation only.
    struct TState;

private:
    const TImageProperties& properties_;
    const uint8_t* tables_ = nullptr;
    size_t tablesSize_ = 0;
    uint16_t horizontalSampling_ = 1;
    uint16_t verticalSampling_ = 1;
    std::unique_ptr<TState> state_;
};
