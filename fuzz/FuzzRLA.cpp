// Feeds arbitrary bytes to the Alias/Wavefront RLA reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/RLAGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TRLAGraphic>(data, size);
}
