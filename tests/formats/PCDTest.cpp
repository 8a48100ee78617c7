#include "FormatTestSupport.h"

#include "imaging/formats/PCDGraphic.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

using namespace formats_test;

namespace {

constexpr size_t RotationOffset = 3586;

const Bytes& Pack() {
    static const Bytes pack = ReadGzipFile(DataPath("pcd/pack.pcd.gz"));
    return pack;
}
const TReference& PackReference() {
    static const TReference reference = ReadReference(DataPath("pcd/pack.pcd.rgba.gz"));
    return reference;
}

// The reference turned a quarter: left (rotation 1) or right (rotation 3).
TReference Turned(const TReference& source, bool left) {
    TReference turned{source.Height, source.Width, Bytes(source.Pixels.size())};
    for (int32_t y = 0; y < source.Height; ++y) {
        for (int32_t x = 0; x < source.Width; ++x) {
            const int32_t tx = left ? y : source.Height - 1 - y;
            const int32_t ty = left ? source.Width - 1 - x : x;
            std::copy_n(&source.Pixels[(size_t(y) * source.Width + x) * 4], 4,
                        &turned.Pixels[(size_t(ty) * turned.Width + tx) * 4]);
        }
    }
    return turned;
}

Bytes WithRotation(uint8_t rotation) {
    Bytes pack = Pack();
    pack[RotationOffset] = uint8_t((pack[RotationOffset] & ~3) | rotation);
    return pack;
}

} // namespace

TEST(PhotoCDReader, BaseImageAndOverviewThumbnailLoadPixelForPixel) {
    const auto image = Load<TPCDGraphic>(Pack());
    EXPECT_EQ(image->PixelFormat(), bf24Bit);
    EXPECT_EQ(CompareWithReference(*image, PackReference()), "");
    const auto overview = Load<TPCDGraphic>(ReadFile(DataPath("pcd/overview.pcd")));
    EXPECT_TRUE(overview->ImageProperties.Overview);
    EXPECT_EQ(overview->ImageProperties.ImageCount, 2);
    EXPECT_EQ(CompareWithReference(*overview, ReadReference(DataPath("pcd/overview.pcd.rgba.gz"))),
              "");
}

TEST(PhotoCDReader, QuarterTurnsAndHalfTurnsNotApplied) {
    // Rotation 1: the left column is the stored top row read from the bottom up.
    const auto left = Load<TPCDGraphic>(WithRotation(1));
    EXPECT_EQ(left->ImageProperties.Width, 512u);
    EXPECT_EQ(left->ImageProperties.Height, 768u);
    EXPECT_EQ(CompareWithReference(*left, Turned(PackReference(), true)), "");
    const auto right = Load<TPCDGraphic>(WithRotation(3));
    EXPECT_EQ(CompareWithReference(*right, Turned(PackReference(), false)), "");
    const auto half = Load<TPCDGraphic>(WithRotation(2));
    EXPECT_EQ(CompareWithReference(*half, PackReference()), "");
}

TEST(PhotoCDReader, RecognitionAndResolutions) {
    Bytes header(Pack().begin(), Pack().begin() + 6144);
    EXPECT_FALSE(Recognized<TPCDGraphic>(header));
    header.push_back(0);
    EXPECT_TRUE(Recognized<TPCDGraphic>(header));
    Bytes other = header;
    other[2048] = 'X';
    EXPECT_FALSE(Recognized<TPCDGraphic>(other));

    struct {
        uint32_t index, width, height;
        TCompressionKind compression;
    } cases[] = {{0, 192, 128, ckNone},
                 {2, 768, 512, ckNone},
                 {4, 3072, 2048, ckPhotoCDHuffman},
                 {9, 6144, 4096, ckPhotoCDHuffman}};
    for (const auto& c : cases) {
        TPCDGraphic image;
        TMemoryStream stream(header);
        ASSERT_TRUE(image.ReadImageHeader(stream, c.index));
        EXPECT_EQ(image.ImageProperties.Width, c.width) << c.index;
        EXPECT_EQ(image.ImageProperties.Height, c.height) << c.index;
        EXPECT_EQ(image.ImageProperties.Compression, c.compression) << c.index;
        EXPECT_EQ(image.ImageProperties.ColorModel, cmPhotoYCC);
    }
    TPCDGraphic image;
    TMemoryStream overview(ReadFile(DataPath("pcd/overview.pcd")));
    ASSERT_TRUE(image.ReadImageHeader(overview, 4));
    EXPECT_EQ(image.ImageProperties.Width, 192u);
    EXPECT_EQ(image.ImageProperties.Height, 128u);
}

TEST(PhotoCDReader, UpsampledChromaKeepsItsLastStoredSamples) {
    // A 3 x 2 plane in a stride of 6 becomes 6 x 4.
    Bytes plane = {10, 20, 40, 0, 0, 0, 30, 60, 90, 0, 0, 0};
    plane.resize(24);
    TPCDGraphic::UpsampleChroma(3, 2, 6, plane);
    const Bytes expected = {10, 15, 20, 30, 40, 40, //
                            20, 30, 40, 53, 65, 65, //
                            30, 45, 60, 75, 90, 90, //
                            30, 45, 60, 75, 90, 90};
    EXPECT_EQ(plane, expected);
    // A plane too small for the result is left alone.
    Bytes small = {1, 2, 3, 4};
    TPCDGraphic::UpsampleChroma(2, 2, 4, small);
    EXPECT_EQ(small, (Bytes{1, 2, 3, 4}));
}

TEST(PhotoCDReader, ShortOrForeignFilesFailCleanlyOrStayEmpty) {
    // Without either signature the bitmap stays empty and nothing is raised.
    Bytes foreign(7000, 0);
    EXPECT_TRUE(Load<TPCDGraphic>(foreign)->Empty());
    // Cut inside the header or the Base image.
    for (size_t size : {size_t(100), size_t(6000), size_t(96 * 2048), Pack().size() - 1}) {
        SCOPED_TRACE(size);
        TBudgetScope budget(size_t(8) << 20);
        const std::string error =
            LoadError<TPCDGraphic>(Bytes(Pack().begin(), Pack().begin() + std::ptrdiff_t(size)));
        EXPECT_TRUE(error == "Cannot load image. The PCD file ends inside its Base image." ||
                    error == "Stream read error in PCD file.")
            << error;
    }
}
