// Feeds arbitrary bytes to the Photoshop reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PSDGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TPSDGraphic>(data, size);
}
