// Feeds arbitrary bytes to the Targa reader; what loads, the writer writes and the reader
// reads back.
#include "fuzz/FuzzReader.h"
#include "imaging/formats/TargaGraphic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzReader<TTargaGraphic>(data, size, [](TTargaGraphic& image) {
        TMemoryStream written;
        image.EncodeImage(written);
        written.SetPosition(0);
        TTargaGraphic copy;
        copy.DecodeImage(written);
    });
}
