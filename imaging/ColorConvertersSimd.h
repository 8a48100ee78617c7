// Vector kernels of the colour manager's commonest unmasked rows, for processors with 512-bit
// byte and word operations. Each kernel gives exactly the results of the general converters;
// the converters call them only when Available() answers true. Every kernel reads and writes
// only the pixels it is given (the last partial block uses masked loads and stores), and may
// run in place when source and target have the same layout.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#define CHRONOLITH_COLOR_SIMD 1

namespace ColorSimd {

// The processor has the kernels' operations and they are not switched off.
bool Available();
// Switches the kernels off (and on again), so that tests can compare them with the general
// converters on the same machine.
void SetEnabled(bool enabled);

// 8-bit rows of `stride` (3 or 4) samples per pixel: the first three samples through `gamma`
// (256 entries; null for none), the fourth copied, the first and third exchanged when
// `swapRedBlue`.
void Reorder8(const uint8_t* source, uint8_t* target, size_t count, int stride,
              const uint8_t* gamma, bool swapRedBlue);

// Outputs of this many bytes or more are written around the caches (streaming stores): they
// cannot stay there, and the processor then need not read the target's lines before it writes
// them. Reorder8 does so for three-byte rows with red and blue exchanged.
constexpr size_t StreamingBytes = size_t(8) << 20;

// `bytes` bytes copied from `source` to `target` (which do not overlap) around the caches.
void CopyStreaming(const uint8_t* source, uint8_t* target, size_t bytes);

// 16-bit samples in this machine's byte order (the other with `swap`) to 8 bits:
// v * 255 div 65535.
void Narrow16(const uint8_t* source, uint8_t* target, size_t samples, bool swap);

// 8-bit interleaved CMYK to 3-byte pixels: ClampByte(X * K div 255 - X - K + 255) for cyan to
// red, magenta to green and yellow to blue, written blue first with `blueFirst`.
void CMYK8(const uint8_t* source, uint8_t* target, size_t count, bool blueFirst);

// 8-bit interleaved luma and chroma to 3-byte pixels through the four chroma tables (256
// entries each, every entry within +-8192), written blue first with `blueFirst`.
void YCC8(const uint8_t* source, uint8_t* target, size_t count, const int32_t* crToRed,
          const int32_t* cbToBlue, const int32_t* crToGreen, const int32_t* cbToGreen,
          bool blueFirst);

} // namespace ColorSimd

#endif
