// The system's own picture classes on arbitrary bytes: the first byte picks the class (bitmap,
// icon, metafile, JPEG), the rest is the file. Errors must be exceptions; pictures are capped
// as in every fuzz target, so that lying headers are refused quickly.
#include "fuzz/FuzzReader.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/JPEGImage.h"
#include "platform/graphics/Metafile.h"
#include "platform/graphics/Stream.h"
#include "platform/qt/QtImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    TBitmap::SetMaxPixelBytes(FuzzMaxPixelBytes);
    InstallQtImageReader();
    std::unique_ptr<TGraphic> graphic;
    switch (data[0] % 4) {
    case 0:
        graphic = std::make_unique<TBitmap>();
        break;
    case 1:
        graphic = std::make_unique<TIcon>();
        break;
    case 2:
        graphic = std::make_unique<TMetafile>();
        break;
    default:
        graphic = std::make_unique<TJPEGImage>();
        break;
    }
    TMemoryStream stream(std::span<const uint8_t>(data + 1, size - 1));
    try {
        graphic->LoadFromStream(stream);
        if (const TBitmap* bitmap = graphic->AsBitmap(); bitmap && !bitmap->Empty()) {
            volatile uint8_t sink = bitmap->ScanLine(bitmap->Height() - 1)[0];
            (void)sink;
        }
    } catch (const Exception&) {
    }
    return 0;
}
