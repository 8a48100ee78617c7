#include "imaging/ImageGraphic.h"
#include "imaging/codecs/Decoder.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

// A tiny format for exercising the base: "TST1", width and height (LE16), the offset of the
// pixel data from the start of the image (LE32), then 8-bit grey rows, each one byte longer
// than the width (a filler byte first, which the test decoder drops).
constexpr uint8_t kMagic[4] = {'T', 'S', 'T', '1'};

std::vector<uint8_t> MakeImage(uint16_t width, uint16_t height, uint32_t dataOffset = 12) {
    std::vector<uint8_t> d(kMagic, kMagic + 4);
    d.push_back(uint8_t(width));
    d.push_back(uint8_t(width >> 8));
    d.push_back(uint8_t(height));
    d.push_back(uint8_t(height >> 8));
    for (int i = 0; i < 4; ++i) d.push_back(uint8_t(dataOffset >> (8 * i)));
    d.resize(dataOffset, 0xEE);
    for (uint16_t y = 0; y < height; ++y) {
        d.push_back(0xFF);
        for (uint16_t x = 0; x < width; ++x) d.push_back(uint8_t(y * 16 + x));
    }
    return d;
}

// Counts what the base does with a decoder; drops each row's first byte.
struct TDecoderLog {
    int begun = 0, ended = 0, destroyed = 0, rows = 0;
};

class TCountingDecoder : public TDecoder {
public:
    TCountingDecoder(TDecoderLog& log, int failAtRow) : log_(log), failAtRow_(failAtRow) {}
    ~TCountingDecoder() override { ++log_.destroyed; }
    void BeginDecoding() override { ++log_.begun; }
    void EndDecoding() override { ++log_.ended; }
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override {
        if (log_.rows++ == failAtRow_) throw EGraphicCompression("Broken row.");
        ASSERT_EQ(inputSize, outputSize + 1);
        std::memcpy(output, input + 1, size_t(outputSize));
    }
    void Encode(const uint8_t*, uint8_t*, uint32_t, uint32_t&) override {}

private:
    TDecoderLog& log_;
    int failAtRow_;
};

class TTestGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    static bool Recognize(TStream& stream) {
        uint8_t magic[4];
        return stream.Read(magic, 4) == 4 && std::memcmp(magic, kMagic, 4) == 0;
    }

    bool ReadImageHeader(TStream& stream, uint32_t index) override {
        TImageGraphic::ReadImageHeader(stream, index);
        if (!Recognize(stream)) return false;
        ImageProperties.Width = stream.ReadLE16();
        ImageProperties.Height = stream.ReadLE16();
        dataOffset_ = stream.ReadLE32();
        ImageProperties.BitsPerSample = 8;
        ImageProperties.SamplesPerPixel = 1;
        ImageProperties.BitsPerPixel = 8;
        ImageProperties.Compression = ckRunLength;
        return true;
    }

    void DecodeImage(TStream& stream) override {
        TLoad load(*this, stream, "TST", check);
        if (!load.HeaderValid()) return;
        load.Prepare();
        SetPixelFormat(bf8Bit);
        SetSize(int32_t(ImageProperties.Width), int32_t(ImageProperties.Height));
        std::vector<uint8_t> row(size_t(Width()) + 1);
        TDecoderSession decoder(std::make_unique<TCountingDecoder>(log, failAtRow));
        load.Seek(dataOffset_);
        load.BeginTransfer();
        for (int32_t y = 0; y < Height(); ++y) {
            SourceStream->ReadBuffer(row.data(), row.size());
            const uint8_t* in = row.data();
            uint8_t* out = ScanLine(y);
            decoder->Decode(in, out, int32_t(row.size()), Width());
            load.Row(y);
        }
        decoder.Finish();
        load.Finish();
    }

    // Lets tests reach the protected parts.
    using TImageGraphic::ColorEngine;
    using TImageGraphic::SourceStream;
    using TImageGraphic::StreamStart;
    void Gamma(float value) { ApplySourceGamma(value); }

    THeaderCheck check = hcRaise;
    int failAtRow = -1;
    TDecoderLog log;

private:
    uint32_t dataOffset_ = 0;
};

DEFINE_GRAPHIC_CLASS(TTestGraphic, TImageGraphic)

// Reads its whole stream `Passes` times, as a file of blocks sharing one offset makes a reader.
class TRereadingGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()
    bool ReadImageHeader(TStream& stream, uint32_t index) override {
        TImageGraphic::ReadImageHeader(stream, index);
        return true;
    }
    void DecodeImage(TStream& stream) override {
        TLoad load(*this, stream, "TST");
        SetPixelFormat(bf8Bit);
        SetSizeToOverwrite(4, 4); // rows it would write
        std::vector<uint8_t> block(size_t(stream.Size()));
        for (int pass = 0; pass < Passes; ++pass) {
            load.Seek(0);
            load.Read(block.data(), block.size());
        }
    }
    int Passes = 1;
};

DEFINE_GRAPHIC_CLASS(TRereadingGraphic, TImageGraphic)

struct TEvent {
    TProgressStage stage;
    int percent;
    bool redraw;
    TRect rect;
    std::string message;
};

size_t OpenFileCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

std::string TempFile(const std::string& name, const std::vector<uint8_t>& data) {
    const std::string path =
        (std::filesystem::temp_directory_path() / (name + std::to_string(getpid()))).string();
    TMemoryStream(data).SaveToFile(path);
    return path;
}

} // namespace

TEST(ImageGraphic, ReadImageHeaderResetsEveryProperty) {
    TTestGraphic g;
    TImageProperties& p = g.ImageProperties;
    p.Version = 42;
    p.Flags = flBigEndian | flTiled;
    p.Width = p.Height = 7;
    p.SourceGamma = 0.45f;
    p.XResolution = 300;
    p.Interlaced = p.HasAlpha = p.BottomUp = true;
    p.RowsPerStrip = {1, 2};
    p.YCbCrSubSampling = {2, 2};
    p.JPEGTables = {1};
    p.JPEGTablesMode = 3;
    p.ImageCount = 9;
    p.FilterMode = 1;
    TMemoryStream empty;
    EXPECT_FALSE(g.TImageGraphic::ReadImageHeader(empty, 0));
    EXPECT_EQ(p.Version, 0u);
    EXPECT_TRUE(p.Flags.Empty());
    EXPECT_EQ(p.Width + p.Height + p.JPEGTablesMode + p.ImageCount + p.FilterMode, 0u);
    EXPECT_EQ(p.ColorModel, cmUnknown);
    EXPECT_EQ(p.Compression, ckUnknown);
    EXPECT_EQ(p.SourceGamma, 1.0f);
    EXPECT_EQ(p.XResolution, 0.0f);
    EXPECT_FALSE(p.Interlaced || p.HasAlpha || p.BottomUp);
    EXPECT_TRUE(p.RowsPerStrip.empty() && p.YCbCrSubSampling.empty() && p.JPEGTables.empty());
}

TEST(ImageGraphic, AssignCopiesPropertiesOfImagesOnly) {
    TTestGraphic source;
    TMemoryStream stream(MakeImage(3, 2));
    source.LoadFromStream(stream);
    source.ImageProperties.ColorModel = cmGray;
    source.ImageProperties.RowsPerStrip = {2};

    TTestGraphic target;
    target.Assign(source);
    EXPECT_EQ(target.ImageProperties.Width, 3u);
    EXPECT_EQ(target.ImageProperties.Height, 2u);
    EXPECT_EQ(target.ImageProperties.ColorModel, cmGray);
    EXPECT_EQ(target.ImageProperties.RowsPerStrip, TCardinalArray{2});
    ASSERT_EQ(target.Width(), 3);
    EXPECT_EQ(target.ScanLine(1)[2], 0x12);

    // A plain bitmap brings its pixels and leaves the properties alone.
    TBitmap plain;
    plain.SetPixelFormat(bf24Bit);
    plain.SetSize(5, 4);
    plain.ScanLine(3)[0] = 99;
    target.Assign(plain);
    EXPECT_EQ(target.Width(), 5);
    EXPECT_EQ(target.PixelFormat(), bf24Bit);
    EXPECT_EQ(target.ScanLine(3)[0], 99);
    EXPECT_EQ(target.ImageProperties.Width, 3u);
    EXPECT_EQ(target.ImageProperties.ColorModel, cmGray);

    target.Assign(target);
    EXPECT_EQ(target.ScanLine(3)[0], 99);
}

TEST(ImageGraphic, RecognizeByFileNameLeavesNoFileOpen) {
    const std::string good = TempFile("tst-good", MakeImage(2, 2));
    const std::string bad = TempFile("tst-bad", {'n', 'o', 'p', 'e', 0, 0});
    const std::string shorter = TempFile("tst-short", {'T', 'S'});
    const size_t before = OpenFileCount();
    EXPECT_TRUE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), good));
    EXPECT_FALSE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), bad));
    EXPECT_FALSE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), shorter));
    EXPECT_FALSE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), good + ".missing"));
    // The base class recognises nothing.
    EXPECT_FALSE(TImageGraphic::Recognize(TImageGraphic::ClassRef(), good));
    EXPECT_EQ(OpenFileCount(), before);
    for (const auto& f : {good, bad, shorter}) std::remove(f.c_str());
}

TEST(ImageGraphic, RecognizeRestoresTheStreamPosition) {
    std::vector<uint8_t> data(5, 0);
    const std::vector<uint8_t> image = MakeImage(1, 1);
    data.insert(data.end(), image.begin(), image.end());
    TMemoryStream stream(data);
    stream.SetPosition(5);
    EXPECT_TRUE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), stream));
    EXPECT_EQ(stream.Position(), 5);
    stream.SetPosition(4);
    EXPECT_FALSE(TImageGraphic::Recognize(TTestGraphic::ClassRef(), stream));
    EXPECT_EQ(stream.Position(), 4);
}

TEST(ImageGraphic, LoadsAnImageInsideALargerStream) {
    std::vector<uint8_t> data(37, 0xAB);
    const std::vector<uint8_t> image = MakeImage(4, 3, 20);
    data.insert(data.end(), image.begin(), image.end());
    data.resize(data.size() + 50, 0xCD);
    TMemoryStream stream(data);
    stream.SetPosition(37);

    TTestGraphic g;
    g.LoadFromStream(stream);
    EXPECT_EQ(g.StreamStart, 37);
    EXPECT_EQ(g.SourceStream, nullptr);
    ASSERT_EQ(g.Width(), 4);
    ASSERT_EQ(g.Height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(g.ScanLine(y)[x], y * 16 + x);
    EXPECT_EQ(g.log.begun, 1);
    EXPECT_EQ(g.log.ended, 1);
    EXPECT_EQ(g.log.destroyed, 1);
}

TEST(ImageGraphic, InvalidHeaderRaisesOrLeavesTheBitmapEmpty) {
    TTestGraphic g;
    TMemoryStream good(MakeImage(2, 2));
    g.LoadFromStream(good);
    ASSERT_FALSE(g.Empty());

    TMemoryStream bad(std::vector<uint8_t>(16, 0));
    try {
        g.LoadFromStream(bad);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected TST image format.");
    }
    EXPECT_TRUE(g.Empty());
    EXPECT_EQ(g.SourceStream, nullptr);

    good.SetPosition(0);
    g.LoadFromStream(good);
    g.check = hcLeaveEmpty;
    bad.SetPosition(0);
    EXPECT_NO_THROW(g.LoadFromStream(bad));
    EXPECT_TRUE(g.Empty());
}

TEST(ImageGraphic, ProgressEventsFollowTheRows) {
    TTestGraphic g;
    std::vector<TEvent> events;
    g.OnProgress = [&events](TGraphic&, TProgressStage stage, uint8_t percent, bool redraw,
                             const TRect& rect, const std::string& message) {
        events.push_back({stage, percent, redraw, rect, message});
    };
    TMemoryStream stream(MakeImage(5, 8));
    g.LoadFromStream(stream);

    ASSERT_EQ(events.size(), 2u + 8u + 1u);
    EXPECT_EQ(events[0].stage, psStarting);
    EXPECT_EQ(events[0].message, "Preparing...");
    EXPECT_FALSE(events[0].redraw);
    EXPECT_EQ(events[1].stage, psStarting);
    EXPECT_EQ(events[1].message, "Transfering...");
    EXPECT_EQ(events[1].rect, (TRect{0, 0, 5, 1}));
    // y x 100 / 8, rounded to nearest: 12.5 -> 13, 37.5 -> 38.
    const int percents[8] = {0, 13, 25, 38, 50, 63, 75, 88};
    for (int y = 0; y < 8; ++y) {
        const TEvent& e = events[size_t(2 + y)];
        EXPECT_EQ(e.stage, psRunning);
        EXPECT_EQ(e.percent, percents[y]) << y;
        EXPECT_TRUE(e.redraw);
        EXPECT_EQ(e.rect, (TRect{0, y, 5, y + 1}));
        EXPECT_EQ(e.message, "");
    }
    EXPECT_EQ(events.back().stage, psEnding);
    EXPECT_EQ(events.back().percent, 0);
    EXPECT_FALSE(events.back().redraw);
    EXPECT_EQ(events.back().message, "");
}

TEST(ImageGraphic, ProgressPercentUsesA64BitProduct) {
    // 30 000 000 rows: y x 100 overflows 32 bits long before the last row.
    struct TProbe : TTestGraphic {
        std::vector<int> Percents(std::initializer_list<uint64_t> done, uint64_t total) {
            std::vector<int> result;
            OnProgress = [&result](TGraphic&, TProgressStage, uint8_t percent, bool, const TRect&,
                                   const std::string&) { result.push_back(percent); };
            TMemoryStream stream(MakeImage(1, 1));
            TLoad load(*this, stream, "TST");
            for (uint64_t d : done) load.Running(d, total);
            return result;
        }
    } probe;
    EXPECT_EQ(probe.Percents({29'999'999, 15'000'000, 44'999'999, 1}, 30'000'000),
              (std::vector<int>{100, 50, 100, 0}));
    EXPECT_EQ(probe.Percents({1, 2}, 3), (std::vector<int>{33, 67}));
}

TEST(ImageGraphic, FailureMidLoadEndsAndFreesTheDecoder) {
    TTestGraphic g;
    g.failAtRow = 2;
    std::vector<TEvent> events;
    g.OnProgress = [&events](TGraphic&, TProgressStage stage, uint8_t percent, bool redraw,
                             const TRect& rect, const std::string& message) {
        events.push_back({stage, percent, redraw, rect, message});
    };
    TMemoryStream stream(MakeImage(3, 6));
    EXPECT_THROW(g.LoadFromStream(stream), EGraphicCompression);
    EXPECT_EQ(g.log.begun, 1);
    EXPECT_EQ(g.log.ended, 1);
    EXPECT_EQ(g.log.destroyed, 1);
    EXPECT_EQ(g.SourceStream, nullptr);
    EXPECT_EQ(events.back().stage, psRunning);

    // A stream that ends inside the rows fails the same tidy way, naming the format.
    TTestGraphic h;
    std::vector<uint8_t> cut = MakeImage(3, 6);
    cut.resize(cut.size() - 5);
    TMemoryStream truncated(cut);
    try {
        h.LoadFromStream(truncated);
        ADD_FAILURE() << "no error";
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Stream read error in TST file.");
    }
    EXPECT_EQ(h.log.ended, 1);
    EXPECT_EQ(h.log.destroyed, 1);
}

TEST(ImageGraphic, ALoadReadsAtMostAMultipleOfItsFile) {
    // A 256 KiB file may be read 16 times over, and a megabyte more.
    TMemoryStream stream(std::vector<uint8_t>(256 * 1024));
    TRereadingGraphic image;
    image.Passes = 20;
    EXPECT_NO_THROW(image.LoadFromStream(stream));
    image.Passes = 21;
    stream.SetPosition(0);
    try {
        image.LoadFromStream(stream);
        FAIL() << "read 21 times its size";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot load image. The TST file makes the reader read more than 16 times its "
                     "size.");
    }
    // The failed load does not leave the pixels it meant to overwrite.
    EXPECT_TRUE(image.Empty());
}

TEST(ImageGraphic, SourceGammaGoesThroughTheColourManager) {
    TTestGraphic g;
    g.ImageProperties.Flags = flBigEndian;
    g.Gamma(0.5f);
    EXPECT_EQ(g.ImageProperties.Flags, flBigEndian | flGammaCorrected);
    EXPECT_TRUE(g.ColorEngine->TargetFlags.Contains(cfApplyGamma));
    EXPECT_EQ(g.ColorEngine->MainGamma(), 0.5f);
    EXPECT_EQ(g.ColorEngine->DisplayGamma(), 2.2f);
    // Exponent 1 / (0.5 x 2.2): 128 -> round((128/255)^(1/1.1) x 255) = 136.
    EXPECT_EQ(g.ColorEngine->GammaTable()[128], 136);

    // The next load starts from clean properties.
    TMemoryStream stream(MakeImage(1, 1));
    g.LoadFromStream(stream);
    EXPECT_TRUE(g.ImageProperties.Flags.Empty());
}

TEST(ImageHelpers, SwapInPlaceAtAnyAlignment) {
    uint8_t buffer[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    SwapShorts(buffer + 1, 3);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8),
              (std::vector<uint8_t>{0, 2, 1, 4, 3, 6, 5, 7}));
    uint8_t longs[9] = {9, 1, 2, 3, 4, 5, 6, 7, 8};
    SwapLongs(longs + 1, 2);
    EXPECT_EQ(std::vector<uint8_t>(longs, longs + 9),
              (std::vector<uint8_t>{9, 4, 3, 2, 1, 8, 7, 6, 5}));
    EXPECT_EQ(SwapLong(0x11223344u), 0x44332211u);
    static_assert(SwapLong(0x01000000u) == 1u);
}

TEST(ImageHelpers, MessagesAreFormattedWithTheFormatName) {
    EXPECT_EQ(FormatImageMessage(msgUnsupportedFeature, msgCompressionScheme, "TIF/TIFF"),
              "Cannot load image. The compression scheme is not supported for TIF/TIFF files.");
    EXPECT_EQ(FormatImageMessage(msgInvalidColorFormat, "100%s"),
              "Invalid color format in 100%s file.");
    EXPECT_EQ(FormatImageMessage(msgUnknownCriticalChunk, "PNG"),
              "Cannot load PNG image. Unexpected but critical chunk detected.");
    try {
        ImageErrorFmt(msgJPEGError, 42);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "JPEG error #42");
    }
    EXPECT_THROW(ImageError("x"), EInvalidGraphic);
}
