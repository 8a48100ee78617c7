// ThunderScan 4-bit data (TIFF compression 32809).
#pragma once

#include "imaging/codecs/Decoder.h"

// The output is 4-bit samples, two per byte, the first in the high nibble; every row of
// `rowWidth` samples starts on a byte and with a last value of 0. Neither pointer is moved.
//
// Truncation is silent: the output area is cleared first, rows the input does not reach stay
// 0, samples beyond a row's width are dropped, and nothing is read or written outside the
// given sizes.
class TThunderDecoder : public TDecoder {
public:
    explicit TThunderDecoder(int32_t rowWidth) : rowWidth_(rowWidth) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

private:
    int32_t rowWidth_;
};
