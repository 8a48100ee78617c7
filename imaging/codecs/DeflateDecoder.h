// Deflate (zlib) streams: TIFF compression 8 and 32946, PNG image data, Paintshop Pro blocks.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <memory>

#define ZLIB_CONST
#include <zlib.h>

struct libdeflate_decompressor;

// Inflates through zlib. Both pointers move on: `input` past the bytes inflate consumed,
// `output` past the bytes it produced.
//
// A decoder whose every block is a stream of its own (TIFF strips and tiles) inflates whole
// blocks through libdeflate, about twice as fast as zlib; a block libdeflate cannot take whole
// (damaged, cut short, longer than the output) goes through zlib as any other, so that results
// never depend on which library ran.
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
    // Inflates one whole block through libdeflate; false when zlib has to take it.
    bool DecodeWhole(const uint8_t*& input, uint8_t*& output, size_t inputSize, size_t outputSize);

    struct TWholeDeleter {
        void operator()(libdeflate_decompressor* decompressor) const;
    };
    std::unique_ptr<libdeflate_decompressor, TWholeDeleter> whole_;
    z_stream stream_{};
    int32_t inflateFlush_;
    bool resetPerBlock_;
    bool started_ = false;
    int32_t zResult_ = Z_OK;
};
