#include "imaging/codecs/PCDDecoder.h"
#include "imaging/codecs/ThunderDecoder.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Thunder(int32_t width, std::vector<uint8_t> input, size_t outputSize) {
    TThunderDecoder decoder(width);
    std::vector<uint8_t> output(outputSize + 8, 0xAA);
    const uint8_t* in = input.data();
    uint8_t* out = output.data();
    decoder.Decode(in, out, static_cast<int32_t>(input.size()), static_cast<int32_t>(outputSize));
    EXPECT_EQ(in, input.data());
    EXPECT_EQ(out, output.data());
    EXPECT_EQ(std::vector<uint8_t>(output.end() - 8, output.end()), std::vector<uint8_t>(8, 0xAA));
    output.resize(outputSize);
    return output;
}

} // namespace

TEST(ThunderDecoder, RunsDeltasAndRawValues) {
    // Raw 5, 5; a run of 3 at an even count fills one byte and the high nibble of the next,
    // whose low nibble the next sample fills.
    EXPECT_EQ(Thunder(8, {0xC5, 0xC5, 0x03, 0xC9}, 4),
              (std::vector<uint8_t>{0x55, 0x55, 0x59, 0x00}));
    // A run at an odd count completes the pending byte first.
    EXPECT_EQ(Thunder(8, {0xC7, 0x04, 0xC1}, 4), (std::vector<uint8_t>{0x77, 0x77, 0x71, 0x00}));
    // 0x72: fields 3, 0, 2: last - 1, the same again, the third skipped.
    EXPECT_EQ(Thunder(8, {0xC7, 0x72}, 4), (std::vector<uint8_t>{0x76, 0x60, 0x00, 0x00}));
    // 3-bit deltas: +3 then -1 (field 7); field 4 is skipped, field 0 repeats. Values wrap
    // within a nibble: F + 1 gives 0.
    EXPECT_EQ(Thunder(8, {0xC1, 0x9F, 0xA0, 0xCF, 0x41}, 4),
              (std::vector<uint8_t>{0x14, 0x33, 0xFF, 0xF0}));
}

TEST(ThunderDecoder, RowsStartOnBytesWithLastValueZeroAndStayInBounds) {
    // Width 3: the fourth code starts the second row; a delta there starts from 0.
    EXPECT_EQ(Thunder(3, {0xC1, 0xC2, 0xC3, 0x50, 0x3F}, 4),
              (std::vector<uint8_t>{0x12, 0x30, 0x11, 0x10}));
    // A run longer than the row is cut at its end.
    EXPECT_EQ(Thunder(3, {0xC2, 0x3F, 0xC4}, 4), (std::vector<uint8_t>{0x22, 0x20, 0x40, 0x00}));
    // Input that ends early leaves the rest 0; an output shorter than a row is respected.
    EXPECT_EQ(Thunder(4, {0xC9}, 4), (std::vector<uint8_t>{0x90, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Thunder(100, {0x3F, 0x3F}, 3), (std::vector<uint8_t>{0x00, 0x00, 0x00}));
    EXPECT_EQ(Thunder(0, {0xC1}, 2), (std::vector<uint8_t>{0x00, 0x00}));
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> input(random() % 64);
        for (uint8_t& b : input) b = static_cast<uint8_t>(random());
        Thunder(1 + int32_t(random() % 9), input, random() % 12);
    }
}

namespace {

// Photo-CD residual data written bit by bit, most significant first.
struct TPCDWriter {
    std::vector<uint8_t> Data;
    size_t Bits = 0;

    void Put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (Bits % 8 == 0) Data.push_back(0);
            if ((value >> i) & 1) Data.back() |= static_cast<uint8_t>(0x80 >> (Bits % 8));
            ++Bits;
        }
    }
    void Code(const std::string& bits) {
        for (char c : bits) Put(c == '1', 1);
    }
    // Entry count, then per entry: length - 1, the code left-justified in 16 bits, value.
    void Table(const std::vector<std::pair<std::string, uint8_t>>& entries) {
        Put(uint32_t(entries.size() - 1), 8);
        for (const auto& [code, value] : entries) {
            Put(uint32_t(code.size() - 1), 8);
            Put(std::stoul(code, nullptr, 2) << (16 - code.size()), 16);
            Put(value, 8);
        }
    }
    void Header(uint32_t plane, uint32_t row) {
        Put(0xFFFFFE, 24);
        Put((plane << 14) | (row << 1), 16);
    }
    TMemoryStream Stream() {
        std::vector<uint8_t> padded = Data;
        padded.resize((padded.size() / 2048 + 1) * 2048);
        return TMemoryStream(padded);
    }
};

const std::vector<std::pair<std::string, uint8_t>> Table = {
    {"1", 5}, {"01", 0xFD}, {"001", 127}, {"0001", 0x80}};

void RunPCD(TPCDWriter& w, TPCDPlanes& planes, int32_t stride, int32_t rows) {
    TMemoryStream stream = w.Stream();
    TPCDDecoder decoder(stream);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(&planes);
    uint8_t* out = nullptr;
    decoder.Decode(in, out, stride, rows);
}

} // namespace

TEST(PCDDecoder, AddsResidualsClampedAndEndsAtTheLastRow) {
    std::vector<uint8_t> luma = {100, 100, 200, 50, 10, 10, 10, 10};
    std::vector<uint8_t> chroma(8, 60), chroma2(8, 70);
    TPCDPlanes planes{{luma.data(), chroma.data(), chroma2.data()}, {8, 8, 8}};
    TPCDWriter w;
    w.Table(Table);
    w.Header(0, 0);
    w.Code("1"), w.Code("01"), w.Code("001"), w.Code("0001");
    // One table only: chroma rows have none and are skipped up to the next header.
    w.Header(2, 0);
    w.Code("1111");
    // Codes beyond the plane's end are read but not written.
    w.Header(0, 1);
    for (int i = 0; i < 6; ++i) w.Code("1");
    w.Header(0, 2);
    w.Code("1");
    RunPCD(w, planes, 4, 2);
    EXPECT_EQ(luma, (std::vector<uint8_t>{105, 97, 255, 0, 15, 15, 15, 15}));
    EXPECT_EQ(chroma, std::vector<uint8_t>(8, 60));
    EXPECT_EQ(chroma2, std::vector<uint8_t>(8, 70));
}

TEST(PCDDecoder, LongCodesPlaneOneAndTruncatedStreams) {
    std::vector<uint8_t> luma(8, 100);
    TPCDPlanes planes{{luma.data(), nullptr, nullptr}, {8, 0, 0}};
    // A code length of 17 ends decoding with the planes unchanged.
    TPCDWriter longCode;
    longCode.Put(0, 8), longCode.Put(16, 8), longCode.Put(0, 16), longCode.Put(1, 8);
    longCode.Header(0, 0);
    longCode.Code("1");
    RunPCD(longCode, planes, 4, 2);
    EXPECT_EQ(luma, std::vector<uint8_t>(8, 100));

    // Plane 1 ends decoding silently.
    TPCDWriter planeOne;
    planeOne.Table(Table);
    planeOne.Header(1, 0);
    planeOne.Code("1");
    RunPCD(planeOne, planes, 4, 2);
    EXPECT_EQ(luma, std::vector<uint8_t>(8, 100));

    // Data that never reaches the last row raises the stream's read error.
    TPCDWriter truncated;
    truncated.Table(Table);
    truncated.Header(0, 0);
    truncated.Code("1");
    EXPECT_THROW(RunPCD(truncated, planes, 4, 2), EStreamError);
    EXPECT_EQ(luma[0], 105);
}
