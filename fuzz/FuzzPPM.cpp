// Feeds arbitrary bytes to the portable map reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PPMGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TPPMGraphic>(data, size);
}
