// JPEG-compressed TIFF strips (compression 7), with an optional shared tables block.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class TMemoryBudget;
struct TImageProperties;

// Decodes one strip (or tile) per Decode call through libjpeg, checking its size, component
// count, precision and sampling factors against the reader's ImageProperties (read at each
// call: Width, Height, CurrentRow, RowsPerStrip, BytesPerRow, SamplesPerPixel, BitsPerSample,
// PlanarConfig, ColorModel, YCbCrSubSampling, JPEGTables; for tiled images, flagged flTiled,
// TileWidth and TileLength instead of the strip's size). Three-component data is delivered
// in blue, green, red order; other data as stored. Neither pointer is moved.
//
// Rows are written one after another, or `stride` bytes apart (SetRowStride), as many as fit in
// `outputSize`; rows the strip does not reach are cleared. With SetScale the strip decodes
// through libjpeg's scaled transform: 1/2, 1/4 or 1/8 of its width and height (rounded up),
// BytesPerRow then giving the scaled row.
//
// A mismatch raises EGraphicCompression with its message; libjpeg's fatal errors raise
// EInvalidGraphic ("JPEG error #%d"). A truncated strip is not raised: it shows the warning
// "JPEG decompression error. Unexpected end of input." (once per strip) and decodes as if
// the image ended there. libjpeg never reads outside the strip and never writes outside the
// `outputSize` bytes.
//
// Bounds: libjpeg's memory for a strip (above all the coefficients of a progressive one) is
// charged to the load's budget before it starts, and libjpeg is told to use no more, so a
// strip that would not fit fails cleanly with the budget's message; a strip of more than
// MaxScans scans raises msgJPEGErrorText with msgJPEGTooManyScans; and the scans of all strips
// times their blocks of 8 x 8 samples may not pass the load's work limit (msgDataTooShort), so
// that a small file cannot ask for seconds of work.
class TTIFFJPEGDecoder : public TDecoder {
public:
    // Keeps a reference to `properties` (and `budget`), which must outlive the decoder. Without
    // a budget libjpeg may take MaxMemory; `workLimit` bounds scans x blocks over the load.
    explicit TTIFFJPEGDecoder(const TImageProperties& properties, TMemoryBudget* budget = nullptr,
                              uint64_t workLimit = UINT64_MAX);
    ~TTIFFJPEGDecoder() override;

    void BeginDecoding() override;
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    void EndDecoding() override;

    // Strips decode at 1 / `denominator` of their size: 1 (the default), 2, 4 or 8.
    void SetScale(unsigned denominator) { scale_ = denominator; }
    // Output rows lie `stride` bytes apart (at least BytesPerRow); 0, the default: one after
    // another.
    void SetRowStride(size_t stride) { stride_ = stride; }

    // Most scans a progressive strip may have; more is taken for a damaged or hostile file.
    static constexpr int MaxScans = 100;
    // Memory libjpeg may use for one strip when no budget is given.
    static constexpr long MaxMemory = 512L << 20;

    // libjpeg's objects, known to the implementation only.
    struct TState;

private:
    // Raises the mismatches of the strip whose header libjpeg has read.
    void CheckStrip() const;
    // The memory libjpeg will take for the strip whose header it has read.
    size_t StripMemory() const;

    const TImageProperties& properties_;
    TMemoryBudget* budget_;
    uint64_t workLimit_;
    const uint8_t* tables_ = nullptr;
    size_t tablesSize_ = 0;
    uint16_t horizontalSampling_ = 1;
    uint16_t verticalSampling_ = 1;
    unsigned scale_ = 1;
    size_t stride_ = 0;
    std::unique_ptr<TState> state_;
};
