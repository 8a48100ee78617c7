#include "imaging/codecs/DeflateDecoder.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(CHRONOLITH_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif
#if defined(CHRONOLITH_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

[[noreturn]] void RaiseLZ77Error() {
    throw EGraphicCompression(msgLZ77Error);
}

// Whether the environment forces zlib (read once).
[[maybe_unused]] bool ZlibForced() {
    static const bool forced = [] {
        const char* choice = std::getenv("CHRONOLITH_INFLATE");
        return choice && std::strcmp(choice, "zlib") == 0;
    }();
    return forced;
}

} // namespace

bool TLZ77Decoder::FastInflate() {
#if defined(CHRONOLITH_HAVE_ISAL)
    return !ZlibForced();
#else
    return false;
#endif
}

bool TLZ77Decoder::WholeInflate() {
#if defined(CHRONOLITH_HAVE_LIBDEFLATE)
    return !ZlibForced();
#else
    return false;
#endif
}

TLZ77Decoder::TLZ77Decoder(int32_t inflateFlush, bool resetPerBlock)
    : inflateFlush_(inflateFlush), resetPerBlock_(resetPerBlock) {}

TLZ77Decoder::~TLZ77Decoder() {
    // A load that failed before EndDecoding must not leak zlib's state.
    if (started_) inflateEnd(&stream_);
}

void TLZ77Decoder::TFastDeleter::operator()(inflate_state* state) const {
#if defined(CHRONOLITH_HAVE_ISAL)
    std::default_delete<inflate_state>()(state);
#else
    (void)state;
#endif
}

void TLZ77Decoder::TFastDeleter::operator()(libdeflate_decompressor* decompressor) const {
#if defined(CHRONOLITH_HAVE_LIBDEFLATE)
    libdeflate_free_decompressor(decompressor);
#else
    (void)decompressor;
#endif
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
    readPastEnd_ = 0;
    useFast_ = FastInflate();
    useWhole_ = resetPerBlock_ && WholeInflate();
    firstCall_ = true;
#if defined(CHRONOLITH_HAVE_ISAL)
    if (useFast_) {
        // ISA-L's state holds its own window (about 85 KB); it is set up again per stream.
        if (!fast_) fast_.reset(std::make_unique_for_overwrite<inflate_state>().release());
        isal_inflate_init(fast_.get());
        fast_->crc_flag = ISAL_ZLIB;
    }
#endif
}

void TLZ77Decoder::EndDecoding() {
    zResult_ = inflateEnd(&stream_);
    started_ = false;
    if (zResult_ < 0) RaiseLZ77Error();
}

bool TLZ77Decoder::DecodeFast(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                              uint32_t outputSize, bool whole) {
#if defined(CHRONOLITH_HAVE_ISAL)
    inflate_state& state = *fast_;
    if (whole) {
        isal_inflate_reset(&state);
        state.crc_flag = ISAL_ZLIB;
    }
    // ISA-L does not write through next_in.
    state.next_in = const_cast<uint8_t*>(input);
    state.avail_in = inputSize;
    state.next_out = output;
    state.avail_out = outputSize;
    const int result = isal_inflate(&state);
    const bool ended = result == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH;
    // A refused stream goes to zlib whole, so that it fails as zlib has it fail.
    if (!ended && (whole || (firstCall_ && result < 0))) return false;
    if (ended) {
        // ISA-L reads ahead in whole words: the bytes past the stream's end that came with
        // this call are given back.
        const auto past = uint32_t(state.read_in_length / 8);
        const auto back = std::min(past, uint32_t(state.next_in - input));
        state.next_in -= back;
        state.avail_in += back;
        readPastEnd_ = past - back;
    }
    const bool progress = state.next_in != input || state.next_out != output;
    input = state.next_in;
    output = state.next_out;
    inputLeft_ = state.avail_in;
    outputLeft_ = state.avail_out;
    if (ended)
        zResult_ = Z_STREAM_END;
    else if (result == ISAL_NEED_DICT)
        zResult_ = Z_NEED_DICT;
    else if (result < 0)
        zResult_ = Z_DATA_ERROR;
    else
        zResult_ = !progress || inflateFlush_ == Z_FINISH ? Z_BUF_ERROR : Z_OK;
    return true;
#else
    (void)input, (void)output, (void)inputSize, (void)outputSize, (void)whole;
    return false;
#endif
}

void TLZ77Decoder::DecodeZlib(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                              uint32_t outputSize) {
    stream_.next_in = input;
    stream_.avail_in = inputSize;
    stream_.next_out = output;
    stream_.avail_out = outputSize;
    zResult_ = inflate(&stream_, inflateFlush_);
    input = stream_.next_in;
    output = stream_.next_out;
    inputLeft_ = stream_.avail_in;
    outputLeft_ = stream_.avail_out;
}

void TLZ77Decoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                          int32_t outputSize) {
    const auto inSize = uint32_t(std::max(inputSize, 0));
    const auto outSize = uint32_t(std::max(outputSize, 0));
    if (!started_) {
        zResult_ = Z_STREAM_ERROR;
        return;
    }
    if (resetPerBlock_) {
        readPastEnd_ = 0;
        if (useWhole_ && DecodeWhole(input, output, inSize, outSize)) return;
        if (!useWhole_ && useFast_ && DecodeFast(input, output, inSize, outSize, true)) return;
        zResult_ = inflateReset(&stream_);
        if (zResult_ != Z_OK) return;
        if (useFast_ || useWhole_)
            RedoWithZlib(input, output, inSize, outSize);
        else
            DecodeZlib(input, output, inSize, outSize);
        return;
    }
    if (zResult_ != Z_OK) return;
    if (useFast_) {
        const bool taken = DecodeFast(input, output, inSize, outSize, false);
        firstCall_ = false;
        if (taken) return;
        useFast_ = false;
        RedoWithZlib(input, output, inSize, outSize);
        return;
    }
    DecodeZlib(input, output, inSize, outSize);
}

bool TLZ77Decoder::DecodeWhole(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                               uint32_t outputSize) {
#if defined(CHRONOLITH_HAVE_LIBDEFLATE)
    if (!whole_) {
        whole_.reset(libdeflate_alloc_decompressor());
        if (!whole_) return false;
    }
    size_t used = 0, produced = 0;
    if (libdeflate_zlib_decompress_ex(whole_.get(), input, inputSize, output, outputSize, &used,
                                      &produced) != LIBDEFLATE_SUCCESS)
        return false;
    input += used;
    output += produced;
    inputLeft_ = inputSize - uint32_t(used);
    outputLeft_ = outputSize - uint32_t(produced);
    zResult_ = Z_STREAM_END;
    return true;
#else
    (void)input, (void)output, (void)inputSize, (void)outputSize;
    return false;
#endif
}

void TLZ77Decoder::RedoWithZlib(const uint8_t*& input, uint8_t*& output, uint32_t inputSize,
                                uint32_t outputSize) {
    uint8_t* const start = output;
    DecodeZlib(input, output, inputSize, outputSize);
    // What ISA-L wrote past zlib's end before it gave up is cleared.
    std::fill(output, start + outputSize, uint8_t(0));
}
