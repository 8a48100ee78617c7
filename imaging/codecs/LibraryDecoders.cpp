#include "imaging/codecs/LibraryDecoders.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(CHRONOLITH_HAVE_LZMA)
#include <lzma.h>
#endif
#if defined(CHRONOLITH_HAVE_ZSTD)
#include <zstd.h>
#endif
#if defined(CHRONOLITH_HAVE_WEBP)
#include <webp/decode.h>
#endif

namespace {

[[maybe_unused]] [[noreturn]] void FailCompression() {
    throw EImageFault(msgCompression);
}

// `bytes` charged to a budget while it lives.
class [[maybe_unused]] TCharge {
public:
    TCharge(TMemoryBudget& budget, size_t bytes) : budget_(budget), bytes_(bytes) {
        budget_.Charge(bytes_);
    }
    ~TCharge() { budget_.Release(bytes_); }
    TCharge(const TCharge&) = delete;
    TCharge& operator=(const TCharge&) = delete;

private:
    TMemoryBudget& budget_;
    size_t bytes_;
};

// The sizes a Decode call was given, as the libraries take them.
struct TBlock {
    const uint8_t* Input;
    size_t InputSize;
    uint8_t* Output;
    size_t OutputSize;
};

TBlock BlockOf(const uint8_t* input, uint8_t* output, int32_t inputSize, int32_t outputSize) {
    TBlock block{input, input ? size_t(std::max(inputSize, 0)) : 0, output,
                 output ? size_t(std::max(outputSize, 0)) : 0};
    if (block.OutputSize) std::memset(block.Output, 0, block.OutputSize);
    return block;
}

// Decoders have no encoder.
class TLibraryDecoder : public TDecoder {
public:
    void Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t& bytesWritten) override {
        bytesWritten = 0;
    }
};

#if defined(CHRONOLITH_HAVE_LZMA)

// liblzma allocates through the load's budget: each block carries its size before it.
class TLZMADecoder : public TLibraryDecoder {
public:
    explicit TLZMADecoder(TMemoryBudget& budget) : budget_(budget) {
        allocator_.alloc = Allocate;
        allocator_.free = Free;
        allocator_.opaque = &budget_;
    }

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override {
        const TBlock block = BlockOf(input, output, inputSize, outputSize);
        if (!block.InputSize) return;
        uint64_t limit = budget_.Limit() - budget_.Used();
        size_t in = 0, out = 0;
        const lzma_ret result =
            lzma_stream_buffer_decode(&limit, 0, &allocator_, block.Input, &in, block.InputSize,
                                      block.Output, &out, block.OutputSize);
        if (result == LZMA_MEM_ERROR || result == LZMA_MEMLIMIT_ERROR)
            throw EImageFault(msgMemoryLimit, {MemorySizeText(budget_.Limit())});
        if (result != LZMA_OK) FailCompression();
    }

private:
    static constexpr size_t Header = 16;

    static void* Allocate(void* opaque, size_t count, size_t size) {
        auto& budget = *static_cast<TMemoryBudget*>(opaque);
        if (size && count > (std::numeric_limits<size_t>::max() - Header) / size) return nullptr;
        const size_t bytes = count * size + Header;
        if (!budget.Fits(bytes)) return nullptr;
        auto* block = static_cast<uint8_t*>(std::malloc(bytes));
        if (!block) return nullptr;
        budget.Charge(bytes);
        std::memcpy(block, &bytes, sizeof bytes);
        return block + Header;
    }
    static void Free(void* opaque, void* pointer) {
        if (!pointer) return;
        uint8_t* block = static_cast<uint8_t*>(pointer) - Header;
        size_t bytes;
        std::memcpy(&bytes, block, sizeof bytes);
        static_cast<TMemoryBudget*>(opaque)->Release(bytes);
        std::free(block);
    }

    TMemoryBudget& budget_;
    lzma_allocator allocator_{};
};

#endif

#if defined(CHRONOLITH_HAVE_ZSTD)

// One-shot decoding straight into the block: no window besides it.
class TZstdDecoder : public TLibraryDecoder {
public:
    explicit TZstdDecoder(TMemoryBudget& budget) : charge_(budget, ContextBytes) {
        context_ = ZSTD_createDCtx();
        if (!context_) FailCompression();
    }
    ~TZstdDecoder() override { ZSTD_freeDCtx(context_); }

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override {
        const TBlock block = BlockOf(input, output, inputSize, outputSize);
        if (!block.InputSize) return;
        const size_t result = ZSTD_decompressDCtx(context_, block.Output, block.OutputSize,
                                                  block.Input, block.InputSize);
        if (ZSTD_isError(result)) {
            // A failed call may have written part of the block.
            std::memset(block.Output, 0, block.OutputSize);
            FailCompression();
        }
    }

private:
    // What a decompression context takes, with room to spare.
    static constexpr size_t ContextBytes = 256 * 1024;
    TCharge charge_;
    ZSTD_DCtx* context_ = nullptr;
};

#endif

#if defined(CHRONOLITH_HAVE_WEBP)

class TWebPDecoder : public TLibraryDecoder {
public:
    TWebPDecoder(TMemoryBudget& budget, uint32_t width, uint32_t samples)
        : budget_(budget), width_(width), samples_(samples) {}

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override {
        const TBlock block = BlockOf(input, output, inputSize, outputSize);
        if (!block.InputSize || !block.OutputSize) return;
        WebPBitstreamFeatures features;
        if (WebPGetFeatures(block.Input, block.InputSize, &features) != VP8_STATUS_OK)
            FailCompression();
        const size_t stride = size_t(width_) * samples_;
        if (uint32_t(features.width) != width_ || stride == 0 || block.OutputSize % stride != 0 ||
            size_t(features.height) != block.OutputSize / stride ||
            (features.has_alpha != 0) != (samples_ == 4))
            FailCompression();
        // Lossless pictures are decoded whole into the library's own pixels first.
        const size_t pixels = size_t(features.width) * size_t(features.height);
        const TCharge charge(budget_, features.format == 2 ? pixels * 4 + (1u << 20) : 1u << 20);
        const uint8_t* result = samples_ == 4
                                    ? WebPDecodeRGBAInto(block.Input, block.InputSize, block.Output,
                                                         block.OutputSize, int(stride))
                                    : WebPDecodeRGBInto(block.Input, block.InputSize, block.Output,
                                                        block.OutputSize, int(stride));
        if (!result) {
            std::memset(block.Output, 0, block.OutputSize);
            FailCompression();
        }
    }

private:
    TMemoryBudget& budget_;
    uint32_t width_;
    uint32_t samples_;
};

#endif

} // namespace

std::unique_ptr<TDecoder> MakeLZMADecoder([[maybe_unused]] TMemoryBudget& budget) {
#if defined(CHRONOLITH_HAVE_LZMA)
    return std::make_unique<TLZMADecoder>(budget);
#else
    return nullptr;
#endif
}

std::unique_ptr<TDecoder> MakeZstdDecoder([[maybe_unused]] TMemoryBudget& budget) {
#if defined(CHRONOLITH_HAVE_ZSTD)
    return std::make_unique<TZstdDecoder>(budget);
#else
    return nullptr;
#endif
}

std::unique_ptr<TDecoder> MakeWebPDecoder([[maybe_unused]] TMemoryBudget& budget,
                                          [[maybe_unused]] uint32_t width,
                                          [[maybe_unused]] uint32_t samples) {
#if defined(CHRONOLITH_HAVE_WEBP)
    return std::make_unique<TWebPDecoder>(budget, width, samples);
#else
    return nullptr;
#endif
}
