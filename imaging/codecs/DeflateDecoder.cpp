#include "imaging/codecs/DeflateDecoder.h"

#include "imaging/ImageMessages.h"
#include "platform/graphics/Exceptions.h"

#include <algorithm>

#include <libdeflate.h>

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

void TLZ77Decoder::TWholeDeleter::operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
}

void TLZ77Decoder::BeginDecoding() {
    if (resetPerBlock_ && !whole_) whole_.reset(libdeflate_alloc_decompressor());
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

bool TLZ77Decoder::DecodeWhole(const uint8_t*& input, uint8_t*& output, size_t inputSize,
                               size_t outputSize) {
    size_t consumed = 0, produced = 0;
    if (libdeflate_zlib_decompress_ex(whole_.get(), input, inputSize, output, outputSize, &consumed,
                                      &produced) != LIBDEFLATE_SUCCESS)
        return false;
    // As zlib leaves it after the stream's end.
    input += consumed;
    output += produced;
    stream_.avail_in = uInt(inputSize - consumed);
    stream_.avail_out = uInt(outputSize - produced);
    zResult_ = Z_STREAM_END;
    return true;
}

void TLZ77Decoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                          int32_t outputSize) {
    if (resetPerBlock_ && whole_ && started_ &&
        DecodeWhole(input, output, size_t(std::max(inputSize, 0)), size_t(std::max(outputSize, 0))))
        return;
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
