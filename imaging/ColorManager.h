// The colour manager: turns rows of samples as a file stores them (any colour model, 1 to 16
// bits per sample, one to four samples per pixel, interleaved or planar, either byte order)
// into rows of the bitmap's own layout, and builds the palettes of palette and grey images.
//
// A reader describes source and target through the settings, asks for the bitmap pixel
// format that fits the target, builds a palette where needed and then converts one row at a
// time with ConvertRows. The row converter is chosen on the first row after a setting changed.
#pragma once

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/ByteSet.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

// Colour model of stored samples; the samples are listed in stored order.
enum TColorModel : uint8_t {
    cmUnknown = 0,   // no conversion exists
    cmPalette = 1,   // one index into a colour map
    cmGray = 2,      // grey level
    cmGrayAlpha = 3, // grey, alpha
    cmRGB = 4,       // red, green, blue
    cmRGBAlpha = 5,  // red, green, blue, alpha
    cmBGR = 6,       // blue, green, red (the bitmap's order)
    cmBGRAlpha = 7,  // blue, green, red, alpha
    cmCMY = 8,       // cyan, magenta, yellow (no converter exists)
    cmCMYK = 9,      // cyan, magenta, yellow, black
    cmCIELab = 10,   // CIE L*, a*, b*
    cmYCbCr = 11,    // luma, blue difference, red difference
    cmPhotoYCC = 12, // Photo-CD luma and two chroma channels
};

// One conversion flag; the value is the flag's bit in a TConversionFlags byte.
enum TConversionFlag : uint8_t {
    // The layout carries an alpha sample. Maintained by the manager from the colour model
    // whenever it selects a converter; whatever a reader sets here is overwritten.
    cfAlpha = 1 << 0,
    // Pass 8-bit results through the gamma table (tested on the target flags).
    cfApplyGamma = 1 << 1,
    // 16-bit source samples are stored in the other byte order than this machine's
    // (tested on the source flags; 16-bit output of some converters is swapped as well).
    cfSwapBytes = 1 << 2,
    // CIE L* is stored scaled over 0..255 (source flags).
    cfLabScaledL = 1 << 3,
    // CIE a* and b* are stored unsigned with an offset of 128 (source flags).
    cfLabOffsetAB = 1 << 4,
};

// A set of TConversionFlag values, held in one byte.
using TConversionFlags = TByteSet<TConversionFlag>;

constexpr TConversionFlags operator|(TConversionFlag a, TConversionFlag b) {
    return TConversionFlags(a) | TConversionFlags(b);
}

// How a file's colour map is laid out in memory for MakeColorPalette.
enum TPaletteLayout : uint8_t {
    plPacked8x3 = 0,  // one plane, 3 bytes per entry
    plPacked8x4 = 1,  // one plane, 4 bytes per entry, the fourth ignored
    plPlanar8x3 = 2,  // three planes (red, green, blue), 1 byte per entry each
    plPlanar8x4 = 3,  // as plPlanar8x3
    plPacked16x3 = 4, // one plane, 3 16-bit values per entry
    plPacked16x4 = 5, // one plane, 4 16-bit values per entry, the fourth ignored
    plPlanar16x3 = 6, // three planes of 16-bit values
    plPlanar16x4 = 7, // as plPlanar16x3
};

// The white L*a*b* samples are relative to (its X and Z, Y being 1), and the matrix from XYZ
// relative to it to linear sRGB, Bradford-adapted to D65.
struct TLabWhite {
    float X, Z;
    std::array<float, 9> ToLinearRGB;
    // From CIE 1931 chromaticity x, y (TIFF's WhitePoint).
    static TLabWhite FromChromaticity(double x, double y);
};

class TColorManager {
public:
    TColorManager();
    TColorManager(const TColorManager&) = default;
    TColorManager& operator=(const TColorManager&) = default;

    // Settings. Each setter stores the value and marks the manager changed only when the value
    // differs from the stored one. Rejected values raise EColorConversionError and are not
    // stored.

    // 1 to 16 bits per sample.
    uint8_t SourceSampleBits() const { return sourceBits_; }
    void SetSourceSampleBits(uint8_t bits);
    uint8_t TargetSampleBits() const { return targetBits_; }
    void SetTargetSampleBits(uint8_t bits);
    // 1 to 4 samples per pixel.
    uint8_t SourceChannels() const { return sourceChannels_; }
    void SetSourceChannels(uint8_t channels);
    uint8_t TargetChannels() const { return targetChannels_; }
    void SetTargetChannels(uint8_t channels);
    TColorModel SourceModel() const { return sourceModel_; }
    void SetSourceModel(TColorModel model);
    TColorModel TargetModel() const { return targetModel_; }
    void SetTargetModel(TColorModel model);

    // Plain fields: readers write them directly; writing them does not mark the manager
    // changed (the converters read them on every row).
    TConversionFlags SourceFlags;
    TConversionFlags TargetFlags;

    // A setting changed since the converter was selected.
    bool Changed() const { return changed_; }

    // Gamma of the image data and of the display; values of 0 or below take the defaults
    // 1.0 and 2.2. Rebuilds the gamma table for the current sample depths.
    void SetGammaValues(float mainGamma, float displayGamma);
    // The same with the table built for the depths given, the depth settings left as they
    // are (a reader whose palettes and rows reach the table at 8 bits, whatever its depths).
    void SetGammaValues(float mainGamma, float displayGamma, uint8_t sourceBits,
                        uint8_t targetBits);
    float MainGamma() const { return mainGamma_; }
    float DisplayGamma() const { return displayGamma_; }
    const std::array<uint8_t, 256>& GammaTable() const { return gammaTable_; }

    // Stores up to three luma weights (red, green, blue; those given), then checks and stores
    // the chroma subsampling: 1, 2 or 4 each, the vertical one not above the horizontal one.
    // The weights stay stored when the subsampling is rejected.
    void SetChromaParameters(std::span<const float> coefficients, uint8_t horizontal,
                             uint8_t vertical);
    void SetChromaParameters(std::initializer_list<float> coefficients, uint8_t horizontal,
                             uint8_t vertical) {
        SetChromaParameters(std::span<const float>(coefficients.begin(), coefficients.size()),
                            horizontal, vertical);
    }
    const std::array<float, 3>& YCbCrCoefficients() const { return coefficients_; }

    // The white L*a*b* sources are relative to, as CIE 1931 chromaticity x, y; D50 until set.
    // A point that is no white (x outside 0.2..0.55, y outside 0.2..0.5) leaves it as it is.
    void SetLabWhitePoint(double x, double y);
    uint8_t HorizontalSubsampling() const { return horizontalSubsampling_; }
    uint8_t VerticalSubsampling() const { return verticalSubsampling_; }

    // Chroma lookup tables, 256 entries each once built (empty before).
    const std::vector<int32_t>& CrToRed() const { return crToRed_; }
    const std::vector<int32_t>& CbToBlue() const { return cbToBlue_; }
    const std::vector<int32_t>& CrToGreen() const { return crToGreen_; }
    const std::vector<int32_t>& CbToGreen() const { return cbToGreen_; }
    // Builds the chroma tables for the source model (cmYCbCr or cmPhotoYCC) from the luma
    // weights. Runs on every converter selection for those models.
    void BuildChromaTables();

    // The bitmap format for the target layout (forTarget) or for the source layout.
    TBitmapFormat TargetPixelFormat(bool forTarget = true) const;

    // Chooses the row converter for the current settings; runs from ConvertRows whenever a
    // setting changed. Raises when exactly one side is indexed.
    void SelectConverter();

    // Converts `count` pixels into the target row. One source row: interleaved samples;
    // several (one per sample, three or four): planar. `mask` selects the pixels of an
    // interlaced pass: pixel i is converted when bit (7 - i mod 8) of the mask is set, taking
    // the source pixels one after another; the others are left untouched.
    // Each row comes with its extent, checked once per call against the settings: every
    // source row must hold the converted pixels as the settings lay them out, the target
    // `count` pixels of the target layout. A row too short raises EColorConversionError
    // (msgRowTooShort) before anything is read or written; so does a planar row with fewer
    // planes than samples (msgInvalidSampleCount). Nothing beyond the pixels is touched.
    void ConvertRows(std::span<const std::span<const uint8_t>> sources, std::span<uint8_t> target,
                     uint32_t count, uint8_t mask = 0xFF);
    void ConvertRows(std::initializer_list<std::span<const uint8_t>> sources,
                     std::span<uint8_t> target, uint32_t count, uint8_t mask = 0xFF) {
        ConvertRows(std::span<const std::span<const uint8_t>>(sources.begin(), sources.size()),
                    target, count, mask);
    }
    void ConvertRows(std::span<const uint8_t> source, std::span<uint8_t> target, uint32_t count,
                     uint8_t mask = 0xFF) {
        ConvertRows(std::span<const std::span<const uint8_t>>(&source, 1), target, count, mask);
    }

    // A block of pixels copied as it is (source and target of the same size, not
    // overlapping); a large block, such as a whole raster, around the caches where the
    // processor allows.
    static void CopyPixels(std::span<const uint8_t> source, std::span<uint8_t> target);

    // Bytes a row of `count` pixels takes in the layout the settings describe: the source
    // as one interleaved row (forTarget false) or the target. Selects the converter first
    // when a setting changed; 0 for layouts no converter handles.
    size_t RowBytes(uint32_t count, bool forTarget);

    // A grey ramp of 2^min(target bits x target channels, 8) entries, through the gamma table
    // when the target flags ask for gamma; with minIsWhite entry 0 is white.
    TPalette MakeGrayPalette(bool minIsWhite) const;

    // A palette from a file's colour map of `count` entries laid out as `layout`, one span per
    // plane (16-bit values in this machine's byte order unless the source flags say
    // cfSwapBytes). Entries missing from a plane shorter than `count` stay black. When source
    // and target bits differ (target of 8 bits or less) target index i takes the colour of
    // source index i * (2^source bits - 1) div (2^target bits - 1), the index the row
    // converters reduce to i; for sources deeper than 8 bits that index addresses the whole
    // map, not only its first 256 entries.
    TPalette MakeColorPalette(std::span<const std::span<const uint8_t>> planes,
                              TPaletteLayout layout, uint32_t count, bool bgrOrder) const;
    TPalette MakeColorPalette(std::initializer_list<std::span<const uint8_t>> planes,
                              TPaletteLayout layout, uint32_t count, bool bgrOrder) const {
        return MakeColorPalette(
            std::span<const std::span<const uint8_t>>(planes.begin(), planes.size()), layout, count,
            bgrOrder);
    }

private:
    struct TRow {
        std::span<const void* const> sources;
        uint8_t* target;
        uint32_t count;
        uint8_t mask;
    };
    using TRowConverter = void (TColorManager::*)(const TRow&) const;

    // Row converters.
    void BGRToBGRRow(const TRow& row) const;
    void BGRToRGBRow(const TRow& row) const;
    void RGBToBGRRow(const TRow& row) const;
    void RGBToRGBRow(const TRow& row) const;
    void GrayRow(const TRow& row) const;
    void GrayAlphaToColorRow(const TRow& row) const;
    void IndexedRow(const TRow& row) const;
    void Indexed16To16Row(const TRow& row) const;
    void Indexed16To8Row(const TRow& row) const;
    void Indexed8To16Row(const TRow& row) const;
    void CMYKToBGRRow(const TRow& row) const;
    void CMYKToRGBRow(const TRow& row) const;
    void LabToBGRRow(const TRow& row) const;
    void LabToRGBRow(const TRow& row) const;
    void YCbCrToBGRRow(const TRow& row) const;
    void YCbCrToRGBRow(const TRow& row) const;
    void PhotoYCCToBGRRow(const TRow& row) const;
    void PhotoYCCToRGBRow(const TRow& row) const;

    // Shared bodies: the reorder family by which source sample is red and whether the target
    // is written blue first, and the three colour converters by target order.
    void ReorderRow(const TRow& row, bool sourceBlueFirst, bool targetBlueFirst) const;
    void CMYKRow(const TRow& row, bool targetBlueFirst) const;
    void LabRow(const TRow& row, bool targetBlueFirst) const;
    void YCCRow(const TRow& row, bool targetBlueFirst) const;

    static const TLabWhite& D50White();

    // Planes the selected converter reads from a planar source.
    size_t PlanesNeeded() const;
    // The row layouts of the selected converter, set by SelectConverter.
    void SelectExtents();
    // Raises msgRowTooShort unless `given` bytes hold `needed`.
    static void CheckExtent(const char* side, size_t needed, size_t given);

    bool changed_ = true;
    uint8_t sourceBits_ = 8;
    uint8_t targetBits_ = 8;
    uint8_t sourceChannels_ = 3;
    uint8_t targetChannels_ = 3;
    float mainGamma_ = 1.0f;
    float displayGamma_ = 2.2f;
    std::array<uint8_t, 256> gammaTable_{};
    std::array<float, 3> coefficients_{0.299f, 0.587f, 0.114f};
    TLabWhite labWhite_ = D50White();
    uint8_t horizontalSubsampling_ = 1;
    uint8_t verticalSubsampling_ = 1;
    std::vector<int32_t> crToRed_, cbToBlue_, crToGreen_, cbToGreen_;
    // Every chroma table entry lies within +-8192 (sums stay within 16 bits).
    bool smallChroma_ = false;
    TColorModel sourceModel_ = cmRGB;
    TColorModel targetModel_ = cmBGR;
    TRowConverter rowConverter_ = nullptr;
    // Bits of one pixel in the selected converter's rows: an interleaved source pixel, one
    // sample of a planar source, a target pixel. Up to 8 bits, pixels are fields of a byte
    // (8 div bits to a byte); 0 where the converter handles nothing of the layout.
    unsigned sourcePixelBits_ = 0;
    unsigned planeSampleBits_ = 0;
    unsigned targetPixelBits_ = 0;
};
