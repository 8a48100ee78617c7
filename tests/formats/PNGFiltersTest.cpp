#include "FormatTestSupport.h"

#include "imaging/formats/PNGFilters.h"
#include "imaging/formats/PNGGraphic.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

using namespace formats_test;

namespace {

// The filters as the format defines them, byte by byte: a is the byte one pixel to the left,
// b the byte above, c the byte above a; 0 outside the image.
Bytes Reference(uint8_t type, const Bytes& filtered, const Bytes& prior, size_t bpp) {
    Bytes row = filtered;
    for (size_t i = 0; i < row.size(); ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = prior[i];
        const int c = i >= bpp ? prior[i - bpp] : 0;
        int predictor = 0;
        switch (type) {
        case 1:
            predictor = a;
            break;
        case 2:
            predictor = b;
            break;
        case 3:
            predictor = (a + b) / 2;
            break;
        case 4: {
            const int p = a + b - c;
            const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            break;
        }
        default:
            break;
        }
        row[i] = uint8_t(row[i] + predictor);
    }
    return row;
}

struct TVectorsOff {
    TVectorsOff() { PNGFilters::SetVectorsEnabled(false); }
    ~TVectorsOff() { PNGFilters::SetVectorsEnabled(true); }
};

} // namespace

TEST(PNGFilters, EveryFilterAndPixelSizeMatchesTheDefinitionWithVectorsOnAndOff) {
    uint32_t seed = 2024;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return uint8_t(seed >> 24);
    };
    for (const bool vectors : {true, false}) {
        PNGFilters::SetVectorsEnabled(vectors);
        for (const size_t bpp : {1, 2, 3, 4, 5, 6, 8}) {
            for (const size_t pixels : {1, 2, 3, 7, 33, 100}) {
                const size_t count = bpp * pixels;
                // Smooth rows with noise, so that Paeth picks each of its three neighbours.
                Bytes filtered(count), prior(count);
                for (size_t i = 0; i < count; ++i) {
                    filtered[i] = uint8_t(next() % 8 + (i % 3 == 0 ? 0 : 250));
                    prior[i] = uint8_t(i * 5 + next() % 16);
                }
                for (const uint8_t type : {0, 1, 2, 3, 4, 5}) {
                    SCOPED_TRACE(testing::Message()
                                 << "vectors " << vectors << " bpp " << bpp << " pixels " << pixels
                                 << " type " << int(type));
                    Bytes row(count + PNGFilters::RowPadding), above(row.size());
                    for (size_t i = 0; i < row.size(); ++i) {
                        row[i] = i < count ? filtered[i] : next();
                        above[i] = i < count ? prior[i] : next();
                    }
                    const Bytes padding(row.begin() + std::ptrdiff_t(count), row.end());
                    PNGFilters::Unfilter(type, row.data(), above.data(), int(bpp), count);
                    EXPECT_EQ(Bytes(row.begin(), row.begin() + std::ptrdiff_t(count)),
                              Reference(type, filtered, prior, bpp));
                    EXPECT_EQ(Bytes(row.begin() + std::ptrdiff_t(count), row.end()), padding);
                }
            }
        }
    }
    PNGFilters::SetVectorsEnabled(true);
}

TEST(PNGFilters, FilesOfIndependentEncodersLoadPixelForPixelWithVectorsOff) {
    const TVectorsOff off;
    EXPECT_FALSE(PNGFilters::VectorsAvailable());
    for (const std::string& name : DataFiles("png", ".png")) {
        SCOPED_TRACE(name);
        const auto image = Load<TPNGGraphic>(ReadFile(DataPath("png/" + name)));
        EXPECT_EQ(CompareWithReference(*image, ReadReference(DataPath("png/" + name + ".rgba.gz"))),
                  "");
    }
}
