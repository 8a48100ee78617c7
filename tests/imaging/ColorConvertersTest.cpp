// Row converters: sample order, depths, byte order, alpha, gamma, interlace masks, the colour
// models, and that no converter writes past the pixels it was given.
#include "imaging/ColorManager.h"

#include "imaging/ColorConvertersSimd.h"

#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xCD;

TColorManager Manager(TColorModel source, TColorModel target, uint8_t sourceBits,
                      uint8_t targetBits) {
    TColorManager m;
    m.SetSourceModel(source);
    m.SetTargetModel(target);
    m.SetSourceSampleBits(sourceBits);
    m.SetTargetSampleBits(targetBits);
    return m;
}

// Converts an interleaved row into a target of `targetBytes` bytes followed by guard bytes,
// all set to the canary first; checks that the guard is intact and answers the target.
Bytes Convert(TColorManager& m, const Bytes& source, size_t targetBytes, uint32_t count,
              uint8_t mask = 0xFF) {
    Bytes target(targetBytes + 16, kCanary);
    m.ConvertRows(source, target, count, mask);
    for (size_t i = targetBytes; i < target.size(); ++i)
        EXPECT_EQ(target[i], kCanary) << "written past the row at " << i;
    target.resize(targetBytes);
    return target;
}

Bytes ConvertPlanar(TColorManager& m, const std::vector<Bytes>& planes, size_t targetBytes,
                    uint32_t count, uint8_t mask = 0xFF) {
    std::vector<std::span<const uint8_t>> rows(planes.begin(), planes.end());
    Bytes target(targetBytes + 16, kCanary);
    m.ConvertRows(rows, target, count, mask);
    for (size_t i = targetBytes; i < target.size(); ++i)
        EXPECT_EQ(target[i], kCanary) << "written past the row at " << i;
    target.resize(targetBytes);
    return target;
}

// 16-bit values as bytes: big-endian or this machine's order.
Bytes Big16(std::initializer_list<uint16_t> values) {
    Bytes out;
    for (uint16_t v : values) {
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    }
    return out;
}
Bytes Native16(std::initializer_list<uint16_t> values) {
    Bytes out(values.size() * 2);
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

} // namespace

TEST(ColorReorder, EightBitOrdersAndAlpha) {
    TColorManager m = Manager(cmRGB, cmBGR, 8, 8);
    EXPECT_EQ(Convert(m, {10, 20, 30}, 3, 1), (Bytes{30, 20, 10}));

    m.SetTargetModel(cmRGB);
    EXPECT_EQ(Convert(m, {10, 20, 30, 40, 50, 60}, 6, 2), (Bytes{10, 20, 30, 40, 50, 60}));

    // No target alpha in the source: the target's alpha place is left as it was.
    m.SetTargetModel(cmBGRAlpha);
    EXPECT_EQ(Convert(m, {10, 20, 30, 40, 50, 60}, 8, 2),
              (Bytes{30, 20, 10, kCanary, 60, 50, 40, kCanary}));

    // Source alpha without target alpha is skipped.
    m.SetSourceModel(cmRGBAlpha);
    m.SetTargetModel(cmBGR);
    EXPECT_EQ(Convert(m, {10, 20, 30, 99, 40, 50, 60, 98}, 6, 2), (Bytes{30, 20, 10, 60, 50, 40}));

    m.SetTargetModel(cmBGRAlpha);
    EXPECT_EQ(Convert(m, {10, 20, 30, 99, 40, 50, 60, 98}, 8, 2),
              (Bytes{30, 20, 10, 99, 60, 50, 40, 98}));
}

TEST(ColorReorder, LongRowsMatchPixelByPixelConversion) {
    // Rows long enough for the block paths, with lengths that leave a tail.
    for (TColorModel source : {cmRGB, cmRGBAlpha}) {
        for (uint32_t count : {1u, 4u, 5u, 6u, 21u, 37u, 64u, 100u}) {
            const size_t samples = source == cmRGB ? 3 : 4;
            TColorManager m = Manager(source, source == cmRGB ? cmBGR : cmBGRAlpha, 8, 8);
            Bytes row(count * samples);
            for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t(i * 7 + 3);
            Bytes expected = row;
            for (size_t p = 0; p < count; ++p)
                std::swap(expected[p * samples], expected[p * samples + 2]);
            EXPECT_EQ(Convert(m, row, row.size(), count), expected) << count;

            // In place.
            m.ConvertRows(row, row, count);
            EXPECT_EQ(row, expected) << count;
        }
    }
}

TEST(ColorReorder, GammaLeavesAlphaAlone) {
    TColorManager m = Manager(cmBGRAlpha, cmBGRAlpha, 8, 8);
    m.TargetFlags = cfApplyGamma;
    const auto& g = m.GammaTable();
    EXPECT_EQ(Convert(m, {1, 64, 128, 77}, 4, 1), (Bytes{g[1], g[64], g[128], 77}));
    EXPECT_EQ(g[1], 21);
}

TEST(ColorReorder, SixteenBitSwappingAndScaling) {
    // Big-endian 16-bit RGB into 8-bit BGR.
    TColorManager m = Manager(cmRGB, cmBGR, 16, 8);
    m.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(m, Big16({0xFFFF, 0x1234, 0x0101}), 3, 1), (Bytes{1, 18, 255}));

    // With gamma the scaled value goes through the table.
    m.TargetFlags = cfApplyGamma;
    EXPECT_EQ(Convert(m, Big16({0x0101, 0, 0}), 3, 1), (Bytes{0, 0, 21}));

    // Alpha is scaled, never gamma-corrected.
    TColorManager alpha = Manager(cmRGBAlpha, cmBGRAlpha, 16, 8);
    alpha.SourceFlags = cfSwapBytes;
    alpha.TargetFlags = cfApplyGamma;
    EXPECT_EQ(Convert(alpha, Big16({0, 0, 0x0101, 0x0202}), 4, 1), (Bytes{21, 0, 0, 2}));

    // 16 to 16: swapped when asked, else copied.
    TColorManager wide = Manager(cmBGR, cmBGR, 16, 16);
    wide.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(wide, Big16({0x1234, 0x5678, 0x9ABC}), 6, 1),
              Native16({0x1234, 0x5678, 0x9ABC}));
    wide.SourceFlags = {};
    EXPECT_EQ(Convert(wide, Native16({1, 2, 3}), 6, 1), Native16({1, 2, 3}));

    // 8 to 16: v * 257, the output swapped with cfSwapBytes.
    TColorManager up = Manager(cmRGB, cmRGB, 8, 16);
    EXPECT_EQ(Convert(up, {1, 2, 255}, 6, 1), Native16({257, 514, 65535}));
    up.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(up, {1, 2, 255}, 6, 1), Big16({257, 514, 65535}));
}

TEST(ColorReorder, PlanarSources) {
    TColorManager m = Manager(cmRGB, cmBGR, 8, 8);
    EXPECT_EQ(ConvertPlanar(m, {{1, 2}, {3, 4}, {5, 6}}, 6, 2), (Bytes{5, 3, 1, 6, 4, 2}));

    TColorManager alpha = Manager(cmRGBAlpha, cmBGRAlpha, 16, 8);
    EXPECT_EQ(
        ConvertPlanar(alpha,
                      {Native16({0xFFFF}), Native16({0}), Native16({0x8000}), Native16({0x4000})},
                      4, 1),
        (Bytes{127, 0, 255, 63}));
}

TEST(ColorReorder, UnsupportedDepthWritesNothing) {
    TColorManager m = Manager(cmRGB, cmBGR, 4, 8);
    EXPECT_EQ(Convert(m, {0x12, 0x34}, 3, 1), (Bytes{kCanary, kCanary, kCanary}));
}

TEST(ColorMask, InterlacedPassesTakeConsecutiveSourcePixels) {
    // Mask 0xAA converts pixels 0, 2, 4, 6 of each group of eight, here also pixel 8.
    TColorManager m = Manager(cmRGB, cmBGR, 8, 8);
    const Bytes source = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const Bytes target = Convert(m, source, 10 * 3, 10, 0xAA);
    for (size_t p = 0; p < 10; ++p) {
        const uint8_t* q = target.data() + p * 3;
        if (p % 2 == 0) {
            const uint8_t* s = source.data() + (p / 2) * 3;
            EXPECT_EQ(Bytes(q, q + 3), (Bytes{s[2], s[1], s[0]})) << p;
        } else {
            EXPECT_EQ(Bytes(q, q + 3), (Bytes{kCanary, kCanary, kCanary})) << p;
        }
    }

    // The same for a grey row and for 1-bit indices into 8 bits.
    TColorManager gray = Manager(cmGray, cmGray, 8, 8);
    EXPECT_EQ(Convert(gray, {1, 2, 3}, 5, 5, 0xAA), (Bytes{1, kCanary, 2, kCanary, 3}));
    TColorManager bits = Manager(cmPalette, cmPalette, 1, 8);
    EXPECT_EQ(Convert(bits, {0b10100000}, 6, 6, 0x55),
              (Bytes{kCanary, 255, kCanary, 0, kCanary, 255}));
    // A 1-bit row keeps the bits of the pixels it skips.
    TColorManager packed = Manager(cmPalette, cmPalette, 1, 1);
    Bytes target1 = {0b01010101};
    packed.ConvertRows(Bytes{0b11110000}, target1, 8, 0xAA);
    EXPECT_EQ(target1[0], 0xFF);
}

TEST(ColorGray, DepthsAndAlpha) {
    TColorManager m = Manager(cmGray, cmGray, 16, 8);
    m.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(m, Big16({0x1234}), 1, 1), (Bytes{18}));

    TColorManager alpha = Manager(cmGrayAlpha, cmGray, 8, 8);
    EXPECT_EQ(Convert(alpha, {10, 99, 20, 98, 30, 97}, 3, 3), (Bytes{10, 20, 30}));
    TColorManager alpha16 = Manager(cmGrayAlpha, cmGray, 16, 16);
    alpha16.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(alpha16, Big16({0x1234, 0xFFFF, 0x5678, 0}), 4, 2),
              Native16({0x1234, 0x5678}));

    TColorManager up = Manager(cmGray, cmGray, 8, 16);
    EXPECT_EQ(Convert(up, {0, 1, 255}, 6, 3), Native16({0, 257, 65535}));
    TColorManager copy = Manager(cmGray, cmGray, 16, 16);
    EXPECT_EQ(Convert(copy, Native16({7, 8}), 4, 2), Native16({7, 8}));
}

TEST(ColorIndexed, BitRepacking) {
    // 1-bit 1, 0, 1, 1 into 8 bits rescales to 255, 0, 255, 255 (grey) ...
    TColorManager gray = Manager(cmGray, cmGray, 1, 8);
    EXPECT_EQ(Convert(gray, {0b10110000}, 4, 4), (Bytes{255, 0, 255, 255}));
    // ... and into 4 bits to 15, 0, 15, 15.
    gray.SetTargetSampleBits(4);
    EXPECT_EQ(Convert(gray, {0b10110000}, 2, 4), (Bytes{0xF0, 0xFF}));

    // Equal depths copy whole bytes.
    TColorManager same = Manager(cmPalette, cmPalette, 4, 4);
    EXPECT_EQ(Convert(same, {0x12, 0x34, 0x56}, 3, 5), (Bytes{0x12, 0x34, 0x56}));

    // A 4-bit target of odd length packs two pixels a byte from the first pixel and keeps
    // the unused half of the last byte.
    TColorManager odd = Manager(cmPalette, cmPalette, 8, 4);
    Bytes target = {0x00, 0x0A};
    odd.ConvertRows(Bytes{0, 255, 136}, target, 3);
    EXPECT_EQ(target, (Bytes{0x0F, 0x8A}));

    // 2-bit indices into 8 bits: 0, 85, 170, 255.
    TColorManager two = Manager(cmPalette, cmPalette, 2, 8);
    EXPECT_EQ(Convert(two, {0b00011011}, 4, 4), (Bytes{0, 85, 170, 255}));
    // 3-bit fields: two per byte, the last two bits unused.
    TColorManager three = Manager(cmPalette, cmPalette, 3, 8);
    EXPECT_EQ(Convert(three, {0b11101000, 0b00100011}, 3, 3), (Bytes{255, 72, 36}));
}

TEST(ColorIndexed, SixteenBitIndices) {
    TColorManager m = Manager(cmPalette, cmPalette, 16, 16);
    EXPECT_EQ(Convert(m, Native16({1, 2, 3}), 6, 3), Native16({1, 2, 3}));
    m.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(m, Big16({0x0102, 0x0304}), 4, 2), Native16({0x0102, 0x0304}));
    m.SourceFlags = {};
    Bytes masked = Convert(m, Native16({5, 6}), 6, 3, 0xA0);
    EXPECT_EQ(masked, (Bytes{5, 0, kCanary, kCanary, 6, 0}));

    // 16-bit indices into a 4-bit row of odd length.
    TColorManager down = Manager(cmPalette, cmPalette, 16, 4);
    down.SourceFlags = cfSwapBytes;
    Bytes target = {0x00, 0x03};
    down.ConvertRows(Big16({0xFFFF, 0x1111, 0x8888}), target, 3);
    EXPECT_EQ(target, (Bytes{0xF1, 0x83}));

    // Indices under 16 bits into 16-bit values.
    TColorManager up = Manager(cmPalette, cmPalette, 2, 16);
    EXPECT_EQ(Convert(up, {0b00011011}, 8, 4), Native16({0, 21845, 43690, 65535}));
    up.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(up, {0b01000000}, 2, 1), Big16({21845}));
}

TEST(ColorCMYK, WhiteBlackAndMixes) {
    TColorManager m = Manager(cmCMYK, cmBGR, 8, 8);
    EXPECT_EQ(Convert(m, {0, 0, 0, 0}, 3, 1), (Bytes{255, 255, 255}));
    EXPECT_EQ(Convert(m, {10, 200, 255, 255}, 3, 1), (Bytes{0, 0, 0}));
    // cyan 100 with black 50: 100 * 50 div 255 - 100 - 50 + 255 = 124, written last in BGR.
    EXPECT_EQ(Convert(m, {100, 0, 0, 50}, 3, 1), (Bytes{205, 205, 124}));
    m.SetTargetModel(cmRGBAlpha);
    EXPECT_EQ(Convert(m, {100, 0, 0, 50}, 4, 1), (Bytes{124, 205, 205, kCanary}));
    EXPECT_EQ(ConvertPlanar(m, {{100}, {0}, {0}, {50}}, 4, 1), (Bytes{124, 205, 205, kCanary}));

    TColorManager wide = Manager(cmCMYK, cmBGR, 8, 16);
    EXPECT_EQ(Convert(wide, {0, 0, 0, 0}, 6, 1), Native16({65535, 65535, 65535}));

    TColorManager deep = Manager(cmCMYK, cmBGR, 16, 8);
    deep.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(deep, Big16({0, 0, 0, 0}), 3, 1), (Bytes{255, 255, 255}));
    EXPECT_EQ(Convert(deep, Big16({1000, 0, 65535, 65535}), 3, 1), (Bytes{0, 0, 0}));
    TColorManager deepWide = Manager(cmCMYK, cmBGR, 16, 16);
    EXPECT_EQ(Convert(deepWide, Native16({0, 0, 0, 0}), 6, 1), Native16({65535, 65535, 65535}));
    EXPECT_EQ(Convert(deepWide, Native16({1000, 0, 5, 65535}), 6, 1), Native16({0, 0, 0}));
}

TEST(ColorLab, ColorimetricFromD50) {
    // Expected values: the CIE Lab formulas with the D50 white, Bradford to D65 and the sRGB
    // curve; lcms2 (through Pillow's ImageCms) agrees within one level away from black.
    TColorManager m = Manager(cmCIELab, cmBGR, 8, 8);
    EXPECT_EQ(Convert(m, {100, 0, 0}, 3, 1), (Bytes{255, 255, 255}));
    // The linear branch of the lightness function for dark values.
    EXPECT_EQ(Convert(m, {5, 0, 0}, 3, 1), (Bytes{17, 17, 17}));
    EXPECT_EQ(Convert(m, {5, uint8_t(-10), 10}, 3, 1), (Bytes{0, 22, 1}));
    // Signed a* and b*.
    EXPECT_EQ(Convert(m, {50, 20, uint8_t(-30)}, 3, 1), (Bytes{170, 108, 133}));
    // Scaled L* and offset a*, b*, planar, into RGB.
    m.SourceFlags = cfLabScaledL | cfLabOffsetAB;
    m.SetTargetModel(cmRGB);
    EXPECT_EQ(ConvertPlanar(m, {{150}, {140}, {100}}, 3, 1), (Bytes{143, 136, 191}));
    EXPECT_EQ(Convert(m, {255, 128, 128}, 3, 1), (Bytes{255, 255, 255}));
    // 16-bit targets keep the precision; black is black.
    m.SetTargetSampleBits(16);
    EXPECT_EQ(Convert(m, {0, 128, 128}, 6, 1), Native16({0, 0, 0}));
    // 16-bit sources: L* over 0..65535, a* and b* in 1/256 steps.
    TColorManager wide = Manager(cmCIELab, cmRGB, 16, 8);
    wide.SourceFlags = cfLabScaledL;
    EXPECT_EQ(Convert(wide, Native16({32768, uint16_t(20 * 256), uint16_t(-30 * 256)}), 3, 1),
              (Bytes{133, 108, 170}));
}

TEST(ColorYCC, TablesAndSixteenBitFormula) {
    TColorManager m = Manager(cmYCbCr, cmBGR, 8, 8);
    EXPECT_EQ(Convert(m, {100, 128, 128}, 3, 1), (Bytes{100, 100, 100}));
    // Cr 255 adds 178 to red (clamped) and takes 91 from green.
    EXPECT_EQ(Convert(m, {100, 128, 255}, 3, 1), (Bytes{100, 9, 255}));
    EXPECT_EQ(ConvertPlanar(m, {{100}, {255}, {128}}, 3, 1), (Bytes{255, 56, 100}));
    m.SetTargetModel(cmRGBAlpha);
    EXPECT_EQ(Convert(m, {100, 128, 255}, 4, 1), (Bytes{255, 9, 100, kCanary}));

    // 16-bit sources are reduced to 8 bits first.
    TColorManager deep = Manager(cmYCbCr, cmBGR, 16, 8);
    deep.SourceFlags = cfSwapBytes;
    EXPECT_EQ(Convert(deep, Big16({100 * 257, 128 * 257, 255 * 257}), 3, 1), (Bytes{100, 9, 255}));

    // Photo-CD chroma is centred on 156 (blue) and 137 (red).
    TColorManager photo = Manager(cmPhotoYCC, cmBGR, 8, 8);
    EXPECT_EQ(Convert(photo, {100, 156, 137}, 3, 1), (Bytes{100, 100, 100}));

    // 16 to 16 bits: the fixed formula, wrapped into 16 bits.
    TColorManager wide = Manager(cmYCbCr, cmBGR, 16, 16);
    EXPECT_EQ(Convert(wide, Native16({10000, 50000, 30000}), 6, 1), Native16({35559, 14150, 4096}));
    EXPECT_EQ(Convert(wide, Native16({0, 0, 65535}), 6, 1), Native16({42152, 54670, 55239}));
    wide.SetTargetModel(cmRGB);
    EXPECT_EQ(Convert(wide, Native16({10000, 50000, 30000}), 6, 1), Native16({4096, 14150, 35559}));
}

namespace {

Bytes RandomBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    for (uint8_t& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return out;
}

// Row lengths around the block sizes of the row loops.
const uint32_t kLengths[] = {1,  2,  15, 16, 17, 20,   21,   22,  31,
                             32, 33, 63, 64, 65, 1007, 1009, 2100};

// Runs `check` with the vector kernels and again with the general converters.
template <class Check> void OnEveryPath(Check check) {
#ifdef CHRONOLITH_COLOR_SIMD
    for (bool vector : {true, false}) {
        SCOPED_TRACE(vector ? "vector kernels" : "general converters");
        ColorSimd::SetEnabled(vector);
        check();
    }
    ColorSimd::SetEnabled(true);
#else
    check();
#endif
}

} // namespace

TEST(ColorLongRows, ReorderWithGammaAndDepths) {
    OnEveryPath([] {
        for (bool alpha : {false, true}) {
            for (uint8_t sourceBits : {8, 16}) {
                for (bool gamma : {false, true}) {
                    for (bool swapRedBlue : {false, true}) {
                        const size_t stride = alpha ? 4 : 3, in = sourceBits / 8;
                        TColorManager m = Manager(alpha ? cmRGBAlpha : cmRGB,
                                                  swapRedBlue ? (alpha ? cmBGRAlpha : cmBGR)
                                                              : (alpha ? cmRGBAlpha : cmRGB),
                                                  sourceBits, 8);
                        m.SourceFlags = cfSwapBytes;
                        if (gamma) m.TargetFlags = cfApplyGamma;
                        const auto& table = m.GammaTable();
                        for (uint32_t count : kLengths) {
                            const Bytes source = RandomBytes(count * stride * in, count);
                            Bytes expected(count * stride);
                            for (size_t p = 0; p < count; ++p) {
                                for (size_t k = 0; k < stride; ++k) {
                                    const size_t from = swapRedBlue && k != 1 && k != 3 ? 2 - k : k;
                                    const uint8_t* s = &source[(p * stride + from) * in];
                                    // Big-endian 16-bit samples: v * 255 div 65535.
                                    uint8_t v = in == 1
                                                    ? s[0]
                                                    : uint8_t(((s[0] << 8) | s[1]) * 255 / 65535);
                                    if (gamma && k < 3) v = table[v];
                                    expected[p * stride + k] = v;
                                }
                            }
                            ASSERT_EQ(Convert(m, source, expected.size(), count), expected)
                                << int(sourceBits) << " bits, alpha " << alpha << ", gamma "
                                << gamma << ", swap " << swapRedBlue << ", " << count << " pixels";
                            if (in == 1) {
                                Bytes inPlace = source;
                                m.ConvertRows(inPlace, inPlace, count);
                                ASSERT_EQ(inPlace, expected) << "in place, " << count << " pixels";
                            }
                        }
                    }
                }
            }
        }
    });
}

TEST(ColorLongRows, CMYKAndYCbCrMatchTheirFormulas) {
    OnEveryPath([] {
        for (bool blueFirst : {false, true}) {
            TColorManager cmyk = Manager(cmCMYK, blueFirst ? cmBGR : cmRGB, 8, 8);
            TColorManager ycc = Manager(cmYCbCr, blueFirst ? cmBGR : cmRGB, 8, 8);
            Bytes dummy(4);
            ycc.ConvertRows(dummy, dummy, 1); // builds the chroma tables
            const auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            for (uint32_t count : kLengths) {
                const Bytes source = RandomBytes(count * 4, count + 7);
                Bytes expected(count * 3);
                for (size_t p = 0; p < count; ++p) {
                    const int k = source[p * 4 + 3];
                    for (size_t c = 0; c < 3; ++c) {
                        const int x = source[p * 4 + c];
                        expected[p * 3 + (blueFirst ? 2 - c : c)] =
                            clamp(x * k / 255 - x - k + 255);
                    }
                }
                ASSERT_EQ(Convert(cmyk, source, count * 3, count), expected) << count;

                for (size_t p = 0; p < count; ++p) {
                    const int y = source[p * 3], cb = source[p * 3 + 1], cr = source[p * 3 + 2];
                    const uint8_t red = clamp(y + ycc.CrToRed()[cr]);
                    const uint8_t green = clamp(y + ycc.CbToGreen()[cb] + ycc.CrToGreen()[cr]);
                    const uint8_t blue = clamp(y + ycc.CbToBlue()[cb]);
                    expected[p * 3] = blueFirst ? blue : red;
                    expected[p * 3 + 1] = green;
                    expected[p * 3 + 2] = blueFirst ? red : blue;
                }
                const Bytes yccSource(source.begin(), source.begin() + count * 3);
                ASSERT_EQ(Convert(ycc, yccSource, count * 3, count), expected) << count;
                Bytes inPlace = yccSource;
                ycc.ConvertRows(inPlace, inPlace, count);
                ASSERT_EQ(inPlace, expected) << "in place, " << count;
            }
        }
    });
}

TEST(ColorLongRows, MaskedRowsMatchTheirPasses) {
    // Every pass of an interlaced row, put together, gives the unmasked row.
    TColorManager m = Manager(cmRGBAlpha, cmBGRAlpha, 8, 8);
    m.TargetFlags = cfApplyGamma;
    const uint32_t count = 37;
    const Bytes source = RandomBytes(count * 4, 99);
    const Bytes whole = Convert(m, source, count * 4, count);
    Bytes assembled(count * 4, 0);
    size_t next = 0;
    for (uint8_t mask : {0x80, 0x08, 0x22, 0x55}) {
        Bytes pass;
        for (size_t p = 0; p < count; ++p)
            if (mask & (0x80 >> (p % 8)))
                pass.insert(pass.end(), &source[p * 4], &source[p * 4 + 4]);
        m.ConvertRows(pass, assembled, count, mask);
        next += pass.size();
    }
    EXPECT_EQ(next, source.size());
    EXPECT_EQ(assembled, whole);
}

TEST(ColorBounds, EveryConverterStaysWithinItsRows) {
    // Sources hold exactly the converted pixels and targets exactly `count` pixels (the
    // sanitizer build checks the reads, the guard bytes the writes).
    struct TSide {
        TColorModel model;
        size_t samples;
    };
    const TSide sources[] = {{cmPalette, 1},  {cmGray, 1},  {cmGrayAlpha, 2}, {cmRGB, 3},
                             {cmRGBAlpha, 4}, {cmBGR, 3},   {cmBGRAlpha, 4},  {cmCMYK, 4},
                             {cmCIELab, 3},   {cmYCbCr, 3}, {cmPhotoYCC, 3}};
    const TSide targets[] = {{cmPalette, 1}, {cmGray, 1}, {cmBGR, 3}, {cmRGBAlpha, 4}};
    TColorManager m;
    m.SourceFlags = cfSwapBytes;
    m.TargetFlags = cfApplyGamma;
    OnEveryPath([&] {
        for (const TSide& source : sources) {
            for (const TSide& target : targets) {
                for (uint8_t sourceBits : {1, 2, 4, 5, 8, 16}) {
                    for (uint8_t targetBits : {1, 4, 8, 16}) {
                        for (uint8_t mask : {0xFF, 0xAA, 0x01}) {
                            for (uint32_t count : {1u, 7u, 33u, 100u}) {
                                uint32_t converted = 0;
                                for (uint32_t i = 0; i < count; ++i)
                                    converted += (mask >> (7 - i % 8)) & 1;
                                const size_t bytes = (sourceBits + 7) / 8;
                                const bool packed = source.samples == 1 && sourceBits < 8;
                                const size_t perByte = packed ? 8 / sourceBits : 1;
                                const size_t sourceSize = packed
                                                              ? (converted + perByte - 1) / perByte
                                                              : converted * source.samples * bytes;
                                const size_t targetSize =
                                    target.samples == 1
                                        ? (size_t(count) * targetBits + 7) / 8
                                        : size_t(count) * target.samples * (targetBits / 8);
                                for (bool planar : {false, true}) {
                                    if (planar && source.samples < 3) continue;
                                    m.SetSourceModel(source.model);
                                    m.SetTargetModel(target.model);
                                    m.SetSourceSampleBits(sourceBits);
                                    m.SetTargetSampleBits(targetBits);
                                    std::vector<Bytes> planes;
                                    if (planar)
                                        planes.assign(source.samples,
                                                      Bytes(converted * bytes, 0x5A));
                                    else
                                        planes.assign(1, Bytes(sourceSize, 0xA5));
                                    try {
                                        ConvertPlanar(m, planes, targetSize, count, mask);
                                    } catch (const EColorConversionError&) {
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }
    });
}

// Every converter checks the extents it is given: rows of exactly the size the settings need
// convert, rows one byte shorter on either side raise before anything is touched.
TEST(ColorExtents, RowsOneByteShortRaiseForEveryConverter) {
    struct TCase {
        TColorModel source, target;
        uint8_t sourceBits, targetBits;
    };
    std::vector<TCase> cases;
    for (uint8_t s : {1, 2, 4, 8, 16})
        for (uint8_t t : {1, 2, 4, 8, 16}) {
            cases.push_back({cmPalette, cmPalette, s, t});
            cases.push_back({cmGray, cmGray, s, t});
        }
    for (uint8_t s : {8, 16})
        for (uint8_t t : {8, 16}) {
            cases.push_back({cmGrayAlpha, cmGray, s, t});
            for (TColorModel source :
                 {cmRGB, cmRGBAlpha, cmBGR, cmBGRAlpha, cmCMYK, cmCIELab, cmYCbCr, cmPhotoYCC})
                for (TColorModel target : {cmRGB, cmRGBAlpha, cmBGR, cmBGRAlpha})
                    cases.push_back({source, target, s, t});
        }
    size_t checked = 0;
    for (const TCase& c : cases) {
        for (uint32_t count : {1u, 7u, 9u, 33u}) {
            for (uint8_t mask : {uint8_t(0xFF), uint8_t(0xAA), uint8_t(0x01)}) {
                TColorManager m = Manager(c.source, c.target, c.sourceBits, c.targetBits);
                const size_t sourceBytes = m.RowBytes(count, false);
                const size_t targetBytes = m.RowBytes(count, true);
                if (sourceBytes == 0 || targetBytes == 0) continue; // nothing converts these
                SCOPED_TRACE(testing::Message() << int(c.source) << "->" << int(c.target) << " "
                                                << int(c.sourceBits) << "->" << int(c.targetBits)
                                                << " count " << count << " mask " << int(mask));
                Bytes source(sourceBytes, 0x5A), target(targetBytes, kCanary);
                EXPECT_NO_THROW(m.ConvertRows(source, target, count, mask));
                // The source needs only the pixels the mask converts.
                uint32_t converted = 0;
                for (uint32_t i = 0; i < count; ++i) converted += (mask >> (7 - i % 8)) & 1;
                const size_t maskedBytes = converted == 0 ? 0 : m.RowBytes(converted, false);
                if (maskedBytes > 0) {
                    const Bytes shortSource(maskedBytes - 1, 0x5A);
                    EXPECT_THROW(m.ConvertRows(shortSource, target, count, mask),
                                 EColorConversionError);
                }
                Bytes shortTarget(targetBytes - 1, kCanary);
                EXPECT_THROW(m.ConvertRows(source, shortTarget, count, mask),
                             EColorConversionError);
                EXPECT_EQ(shortTarget, Bytes(targetBytes - 1, kCanary));
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1000u);
}

TEST(ColorExtents, PlanarRowsAreCheckedPlaneByPlane) {
    const auto check = [](TColorModel source, uint8_t bits, size_t planes) {
        SCOPED_TRACE(int(source));
        TColorManager m = Manager(source, cmBGR, bits, 8);
        const uint32_t count = 5;
        const size_t planeBytes = count * bits / 8;
        std::vector<Bytes> rows(planes, Bytes(planeBytes, 0x40));
        Bytes target(m.RowBytes(count, true));
        const auto convert = [&] {
            std::vector<std::span<const uint8_t>> spans(rows.begin(), rows.end());
            m.ConvertRows(spans, target, count);
        };
        EXPECT_NO_THROW(convert());
        for (size_t k = 0; k < planes; ++k) {
            rows[k].pop_back();
            EXPECT_THROW(convert(), EColorConversionError) << "plane " << k;
            rows[k].push_back(0x40);
        }
    };
    check(cmRGB, 8, 3);
    check(cmRGB, 16, 3);
    check(cmCMYK, 8, 4);
    check(cmCMYK, 16, 4);
    check(cmYCbCr, 8, 3);
    check(cmCIELab, 16, 3);
    // A row of the right size but too many planes is refused as well.
    TColorManager m = Manager(cmRGB, cmBGR, 8, 8);
    const Bytes plane(1);
    Bytes target(3);
    EXPECT_THROW(m.ConvertRows({plane, plane, plane, plane, plane}, target, 1),
                 EColorConversionError);
}

TEST(ColorLongRows, BlocksBeyondTheCachesMatchRowByRowResults) {
#ifdef CHRONOLITH_COLOR_SIMD
    // Blocks of StreamingBytes and more are written around the caches from the first 64-byte
    // boundary of the target: targets at every offset of a boundary, RGB with red and blue
    // exchanged (gamma or not, in place or not) and plain copies.
    const uint32_t count = uint32_t(ColorSimd::StreamingBytes / 3 + 70);
    const Bytes source = RandomBytes(size_t(count) * 3 + 64, 7);
    for (bool gamma : {false, true}) {
        TColorManager m = Manager(cmRGB, cmBGR, 8, 8);
        if (gamma) m.TargetFlags = cfApplyGamma;
        const auto& table = m.GammaTable();
        Bytes expected(size_t(count) * 3);
        for (size_t i = 0; i < expected.size(); ++i) {
            const uint8_t v = source[i % 3 == 1 ? i : i % 3 == 0 ? i + 2 : i - 2];
            expected[i] = gamma ? table[v] : v;
        }
        for (size_t offset : {0, 1, 2, 3, 17, 63}) {
            Bytes target(expected.size() + 64 + 16, kCanary);
            m.ConvertRows(std::span(source).first(expected.size()),
                          std::span(target).subspan(offset, expected.size()), count);
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), target.begin() + offset))
                << "gamma " << gamma << ", offset " << offset;
            ASSERT_EQ(target[offset + expected.size()], kCanary);
            if (offset != 0) {
                ASSERT_EQ(target[offset - 1], kCanary);
            }
        }
        Bytes inPlace(source.begin(), source.begin() + expected.size());
        m.ConvertRows(inPlace, inPlace, count);
        ASSERT_EQ(inPlace, expected) << "in place, gamma " << gamma;
    }
    for (size_t offset : {0, 5, 63}) {
        Bytes target(source.size() + 64 + 16, kCanary);
        TColorManager::CopyPixels(source, std::span(target).subspan(offset, source.size()));
        ASSERT_TRUE(std::equal(source.begin(), source.end(), target.begin() + offset)) << offset;
        ASSERT_EQ(target[offset + source.size()], kCanary);
    }
#endif
}
