// Drawing a bitmap with Qt: the bitmap's rows turned into a QImage (Qt Gui only, so that the
// editor, the command-line tool and the image plugin share it).
#pragma once

#include <QImage>
#include <QSize>

#include <cstdint>

class QPainter;
class QRect;

class TBitmap;

// The bitmap as a QImage, its rows as TBitmapRows gives them: Format_ARGB32 when the bitmap
// has alpha (AlphaFormat), Format_RGB32 otherwise. With a non-empty `bound`, a larger bitmap is
// shrunk by the smallest whole n that fits it in, each pixel the average of its n x n block. An empty bitmap, or an image Qt cannot allocate, gives a null QImage.
QImage BitmapToQImage(const TBitmap& bitmap, QSize bound = {});

// The same, keeping a palette: a 1-, 4- or 8-bit bitmap gives Format_Indexed8 whose colour table
// is the bitmap's palette (with its alpha when the bitmap has alpha), grown with black entries to
// the largest index the pixels use. Other pixel formats give BitmapToQImage(bitmap).
QImage BitmapToQImageKeepingPalette(const TBitmap& bitmap);

// `image` turned upright for a TIFF/EXIF orientation value (1 to 8; 0 and 1 leave it as it is).
QImage UprightImage(const QImage& image, uint8_t orientation);
// The size of a width x height picture once turned upright for `orientation`.
QSize UprightSize(int width, int height, uint8_t orientation);

// Paints `rect` with the grey and white squares under a transparent picture, so that its
// transparent parts show as such.
void DrawTransparencyGrid(QPainter& painter, const QRect& rect);
