// Huffman-coded residuals of the higher Photo-CD resolutions.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstddef>

class TStream;

// The planes a TPCDDecoder corrects: luma, first chroma, second chroma, 8 bits per sample,
// each with its size in bytes. Decode's `input` points to this record.
struct TPCDPlanes {
    uint8_t* Plane[3] = {nullptr, nullptr, nullptr};
    size_t Size[3] = {0, 0, 0};
};

// Adds the residuals read from `huffmanStream` (at its position, in 2048-byte blocks) to planes
// already filled with the interpolated lower resolution. Decode takes `input` = a TPCDPlanes
// record, `inputSize` = the row stride in bytes, `outputSize` = the luma rows of the resolution
// being corrected; `output` is not used. Neither pointer is moved.
//
// Corrupt codes resynchronise on the next row header and samples outside a plane are not
// written. Running out of data raises the stream's read error (EStreamError).
class TPCDDecoder : public TDecoder {
public:
    explicit TPCDDecoder(TStream& huffmanStream) : huffmanStream_(huffmanStream) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

private:
    TStream& huffmanStream_;
};
