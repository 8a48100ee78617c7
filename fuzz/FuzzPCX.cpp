// Feeds arbitrary bytes to the PCX (ZSoft Paintbrush) reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PCXGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TPCXGraphic>(data, size);
}
