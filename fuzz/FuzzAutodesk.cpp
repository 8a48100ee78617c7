// Feeds arbitrary bytes to the Autodesk reader: any outcome but a clean load or one of the
// library's exceptions is a fault.
#include "imaging/formats/AutodeskGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"
#include "platform/graphics/Warning.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        SetWarningHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)quiet;
    // Keep claimed sizes within what a fuzzing process can hold.
    TBitmap::SetMaxPixelBytes(size_t(16) << 20);
    TMemoryStream stream(std::span<const uint8_t>(data, size));
    const bool recognized = TAutodeskGraphic::Recognize(stream);
    (void)recognized;
    TAutodeskGraphic image;
    try {
        image.DecodeImage(stream);
    } catch (const Exception&) {
    }
    return 0;
}
