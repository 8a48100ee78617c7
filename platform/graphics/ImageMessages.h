// The image library's message table: every text the library shows or raises, in one place.
// Texts with "%s" take the format's short name ("TIF/TIFF", "PNG", ...) unless their comment
// says otherwise; format them with FormatImageMessage.
//
// The platform's picture classes, bitmaps, streams and checked helpers raise their texts from
// here too; the table is a header of constants so that every layer can include it.
#pragma once

#include "platform/graphics/Exceptions.h"

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

// Errors of the readers beyond the format's own texts (EInvalidGraphic or, from the shared
// helpers, EImageFault). The first %s takes the format's short name; helpers that do not know
// it leave it out until the load names the format.
inline constexpr char msgUnexpectedEnd[] = "Cannot load image. The %s data ends unexpectedly.";
inline constexpr char msgSizeOverflow[] = "Cannot load image. The %s image sizes overflow.";
// Second to fifth places: width, height, bits per pixel, the limit (MemorySizeText).
inline constexpr char msgImageTooLarge[] =
    "Cannot load image. The %s image of %s x %s pixels at %s bits per pixel exceeds the memory "
    "limit of %s.";
// Second place: the limit (MemorySizeText).
inline constexpr char msgMemoryLimit[] =
    "Cannot load image. The %s image needs more memory than the limit of %s.";
inline constexpr char msgDataTooShort[] =
    "Cannot load image. The %s file holds too little data for the image size it states.";
// Second and third places: width and height.
inline constexpr char msgInvalidSize[] = "The %s image size is invalid (%s x %s pixels).";
inline constexpr char msgOutOfMemory[] = "Out of memory for the %s image.";
// Second place: what ends early or lies ("strip offsets", "colour map", ...).
inline constexpr char msgTruncatedPart[] = "Cannot load image. The %s file ends inside its %s.";
// Second place: the block, third: the block that holds it ("layer block", "general image
// attributes block", ...).
inline constexpr char msgPartOverruns[] =
    "Cannot load image. The %s file's %s runs past the %s that holds it.";
// A file whose blocks refer to the same bytes over and over (strips or rows sharing one
// offset); second place: how many times its size a load may read.
inline constexpr char msgReadLimit[] =
    "Cannot load image. The %s file makes the reader read more than %s times its size.";
// A block of the file's header, for msgTruncatedPart.
inline constexpr char msgPartHeader[] = "header";
// Second place: the value that is wrong, named ("bits per sample 0", ...).
inline constexpr char msgBadValue[] = "Cannot load image. The %s file states an invalid %s.";
// Row conversion given rows shorter than its settings need; the places take the side
// ("source" or "target"), the bytes needed and the bytes given.
inline constexpr char msgRowTooShort[] =
    "Color conversion failed. The %s row holds %s bytes; the settings need %s.";
// GIF data whose minimum code size leaves no room for codes (EGraphicCompression); %s is the
// size.
inline constexpr char msgLZWCodeSize[] = "Invalid LZW minimum code size %s in GIF data.";

// PCX, SGI, Photoshop and Paintshop Pro readers (EInvalidGraphic).
// Second place: the channel that is missing ("red", "composite").
inline constexpr char msgMissingChannel[] = "Cannot load image. The %s layer has no %s channel.";
inline constexpr char msgNoRasterLayer[] = "Cannot load image. The %s file holds no raster layer.";

// --- TIFF, its EPS preview, and Autodesk readers ---
// Parts of a TIFF file, for msgTruncatedPart.
inline constexpr char msgTIFFDirectory[] = "image file directory";
inline constexpr char msgTIFFStripOffsets[] = "strip offsets";
inline constexpr char msgTIFFStripByteCounts[] = "strip byte counts";
inline constexpr char msgTIFFTileOffsets[] = "tile offsets";
inline constexpr char msgTIFFTileByteCounts[] = "tile byte counts";
inline constexpr char msgTIFFColorMap[] = "colour map";
inline constexpr char msgTIFFJPEGTables[] = "JPEG tables";
// Values for msgBadValue; %s is the value as the file states it.
inline constexpr char msgTIFFBitsPerSample[] = "bits per sample value %s";
inline constexpr char msgTIFFSamplesPerPixel[] = "samples per pixel value %s";
inline constexpr char msgTIFFRowsPerStrip[] = "rows per strip value %s";
// What is not supported, for the first place of msgUnsupportedFeature.
inline constexpr char msgTIFFPredictor[] = "The predictor of this image is";
inline constexpr char msgTIFFSubsampling[] = "Chroma subsampling of this layout is";
inline constexpr char msgTIFFSampleDepth[] = "The sample depth of this image is";
// An image that locates no data.
inline constexpr char msgTIFFNoImageData[] =
    "Cannot load image. The %s file states neither strip nor tile offsets.";

// Portable maps, Photo-CD, Dr. Halo CUT and Alias/Wavefront RLA readers (EInvalidGraphic).
// Short names of the portable maps: the format as a whole, and the one the stream read error
// of their character reader names.
inline constexpr char msgMapFormats[] = "PBM, PGM or PPM";
inline constexpr char msgMapReadFormat[] = "PPM";
// Second place: the character as written ('x', or its code), third: where it stands
// (msgInHeader, msgInPixelData).
inline constexpr char msgUnexpectedCharacter[] =
    "Cannot load image. The %s file holds an unexpected character %s in its %s.";
inline constexpr char msgInHeader[] = "header";
inline constexpr char msgInPixelData[] = "pixel data";
// Values named in msgBadValue; %s is the value as the file states it.
inline constexpr char msgValueMaximum[] = "maximum value %s";
inline constexpr char msgValueColorChannels[] = "number of colour channels %s";
inline constexpr char msgValueChannelBits[] = "colour channel depth of %s bits";
inline constexpr char msgValueMatteBits[] = "matte channel depth of %s bits";
// Second place: the row, third: its offset.
inline constexpr char msgValueRowOffset[] = "offset of row %s (%s)";
// Parts named in msgTruncatedPart.
inline constexpr char msgPartRowOffsets[] = "row offsets";
inline constexpr char msgPartChannelData[] = "channel data";
inline constexpr char msgPartBaseImage[] = "Base image";
// A Dr. Halo palette file shorter than its header or the colours it states: the image's
// short name, then the palette file's name.
inline constexpr char msgPaletteFileShort[] =
    "Cannot load image. The %s palette file \"%s\" ends before the colours it states.";

// Bitmap use outside the image (EInvalidGraphic); %s is the index.
inline constexpr char msgScanLineRange[] = "Scan line index out of range (%s).";
inline constexpr char msgPixelRange[] = "Pixel index out of range.";

// Streams (EStreamError). msgCannotOpen: the file's name, then the system's reason.
inline constexpr char msgStreamRead[] = "Stream read error";
inline constexpr char msgStreamWrite[] = "Stream write error";
inline constexpr char msgStreamSeek[] = "Stream seek error";
inline constexpr char msgStreamTooLarge[] = "Stream too large";
inline constexpr char msgCannotOpen[] = "Cannot open file \"%s\". %s";
// The file's name, then the system's reason.
inline constexpr char msgCannotWrite[] = "Cannot write file \"%s\". %s";

// Saving (EInvalidGraphic). msgTargaTooLarge: the largest width and height, then the image's.
inline constexpr char msgCannotSave[] = "%s cannot be saved.";
inline constexpr char msgTargaTooLarge[] =
    "Cannot save image. A Targa file holds at most %s x %s pixels; this image has %s x %s.";
inline constexpr char msgEmptyImage[] = "Cannot write an empty image.";
// Assigning one picture class to another that cannot take it: source, then target class.
inline constexpr char msgCannotAssign[] = "Cannot assign a %s to a %s.";

// The platform's own picture classes (EInvalidGraphic). %s names the format ("BMP", "ICO").
inline constexpr char msgFileTooLarge[] = "%s file too large.";
inline constexpr char msgInvalidFile[] = "Invalid %s file.";
// Second place: the decoder's reason.
inline constexpr char msgInvalidFileReason[] = "Invalid %s file: %s.";
inline constexpr char msgDirectToPalette[] =
    "Cannot store a direct colour image in a palette format.";
inline constexpr char msgUnsupportedTarget[] = "Unsupported target pixel format.";
inline constexpr char msgInvalidMetafile[] = "Métafichier non valide";
inline constexpr char msgInvalidBitmapFile[] = "Invalid bitmap file.";
// A bitmap or icon file in a program that installed no windowing system's image reader; %s
// names the file kind ("bitmap", "icon").
inline constexpr char msgNoSystemReader[] =
    "Cannot load image. This program has no reader for %s files.";
// Error exit of the JPEG library with its text: code, then text.
inline constexpr char msgJPEGErrorText[] = "JPEG error #%s: %s.";
// Second and third places: width and height; fourth: the limit (MemorySizeText).
inline constexpr char msgJPEGProgressiveTooLarge[] =
    "Cannot load image. The %s image is a progressive JPEG of %s x %s pixels that needs more "
    "than the memory limit of %s.";
inline constexpr char msgJPEGOutputSize[] = "JPEG output size differs from the header.";
// Texts of the JPEG error exit (code 0) for what the class itself stops: %s is the scan limit.
inline constexpr char msgJPEGTooManyScans[] = "More than %s scans";
inline constexpr char msgJPEGNoMoreLines[] = "No more scan lines";
// The description the JPEG class registers its extensions with.
inline constexpr char msgJPEGFiles[] = "Fichier image JPEG";
// The picture registry has no class for the extension (%s, without its dot).
inline constexpr char msgUnknownExtension[] = "Extension de fichier graphique inconnue (.%s)";

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
inline constexpr char msgCannotEncode[] = "This compression scheme can only be decoded.";
inline constexpr char msgLZ77Error[] = "LZ77 decompression error.";
inline constexpr char msgJPEGStripSize[] = "Improper JPEG strip/tile size.";
inline constexpr char msgJPEGComponentCount[] = "Improper JPEG component count.";
inline constexpr char msgJPEGDataPrecision[] = "Improper JPEG data precision.";
inline constexpr char msgJPEGSamplingFactors[] = "Improper JPEG sampling factors.";
inline constexpr char msgJPEGBogusTableField[] = "Bogus JPEG tables field.";
inline constexpr char msgJPEGFractionalLine[] = "Fractional JPEG scanline unsupported.";
// Two-dimensional CCITT fax data; %s is the row, counted from 1 within the strip or tile.
inline constexpr char msgFaxInvalidCode[] =
    "CCITT fax decompression error. Invalid code in row %s.";
inline constexpr char msgFaxRowTooLong[] =
    "CCITT fax decompression error. Row %s is longer than the image width.";
inline constexpr char msgFaxUnexpectedEnd[] =
    "CCITT fax decompression error. The data ends in row %s.";
inline constexpr char msgFaxUncompressedMode[] =
    "CCITT fax decompression error. Uncompressed mode (row %s) is not supported.";
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

// A message of the table with its "%s" places filled in order (for most messages the first is
// the format's short name). The arguments are inserted as they are, so a name holding "%"
// cannot disturb the formatting.
template <class... TArgs>
std::string FormatImageMessage(std::string_view message, const TArgs&... args) {
    return FillMessage(message, {std::string_view(args)...});
}
