// Checks shared by the PCX, SGI, Photoshop and Paintshop Pro reader tests.
#pragma once

#include "FormatTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace formats_test {

// Loads every `extension` file of a fixture folder and compares it with its expected pixels;
// answers how many there were.
template <class T>
size_t ExpectFixturesMatchReferences(const std::string& folder, const std::string& extension) {
    return ForEachFile(folder, extension, [&](const std::string& name, const Bytes& bytes) {
        SCOPED_TRACE(folder + "/" + name);
        std::unique_ptr<T> image;
        try {
            image = Load<T>(bytes);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
            return;
        }
        EXPECT_EQ(
            CompareWithReference(*image, ReadReference(DataPath(folder + "/" + name + ".rgba.gz"))),
            "");
    });
}

// Every prefix of `file` (every length short of its own) loads or raises one of the library's
// exceptions; prefixes shorter than `mustFailBelow` bytes (those that cut the image data)
// always raise. Answers how many prefixes raised.
template <class T> size_t ExpectEveryCutFailsCleanly(const Bytes& file, size_t mustFailBelow) {
    size_t raised = 0;
    for (size_t length = 0; length < file.size(); ++length) {
        const Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(length));
        try {
            Load<T>(cut);
            EXPECT_GE(length, mustFailBelow) << "a file cut at " << length << " bytes loaded";
        } catch (const Exception&) {
            ++raised;
        }
    }
    return raised;
}

// Every pixel of `image` within `tolerance` levels of the reference, in each of its four
// channels: for decoders that round where the reference's truncates.
inline void ExpectNearReference(const TBitmap& image, const TReference& reference, int tolerance) {
    ASSERT_EQ(image.Width(), reference.Width);
    ASSERT_EQ(image.Height(), reference.Height);
    for (int32_t y = 0; y < reference.Height; ++y)
        for (int32_t x = 0; x < reference.Width; ++x) {
            const TRGBQuad pixel = image.PixelColor(x, y);
            const uint8_t* expected = &reference.Pixels[(size_t(y) * reference.Width + x) * 4];
            const uint8_t got[4] = {pixel.rgbRed, pixel.rgbGreen, pixel.rgbBlue, pixel.rgbReserved};
            for (int c = 0; c < 4; ++c)
                ASSERT_LE(std::abs(int(got[c]) - int(expected[c])), tolerance)
                    << "pixel (" << x << ", " << y << ") channel " << c;
        }
}

} // namespace formats_test
