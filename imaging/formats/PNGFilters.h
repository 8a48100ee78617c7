// Undoing the row filters of PNG image data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace PNGFilters {

// Bytes every row and prior row buffer holds past its `count` bytes: the vector filters load and
// store whole words, and the last word of a row reaches into them. Their values do not matter
// and the filters leave them as they are.
constexpr size_t RowPadding = 16;

// Undoes filter `type` (0 None to 4 Paeth; other values leave the row as it is) of one row in
// place. `bpp` is the bytes of a complete pixel (at least 1), `count` the row's bytes; `row` and
// `prior` point after the filter byte, and both hold RowPadding bytes past `count`.
void Unfilter(uint8_t type, uint8_t* row, const uint8_t* prior, int bpp, size_t count);

// Whether the vector filters (for pixels of 3, 4, 6 and 8 bytes) run; on by default where the
// processor has them (SSE4.1). Tests turn them off to check the scalar filters on every machine.
bool VectorsAvailable();
void SetVectorsEnabled(bool enabled);

} // namespace PNGFilters
