#include "platform/graphics/SystemImageReader.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

namespace {

TSystemImageReader g_reader = nullptr;

} // namespace

void SetSystemImageReader(TSystemImageReader reader) {
    g_reader = reader;
}

void DecodeWithSystemReader(TBitmap& bitmap, std::span<const uint8_t> data, const char* format,
                            TBitmapFormat target, const char* what, int32_t width, int32_t height) {
    if (!g_reader) throw EInvalidGraphic(FormatImageMessage(msgNoSystemReader, what));
    g_reader(bitmap, data, format, target, what, width, height);
}
