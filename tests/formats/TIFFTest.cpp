#include "FormatTestSupport.h"

#include "imaging/ColorManager.h"
#include "imaging/formats/EPSGraphic.h"
#include "imaging/formats/PPMGraphic.h"
#include "imaging/formats/TIFFGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Warning.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace formats_test;

namespace {

// A one-image TIFF written in either byte order: entries given as values, and data blocks
// placed after the header whose offsets the entries can name.
class TTIFFBuilder {
public:
    explicit TTIFFBuilder(bool bigEndian = false) : big_(bigEndian) {}

    // An entry of `type` (3 SHORT, 4 LONG, 5 RATIONAL as pairs) with its values.
    TTIFFBuilder& Entry(uint16_t tag, uint16_t type, std::vector<uint32_t> values) {
        entries_[tag] = {type, std::move(values), {}};
        return *this;
    }
    // A LONG entry whose values are the offsets of the data blocks `blocks`.
    TTIFFBuilder& Offsets(uint16_t tag, std::vector<int> blocks) {
        entries_[tag] = {4, {}, std::move(blocks)};
        return *this;
    }
    // Adds a data block; answers its number.
    int Block(Bytes data) {
        blocks_.push_back(std::move(data));
        return int(blocks_.size() - 1);
    }
    // The basic tags of an uncompressed 8-bit image.
    TTIFFBuilder& Image(uint32_t width, uint32_t height, uint32_t samples, uint32_t photometric) {
        Entry(256, 4, {width});
        Entry(257, 4, {height});
        Entry(258, 3, std::vector<uint32_t>(samples, 8));
        Entry(259, 3, {1});
        Entry(262, 3, {photometric});
        Entry(277, 3, {samples});
        return *this;
    }
    TTIFFBuilder& Erase(uint16_t tag) {
        entries_.erase(tag);
        return *this;
    }
    // The next-directory link of the one directory (relative to the file's start).
    TTIFFBuilder& Next(uint32_t offset) {
        next_ = offset;
        return *this;
    }

    Bytes Build() const {
        Bytes out = big_ ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
        std::vector<uint32_t> blockOffsets;
        Put32(out, 0); // directory offset, set below
        for (const Bytes& block : blocks_) {
            blockOffsets.push_back(uint32_t(out.size()));
            out.insert(out.end(), block.begin(), block.end());
            if (out.size() & 1) out.push_back(0);
        }
        const uint32_t ifd = uint32_t(out.size());
        Patch32(out, 4, ifd);
        const uint32_t extraStart = ifd + 2 + 12 * uint32_t(entries_.size()) + 4;
        Bytes extra;
        Put16(out, uint16_t(entries_.size()));
        for (const auto& [tag, entry] : entries_) {
            std::vector<uint32_t> values = entry.Values;
            for (int b : entry.Blocks) values.push_back(blockOffsets[size_t(b)]);
            Bytes packed;
            const size_t count = entry.Type == 5 ? values.size() / 2 : values.size();
            for (uint32_t v : values)
                entry.Type == 3 ? Put16(packed, uint16_t(v)) : Put32(packed, v);
            Put16(out, tag);
            Put16(out, entry.Type);
            Put32(out, uint32_t(count));
            if (packed.size() <= 4) {
                packed.resize(4, 0);
                out.insert(out.end(), packed.begin(), packed.end());
            } else {
                Put32(out, extraStart + uint32_t(extra.size()));
                extra.insert(extra.end(), packed.begin(), packed.end());
            }
        }
        Put32(out, next_);
        out.insert(out.end(), extra.begin(), extra.end());
        return out;
    }

    void Put16(Bytes& out, uint16_t v) const {
        if (big_) {
            out.push_back(uint8_t(v >> 8));
            out.push_back(uint8_t(v));
        } else {
            out.push_back(uint8_t(v));
            out.push_back(uint8_t(v >> 8));
        }
    }
    void Put32(Bytes& out, uint32_t v) const {
        if (big_) {
            Put16(out, uint16_t(v >> 16));
            Put16(out, uint16_t(v));
        } else {
            Put16(out, uint16_t(v));
            Put16(out, uint16_t(v >> 16));
        }
    }
    void Patch32(Bytes& out, size_t at, uint32_t v) const {
        Bytes b;
        Put32(b, v);
        std::copy(b.begin(), b.end(), out.begin() + std::ptrdiff_t(at));
    }

private:
    struct TEntryValues {
        uint16_t Type;
        std::vector<uint32_t> Values;
        std::vector<int> Blocks;
    };
    bool big_;
    std::map<uint16_t, TEntryValues> entries_;
    std::vector<Bytes> blocks_;
    uint32_t next_ = 0;
};

// A 2 x 2 RGB image, one strip, with the given compression and data.
Bytes SmallRGB(uint32_t compression, const Bytes& data, bool withCounts = true) {
    TTIFFBuilder b;
    const int strip = b.Block(data);
    b.Image(2, 2, 3, 2).Entry(259, 3, {compression}).Offsets(273, {strip});
    if (withCounts) b.Entry(279, 4, {uint32_t(data.size())});
    return b.Build();
}

const Bytes RGB2x2 = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};

std::string Unsupported() {
    return "Cannot load image. The compression scheme is not supported for TIF/TIFF files.";
}

// Quiet JPEG warnings (a truncated strip shows one) for the tests that cut files.
class TQuietWarnings {
public:
    TQuietWarnings() : saved_(SetWarningHandler([](const std::string&, const std::string&) {})) {}
    ~TQuietWarnings() { SetWarningHandler(saved_); }

private:
    TWarningHandler saved_;
};

} // namespace

// --- Files of independent writers ---

TEST(TIFFReader, FilesOfIndependentWritersLoadPixelForPixel) {
    // Strips, tiles (edge tiles clipped) and separate planes; every decoder; the predictor on
    // 8- and 16-bit samples; both byte orders; fill order 2; 1 to 16 bits per sample; palette,
    // grey (both senses, with an extra sample), RGB(A), CMYK, L*a*b*, YCbCr (subsampled too).
    EXPECT_GE(CompareFolder<TTIFFGraphic>("tiff", ".tif"), 50u);
}

TEST(TIFFReader, CodecFixturesLoadAsTheirSourcePictures) {
    // The JPEG-in-TIFF files of the decoder tests, grey included, against Pillow's decode of
    // the same files is covered above for YCbCr; here the grey one keeps one sample per pixel.
    const auto gray = Load<TTIFFGraphic>(ReadFile(DataPath("../codecs/jpeg_gray.tif")));
    ASSERT_EQ(gray->Width(), 48);
    EXPECT_EQ(gray->PixelFormat(), bf8Bit);
    const auto fax = Load<TTIFFGraphic>(ReadFile(DataPath("../codecs/fax_g3lsb.tif")));
    EXPECT_EQ(fax->PixelFormat(), bf1Bit);
    EXPECT_EQ(Load<TTIFFGraphic>(ReadFile(DataPath("../codecs/wide_mhw.tif")))->Width(), 3000);
}

TEST(TIFFReader, TwoDimensionalFaxFilesLoadAsTheirSourcePictures) {
    // Group 4 and two-dimensional Group 3 files of the fax decoder tests (ImageMagick, tiffcp,
    // Pillow; fill order 2, fill bits, both photometric senses) against their source bitmaps.
    const std::map<std::string, std::vector<std::string>> sources = {
        {"page.pbm",
         {"page_g32d.tif", "page_g32dfill.tif", "page_g4.tif", "page_g4im.tif", "page_g4lsb.tif",
          "page_g4pil.tif"}},
        {"fax.pbm", {"fax_g32d.tif"}},
        {"wide.pbm", {"wide_g4.tif"}}};
    for (const auto& [source, files] : sources) {
        const auto expected = Load<TPPMGraphic>(ReadFile(DataPath("../codecs/" + source)));
        for (const std::string& name : files) {
            SCOPED_TRACE(name);
            const auto image = Load<TTIFFGraphic>(ReadFile(DataPath("../codecs/" + name)));
            ASSERT_EQ(image->Width(), expected->Width());
            ASSERT_EQ(image->Height(), expected->Height());
            size_t differing = 0;
            for (int32_t y = 0; y < image->Height(); ++y)
                for (int32_t x = 0; x < image->Width(); ++x)
                    differing += image->PixelColor(x, y) != expected->PixelColor(x, y);
            EXPECT_EQ(differing, 0u);
        }
    }
}

TEST(TIFFReader, SchemesWithoutADecoderAreRefused) {
    for (uint32_t compression : {6u, 32766u, 34661u, 12345u}) {
        SCOPED_TRACE(compression);
        EXPECT_EQ(LoadError<TTIFFGraphic>(SmallRGB(compression, RGB2x2)), Unsupported());
    }
}

// --- Recognition and the header ---

TEST(TIFFReader, RecognizeNeedsByteOrderVersionAndAFirstDirectoryInTheFile) {
    const Bytes file = SmallRGB(1, RGB2x2);
    EXPECT_TRUE(Recognized<TTIFFGraphic>(file));
    Bytes bad = file;
    bad[2] = 43;
    EXPECT_FALSE(Recognized<TTIFFGraphic>(bad));
    bad = file;
    bad[1] = 'M'; // "IM"
    EXPECT_FALSE(Recognized<TTIFFGraphic>(bad));
    bad = file;
    bad[7] = 0x7F; // first directory far past the end
    EXPECT_FALSE(Recognized<TTIFFGraphic>(bad));
    EXPECT_FALSE(Recognized<TTIFFGraphic>(Bytes(file.begin(), file.begin() + 8)));
    EXPECT_TRUE(Recognized<TTIFFGraphic>(TTIFFBuilder(true).Image(1, 1, 1, 1).Build()));
}

TEST(TIFFReader, HeaderDescribesAnyImageOfTheChain) {
    // Big-endian, two images: the second is the grey one, reached by the big-endian link.
    const Bytes file = ReadFile(DataPath("tiff/cp_two_images_be.tif"));
    TTIFFGraphic image;
    TMemoryStream stream(file);
    ASSERT_TRUE(image.ReadImageHeader(stream, 1));
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.Version, 42u);
    EXPECT_TRUE(p.Flags.Contains(flBigEndian));
    EXPECT_EQ(p.ColorModel, cmGray);
    EXPECT_EQ(p.Width, 37u);
    stream.SetPosition(0);
    EXPECT_FALSE(image.ReadImageHeader(stream, 2));
    stream.SetPosition(0);
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmRGB);
    EXPECT_EQ(image.ImageProperties.SamplesPerPixel, 3);
    EXPECT_EQ(image.ImageProperties.BitsPerPixel, 24);
}

TEST(TIFFReader, HeaderFieldsAndTheirDefaults) {
    // Big-endian subsampling 2, 1 in the entry; resolution in centimetres; no RowsPerStrip.
    TTIFFBuilder b(true);
    b.Image(4, 3, 3, 6)
        .Entry(530, 3, {2, 1})
        .Entry(282, 5, {11811, 100})
        .Entry(283, 5, {300, 1})
        .Entry(296, 3, {3})
        .Entry(317, 3, {2})
        .Entry(266, 3, {2})
        .Entry(322, 3, {16})
        .Entry(323, 3, {32})
        .Entry(284, 3, {2})
        .Entry(274, 3, {6});
    TTIFFGraphic image;
    TMemoryStream stream(b.Build());
    ASSERT_TRUE(image.ReadImageHeader(stream, 0));
    const TImageProperties& p = image.ImageProperties;
    EXPECT_EQ(p.ColorModel, cmYCbCr);
    EXPECT_EQ(p.YCbCrSubSampling, (TByteArray{2, 1}));
    EXPECT_NEAR(p.XResolution, 300.0f, 0.01f);
    EXPECT_NEAR(p.YResolution, 762.0f, 0.01f);
    EXPECT_EQ(p.RowsPerStrip, (TCardinalArray{3}));
    EXPECT_EQ(p.Predictor, 2u);
    EXPECT_TRUE(p.Flags.Contains(flLowBitFirst));
    EXPECT_TRUE(p.Flags.Contains(flTiled));
    EXPECT_EQ(p.TileWidth, 16u);
    EXPECT_EQ(p.PlanarConfig, 2u);
    EXPECT_EQ(p.JPEGTablesMode, 3u);
    EXPECT_EQ(p.Compression, ckNone);
    EXPECT_EQ(p.Orientation, 6); // recorded as stated; 0 when absent or out of range

    // RGB with four samples has alpha; a palette image with an extra sample keeps 8 bits.
    TMemoryStream rgba(TTIFFBuilder().Image(1, 1, 4, 2).Entry(338, 3, {2}).Build());
    ASSERT_TRUE(image.ReadImageHeader(rgba, 0));
    EXPECT_EQ(image.ImageProperties.ColorModel, cmRGBAlpha);
    EXPECT_TRUE(image.ImageProperties.HasAlpha);
    TMemoryStream white(TTIFFBuilder().Image(1, 1, 1, 0).Entry(274, 3, {9}).Build());
    ASSERT_TRUE(image.ReadImageHeader(white, 0));
    EXPECT_TRUE(image.ImageProperties.Flags.Contains(flWhiteIsZero));
    EXPECT_EQ(image.ImageProperties.Orientation, 0);
    // Width 0 is no image.
    TMemoryStream empty(TTIFFBuilder().Image(0, 5, 1, 1).Build());
    EXPECT_FALSE(image.ReadImageHeader(empty, 0));
}

// --- The mended behaviours ---

TEST(TIFFReader, ImagesWithoutCompressionTagAreUncompressed) {
    TTIFFBuilder b;
    const int strip = b.Block(RGB2x2);
    const Bytes file = b.Image(2, 2, 3, 2).Erase(259).Offsets(273, {strip}).Build();
    const auto image = Load<TTIFFGraphic>(file);
    EXPECT_EQ(image->PixelColor(1, 1), (TRGBQuad{120, 110, 100, 255}));
}

TEST(TIFFReader, MissingOrShortByteCountsReachToTheNextBlockOrTheEnd) {
    // LZW strips without counts, and with fewer counts than offsets, load as with all counts.
    const Bytes good = ReadFile(DataPath("tiff/cp_rgb_lzw_pred.tif"));
    const TReference reference = ReadReference(DataPath("tiff/cp_rgb_lzw_pred.tif.rgba.gz"));
    TTIFFGraphic probe;
    TMemoryStream stream(good);
    ASSERT_TRUE(probe.ReadImageHeader(stream, 0));
    // Rewrite the StripByteCounts entry's tag into an unknown one, then its count to 2.
    Bytes noCounts = good, fewCounts = good;
    const uint32_t ifd = good[4] | good[5] << 8 | good[6] << 16 | uint32_t(good[7]) << 24;
    const uint16_t count = uint16_t(good[ifd] | good[ifd + 1] << 8);
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = ifd + 2 + 12 * i;
        if ((good[at] | good[at + 1] << 8) != 279) continue;
        noCounts[at] = 0xFF;
        noCounts[at + 1] = 0x7F;
        fewCounts[at + 4] = 3;
        fewCounts[at + 5] = fewCounts[at + 6] = fewCounts[at + 7] = 0;
        found = true;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(CompareWithReference(*Load<TTIFFGraphic>(noCounts), reference), "");
    EXPECT_EQ(CompareWithReference(*Load<TTIFFGraphic>(fewCounts), reference), "");
}

TEST(TIFFReader, OddTileSizesAndSubByteSamplesArePlacedBitForBit) {
    // 1-bit samples in tiles of 5 x 3 pixels (not a byte across): 11 x 4 pixels, tiles of
    // bytes 0bxxxxx000; pixel (x, y) is black when (x + y) % 3 == 0.
    const uint32_t width = 11, height = 4, tw = 5, tl = 3;
    TTIFFBuilder b;
    std::vector<int> tiles;
    for (uint32_t ty = 0; ty < 2; ++ty)
        for (uint32_t tx = 0; tx < 3; ++tx) {
            Bytes tile;
            for (uint32_t r = 0; r < tl; ++r) {
                uint8_t byte = 0;
                for (uint32_t c = 0; c < tw; ++c)
                    if ((tx * tw + c + ty * tl + r) % 3 == 0) byte |= uint8_t(0x80 >> c);
                tile.push_back(byte);
            }
            tiles.push_back(b.Block(tile));
        }
    b.Entry(256, 3, {width}).Entry(257, 3, {height}).Entry(262, 3, {1});
    b.Entry(322, 3, {tw}).Entry(323, 3, {tl}).Offsets(324, tiles);
    const auto image = Load<TTIFFGraphic>(b.Build());
    ASSERT_EQ(image->PixelFormat(), bf1Bit);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            EXPECT_EQ(image->PixelColor(int32_t(x), int32_t(y)).rgbRed, (x + y) % 3 == 0 ? 255 : 0)
                << x << "," << y;
}

TEST(TIFFReader, PlanesThatAreMissingLeaveTheirSamplesZero) {
    // Separate planes with only the red plane's strip: green and blue read as 0.
    TTIFFBuilder b;
    const int red = b.Block({200, 100});
    b.Image(2, 1, 3, 2).Entry(284, 3, {2}).Offsets(273, {red});
    const auto image = Load<TTIFFGraphic>(b.Build());
    EXPECT_EQ(image->PixelColor(0, 0), (TRGBQuad{0, 0, 200, 255}));
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{0, 0, 100, 255}));
}

TEST(TIFFReader, ThreeBitPalettesReadAcrossBytes) {
    // Eight 3-bit indices 0..7 fill three bytes; the map gives entry i the red 32 i.
    TTIFFBuilder b;
    const int strip = b.Block({0x05, 0x39, 0x77});
    std::vector<uint32_t> map(24, 0);
    for (uint32_t i = 0; i < 8; ++i) map[i] = i * 32 * 257;
    b.Entry(256, 3, {8}).Entry(257, 3, {1}).Entry(258, 3, {3}).Entry(262, 3, {3});
    b.Entry(320, 3, map).Offsets(273, {strip});
    const auto image = Load<TTIFFGraphic>(b.Build());
    for (int x = 0; x < 8; ++x) EXPECT_EQ(image->PixelColor(x, 0).rgbRed, 32 * x) << x;
}

// --- Hostile files ---

TEST(TIFFReader, EntriesWithoutValuesTakeTheirDefaults) {
    // Found by fuzzing: entries of count 0 (here BitsPerSample, ExtraSamples, RowsPerStrip and
    // the subsampling) read no value and take their defaults.
    TTIFFBuilder b;
    const int strip = b.Block({0xFF});
    b.Image(3, 1, 1, 1).Entry(258, 3, {}).Entry(338, 3, {}).Entry(278, 3, {}).Offsets(273, {strip});
    const auto image = Load<TTIFFGraphic>(b.Build());
    EXPECT_EQ(image->ImageProperties.BitsPerSample, 1);
    EXPECT_FALSE(image->ImageProperties.HasAlpha);
    EXPECT_EQ(image->PixelColor(2, 0).rgbRed, 255);
    TTIFFBuilder y;
    y.Image(2, 2, 3, 6).Entry(530, 3, {});
    TMemoryStream stream(y.Build());
    TTIFFGraphic header;
    ASSERT_TRUE(header.ReadImageHeader(stream, 0));
    EXPECT_EQ(header.ImageProperties.YCbCrSubSampling, (TByteArray{2, 2}));
}

TEST(TIFFReader, FilesCutAtEveryLengthFailCleanlyOrLoad) {
    TQuietWarnings quiet;
    for (const char* name : {"cp_rgb_lzw_pred.tif", "cp_tiles_jpeg.tif", "cp_planar_tiles_zip.tif",
                             "py_ycbcr_h2v2.tif", "pil_palette_lzw.tif", "fax_g3_1d.tif"}) {
        SCOPED_TRACE(name);
        const Bytes file = ReadFile(DataPath(std::string("tiff/") + name));
        for (size_t size = 0; size < file.size(); ++size) {
            try {
                Load<TTIFFGraphic>(Bytes(file.begin(), file.begin() + std::ptrdiff_t(size)));
            } catch (const Exception&) {
            }
        }
    }
}

TEST(TIFFReader, DirectoryChainsThatLoopEndTheWalk) {
    // The directory links to itself; another pair links to each other.
    TTIFFBuilder b;
    b.Image(1, 1, 1, 1);
    Bytes self = b.Build();
    const uint32_t ifd = self[4] | self[5] << 8;
    const size_t link = ifd + 2 + 12 * size_t(self[ifd] | self[ifd + 1] << 8);
    b.Patch32(self, link, ifd);
    const auto start = std::chrono::steady_clock::now();
    TTIFFGraphic image;
    TMemoryStream stream(self);
    EXPECT_FALSE(image.ReadImageHeader(stream, 4000000000u));
    stream.SetPosition(0);
    EXPECT_TRUE(image.ReadImageHeader(stream, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(TIFFReader, DirectoriesAndTablesPastTheEndRaise) {
    // An entry count that runs past the end of the file.
    Bytes file = SmallRGB(1, RGB2x2);
    const uint32_t ifd = file[4] | file[5] << 8;
    file[ifd] = 0xFF;
    file[ifd + 1] = 0xFF;
    EXPECT_EQ(LoadError<TTIFFGraphic>(file),
              "Cannot load image. The TIF/TIFF file ends inside its image file directory.");
    // A first directory past the end.
    Bytes far = SmallRGB(1, RGB2x2);
    far[6] = 0x10;
    EXPECT_EQ(LoadError<TTIFFGraphic>(far),
              "Cannot load image. The TIF/TIFF file ends inside its image file directory.");
    // Strip offsets: a table of a million entries in a file of a few dozen bytes.
    TTIFFBuilder b;
    b.Image(2, 2, 3, 2).Entry(278, 3, {1}).Entry(273, 4, {8, 9});
    Bytes table = b.Build();
    // Make the count of the StripOffsets entry (tag 273) huge.
    const uint32_t dir = table[4] | table[5] << 8;
    for (size_t at = dir + 2; at + 12 <= table.size(); at += 12)
        if ((table[at] | table[at + 1] << 8) == 273) table[at + 6] = 0x10;
    EXPECT_EQ(LoadError<TTIFFGraphic>(table),
              "Cannot load image. The TIF/TIFF file ends inside its strip offsets.");
}

TEST(TIFFReader, OffsetsAndCountsBeyondTheFileLeaveNothingOrRowsBlank) {
    // The only strip lies past the end: the file holds none of the image, which stays empty.
    // A strip that claims more bytes than the file holds loads; rows the data does not reach
    // stay 0.
    TTIFFBuilder b;
    b.Image(2, 2, 3, 2).Entry(273, 4, {100000}).Entry(279, 4, {12});
    EXPECT_TRUE(Load<TTIFFGraphic>(b.Build())->Empty());
    // PackBits: a literal run of 6 bytes, then a count far beyond the file: the strip reads
    // to the end of the file (the bytes after it decode as whatever they make).
    TTIFFBuilder p;
    const int strip = p.Block({5, 1, 2, 3, 4, 5, 6});
    p.Image(2, 2, 3, 2).Entry(259, 3, {32773}).Offsets(273, {strip}).Entry(279, 4, {0x7FFFFFF0});
    const auto image = Load<TTIFFGraphic>(p.Build());
    EXPECT_EQ(image->PixelColor(1, 0), (TRGBQuad{6, 5, 4, 255}));
}

TEST(TIFFReader, AbsurdSizesFailFastWithinTheBudget) {
    TBudgetScope budget(size_t(64) << 20);
    const long before = PeakResidentKB();
    // A 100-byte file claiming 65535 x 65535, uncompressed and LZW.
    struct {
        uint32_t compression, samples, photometric, bits;
    } cases[] = {{1, 3, 2, 8}, {5, 3, 2, 8}, {8, 3, 2, 8}, {3, 1, 0, 1}, {7, 3, 6, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.compression);
        TTIFFBuilder b;
        const int strip = b.Block(Bytes(16, 0x80));
        b.Image(65535, 65535, c.samples, c.photometric).Entry(259, 3, {c.compression});
        b.Entry(258, 3, std::vector<uint32_t>(c.samples, c.bits)).Offsets(273, {strip});
        const Bytes file = b.Build();
        ASSERT_LT(file.size(), 200u);
        EXPECT_EQ(LoadError<TTIFFGraphic>(file), "Cannot load image. The TIF/TIFF file holds too "
                                                 "little data for the image size it states.");
    }
    // Tiles far larger than the image, and widths whose rows overflow.
    TTIFFBuilder tiles;
    const int tile = tiles.Block(Bytes(16, 0));
    tiles.Image(1, 1, 3, 2).Entry(322, 4, {0x40000000}).Entry(323, 4, {0x40000000});
    tiles.Offsets(324, {tile});
    EXPECT_THROW(Load<TTIFFGraphic>(tiles.Build()), EInvalidGraphic);
    TTIFFBuilder wide;
    wide.Image(0x7FFFFFFF, 1, 4, 2).Entry(258, 3, {16, 16, 16, 16}).Entry(273, 4, {8});
    EXPECT_THROW(Load<TTIFFGraphic>(wide.Build()), EInvalidGraphic);
    TTIFFBuilder huge;
    huge.Image(0xFFFFFFF0, 0xFFFFFFF0, 1, 1).Entry(273, 4, {8});
    EXPECT_EQ(LoadError<TTIFFGraphic>(huge.Build()),
              "The TIF/TIFF image size is invalid (4294967280 x 4294967280 pixels).");
    EXPECT_LT(PeakResidentKB() - before, 32 * 1024);
}

TEST(TIFFReader, BigTIFFWideSamplesAndLibrarySchemesFailClearlyOnHostileData) {
    const std::string directoryEnds =
        "Cannot load image. The TIF/TIFF file ends inside its image file directory.";
    // BigTIFF: a first directory 2^40 bytes on; a directory of 2^60 entries.
    const Bytes big = ReadFile(DataPath("tiff/big_lzw_pred.tif"));
    Bytes far = big;
    far[13] = 1;
    EXPECT_EQ(LoadError<TTIFFGraphic>(far), directoryEnds);
    Bytes many = big;
    many[size_t(big[8] | big[9] << 8) + 7] = 0x10;
    EXPECT_EQ(LoadError<TTIFFGraphic>(many), directoryEnds);
    // Floating-point strips shorter than the image they state.
    TTIFFBuilder floats;
    const int strip = floats.Block(Bytes(100, 0x3F));
    floats.Image(37, 23, 3, 2).Entry(258, 3, {32, 32, 32}).Entry(339, 3, {3, 3, 3});
    floats.Offsets(273, {strip}).Entry(279, 4, {37 * 23 * 12});
    EXPECT_EQ(LoadError<TTIFFGraphic>(floats.Build()),
              "Cannot load image. The TIF/TIFF file holds too little data for the image size it "
              "states.");
    // LZMA, Zstandard and WebP blocks that are not theirs.
    for (uint32_t compression : {34925u, 50000u, 50001u}) {
        SCOPED_TRACE(compression);
        EXPECT_EQ(LoadError<TTIFFGraphic>(SmallRGB(compression, Bytes(64, 0x55))),
                  "Cannot load image. Compression error found in TIF/TIFF file.");
    }
    // liblzma's dictionary (8 MiB here) is charged to the load's budget.
    TBudgetScope budget(size_t(4) << 20);
    EXPECT_EQ(LoadError<TTIFFGraphic>(ReadFile(DataPath("tiff/cp_rgb_lzma.tif"))),
              "Cannot load image. The TIF/TIFF image needs more memory than the limit of 4 MiB.");
}

TEST(TIFFReader, HostileFilesFailFastWithinTheirBudget) {
    TQuietWarnings quiet;
    const auto seconds = [](const Bytes& file, const std::string& expected) {
        const std::clock_t start = std::clock();
        EXPECT_EQ(LoadError<TTIFFGraphic>(file), expected);
        return double(std::clock() - start) / CLOCKS_PER_SEC;
    };
    const std::string tooShort =
        "Cannot load image. The TIF/TIFF file holds too little data for the image size it states.";
    // 100,000 one-row LZW strips at one offset, fill order 2, each claiming the rest of the
    // file: a strip reads no more than its row can need, and the load no more than a few times
    // the file.
    TTIFFBuilder shared;
    const int strip = shared.Block(Bytes(4096, 0x80));
    shared.Image(64, 100000, 1, 1).Entry(259, 3, {5}).Entry(266, 3, {2}).Entry(278, 3, {1});
    shared.Offsets(273, std::vector<int>(100000, strip));
    shared.Entry(279, 4, std::vector<uint32_t>(100000, 0x7FFFFFFF));
    EXPECT_LT(seconds(shared.Build(), "Cannot load image. The TIF/TIFF file makes the reader "
                                      "read more than 16 times its size."),
              0.5)
        << "shared";
    // JPEG strips: 128 scans; 90 scans over 4096 x 4096 samples from 68 KB (work beyond the
    // file's size); and a progressive strip whose coefficients (32 MB) pass the budget.
    EXPECT_LT(seconds(ReadFile(DataPath("tiff/hostile_scans_128.tif")),
                      "JPEG error #0: More than 100 scans."),
              0.5);
    EXPECT_LT(seconds(ReadFile(DataPath("tiff/hostile_scans_90_4096.tif")), tooShort), 0.5);
    // Found by fuzzing: the same with its last scans cut to zeros.
    EXPECT_LT(seconds(ReadFile(DataPath("tiff/hostile_fuzz_scans_4096.tif")), tooShort), 0.5);
    TBudgetScope budget(size_t(24) << 20);
    EXPECT_LT(seconds(ReadFile(DataPath("tiff/hostile_progressive_4000.tif")),
                      "Cannot load image. The TIF/TIFF image needs more memory than the limit of "
                      "24 MiB."),
              0.5);
}

TEST(TIFFReader, InvalidSampleDescriptionsNameTheValue) {
    const auto error = [](uint16_t tag, std::vector<uint32_t> values, uint16_t type = 3) {
        TTIFFBuilder b;
        const int strip = b.Block(RGB2x2);
        b.Image(2, 2, 3, 2).Offsets(273, {strip}).Entry(tag, type, std::move(values));
        return LoadError<TTIFFGraphic>(b.Build());
    };
    EXPECT_EQ(error(258, {0, 0, 0}),
              "Cannot load image. The TIF/TIFF file states an invalid bits per sample value 0.");
    EXPECT_EQ(error(258, {17, 17, 17}),
              "Cannot load image. The TIF/TIFF file states an invalid bits per sample value 17.");
    EXPECT_EQ(error(258, {264, 264, 264}),
              "Cannot load image. The TIF/TIFF file states an invalid bits per sample value 264.");
    EXPECT_EQ(error(277, {0}),
              "Cannot load image. The TIF/TIFF file states an invalid samples per pixel value 0.");
    EXPECT_EQ(error(277, {70000}, 4), "Cannot load image. The TIF/TIFF file states an invalid "
                                      "samples per pixel value 70000.");
    EXPECT_EQ(error(277, {2}), msgInvalidSampleCount);
    EXPECT_EQ(error(278, {0}),
              "Cannot load image. The TIF/TIFF file states an invalid rows per strip value 0.");
    EXPECT_EQ(error(262, {4}), msgConversionFailed);
    EXPECT_EQ(
        error(317, {3}),
        "Cannot load image. The predictor of this image is not supported for TIF/TIFF files.");
    // No strip offsets at all.
    EXPECT_EQ(LoadError<TTIFFGraphic>(TTIFFBuilder().Image(2, 2, 3, 2).Build()),
              "Cannot load image. The TIF/TIFF file states neither strip nor tile offsets.");
}

TEST(TIFFReader, OneStripAndItsDecodedFormBesidesTheBitmap) {
    // 1000 (or 999) x 1000 RGB in ten PackBits strips of literal packets of 100 bytes: with
    // a budget of the bitmap and one strip each way (and some room) the load succeeds, so it
    // holds no more than that; with half a strip it fails. Rows of 3000 bytes are the
    // bitmap's own and decode straight into it; rows of 2997 go through the strip buffer.
    for (uint32_t width : {1000u, 999u}) {
        SCOPED_TRACE(width);
        const uint32_t height = 1000, rows = 100;
        TTIFFBuilder b;
        std::vector<int> strips;
        std::vector<uint32_t> counts;
        for (uint32_t s = 0; s < height / rows; ++s) {
            Bytes packed;
            const size_t bytes = size_t(width) * 3 * rows;
            for (size_t i = 0; i < bytes; i += 100) {
                const size_t n = std::min<size_t>(100, bytes - i);
                packed.push_back(uint8_t(n - 1));
                for (size_t k = 0; k < n; ++k) packed.push_back(uint8_t(s + i / 100 + k));
            }
            counts.push_back(uint32_t(packed.size()));
            strips.push_back(b.Block(std::move(packed)));
        }
        b.Image(width, height, 3, 2).Entry(259, 3, {32773}).Entry(278, 3, {rows});
        b.Offsets(273, strips).Entry(279, 4, counts);
        const Bytes file = b.Build();
        const size_t bitmap = size_t((width * 3 + 3) / 4 * 4) * height;
        const size_t strip = size_t(width) * 3 * rows;
        {
            TBudgetScope budget(bitmap + strip + counts[0] + 16384);
            TPlainStream stream(file);
            TTIFFGraphic image;
            image.LoadFromStream(stream);
            // Row 999 is row 99 of strip 9; its first byte is packet 2970's first (width 1000).
            if (width == 1000) {
                EXPECT_EQ(image.PixelColor(0, 999).rgbRed, uint8_t(9 + 2970));
            }
            // The same pixels as a load that reads the blocks from memory.
            const auto direct = Load<TTIFFGraphic>(file);
            for (int32_t y = 0; y < int32_t(height); y += 37)
                for (int32_t x = 0; x < int32_t(width); x += 7)
                    ASSERT_EQ(image.PixelColor(x, y), direct->PixelColor(x, y)) << x << "," << y;
        }
        TBudgetScope tight(bitmap + strip / 2);
        TPlainStream stream(file);
        TTIFFGraphic image;
        EXPECT_THROW(image.LoadFromStream(stream), EInvalidGraphic);
    }
}

TEST(TIFFReader, ImagesInsideALargerStreamLoadFromTheirStart) {
    Bytes file(37, 0xAB);
    const Bytes tiff = ReadFile(DataPath("tiff/cp_tiles_lzw_pred.tif"));
    file.insert(file.end(), tiff.begin(), tiff.end());
    TMemoryStream stream(file);
    stream.SetPosition(37);
    TTIFFGraphic image;
    image.LoadFromStream(stream);
    EXPECT_EQ(
        CompareWithReference(image, ReadReference(DataPath("tiff/cp_tiles_lzw_pred.tif.rgba.gz"))),
        "");
}

TEST(TIFFReader, SavingIsRefusedWithAMessage) {
    // The readers do not write: saving says so instead of writing nothing.
    const auto saveError = [](TGraphic& image) -> std::string {
        TMemoryStream out;
        try {
            image.SaveToStream(out);
        } catch (const EInvalidGraphic& e) {
            return out.Size() == 0 ? e.Message() : "written";
        }
        return "saved";
    };
    TTIFFGraphic tiff;
    EXPECT_EQ(saveError(tiff), "TIF/TIFF cannot be saved.");
    TEPSGraphic eps;
    EXPECT_EQ(saveError(eps), "EPS cannot be saved.");
}

// --- EPS preview ---

TEST(EPSReader, PreviewsLoadThroughTheTIFFReader) {
    EXPECT_EQ(CompareFolder<TEPSGraphic>("eps", ".eps"), 3u);
    const Bytes file = ReadFile(DataPath("eps/eps_lzw_pred.eps"));
    EXPECT_TRUE(Recognized<TEPSGraphic>(file));
    // No preview (length 0): not recognised, but the loader still finds the TIFF at the offset.
    const Bytes none = ReadFile(DataPath("eps/eps_no_preview.eps"));
    EXPECT_FALSE(Recognized<TEPSGraphic>(none));
    EXPECT_EQ(Load<TEPSGraphic>(none)->Width(), 37);
    // A preview offset inside the header is not recognised.
    Bytes inside = file;
    inside[20] = 30;
    inside[21] = inside[22] = inside[23] = 0;
    EXPECT_FALSE(Recognized<TEPSGraphic>(inside));
    Bytes magic = file;
    magic[0] = 0;
    EXPECT_EQ(LoadError<TEPSGraphic>(magic),
              "Cannot load image. Invalid or unexpected EPS image format.");
    // Past the header, failures are the TIFF reader's.
    Bytes cut(file.begin(), file.begin() + 40);
    EXPECT_EQ(LoadError<TEPSGraphic>(cut),
              "Cannot load image. Invalid or unexpected TIF/TIFF image format.");
}
