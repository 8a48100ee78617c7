// Deflate (zlib) streams: TIFF compression 8 and 32946, PNG image data, Paintshop Pro blocks.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <memory>

#define ZLIB_CONST
#include <zlib.h>

struct inflate_state;
struct libdeflate_decompressor;

// Inflates zlib streams. Both pointers move on: `input` past the bytes inflate consumed,
// `output` past the bytes it produced. Results are reported in zlib's terms (ZResult, InputLeft,
// OutputLeft) whichever inflater ran.
//
// Where the build found ISA-L, streams go through its inflater (header and Adler-32 checked),
// two to three times as fast as zlib on image data. Where it found libdeflate, whole blocks
// (every block a stream of its own, as TIFF strips and tiles) go through libdeflate, which
// inflates a whole buffer a fifth faster still. zlib takes a stream ISA-L refuses in the first
// call, and a whole block neither library can take whole (damaged, cut short, longer than the
// output), so that results never depend on which inflater ran (the output past the bytes zlib
// produced from such data is cleared to 0). The choice is made once per stream.
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

    int32_t ZResult() const { return zResult_; }
    // Input bytes the last inflate call did not consume, output bytes it did not fill.
    uint32_t InputLeft() const { return inputLeft_; }
    uint32_t OutputLeft() const { return outputLeft_; }
    // Once the stream has ended: the bytes after its end that earlier calls consumed, which
    // they could not leave (ISA-L reads ahead; zlib never does).
    uint32_t ReadPastEnd() const { return readPastEnd_; }

private:
    // Whether streams go through ISA-L, and whole blocks through libdeflate: the library was
    // found at build time and the environment variable CHRONOLITH_INFLATE, read once, is not
    // "zlib" (the tests run both ways).
    static bool FastInflate();
    static bool WholeInflate();
    // One libdeflate call on a whole block; false (both pointers left alone) when zlib has to
    // take the data.
    bool DecodeWhole(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                     uint32_t outputSize);
    // One ISA-L call; false (both pointers left alone) when zlib has to take the data.
    bool DecodeFast(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                    uint32_t outputSize, bool whole);
    void DecodeZlib(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                    uint32_t outputSize);
    // zlib on data ISA-L gave up on, from the same pointers.
    void RedoWithZlib(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                      uint32_t outputSize);

    struct TFastDeleter {
        void operator()(inflate_state* state) const;
        void operator()(libdeflate_decompressor* decompressor) const;
    };
    std::unique_ptr<inflate_state, TFastDeleter> fast_;
    std::unique_ptr<libdeflate_decompressor, TFastDeleter> whole_;
    z_stream stream_{};
    int32_t inflateFlush_;
    bool resetPerBlock_;
    bool started_ = false;
    // The stream goes through ISA-L; its first call has not returned yet.
    bool useFast_ = false;
    bool useWhole_ = false;
    bool firstCall_ = false;
    int32_t zResult_ = Z_OK;
    uint32_t inputLeft_ = 0, outputLeft_ = 0, readPastEnd_ = 0;
};
