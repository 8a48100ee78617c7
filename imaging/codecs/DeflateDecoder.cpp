#include "imaging/codecs/DeflateDecoder.h"

#include "imaging/ImageMessages.h"
#include "platform/graphics/Exceptions.h"

#include <algorithm>

namespace {

[[noreturn]] void RaiseLZ77Error() {
    throw EGraphicCompression(msgLZ77Error);
}

} // namespace

TLZ77Decoder::TLZ77Decoder(int32_t inflateFlush, bool resetPerBlock)
    : inflateFlush_(inflateFlush), resetPerBlock_(resetPerBlock) {}

TLZ77Decoder::~TLZ77Decoder() {
    // A load that failed before EndDecoding must not leak zlib's state.
    if (started_) inflateEnd(&stream_);
}

void TLZ77Decoder::BeginDecoding() {
    if (started_) {
        inflateEnd(&stream_);
        started_ = false;
    }
    stream_ = z_stream{};
    zResult_ = inflateInit2(&stream_, MAX_WBITS);
    if (zResult_ < 0) RaiseLZ77Error();
    started_ = true;
}

void TLZ77Decoder::EndDecoding() {
    zResult_ = inflateEnd(&stream_);
    started_ = false;
    if (zResult_ < 0) RaiseLZ77Error();
}

void TLZ77Decoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                          int32_t outputSize) {
    stream_.next_in = input;
    stream_.avail_in = static_cast<uInt>(std::max(inputSize, 0));
    if (resetPerBlock_) zResult_ = inflateReset(&stream_);
    if (zResult_ != Z_OK) return;

    stream_.next_out = output;
    stream_.avail_out = static_cast<uInt>(std::max(outputSize, 0));
    zResult_ = inflate(&stream_, inflateFlush_);
    input = stream_.next_in;
    output = stream_.next_out;
}
