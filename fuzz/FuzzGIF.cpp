// Feeds arbitrary bytes to the GIF reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/GIFGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TGIFGraphic>(data, size);
}
