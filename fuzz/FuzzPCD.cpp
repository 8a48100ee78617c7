// Feeds arbitrary bytes to the Photo-CD reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PCDGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TPCDGraphic>(data, size);
}
