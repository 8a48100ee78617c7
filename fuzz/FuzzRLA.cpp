// Feeds arbitrary bytes to the Alias/Wavefront RLA reader: any outcome but a clean load or one of
// the library's exceptions is a fault.
#include "imaging/formats/RLAGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep claimed sizes within what a fuzzing process can hold.
    TBitmap::SetMaxPixelBytes(size_t(16) << 20);
    TMemoryStream stream(std::span<const uint8_t>(data, size));
    const bool recognized = TRLAGraphic::Recognize(stream);
    (void)recognized;
    TRLAGraphic image;
    try {
        image.LoadFromStream(stream);
    } catch (const Exception&) {
    }
    return 0;
}
