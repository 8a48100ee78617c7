// Colour manager settings, gamma and chroma tables, palettes and converter selection. The row
// converters themselves live in ColorConverters.cpp.
#include "imaging/ColorManager.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// Nearest integer, ties to even (the default rounding mode).
int32_t RoundEven(long double value) {
    return static_cast<int32_t>(std::nearbyintl(value));
}

// RoundEven for chroma products, which come from weights that a file may state: kept within
// +-2^20 (far beyond what can change a clamped 8-bit result) and 0 for a product that is not
// a number, so that no conversion overflows.
int32_t RoundChroma(long double value) {
    constexpr long double limit = 1 << 20;
    if (!(value == value)) return 0;
    return RoundEven(std::clamp(value, -limit, limit));
}

bool IsPaletteLikeSource(TColorModel model) {
    return model >= cmPalette && model <= cmGrayAlpha;
}
bool IsPaletteLikeTarget(TColorModel model) {
    return model == cmPalette || model == cmGray;
}
bool HasAlpha(TColorModel model) {
    return model == cmGrayAlpha || model == cmRGBAlpha || model == cmBGRAlpha;
}
bool IsRGBTarget(TColorModel model) {
    return model == cmRGB || model == cmRGBAlpha;
}
bool IsBGRTarget(TColorModel model) {
    return model == cmBGR || model == cmBGRAlpha;
}

void CheckSampleBits(uint8_t bits) {
    if (bits == 0 || bits > 16) throw EColorConversionError(msgInvalidColorDepth);
}
void CheckChannels(uint8_t channels) {
    if (channels == 0 || channels > 4) throw EColorConversionError(msgInvalidSampleCount);
}
// Gamma lookup for the depths: entry i := round((i / Ms)^exponent x Mt), where Ms is 255 for
// sources of 8 bits or more and the target's maximum otherwise, and Mt the target's maximum.
// The table has 256 entries: deeper samples are looked up after scaling to 8 bits, so both
// ends are capped at 255. Entries above Ms keep their values.
void FillGammaTable(std::array<uint8_t, 256>& table, unsigned sourceBits, unsigned targetBits,
                    float exponent) {
    const auto maxOf = [](unsigned bits) { return bits >= 8 ? 255u : (1u << bits) - 1; };
    const unsigned sourceMax = sourceBits >= 8 ? 255u : maxOf(targetBits);
    const unsigned targetMax = maxOf(targetBits);
    for (unsigned i = 0; i <= sourceMax; ++i) {
        const long double ratio = static_cast<long double>(i) / sourceMax;
        table[i] = static_cast<uint8_t>(
            RoundEven(std::pow(ratio, static_cast<long double>(exponent)) * targetMax));
    }
}

bool IsPackedDepth(unsigned bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8;
}

// Bytes of `count` fields of `bits` bits: up to 8 bits a byte holds 8 div bits of them, wider
// fields are whole bytes.
size_t FieldBytes(size_t count, unsigned bits) {
    if (bits == 0 || count == 0) return 0;
    if (bits <= 8) {
        const size_t perByte = 8 / bits;
        return count / perByte + (count % perByte != 0);
    }
    return count * (bits / 8);
}

// Pixels an interlace mask converts out of `count`.
size_t ConvertedPixels(uint32_t count, uint8_t mask) {
    if (mask == 0xFF) return count;
    const unsigned rest = count % 8;
    const unsigned partial = rest ? unsigned(std::popcount(unsigned(mask) >> (8 - rest))) : 0;
    return size_t(count / 8) * unsigned(std::popcount(mask)) + partial;
}

bool ValidSubsampling(uint8_t value) {
    return value == 1 || value == 2 || value == 4;
}

} // namespace

TColorManager::TColorManager() {
    // Every manager starts with the table for gamma 1.0 and 2.2 over 8 bits; it is built once.
    static const std::array<uint8_t, 256> initialTable = [] {
        std::array<uint8_t, 256> table{};
        FillGammaTable(table, 8, 8, 1.0f / (1.0f * 2.2f));
        return table;
    }();
    gammaTable_ = initialTable;
}

void TColorManager::SetSourceSampleBits(uint8_t bits) {
    CheckSampleBits(bits);
    if (bits != sourceBits_) {
        sourceBits_ = bits;
        changed_ = true;
    }
}

void TColorManager::SetTargetSampleBits(uint8_t bits) {
    CheckSampleBits(bits);
    if (bits != targetBits_) {
        targetBits_ = bits;
        changed_ = true;
    }
}

void TColorManager::SetSourceChannels(uint8_t channels) {
    CheckChannels(channels);
    if (channels != sourceChannels_) {
        sourceChannels_ = channels;
        changed_ = true;
    }
}

void TColorManager::SetTargetChannels(uint8_t channels) {
    CheckChannels(channels);
    if (channels != targetChannels_) {
        targetChannels_ = channels;
        changed_ = true;
    }
}

void TColorManager::SetSourceModel(TColorModel model) {
    if (model != sourceModel_) {
        sourceModel_ = model;
        changed_ = true;
    }
}

void TColorManager::SetTargetModel(TColorModel model) {
    if (model != targetModel_) {
        targetModel_ = model;
        changed_ = true;
    }
}

void TColorManager::SetGammaValues(float mainGamma, float displayGamma) {
    SetGammaValues(mainGamma, displayGamma, sourceBits_, targetBits_);
}

void TColorManager::SetGammaValues(float mainGamma, float displayGamma, uint8_t sourceBits,
                                   uint8_t targetBits) {
    CheckSampleBits(sourceBits);
    CheckSampleBits(targetBits);
    mainGamma_ = mainGamma > 0 ? mainGamma : 1.0f;
    displayGamma_ = displayGamma > 0 ? displayGamma : 2.2f;
    FillGammaTable(gammaTable_, sourceBits, targetBits, 1.0f / (mainGamma_ * displayGamma_));
}

const TLabWhite& TColorManager::D50White() {
    static const TLabWhite white = TLabWhite::FromChromaticity(0.3457, 0.3585);
    return white;
}

void TColorManager::SetLabWhitePoint(double x, double y) {
    // Whites from illuminant A to beyond D75, E included; others are not a white.
    if (x > 0.2 && x < 0.55 && y > 0.2 && y < 0.5) labWhite_ = TLabWhite::FromChromaticity(x, y);
}

void TColorManager::SetChromaParameters(std::span<const float> coefficients, uint8_t horizontal,
                                        uint8_t vertical) {
    for (size_t i = 0; i < std::min<size_t>(coefficients.size(), 3); ++i)
        coefficients_[i] = coefficients[i];
    if (!ValidSubsampling(horizontal) || !ValidSubsampling(vertical))
        throw EColorConversionError(msgInvalidSubsampling);
    if (horizontal < vertical) throw EColorConversionError(msgVerticalSubsampling);
    horizontalSubsampling_ = horizontal;
    verticalSubsampling_ = vertical;
}

void TColorManager::BuildChromaTables() {
    const float kr = coefficients_[0], kg = coefficients_[1], kb = coefficients_[2];
    const float cr = 2 - 2 * kr;
    const float cb = 2 - 2 * kb;
    const float gr = kr * cr / kg;
    const float gb = kb * cb / kg;
    crToRed_.assign(256, 0);
    cbToBlue_.assign(256, 0);
    crToGreen_.assign(256, 0);
    cbToGreen_.assign(256, 0);
    // Photo-CD chroma is centred on 137 (red) and 156 (blue) rather than 128.
    const bool photoYCC = sourceModel_ == cmPhotoYCC;
    const int redCentre = photoYCC ? 137 : 128;
    const int blueCentre = photoYCC ? 156 : 128;
    for (int i = 0; i < 256; ++i) {
        const long double dr = i - redCentre;
        const long double db = i - blueCentre;
        crToRed_[i] = RoundChroma(cr * dr);
        cbToBlue_[i] = RoundChroma(cb * db);
        crToGreen_[i] = -RoundChroma(gr * dr);
        cbToGreen_[i] = -RoundChroma(gb * db);
    }
    smallChroma_ = true;
    for (const auto* table : {&crToRed_, &cbToBlue_, &crToGreen_, &cbToGreen_})
        for (int32_t v : *table) smallChroma_ = smallChroma_ && v >= -8192 && v <= 8192;
}

TBitmapFormat TColorManager::TargetPixelFormat(bool forTarget) const {
    const unsigned bits = forTarget ? targetBits_ : sourceBits_;
    const unsigned channels = forTarget ? targetChannels_ : sourceChannels_;
    switch (channels) {
    case 1:
        if (bits == 1) return bf1Bit;
        if (bits <= 4) return bf4Bit;
        if (bits >= 8) return bf8Bit;
        return bfCustom;
    case 3:
        return bits <= 5 ? bf15Bit : bf24Bit;
    case 4:
        return bits >= 8 ? bf32Bit : bfCustom;
    default:
        return bfCustom;
    }
}

void TColorManager::SelectConverter() {
    rowConverter_ = nullptr;
    // Grey with alpha may also become colour with alpha.
    const bool greyToColour = sourceModel_ == cmGrayAlpha && HasAlpha(targetModel_) &&
                              (IsRGBTarget(targetModel_) || IsBGRTarget(targetModel_));
    if (IsPaletteLikeSource(sourceModel_) != IsPaletteLikeTarget(targetModel_) && !greyToColour)
        throw EColorConversionError(msgIndexedNotSupported);

    if (HasAlpha(sourceModel_))
        SourceFlags.Include(cfAlpha);
    else
        SourceFlags.Exclude(cfAlpha);
    if (HasAlpha(targetModel_))
        TargetFlags.Include(cfAlpha);
    else
        TargetFlags.Exclude(cfAlpha);

    const unsigned s = sourceBits_, t = targetBits_;
    // Picks the converter of the pair by the target's colour order; none for other targets.
    const auto byTarget = [this](TRowConverter toRGB, TRowConverter toBGR) -> TRowConverter {
        if (IsRGBTarget(targetModel_)) return toRGB;
        if (IsBGRTarget(targetModel_)) return toBGR;
        return nullptr;
    };
    switch (sourceModel_) {
    case cmPalette:
        if (s == 16)
            rowConverter_ =
                t == 16 ? &TColorManager::Indexed16To16Row : &TColorManager::Indexed16To8Row;
        else
            rowConverter_ = t == 16 ? &TColorManager::Indexed8To16Row : &TColorManager::IndexedRow;
        break;
    case cmGray:
        if (s != 16 && t != 16)
            rowConverter_ = &TColorManager::IndexedRow;
        else if (s >= 8 && t >= 8)
            rowConverter_ = &TColorManager::GrayRow;
        break;
    case cmGrayAlpha:
        if ((s == 8 || s == 16) && (t == 8 || t == 16))
            rowConverter_ =
                HasAlpha(targetModel_) && (IsRGBTarget(targetModel_) || IsBGRTarget(targetModel_))
                    ? &TColorManager::GrayAlphaToColorRow
                    : &TColorManager::GrayRow;
        break;
    case cmRGB:
    case cmRGBAlpha:
        rowConverter_ = byTarget(&TColorManager::RGBToRGBRow, &TColorManager::RGBToBGRRow);
        break;
    case cmBGR:
    case cmBGRAlpha:
        rowConverter_ = byTarget(&TColorManager::BGRToRGBRow, &TColorManager::BGRToBGRRow);
        break;
    case cmCMYK:
        rowConverter_ = byTarget(&TColorManager::CMYKToRGBRow, &TColorManager::CMYKToBGRRow);
        break;
    case cmCIELab:
        rowConverter_ = byTarget(&TColorManager::LabToRGBRow, &TColorManager::LabToBGRRow);
        break;
    case cmYCbCr:
        BuildChromaTables();
        rowConverter_ = byTarget(&TColorManager::YCbCrToRGBRow, &TColorManager::YCbCrToBGRRow);
        break;
    case cmPhotoYCC:
        BuildChromaTables();
        rowConverter_ =
            byTarget(&TColorManager::PhotoYCCToRGBRow, &TColorManager::PhotoYCCToBGRRow);
        break;
    case cmUnknown:
    case cmCMY:
        break;
    }
    SelectExtents();
    changed_ = false;
}

void TColorManager::SelectExtents() {
    sourcePixelBits_ = planeSampleBits_ = targetPixelBits_ = 0;
    if (!rowConverter_) return;
    const unsigned s = sourceBits_, t = targetBits_;
    const bool wide = (s == 8 || s == 16) && (t == 8 || t == 16);
    const unsigned targetColours = TargetFlags.Contains(cfAlpha) ? 4 : 3;
    // Converters of colour samples read `samples` of S bits a pixel and write three colours
    // (four places with alpha) of T bits.
    const auto colour = [&](unsigned samples) {
        if (!wide) return;
        sourcePixelBits_ = samples * s;
        planeSampleBits_ = s;
        targetPixelBits_ = targetColours * t;
    };
    // Index converters read one field of S bits and write one of T bits.
    const auto index = [&](bool handled) {
        if (!handled) return;
        sourcePixelBits_ = planeSampleBits_ = s;
        targetPixelBits_ = t;
    };
    switch (sourceModel_) {
    case cmPalette:
    case cmGray:
        if (rowConverter_ == &TColorManager::GrayRow) {
            if (wide) sourcePixelBits_ = planeSampleBits_ = s, targetPixelBits_ = t;
        } else if (rowConverter_ == &TColorManager::Indexed16To16Row) {
            index(true);
        } else if (rowConverter_ == &TColorManager::Indexed16To8Row) {
            index(IsPackedDepth(t));
        } else if (rowConverter_ == &TColorManager::Indexed8To16Row) {
            index(s <= 8);
        } else {
            index(s <= 8 && IsPackedDepth(t));
        }
        break;
    case cmGrayAlpha:
        if (wide)
            sourcePixelBits_ = 2 * s, planeSampleBits_ = s,
            targetPixelBits_ = rowConverter_ == &TColorManager::GrayAlphaToColorRow ? 4 * t : t;
        break;
    case cmRGB:
    case cmBGR:
        colour(3);
        break;
    case cmRGBAlpha:
    case cmBGRAlpha:
        colour(4);
        break;
    case cmCMYK:
        colour(4);
        break;
    case cmCIELab:
    case cmYCbCr:
    case cmPhotoYCC:
        colour(3);
        break;
    case cmUnknown:
    case cmCMY:
        break;
    }
}

size_t TColorManager::PlanesNeeded() const {
    switch (sourceModel_) {
    case cmRGB:
    case cmRGBAlpha:
    case cmBGR:
    case cmBGRAlpha:
        // The alpha plane is read only when the target keeps alpha.
        return SourceFlags.Contains(cfAlpha) && TargetFlags.Contains(cfAlpha) ? 4 : 3;
    case cmCIELab:
    case cmYCbCr:
    case cmPhotoYCC:
        return 3;
    case cmGrayAlpha:
        return rowConverter_ == &TColorManager::GrayAlphaToColorRow ? 2 : 1;
    default:
        // Grey and index rows read their first plane only; CMYK reads four planes when it is
        // given four and its first plane interleaved otherwise.
        return 1;
    }
}

void TColorManager::CheckExtent(const char* side, size_t needed, size_t given) {
    if (given < needed) {
        throw EColorConversionError(FormatImageMessage(msgRowTooShort, side, std::to_string(given),
                                                       std::to_string(needed)));
    }
}

size_t TColorManager::RowBytes(uint32_t count, bool forTarget) {
    if (changed_) SelectConverter();
    return FieldBytes(count, forTarget ? targetPixelBits_ : sourcePixelBits_);
}

void TColorManager::ConvertRows(std::span<const std::span<const uint8_t>> sources,
                                std::span<uint8_t> target, uint32_t count, uint8_t mask) {
    if (changed_) SelectConverter();
    if (!rowConverter_) throw EColorConversionError(msgConversionFailed);
    // A planar row must bring a plane for every sample the converter reads.
    constexpr size_t MaxPlanes = 4;
    const bool planar = sources.size() > 1;
    if (sources.empty() || sources.size() > MaxPlanes ||
        (planar && sources.size() < PlanesNeeded()))
        throw EColorConversionError(msgInvalidSampleCount);
    if (count == 0) return;

    // CMYK takes four planes or reads its first row interleaved; the others read the planes
    // they need.
    const bool interleaved = !planar || (sourceModel_ == cmCMYK && sources.size() != 4);
    const size_t converted = ConvertedPixels(count, mask);
    std::array<const void*, MaxPlanes> pointers{};
    if (interleaved) {
        CheckExtent("source", FieldBytes(converted, sourcePixelBits_), sources[0].size());
    } else {
        const size_t planeBytes = FieldBytes(converted, planeSampleBits_);
        const size_t planesRead = sourceModel_ == cmCMYK ? 4 : PlanesNeeded();
        for (size_t k = 0; k < std::min(sources.size(), planesRead); ++k)
            CheckExtent("source", planeBytes, sources[k].size());
    }
    CheckExtent("target", FieldBytes(count, targetPixelBits_), target.size());
    for (size_t k = 0; k < sources.size(); ++k) pointers[k] = sources[k].data();
    (this->*rowConverter_)(TRow{std::span<const void* const>(pointers.data(), sources.size()),
                                target.data(), count, mask});
}

TPalette TColorManager::MakeGrayPalette(bool minIsWhite) const {
    const unsigned bits = std::min(unsigned(targetBits_) * targetChannels_, 8u);
    const unsigned entries = 1u << bits;
    const unsigned maxIndex = entries - 1;
    const unsigned step = 255 / maxIndex;
    const bool gamma = TargetFlags.Contains(cfApplyGamma);
    std::vector<TRGBQuad> quads(entries);
    for (unsigned i = 0; i <= maxIndex; ++i) {
        const uint8_t grey = gamma ? gammaTable_[step * i] : static_cast<uint8_t>(step * i);
        quads[minIsWhite ? maxIndex - i : i] = TRGBQuad{grey, grey, grey, 0};
    }
    return TPalette(std::move(quads));
}

TPalette TColorManager::MakeColorPalette(std::span<const std::span<const uint8_t>> planes,
                                         TPaletteLayout layout, uint32_t count,
                                         bool bgrOrder) const {
    const bool wide = layout >= plPacked16x3;
    const bool packed = layout == plPacked8x3 || layout == plPacked8x4 || layout == plPacked16x3 ||
                        layout == plPacked16x4;
    const size_t sampleBytes = wide ? 2 : 1;
    const size_t packedSamples = (layout == plPacked8x4 || layout == plPacked16x4) ? 4 : 3;
    const bool swap = SourceFlags.Contains(cfSwapBytes);
    const bool gamma = TargetFlags.Contains(cfApplyGamma);

    // Sample `sample` of colour-map entry `entry` in plane `plane`, or 0 when the plane does
    // not hold it.
    const auto sampleAt = [&](size_t plane, size_t entry, size_t sample) -> uint8_t {
        if (plane >= planes.size()) return 0;
        const size_t offset = ((packed ? entry * packedSamples : entry) + sample) * sampleBytes;
        if (offset + sampleBytes > planes[plane].size()) return 0;
        const uint8_t* p = planes[plane].data() + offset;
        unsigned value;
        if (wide) {
            uint16_t v;
            std::memcpy(&v, p, 2);
            if (swap) v = static_cast<uint16_t>((v >> 8) | (v << 8));
            value = v * 255u / 65535u;
        } else {
            value = *p;
        }
        return gamma ? gammaTable_[value] : static_cast<uint8_t>(value);
    };
    // The 8-bit packed layouts store blue first with bgrOrder; the 16-bit packed layouts
    // store red first with it.
    const bool blueFirst = packed && (wide ? !bgrOrder : bgrOrder);
    const auto colourOf = [&](size_t entry) -> TRGBQuad {
        if (entry >= count) return TRGBQuad{};
        uint8_t r, g, b;
        if (packed) {
            const uint8_t first = sampleAt(0, entry, 0);
            g = sampleAt(0, entry, 1);
            const uint8_t third = sampleAt(0, entry, 2);
            r = blueFirst ? third : first;
            b = blueFirst ? first : third;
        } else {
            r = sampleAt(0, entry, 0);
            g = sampleAt(1, entry, 0);
            b = sampleAt(2, entry, 0);
        }
        return TRGBQuad{b, g, r, 0};
    };

    std::vector<TRGBQuad> quads;
    const uint32_t sourceMax = (1u << sourceBits_) - 1;
    const uint32_t targetMax = (1u << targetBits_) - 1;
    if (targetBits_ <= 8 && sourceMax != targetMax) {
        // Spread the map over the target's index range: target index i shows the colour of
        // source index i * sourceMax div targetMax, the index the row converters turn into
        // i. Sources deeper than 8 bits address the whole map this way, not just its first
        // 256 entries.
        quads.resize(targetMax + 1);
        for (uint32_t i = 0; i <= targetMax; ++i) quads[i] = colourOf(i * sourceMax / targetMax);
    } else {
        quads.resize(std::min<uint32_t>(count, TPalette::MaxEntries));
        for (size_t i = 0; i < quads.size(); ++i) quads[i] = colourOf(i);
    }
    return TPalette(std::move(quads));
}
