// Feeds arbitrary bytes to the Dr. Halo CUT reader (loaded from a stream: a grey ramp).
#include "fuzz/FuzzReader.h"
#include "imaging/formats/CUTGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TCUTGraphic>(data, size);
}
