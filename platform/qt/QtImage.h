// Decoding through the windowing system's image reader (Qt): the reader of Windows bitmaps and
// icons that the Qt-free graphics layer leaves to the program.
#pragma once

#include "platform/graphics/Bitmap.h"

#include <cstdint>
#include <span>

class QImage;

// Decodes `data` as `format` (a Qt format name such as "bmp" or "ico") into `bitmap` with the
// pixel format `target`; bfDevice picks the format nearest the decoded image. The claimed size
// is checked against the bitmap's size cap before any pixel is decoded. Raises EInvalidGraphic with
// `what` in the message when the data cannot be decoded.
// `width` and `height` are the size the file's header claims, or 0 to ask the reader.
void DecodeWithQt(TBitmap& bitmap, std::span<const uint8_t> data, const char* format,
                  TBitmapFormat target, const char* what, int32_t width = 0, int32_t height = 0);

// Copies a decoded image into `bitmap` with the pixel format `target`: 1, 4 and 8 bits from
// an indexed image with its palette kept, 15, 16, 24 and 32 bits from any image (5- and 6-bit
// channels keep the high bits of the 8-bit values).
void AssignQImage(TBitmap& bitmap, const QImage& image, TBitmapFormat target);

// Installs DecodeWithQt as the system image reader of the graphics layer, so that Windows
// bitmaps and icons load. Programs that use Qt call it at start-up; calling it again is harmless.
void InstallQtImageReader();
