// Feeds arbitrary bytes to the SGI reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/SGIGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TSGIGraphic>(data, size);
}
