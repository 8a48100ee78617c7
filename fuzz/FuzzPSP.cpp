// Feeds arbitrary bytes to the Paintshop Pro reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PSPGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TPSPGraphic>(data, size);
}
