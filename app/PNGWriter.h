// PNG files written row by row through zlib: a writer holds one row and the compressor's
// window, whatever the picture's size, so the command-line tool writes any bitmap it can load.
#pragma once

#include "platform/graphics/Bitmap.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class TStream;

class TPNGWriter {
public:
    // The pixels a row holds: palette indices (one byte each), RGB or RGBA, 8 bits a sample.
    enum class TLayout : uint8_t { Indexed, RGB, RGBA };

    // Writes the signature and the header chunk, and for Indexed the palette (with its alpha
    // when `paletteAlpha`).
    TPNGWriter(TStream& stream, uint32_t width, uint32_t height, TLayout layout,
               std::span<const TRGBQuad> palette = {}, bool paletteAlpha = false);
    ~TPNGWriter();
    TPNGWriter(const TPNGWriter&) = delete;
    TPNGWriter& operator=(const TPNGWriter&) = delete;

    // The next row, top row first: width x bytes-per-pixel bytes.
    void WriteRow(std::span<const uint8_t> row);
    // Ends the compressed data and writes the end chunk; every row must have been written.
    void Finish();

private:
    struct TDeflate;
    void Compress(std::span<const uint8_t> data, bool last);
    void WriteChunk(const char* type, std::span<const uint8_t> data);

    TStream& stream_;
    uint32_t height_;
    uint32_t rows_ = 0;
    size_t pixelBytes_;
    std::unique_ptr<TDeflate> deflate_;
    // The row being filtered and the one before it, and two filtered forms of it (the best so
    // far and the one being tried), each with its filter byte first.
    std::vector<uint8_t> current_, prior_, filtered_, trial_;
    std::vector<uint8_t> compressed_;
};
