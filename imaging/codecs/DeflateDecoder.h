// Deflate (zlib) streams: TIFF compression 8 and 32946, PNG image data, Paintshop Pro blocks.
#pragma once

#include "imaging/codecs/Decoder.h"

#define ZLIB_CONST
#include <zlib.h>

// Inflates through zlib. Both pointers move on: `input` past the bytes inflate consumed,
// `output` past the bytes it produced.
//
// Truncation is not raised: inflate stops at the end of the given input or output and the
// caller reads ZResult, InputLeft and OutputLeft. Only BeginDecoding and EndDecoding raise
// EGraphicCompression ("LZ77 decompression error.") when zlib refuses to start or end.
class TLZ77Decoder : public TDecoder {
public:
    // `inflateFlush` is the flush value of every inflate call (Z_PARTIAL_FLUSH, Z_FINISH...);
    // with `resetPerBlock` each Decode starts a new zlib stream.
    TLZ77Decoder(int32_t inflateFlush, bool resetPerBlock);
    ~TLZ77Decoder() override;

    // Decodes into at most `outputSize` bytes. Once the stream has ended (ZResult 1) or
    // failed, further calls do nothing and leave both pointers alone, unless every block is
    // a stream of its own.
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
    void BeginDecoding() override;
    void EndDecoding() override;
    void Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t& bytesWritten) override {
        bytesWritten = 0;
    }

    int32_t ZResult() const { return zResult_; }
    // Input bytes the last inflate call did not consume, output bytes it did not fill.
    uint32_t InputLeft() const { return stream_.avail_in; }
    uint32_t OutputLeft() const { return stream_.avail_out; }

private:
    z_stream stream_{};
    int32_t inflateFlush_;
    bool resetPerBlock_;
    bool started_ = false;
    int32_t zResult_ = Z_OK;
};
