// Feeds arbitrary bytes to the TIFF reader (strips, tiles, planes, every decoder). The warning of
// a JPEG strip that ends early is silenced.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/TIFFGraphic.h"
#include "platform/graphics/Warning.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        SetWarningHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)quiet;
    return FuzzReader<TTIFFGraphic>(data, size);
}
