// The body of a reader's fuzz target: a new reader's target is
//
//   #include "fuzz/FuzzReader.h"
//   #include "imaging/formats/MyGraphic.h"
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//       return FuzzReader<TMyGraphic>(data, size);
//   }
//
// and one line in fuzz/CMakeLists.txt naming its seeds.
#pragma once

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <cstddef>
#include <cstdint>
#include <span>

// The memory budget of every fuzz target's loads: the library's own default (TBitmap's cap),
// as every program has it, so that an input costing more memory or time than a real load may
// is a finding (make fuzz-smoke limits each input's time and memory accordingly).
inline const size_t FuzzMaxPixelBytes = TBitmap::MaxPixelBytes();

// Reads the ends of the last row of what loaded.
inline void TouchLastRow(const TBitmap& image) {
    if (image.Empty()) return;
    const uint8_t* last = image.ScanLine(image.Height() - 1);
    volatile uint8_t sink = last[0] ^ last[image.BytesPerLine() - 1];
    (void)sink;
}

// Recognises and loads `data` with TReader, reads the ends of the last row of what loaded and
// hands the image to `then` (e.g. a round trip through the writer); then loads it again asked
// for a small size (from 1 x 1 to 61 x 61, chosen by the last byte), as previews and
// thumbnails do. Any outcome but a clean load or one of the library's exceptions is a fault.
template <class TReader, class TThen>
int FuzzReader(const uint8_t* data, size_t size, TThen&& then) {
    TBitmap::SetMaxPixelBytes(FuzzMaxPixelBytes);
    TMemoryStream stream(std::span<const uint8_t>(data, size));
    const bool recognized = TReader::Recognize(stream);
    (void)recognized;
    TReader image;
    try {
        image.LoadFromStream(stream);
        TouchLastRow(image);
        then(image);
    } catch (const Exception&) {
    }
    const uint8_t choice = size != 0 ? data[size - 1] : 0;
    TReader small;
    small.SetRequestedSize(1 + 4 * (choice & 15), 1 + 4 * (choice >> 4));
    try {
        TMemoryStream again(std::span<const uint8_t>(data, size));
        small.LoadFromStream(again);
        TouchLastRow(small);
    } catch (const Exception&) {
    }
    return 0;
}

template <class TReader> int FuzzReader(const uint8_t* data, size_t size) {
    return FuzzReader<TReader>(data, size, [](TReader&) {});
}
