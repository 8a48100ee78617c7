// Windows bitmaps (BMP, DIB, RLE) and icons are decoded by the windowing system's image reader,
// which this Qt-free layer does not link: a program that has one installs it at start-up (the
// Qt adapter's InstallQtImageReader). Until then such files raise msgNoSystemReader, and every
// other format loads as usual.
#pragma once

#include "platform/graphics/Bitmap.h"

#include <cstdint>
#include <span>

// Decodes `data` as `format` ("bmp", "ico") into `bitmap` with the pixel format `target`
// (bfDevice: the one nearest the decoded image). `what` names the file kind in messages;
// `width` and `height` are the size the file's header claims, or 0 to ask the reader.
using TSystemImageReader = void (*)(TBitmap& bitmap, std::span<const uint8_t> data,
                                    const char* format, TBitmapFormat target, const char* what,
                                    int32_t width, int32_t height);

// Installs the reader (null removes it).
void SetSystemImageReader(TSystemImageReader reader);

// Decodes through the installed reader; raises EInvalidGraphic (msgNoSystemReader) when there
// is none.
void DecodeWithSystemReader(TBitmap& bitmap, std::span<const uint8_t> data, const char* format,
                            TBitmapFormat target, const char* what, int32_t width = 0,
                            int32_t height = 0);
