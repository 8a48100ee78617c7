// Image files the command-line tool writes, chosen by the output file's extension.
#pragma once

#include <string>

class QImage;
class TBitmap;
class TStream;

// Writes `bitmap` as a PAM file: P7, depth 4, maxval 255, tuple type RGB_ALPHA, the rows as
// TBitmapRows gives them (palettes resolved, straight alpha under the bitmap's AlphaFormat).
void WritePAM(const TBitmap& bitmap, TStream& stream);
// Writes `bitmap` as a run-length compressed Targa file through the Targa writer: 8-bit
// indices with a 256-entry colour map, or 16-, 24- or 32-bit pixels, top row first.
void WriteTarga(const TBitmap& bitmap, TStream& stream);

// Writes `bitmap` as a PNG file row by row (TPNGWriter): 1-, 4- and 8-bit bitmaps as 8-bit
// palette images with their palette (with its alpha when the bitmap has alpha), bitmaps with
// alpha as 8-bit RGBA, every other format as 8-bit RGB.
void WritePNG(const TBitmap& bitmap, TStream& stream);
// Writes `image` as a PNG file: RGBA when it has an alpha channel, RGB otherwise.
void WritePNG(const QImage& image, TStream& stream);

using TImageWriter = void (*)(const TBitmap& bitmap, TStream& stream);

// The writer for an output extension (without the dot, letter case ignored), or null.
TImageWriter FindImageWriter(const std::string& extension);
// The extensions that have a writer, separated by ", ".
std::string WriterExtensions();
