// Group 4 and two-dimensional Group 3 decoding: files of independent encoders against their
// source pictures, the coding modes on hand-made rows, and data that must be refused.
#include "imaging/codecs/FaxDecoders.h"
#include "platform/graphics/Exceptions.h"
#include "tests/codecs/TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view Eol = "000000000001";
constexpr std::string_view Horizontal = "001", Pass = "0001", V0 = "1", VR1 = "011", VL1 = "010",
                           VR2 = "000011", VL3 = "0000010";
constexpr std::string_view White0 = "00110101", White2 = "0111", White4 = "1011", White6 = "1110",
                           White8 = "10011", White1728 = "010011011";
constexpr std::string_view Black0 = "0000110111", Black3 = "10", Black4 = "011", Black8 = "000101";

// The message the decoder raises on `input`, or "" when it raises none.
std::string Failure(TDecoder& decoder, const std::vector<uint8_t>& input, size_t outputSize) {
    try {
        Decode(decoder, input, outputSize);
    } catch (const EGraphicCompression& e) {
        return e.what();
    }
    return "";
}

std::string Message(const char* message, int row) {
    return FormatImageMessage(message, std::to_string(row));
}

// A file's rows as the TIFF reader will decode them: strip by strip, 1 for a coded black pixel.
TPbm DecodeTiff(const std::string& name) {
    const TTiffFile tiff = ReadTiff(ReadFixture(name));
    TPbm image{tiff.Tag(256), tiff.Tag(257), {}};
    const bool reverse = tiff.Tag(266, 1) == 2;
    std::unique_ptr<TDecoder> decoder;
    if (tiff.Tag(259) == 4)
        decoder = std::make_unique<TCCITTFax4Decoder>(reverse, image.Width);
    else
        decoder = std::make_unique<TCCITTFax3TwoDDecoder>(tiff.Tag(292), reverse, image.Width);
    const uint32_t rowsPerStrip = tiff.Tag(278, image.Height);
    for (size_t s = 0; s < tiff.Strips.size(); ++s) {
        const size_t rows = std::min<size_t>(rowsPerStrip, image.Height - s * rowsPerStrip);
        const auto strip = Decode(*decoder, tiff.Strips[s], rows * ((image.Width + 7) / 8));
        image.Bits.insert(image.Bits.end(), strip.begin(), strip.end());
    }
    return image;
}

// The pixels of a bilevel picture with black and white exchanged (row padding stays 0).
std::vector<uint8_t> Inverted(const TPbm& pbm) {
    std::vector<uint8_t> bits = pbm.Bits;
    const size_t stride = (pbm.Width + 7) / 8;
    for (size_t i = 0; i < bits.size(); ++i) {
        const size_t last = (i % stride + 1) * 8;
        const int padding = last > pbm.Width ? int(last - pbm.Width) : 0;
        bits[i] ^= static_cast<uint8_t>(0xFF << padding);
    }
    return bits;
}

} // namespace

TEST(FaxTwoDDecoders, IndependentEncodersMatchTheSourcePicture) {
    const TPbm page = ReadPbm(ReadFixture("page.pbm"));
    // ImageMagick, tiffcp in strips, in fill order 2, Group 3 2-D with and without fill bits.
    for (const char* name :
         {"page_g4im.tif", "page_g4.tif", "page_g4lsb.tif", "page_g32d.tif", "page_g32dfill.tif"})
        EXPECT_EQ(DecodeTiff(name).Bits, page.Bits) << name;
    // Pillow codes white as black (photometric min-is-black): the reader's palette turns it.
    EXPECT_EQ(DecodeTiff("page_g4pil.tif").Bits, Inverted(page));
    // Runs longer than 2560 pixels.
    EXPECT_EQ(DecodeTiff("wide_g4.tif").Bits, ReadPbm(ReadFixture("wide.pbm")).Bits);

    // fax2tiff's files: the 24 rows of the picture, then 6 white rows of the raw stream's end.
    const TPbm fax = ReadPbm(ReadFixture("fax.pbm"));
    std::vector<uint8_t> withEnd = fax.Bits;
    withEnd.resize(30 * 13, 0);
    EXPECT_EQ(DecodeTiff("fax_f2t_g32d.tif").Bits, withEnd);
    EXPECT_EQ(DecodeTiff("fax_f2t_g4.tif").Bits, withEnd);
    EXPECT_EQ(DecodeTiff("fax_g32d.tif").Bits, fax.Bits);

    // Without T4Options bit 0 the Group 3 rows are one-dimensional and untagged.
    TCCITTFax3TwoDDecoder untagged(0, false, fax.Width);
    EXPECT_EQ(Decode(untagged, ReadTiff(ReadFixture("fax_g3.tif")).Strips[0], fax.Bits.size()),
              fax.Bits);
}

TEST(FaxTwoDDecoders, CodingModesOnHandMadeRows) {
    // Rows of 16 pixels. 1: horizontal W4 B4, V0 at the reference's end. 2: VR1 and VL1 below
    // the run 4..8. 3: pass over 5..7, horizontal W2 B3, V0. 4: VL3 and VR2 from 9..12.
    const std::vector<uint8_t> rows = {0x0F, 0x00, 0x06, 0x00, 0x00, 0x70, 0x03, 0xFC};
    TCCITTFax4Decoder g4(false, 16);
    EXPECT_EQ(Decode(g4,
                     Bits({Horizontal, White4, Black4, V0, VR1, VL1, V0, Pass, Horizontal, White2,
                           Black3, V0, VL3, VR2, V0}),
                     8),
              rows);

    // The same rows in Group 3: 1 and 4 one-dimensional, 2 and 3 two-dimensional.
    TCCITTFax3TwoDDecoder g3(1, false, 16);
    const auto g3Rows =
        Bits({Eol, "1",  White4,     Black4, White8, Eol, "0", VR1, VL1,    V0,     Eol,
              "0", Pass, Horizontal, White2, Black3, V0,  Eol, "1", White6, Black8, White2});
    EXPECT_EQ(Decode(g3, g3Rows, 8), rows);

    // An end-of-line code ends a row early, the rest white; the short row is the next one's
    // reference. Rows starting black begin with a white run of 0.
    EXPECT_EQ(
        Decode(g3, Bits({Eol,  "1",        White4, Black4, Eol, "0", VR1, VL1,    Eol,    "0",
                         Pass, Horizontal, White2, Black3, V0,  Eol, "1", White0, Black8, White8}),
               8),
        (std::vector<uint8_t>{0x0F, 0x00, 0x06, 0x00, 0x00, 0x70, 0xFF, 0x00}));
}

TEST(FaxTwoDDecoders, HostileDataFailsWithAClearMessage) {
    TCCITTFax4Decoder g4(false, 16);
    // Codes that do not move a0 on: a stream of empty horizontal runs stops at the second.
    // (Eight of them, 21 bits each, fill 21 bytes.)
    std::vector<uint8_t> stalled;
    const auto empty =
        Bits({Horizontal, White0, Black0, Horizontal, White0, Black0, Horizontal, White0, Black0,
              Horizontal, White0, Black0, Horizontal, White0, Black0, Horizontal, White0, Black0,
              Horizontal, White0, Black0, Horizontal, White0, Black0});
    for (int i = 0; i < 50000; ++i) stalled.insert(stalled.end(), empty.begin(), empty.end());
    EXPECT_EQ(Failure(g4, stalled, 2 * 1000), Message(msgFaxInvalidCode, 1));
    // Codes that cannot occur, and the uncompressed mode.
    EXPECT_EQ(Failure(g4, Bits({V0, "0000001000", V0, V0, V0}), 4), Message(msgFaxInvalidCode, 2));
    EXPECT_EQ(Failure(g4, Bits({"0000001111", V0, V0, V0}), 4), Message(msgFaxUncompressedMode, 1));
    // Runs past the row: vertical right of the reference's end, horizontal runs, and a chain
    // of make-up codes, which stops as soon as it passes the row.
    EXPECT_EQ(Failure(g4, Bits({VR1, V0, V0, V0}), 4), Message(msgFaxRowTooLong, 1));
    TCCITTFax4Decoder narrow(false, 12);
    EXPECT_EQ(Failure(narrow, Bits({V0, Horizontal, White8, Black8, V0, V0}), 4),
              Message(msgFaxRowTooLong, 2));
    std::vector<std::string_view> makeUps(20000, White1728);
    makeUps.insert(makeUps.begin(), Horizontal);
    EXPECT_EQ(Failure(g4, Bits(makeUps), 4), Message(msgFaxRowTooLong, 1));
    // The end of the block before the last row.
    EXPECT_EQ(Failure(g4, Bits({V0, Eol, Eol}), 6), Message(msgFaxUnexpectedEnd, 2));
    EXPECT_EQ(Failure(g4, {}, 2), Message(msgFaxUnexpectedEnd, 1));

    // Group 3: a row without its end-of-line code, an empty run inside a row.
    TCCITTFax3TwoDDecoder g3(1, false, 16);
    EXPECT_EQ(Failure(g3, Bits({White4, Black4, White8}), 2), Message(msgFaxInvalidCode, 1));
    EXPECT_EQ(Failure(g3, Bits({Eol, "1", White4, Black0, White8, White4}), 2),
              Message(msgFaxInvalidCode, 1));

    // Truncated strips: the rows before the cut decode, or the data is said to end.
    for (const char* name : {"page_g4.tif", "page_g32d.tif"}) {
        const TTiffFile tiff = ReadTiff(ReadFixture(name));
        const auto& strip = tiff.Strips[0];
        const size_t rows = std::min(tiff.Tag(278), tiff.Tag(257));
        const size_t bytes = rows * ((tiff.Tag(256) + 7) / 8);
        std::unique_ptr<TDecoder> decoder;
        if (tiff.Tag(259) == 4)
            decoder = std::make_unique<TCCITTFax4Decoder>(false, tiff.Tag(256));
        else
            decoder = std::make_unique<TCCITTFax3TwoDDecoder>(tiff.Tag(292), false, tiff.Tag(256));
        const auto whole = Decode(*decoder, strip, bytes);
        for (size_t cut = 0; cut < strip.size(); cut += 5) {
            const std::vector<uint8_t> part(strip.begin(), strip.begin() + ptrdiff_t(cut));
            const std::string failure = Failure(*decoder, part, bytes);
            if (failure.empty())
                EXPECT_EQ(Decode(*decoder, part, bytes), whole) << name << " " << cut;
            else
                EXPECT_EQ(failure.rfind("CCITT fax decompression error. The data ends in row ", 0),
                          0u)
                    << name << " " << cut << ": " << failure;
        }
    }
}

TEST(FaxTwoDDecoders, OutputEndingInsideARowStaysInBounds) {
    const TTiffFile tiff = ReadTiff(ReadFixture("page_g4.tif"));
    const TPbm page = ReadPbm(ReadFixture("page.pbm"));
    TCCITTFax4Decoder g4(false, page.Width);
    // 38 bytes a row: bytes beyond the output area stay as they were.
    for (size_t size : {1, 37, 38, 39, 100, 1000}) {
        std::vector<uint8_t> output(size + 16, 0xAA);
        const uint8_t* in = tiff.Strips[0].data();
        uint8_t* out = output.data();
        g4.Decode(in, out, int32_t(tiff.Strips[0].size()), int32_t(size));
        EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + ptrdiff_t(size)),
                  std::vector<uint8_t>(page.Bits.begin(), page.Bits.begin() + ptrdiff_t(size)));
        EXPECT_EQ(std::vector<uint8_t>(output.begin() + ptrdiff_t(size), output.end()),
                  std::vector<uint8_t>(16, 0xAA));
    }
    // Rows without pixels: nothing to decode, the output is cleared.
    TCCITTFax4Decoder empty(false, 0);
    EXPECT_EQ(Decode(empty, {0xFF}, 3), std::vector<uint8_t>(3, 0));
}
