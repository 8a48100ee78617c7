// Feeds arbitrary bytes to the TIFF reader (strips, tiles, planes, every decoder), loaded whole
// and once more asked for a smaller picture (sampled rows, scaled JPEG, reduced-resolution
// subfiles; the size asked for from the last byte). The warning of a JPEG strip that ends
// early is silenced.
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
    FuzzReader<TTIFFGraphic>(data, size);
    TMemoryStream stream(std::span<const uint8_t>(data, size));
    TTIFFGraphic small;
    const int32_t asked = size ? 1 + data[size - 1] % 64 : 1;
    small.SetRequestedSize(asked, asked);
    try {
        small.LoadFromStream(stream);
        if (!small.Empty()) {
            const uint8_t* last = small.ScanLine(small.Height() - 1);
            volatile uint8_t sink = last[0] ^ last[small.BytesPerLine() - 1];
            (void)sink;
        }
    } catch (const Exception&) {
    }
    return 0;
}
