// Decoders that hand TIFF strips and tiles to a well-kept library: LZMA (TIFF compression
// 34925, the xz container of liblzma), Zstandard (50000, libzstd) and WebP (50001, libwebp).
// Each library is optional at build time; the factories answer nothing when the build has
// none, and the reader then refuses the scheme.
//
// Every Decode call takes one whole block (strip or tile) and fills the `outputSize` bytes at
// `output`: what the data does not reach is 0. Neither pointer is moved. The libraries' own
// memory is charged to the load's budget: a block whose decoding would pass it raises the
// budget's msgMemoryLimit. Data the library refuses (damaged, cut short, a stream longer than
// the block) raises EImageFault with msgCompression.
#pragma once

#include "imaging/codecs/Decoder.h"

#include <cstdint>
#include <memory>

class TMemoryBudget;

// LZMA: the xz stream of one block.
std::unique_ptr<TDecoder> MakeLZMADecoder(TMemoryBudget& budget);
// Zstandard: the frames of one block.
std::unique_ptr<TDecoder> MakeZstdDecoder(TMemoryBudget& budget);
// WebP: one image of `width` pixels across and as many rows as the block holds, delivered as
// 8-bit red, green, blue samples, with alpha when `samples` is 4. Raises EImageFault with
// msgCompression when the picture's size or alpha differ from the block's.
std::unique_ptr<TDecoder> MakeWebPDecoder(TMemoryBudget& budget, uint32_t width, uint32_t samples);
