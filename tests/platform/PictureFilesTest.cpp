// The system's own picture classes on files written by other tools, and on lying headers.
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/JPEGImage.h"
#include "platform/graphics/Metafile.h"
#include "platform/graphics/Stream.h"

#include "../ShrinkCompare.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

const std::string Data = CHRONOLITH_TEST_DATA "/platform/";

std::vector<uint8_t> ReadFixture(const std::string& name) {
    TMemoryStream stream;
    stream.LoadFromFile(Data + name);
    return stream.Data();
}

void Put32(std::vector<uint8_t>& data, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) data[at + i] = uint8_t(value >> (8 * i));
}

long MaxResidentKB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Loads `data` into `graphic` and answers the message of the EInvalidGraphic it raises.
std::string LoadError(TGraphic& graphic, std::vector<uint8_t> data) {
    TMemoryStream stream(std::move(data));
    try {
        graphic.LoadFromStream(stream);
    } catch (const EInvalidGraphic& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(BitmapFile, KeepsTheNearestPixelFormatAndThePalette) {
    const std::pair<const char*, TBitmapFormat> files[] = {
        {"bmp1.bmp", bf1Bit},    {"bmp4.bmp", bf4Bit},        {"bmp8.bmp", bf8Bit},
        {"bmp8rle.bmp", bf8Bit}, {"bmp15.bmp", bf15Bit},      {"bmp16.bmp", bf16Bit},
        {"bmp24.bmp", bf24Bit},  {"bmptopdown.bmp", bf24Bit}, {"bmp32.bmp", bf32Bit}};
    for (const auto& [name, format] : files) {
        SCOPED_TRACE(name);
        TBitmap bitmap;
        bitmap.LoadFromFile(Data + name);
        EXPECT_EQ(bitmap.PixelFormat(), format);
        EXPECT_EQ(bitmap.Width(), 37);
        EXPECT_EQ(bitmap.Height(), 23);
    }
    TBitmap bitmap;
    bitmap.LoadFromFile(Data + "bmp1.bmp");
    EXPECT_EQ(bitmap.Palette().Count(), 2u);
    bitmap.LoadFromFile(Data + "bmp4.bmp");
    EXPECT_EQ(bitmap.Palette().Count(), 16u);
}

TEST(BitmapFile, ProgressEventsStartRunAndEnd) {
    TBitmap bitmap;
    std::vector<TProgressStage> stages;
    bitmap.OnProgress = [&stages](TGraphic&, TProgressStage stage, uint8_t, bool, const TRect&,
                                  const std::string&) { stages.push_back(stage); };
    bitmap.LoadFromFile(Data + "bmp24.bmp");
    EXPECT_EQ(stages, (std::vector<TProgressStage>{psStarting, psRunning, psEnding}));
}

TEST(BitmapFile, HugeClaimedSizeRaisesWithBoundedMemory) {
    std::vector<uint8_t> data = ReadFixture("bmp24.bmp");
    Put32(data, 18, 100000);
    Put32(data, 22, 100000);
    const long before = MaxResidentKB();
    TBitmap bitmap;
    // Uncompressed rows must be in the file; run-length rows can skip, so the cap holds them.
    EXPECT_EQ(
        LoadError(bitmap, data),
        "Cannot load image. The BMP file holds too little data for the image size it states.");
    std::vector<uint8_t> rle = ReadFixture("bmp8rle.bmp");
    Put32(rle, 18, 100000);
    Put32(rle, 22, 100000);
    EXPECT_NE(LoadError(bitmap, rle).find("image of 100000 x 100000 pixels"), std::string::npos);
    EXPECT_LT(MaxResidentKB() - before, 64 * 1024);
    EXPECT_TRUE(bitmap.Empty());
}

TEST(BitmapFile, DamagedFilesRaise) {
    const std::vector<uint8_t> good = ReadFixture("bmp8.bmp");
    TBitmap bitmap;
    EXPECT_EQ(LoadError(bitmap, {}), "Invalid bitmap file.");
    EXPECT_EQ(LoadError(bitmap, {good.begin(), good.begin() + 20}),
              "Cannot load image. The data ends unexpectedly.");
    std::vector<uint8_t> data = good;
    data[0] = 'X';
    EXPECT_EQ(LoadError(bitmap, data), "Invalid bitmap file.");
    data = good;
    data[28] = 7; // bits per pixel
    EXPECT_NE(LoadError(bitmap, data), "(no error)");
    data = good;
    Put32(data, 22, 0x80000000u); // height INT32_MIN
    EXPECT_EQ(LoadError(bitmap, data), "Invalid bitmap file.");
    // Pixel data cut short: the reader fails or fills what is there, never more.
    data.assign(good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2));
    const std::string message = LoadError(bitmap, data);
    if (message != "(no error)") {
        EXPECT_TRUE(bitmap.Empty());
    }
}

TEST(IconFile, LoadsTheFirstImageWithItsAlpha) {
    TIcon icon;
    icon.LoadFromFile(Data + "icon.ico");
    EXPECT_EQ(icon.Width(), 16);
    EXPECT_EQ(icon.Height(), 10);
    ASSERT_NE(icon.AsBitmap(), nullptr);
    EXPECT_EQ(icon.AsBitmap()->PixelFormat(), bf32Bit);
    EXPECT_EQ(LoadError(icon, {0, 0, 1, 0}), "Invalid icon file.");
}

TEST(JPEGFile, DecodesGreyColourProgressiveAndCMYK) {
    const std::tuple<const char*, TBitmapFormat, bool> files[] = {
        {"jpeg_rgb.jpg", bf24Bit, false},
        {"jpeg_progressive.jpg", bf24Bit, true},
        {"jpeg_gray.jpg", bf8Bit, false},
        {"jpeg_cmyk.jpg", bf24Bit, false}};
    for (const auto& [name, format, progressive] : files) {
        SCOPED_TRACE(name);
        TJPEGImage jpeg;
        int events = 0;
        jpeg.OnProgress = [&events](TGraphic&, TProgressStage, uint8_t, bool, const TRect&,
                                    const std::string&) { ++events; };
        jpeg.LoadFromFile(Data + name);
        EXPECT_EQ(jpeg.AsBitmap()->PixelFormat(), format);
        EXPECT_EQ(jpeg.ProgressiveEncoding(), progressive);
        EXPECT_EQ(jpeg.Width(), 37);
        EXPECT_EQ(jpeg.Height(), 23);
        EXPECT_EQ(events, 4); // start, two blocks of rows, end
    }
    TJPEGImage gray;
    gray.LoadFromFile(Data + "jpeg_gray.jpg");
    ASSERT_EQ(gray.AsBitmap()->Palette().Count(), 256u);
    EXPECT_EQ(gray.AsBitmap()->Palette()[200], (TRGBQuad{200, 200, 200, 0}));
}

TEST(JPEGFile, DecodesAtTheSizeAskedFor) {
    TJPEGImage full;
    full.LoadFromFile(Data + "jpeg_shrink.jpg");
    ASSERT_EQ(full.Width(), 160);
    // At least 40 x 20 of 160 x 96: the transform scaled by 1/4, 40 x 24.
    TJPEGImage small;
    small.SetRequestedSize(40, 20);
    small.LoadFromFile(Data + "jpeg_shrink.jpg");
    EXPECT_EQ(small.Width(), 40);
    EXPECT_EQ(small.Height(), 24);
    EXPECT_EQ(small.FullWidth(), 160);
    EXPECT_EQ(small.FullHeight(), 96);
    EXPECT_GT(shrink_test::BlockPSNR(*small.AsBitmap(), *full.AsBitmap(), 4), 30.0);
    // Never smaller than asked, and never larger than stored.
    small.SetRequestedSize(41, 20);
    small.LoadFromFile(Data + "jpeg_shrink.jpg");
    EXPECT_EQ(small.Width(), 80);
    small.SetRequestedSize(1000, 1000);
    small.LoadFromFile(Data + "jpeg_shrink.jpg");
    EXPECT_EQ(small.Width(), 160);
}

TEST(JPEGFile, HugeClaimedSizeRaisesWithBoundedMemory) {
    std::vector<uint8_t> data = ReadFixture("jpeg_rgb.jpg");
    size_t sof = 2;
    while (sof + 9 < data.size() && !(data[sof] == 0xFF && data[sof + 1] == 0xC0)) ++sof;
    ASSERT_LT(sof + 9, data.size());
    for (size_t at : {sof + 5, sof + 7}) { // height, width: 65000
        data[at] = 0xFD;
        data[at + 1] = 0xE8;
    }
    const long before = MaxResidentKB();
    TJPEGImage jpeg;
    EXPECT_EQ(LoadError(jpeg, data),
              "Cannot load image. The JPEG file holds too little data for the image size it "
              "states.");
    // A fuzz finding: 189 bytes stating 24611 x 2823 CMYK pixels, which libjpeg decoded from
    // nothing in seconds.
    EXPECT_NE(LoadError(jpeg, ReadFixture("fuzz_jpeg_claims_much.jpg")).find("too little data"),
              std::string::npos);
    EXPECT_LT(MaxResidentKB() - before, 64 * 1024);
    EXPECT_TRUE(jpeg.Empty());
}

TEST(JPEGFile, LibraryErrorsBecomeExceptions) {
    TJPEGImage jpeg;
    EXPECT_EQ(LoadError(jpeg, {}).rfind("JPEG error #", 0), 0u);
    EXPECT_EQ(LoadError(jpeg, {'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}).rfind("JPEG error #", 0),
              0u);
    // A file cut after its header decodes what is there (libjpeg pads the rest).
    const std::vector<uint8_t> good = ReadFixture("jpeg_progressive.jpg");
    const std::string message =
        LoadError(jpeg, {good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)});
    EXPECT_EQ(message, "(no error)");
    EXPECT_EQ(jpeg.Width(), 37);
    // The bitmap's cap applies to JPEG pictures too, and bounds libjpeg's whole-image buffers
    // of progressive files (here: the bitmap fits, the coefficients do not).
    const size_t cap = TBitmap::MaxPixelBytes();
    TBitmap::SetMaxPixelBytes(1000);
    EXPECT_NE(LoadError(jpeg, good).find("memory limit of 1000 bytes"), std::string::npos);
    TBitmap::SetMaxPixelBytes(3000);
    EXPECT_EQ(LoadError(jpeg, ReadFixture("jpeg_rgb.jpg")), "(no error)");
    EXPECT_NE(LoadError(jpeg, good).find("progressive JPEG of 37 x 23"), std::string::npos);
    TBitmap::SetMaxPixelBytes(cap);
    EXPECT_TRUE(jpeg.Empty());
}

TEST(JPEGFile, EndlessScansStop) {
    // The last scan of a progressive file repeated until the file has far too many scans.
    const std::vector<uint8_t> good = ReadFixture("jpeg_progressive.jpg");
    size_t lastScan = 0;
    for (size_t i = 0; i + 1 < good.size(); ++i)
        if (good[i] == 0xFF && good[i + 1] == 0xDA) lastScan = i;
    ASSERT_GT(lastScan, 0u);
    const size_t end = good.size() - 2; // the end-of-image marker
    std::vector<uint8_t> data(good.begin(), good.begin() + std::ptrdiff_t(end));
    for (int i = 0; i < TJPEGImage::MaxScans; ++i)
        data.insert(data.end(), good.begin() + std::ptrdiff_t(lastScan),
                    good.begin() + std::ptrdiff_t(end));
    data.insert(data.end(), {0xFF, 0xD9});
    TJPEGImage jpeg;
    EXPECT_NE(LoadError(jpeg, data).find("More than 1000 scans"), std::string::npos);
}

// A placeable WMF header and the standard header after it.
std::vector<uint8_t> PlaceableWMF(int16_t right, int16_t bottom, uint16_t inch) {
    std::vector<uint8_t> data(22 + 18 + 6, 0);
    Put32(data, 0, 0x9AC6CDD7);
    auto put16 = [&data](size_t at, uint16_t v) {
        data[at] = uint8_t(v);
        data[at + 1] = uint8_t(v >> 8);
    };
    put16(10, uint16_t(right));
    put16(12, uint16_t(bottom));
    put16(14, inch);
    uint16_t sum = 0;
    for (size_t i = 0; i < 10; ++i) sum ^= uint16_t(data[2 * i] | (data[2 * i + 1] << 8));
    put16(20, sum);
    put16(22, 1);                  // type
    put16(24, 9);                  // header words
    put16(26, 0x300);              // version
    Put32(data, 28, (18 + 6) / 2); // size in words
    put16(40, 3);                  // the end record
    return data;
}

TEST(MetafileFile, ReadsTheSizeOfPlaceableWMFAndEMF) {
    TMetafile metafile;
    TMemoryStream wmf(PlaceableWMF(2000, 1000, 1000)); // 2 x 1 inches
    metafile.LoadFromStream(wmf);
    EXPECT_FALSE(metafile.Enhanced());
    EXPECT_EQ(metafile.Width(), 192);
    EXPECT_EQ(metafile.Height(), 96);
    EXPECT_EQ(metafile.MMWidth(), 5080);
    EXPECT_EQ(metafile.AsBitmap(), nullptr);
    EXPECT_EQ(wmf.Position(), wmf.Size());

    std::vector<uint8_t> emf(100, 0);
    Put32(emf, 0, 1);
    Put32(emf, 4, 88);
    Put32(emf, 32, 2540 * 3); // frame right: 3 inches
    Put32(emf, 36, 2540);     // frame bottom: 1 inch
    Put32(emf, 40, 0x464D4520);
    Put32(emf, 48, 100);
    TMemoryStream emfStream(emf);
    metafile.LoadFromStream(emfStream);
    EXPECT_TRUE(metafile.Enhanced());
    EXPECT_EQ(metafile.Width(), 288);
    EXPECT_EQ(metafile.Height(), 96);
    EXPECT_EQ(emfStream.Position(), 100);

    // Lying sizes and checksums.
    std::vector<uint8_t> bad = emf;
    Put32(bad, 48, 1000); // claims more bytes than the stream holds
    EXPECT_EQ(LoadError(metafile, bad), "Métafichier non valide");
    bad = PlaceableWMF(2000, 1000, 1000);
    bad[20] ^= 1;
    EXPECT_EQ(LoadError(metafile, bad), "Métafichier non valide");
    EXPECT_EQ(LoadError(metafile, PlaceableWMF(2000, 1000, 0)), "Métafichier non valide");
    EXPECT_EQ(LoadError(metafile, {1, 2, 3}), "Métafichier non valide");
    EXPECT_TRUE(metafile.Empty());
}

} // namespace
