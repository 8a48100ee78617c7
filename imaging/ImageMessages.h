// The image library's message table: every text the library shows or raises, in one place.
// Texts with "%s" take the format's short name ("TIF/TIFF", "PNG", ...) unless their comment
// says otherwise; format them with FormatImageMessage.
#pragma once

#include <string>
#include <string_view>

// Errors of the readers (raised as EInvalidGraphic).
inline constexpr char msgInvalidImage[] =
    "Cannot load image. Invalid or unexpected %s image format.";
inline constexpr char msgInvalidColorFormat[] = "Invalid color format in %s file.";
inline constexpr char msgStreamReadError[] = "Stream read error in %s file.";
// First place: what is not supported (msgCompressionScheme), second: the format's short name.
inline constexpr char msgUnsupportedFeature[] = "Cannot load image. %s not supported for %s files.";
inline constexpr char msgCompressionScheme[] = "The compression scheme is";
inline constexpr char msgCRCError[] = "Cannot load image. CRC error found in %s file.";
inline constexpr char msgCompression[] = "Cannot load image. Compression error found in %s file.";
inline constexpr char msgExtraCompressedData[] =
    "Cannot load image. Extra compressed data found in %s file.";
inline constexpr char msgInvalidPalette[] = "Cannot load image. Palette in %s file is invalid.";
inline constexpr char msgUnknownCriticalChunk[] =
    "Cannot load PNG image. Unexpected but critical chunk detected.";

// Registry misuse (EInvalidGraphic); %s is the extension.
inline constexpr char msgRegisterTwice[] = "Attempt to register %s twice.";

// Colour manager settings (EColorConversionError).
inline constexpr char msgInvalidColorDepth[] =
    "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
inline constexpr char msgInvalidSampleCount[] =
    "Sample count per pixel does not correspond to the given color scheme.";
inline constexpr char msgInvalidSubsampling[] =
    "Subsampling value is invalid. Allowed are 1, 2 and 4.";
inline constexpr char msgVerticalSubsampling[] =
    "Vertical subsampling value must be <= horizontal subsampling value.";
inline constexpr char msgIndexedNotSupported[] =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
inline constexpr char msgConversionFailed[] =
    "Color conversion failed. Could not find a proper method.";

// Decoders (EGraphicCompression).
inline constexpr char msgLZ77Error[] = "LZ77 decompression error.";
inline constexpr char msgJPEGStripSize[] = "Improper JPEG strip/tile size.";
inline constexpr char msgJPEGComponentCount[] = "Improper JPEG component count.";
inline constexpr char msgJPEGDataPrecision[] = "Improper JPEG data precision.";
inline constexpr char msgJPEGSamplingFactors[] = "Improper JPEG sampling factors.";
inline constexpr char msgJPEGBogusTableField[] = "Bogus JPEG tables field.";
inline constexpr char msgJPEGFractionalLine[] = "Fractional JPEG scanline unsupported.";
// Not raised: shown in a message box captioned msgWarning.
inline constexpr char msgJPEGEndOfInput[] = "JPEG decompression error. Unexpected end of input.";
inline constexpr char msgWarning[] = "Warning";
// Error exit of the JPEG library (EInvalidGraphic); %d is the library's message code.
inline constexpr char msgJPEGError[] = "JPEG error #%d";

// Progress messages.
inline constexpr char msgPreparing[] = "Preparing...";
inline constexpr char msgLoadingData[] = "Loading data...";
inline constexpr char msgUpsampling[] = "Upsampling...";
inline constexpr char msgTransfering[] = "Transfering...";

// Descriptions of the registered formats.
inline constexpr char msgBitmaps[] = "Windows bitmaps";
inline constexpr char msgIcons[] = "Windows icons";
inline constexpr char msgMetafiles[] = "Windows metafiles";
inline constexpr char msgEnhancedMetafiles[] = "Windows enhanced meta files";
inline constexpr char msgJPGImages[] = "JPG images";
inline constexpr char msgJFIFImages[] = "JFIF images";
inline constexpr char msgJPEImages[] = "JPE images";
inline constexpr char msgJPEGImages[] = "JPEG images";
inline constexpr char msgRLEBitmaps[] = "Run length encoded Windows bitmaps";
inline constexpr char msgDIBBitmaps[] = "Device independant Windows bitmaps";
inline constexpr char msgTruevisionImages[] = "Truevision images";
inline constexpr char msgTIFFImages[] = "Tagged image file format images";
inline constexpr char msgMacTIFFImages[] = "Macintosh TIFF images";
inline constexpr char msgPCTIFImages[] = "PC TIF images";
inline constexpr char msgFaxImages[] = "GFI fax images";
inline constexpr char msgEPSImages[] = "Encapsulated Postscript images";
inline constexpr char msgPCXImages[] = "ZSoft Paintbrush images";
inline constexpr char msgScreenCaptureImages[] = "Word 5.x screen capture images";
inline constexpr char msgRLAImages[] = "Alias/Wavefront images";
inline constexpr char msgSGIImages[] = "SGI images";
inline constexpr char msgSGITrueColorImages[] = "SGI true color images";
inline constexpr char msgSGITrueColorAlphaImages[] = "SGI true color images with alpha";
inline constexpr char msgSGIMonoImages[] = "SGI black/white images";
inline constexpr char msgPhotoshopImages[] = "Photoshop images";
inline constexpr char msgPortableMapImages[] = "Portable map images";
inline constexpr char msgPortablePixelmapImages[] = "Portable pixel map images";
inline constexpr char msgPortableGraymapImages[] = "Portable gray map images";
inline constexpr char msgPortableBitmapImages[] = "Portable bitmap images";
inline constexpr char msgAutodeskImages[] = "Autodesk images";
inline constexpr char msgPhotoCDImages[] = "Kodak Photo-CD images";
inline constexpr char msgCompuServeImages[] = "CompuServe images";
inline constexpr char msgHaloImages[] = "Dr. Halo images";
inline constexpr char msgPaintshopProImages[] = "Paintshop Pro images";
inline constexpr char msgPNGImages[] = "Portable network graphic images";

// A message of the table with its "%s" places filled in order: the first with `arg1` (for most
// messages the format's short name), the second with `arg2`. The arguments are inserted as
// they are, so a name holding "%" cannot disturb the formatting.
std::string FormatImageMessage(std::string_view message, std::string_view arg1,
                               std::string_view arg2 = {});
