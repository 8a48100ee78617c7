#include "imaging/codecs/FaxDecoders.h"
#include "platform/graphics/Exceptions.h"
#include "tests/codecs/TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string_view>

namespace {

constexpr std::string_view Eol = "000000000001";
constexpr std::string_view White0 = "00110101", White2 = "0111", White4 = "1011";
constexpr std::string_view White5 = "1100", White8 = "10011", White1728 = "010011011";
constexpr std::string_view Black3 = "10", Black4 = "011", Black8 = "000101";

std::vector<uint8_t> DecodeTiff(const std::string& name, size_t* rowBytes = nullptr,
                                uint32_t* height = nullptr) {
    const TTiffFile tiff = ReadTiff(ReadFixture(name));
    const uint32_t width = tiff.Tag(256);
    const uint32_t rows = tiff.Tag(257);
    const bool reverse = tiff.Tag(266, 1) == 2;
    const size_t stride = (width + 7) / 8;
    std::unique_ptr<TCCITTDecoder> decoder;
    switch (tiff.Tag(259)) {
    case 3:
        decoder = std::make_unique<TCCITTFax3Decoder>(tiff.Tag(292), reverse, false, width);
        break;
    case 2:
        decoder = std::make_unique<TCCITTMHDecoder>(0, reverse, false, width);
        break;
    case 32771:
        decoder = std::make_unique<TCCITTMHDecoder>(0, reverse, true, width);
        break;
    default:
        ADD_FAILURE() << "compression " << tiff.Tag(259);
    }
    const uint32_t rowsPerStrip = tiff.Tag(278, rows);
    std::vector<uint8_t> image;
    for (size_t s = 0; s < tiff.Strips.size(); ++s) {
        const uint32_t stripRows = std::min(rowsPerStrip, rows - uint32_t(s) * rowsPerStrip);
        auto strip = Decode(*decoder, tiff.Strips[s], stripRows * stride);
        image.insert(image.end(), strip.begin(), strip.end());
    }
    if (rowBytes) *rowBytes = stride;
    if (height) *height = rows;
    return image;
}

} // namespace

TEST(FaxDecoders, IndependentEncodersMatchTheSourceBitmap) {
    for (std::string_view image : {"fax", "wide"}) {
        const TPbm pbm = ReadPbm(ReadFixture(std::string(image) + ".pbm"));
        for (std::string_view kind : {"_g3", "_g3fill", "_mh", "_mhw"}) {
            const std::string name = std::string(image) + std::string(kind) + ".tif";
            EXPECT_EQ(DecodeTiff(name), pbm.Bits) << name;
        }
    }
}

TEST(FaxDecoders, ReversedFillOrderAndRawGroup3Stream) {
    const TPbm pbm = ReadPbm(ReadFixture("fax.pbm"));
    // A fax file with bits filled least significant first and six rows of end-of-page codes.
    size_t stride = 0;
    uint32_t rows = 0;
    auto image = DecodeTiff("fax_g3lsb.tif", &stride, &rows);
    ASSERT_GE(image.size(), pbm.Bits.size());
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + pbm.Bits.size()), pbm.Bits);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + pbm.Bits.size(), image.end()),
              std::vector<uint8_t>(image.size() - pbm.Bits.size(), 0));

    // The raw stream of another encoder, ending in a return-to-control sequence.
    TCCITTFax3Decoder decoder(0, false, false, pbm.Width);
    EXPECT_EQ(Decode(decoder, ReadFixture("fax.g3"), pbm.Bits.size()), pbm.Bits);

    // Bit-reversed input decodes the same, and the caller's buffer is left as it was.
    auto reversed = ReadFixture("fax.g3");
    for (uint8_t& b : reversed) {
        uint8_t r = 0;
        for (int i = 0; i < 8; ++i)
            if (b & (1 << i)) r |= static_cast<uint8_t>(0x80 >> i);
        b = r;
    }
    const auto copy = reversed;
    TCCITTFax3Decoder reverse(0, true, false, pbm.Width);
    std::vector<uint8_t> out(pbm.Bits.size());
    const uint8_t* in = reversed.data();
    uint8_t* o = out.data();
    reverse.Decode(in, o, static_cast<int32_t>(reversed.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(out, pbm.Bits);
    EXPECT_EQ(reversed, copy);
}

TEST(FaxDecoders, TwoDimensionalGroup3IsRefused) {
    const TTiffFile tiff = ReadTiff(ReadFixture("fax_g32d.tif"));
    ASSERT_EQ(tiff.Tag(292) & 1, 1u);
    try {
        TCCITTFax3Decoder decoder(tiff.Tag(292), false, false, tiff.Tag(256));
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot load image. The compression scheme is not supported for TIF/TIFF "
                     "files.");
    }
    // Byte-aligned end-of-line codes (bit 2) are one-dimensional and accepted.
    EXPECT_NO_THROW(TCCITTFax3Decoder(4, false, false, 8));
}

TEST(FaxDecoders, MakeUpCodesAndBlackFirstRows) {
    // 1728 white as make-up plus terminating 0, then a row starting with black.
    TCCITTMHDecoder mh(0, false, false, 1728);
    auto out = Decode(mh, Bits({White1728, White0, "|", White0, Black8, White1728}), 2 * 216);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 216), std::vector<uint8_t>(216, 0));
    EXPECT_EQ(out[216], 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 217, out.end()), std::vector<uint8_t>(215, 0));

    // The same in Group 3 with end-of-line codes; a run past the row's end is cut.
    TCCITTFax3Decoder g3(0, false, false, 12);
    out = Decode(g3, Bits({Eol, White0, Black8, White8, Eol, White2, Black4, White4, Black8}), 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x00, 0x3C, 0x30}));
}

TEST(FaxDecoders, EndOfLineInsideARowLeavesTheRestWhite) {
    // Row 0: 5 white, 3 black, then an end-of-line code before the 16 pixels are complete.
    // Row 1 follows right after it and starts with a white run of 0; 12 white end it.
    TCCITTFax3Decoder g3(0, false, false, 16);
    auto out = Decode(g3, Bits({Eol, White5, Black3, Eol, White0, Black4, "001000"}), 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x07, 0x00, 0xF0, 0x00}));
    // Fill bits and a further end-of-line code may come before the next row.
    out = Decode(g3,
                 Bits({Eol, White5, Black3, Eol, "0000", Eol, White0, Black4, "001000", Eol, White8,
                       Black8}),
                 6);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x07, 0x00, 0xF0, 0x00, 0x00, 0xFF}));

    // An invalid code also ends the row; the next row is found at the next end-of-line.
    out = Decode(g3, Bits({Eol, White2, Black4, "000000001", White4, Eol, Black8}), 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x3C, 0x00, 0x00, 0x00}));
}

TEST(FaxDecoders, OneBitRowsAndWordAlignment) {
    // Line width 1: one byte per row, the pixel in its top bit. Each MH row starts on a byte.
    TCCITTMHDecoder mh(0, false, false, 1);
    auto out = Decode(mh, {0x35, 0x40, 0x70, 0x35, 0x40}, 3); // 0+B1 | W1 | 0+B1
    EXPECT_EQ(out, (std::vector<uint8_t>{0x80, 0x00, 0x80}));

    // Word-aligned rows: the first row ends in byte 0, so the second starts at byte 2.
    TCCITTMHDecoder mhw(0, false, true, 8);
    const auto input = Bits({White8, "|", "11111111", White0, Black8});
    EXPECT_EQ(Decode(mhw, input, 2), (std::vector<uint8_t>{0x00, 0xFF}));
    TCCITTMHDecoder unaligned(0, false, false, 8);
    EXPECT_NE(Decode(unaligned, input, 2), (std::vector<uint8_t>{0x00, 0xFF}));
}

TEST(FaxDecoders, TruncatedInputAndShortOutputStayInBounds) {
    const TTiffFile tiff = ReadTiff(ReadFixture("fax_g3.tif"));
    const TPbm pbm = ReadPbm(ReadFixture("fax.pbm"));
    const auto& strip = tiff.Strips[0];
    TCCITTFax3Decoder g3(0, false, false, pbm.Width);
    TCCITTMHDecoder mh(0, false, false, pbm.Width);
    const auto mhStrip = ReadTiff(ReadFixture("fax_mh.tif")).Strips[0];
    for (size_t cut = 0; cut < strip.size(); cut += 7) {
        // Truncated input: rows decoded so far are right, the rest is white.
        auto out =
            Decode(g3, std::vector<uint8_t>(strip.begin(), strip.begin() + cut), pbm.Bits.size());
        size_t same = 0;
        while (same < out.size() && out[same] == pbm.Bits[same]) ++same;
        for (size_t i = same; i < out.size(); ++i)
            if (out[i]) {
                // Only the row in progress may differ from the image.
                EXPECT_LT(i / 13, same / 13 + 1) << cut;
                break;
            }
        const size_t mhCut = std::min(cut, mhStrip.size());
        Decode(mh, std::vector<uint8_t>(mhStrip.begin(), mhStrip.begin() + mhCut), 40);
    }
    // Output area smaller than the image, even mid-row: bytes beyond it are untouched.
    for (size_t size : {0, 1, 13, 20, 100}) {
        std::vector<uint8_t> output(size + 32, 0xAA);
        const uint8_t* in = strip.data();
        uint8_t* o = output.data();
        g3.Decode(in, o, static_cast<int32_t>(strip.size()), static_cast<int32_t>(size));
        EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + size),
                  std::vector<uint8_t>(pbm.Bits.begin(), pbm.Bits.begin() + size));
        EXPECT_EQ(std::vector<uint8_t>(output.begin() + size, output.end()),
                  std::vector<uint8_t>(32, 0xAA));
    }
}
