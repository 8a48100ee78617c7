// Feeds arbitrary bytes to the Autodesk reader.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/AutodeskGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TAutodeskGraphic>(data, size);
}
