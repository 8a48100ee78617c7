#include "imaging/codecs/RunLengthDecoders.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Decodes `packed` into a buffer of exactly `room` bytes (so that AddressSanitizer sees any
// write past it), pre-filled with 0xEE to show the bytes left alone. `moved` receives how far
// the decoder moved the input pointer; the output pointer must never move.
Bytes Unpack(TDecoder& decoder, const Bytes& packed, int32_t outputSize, size_t room,
             ptrdiff_t* moved = nullptr, int32_t inputSize = -1) {
    auto in = std::make_unique<uint8_t[]>(packed.size() + 1);
    std::copy(packed.begin(), packed.end(), in.get());
    auto out = std::make_unique<uint8_t[]>(room + 1);
    std::fill_n(out.get(), room, 0xEE);
    const uint8_t* input = in.get();
    uint8_t* output = out.get();
    decoder.Decode(input, output, inputSize < 0 ? int32_t(packed.size()) : inputSize, outputSize);
    EXPECT_EQ(output, out.get()) << "the output pointer moved";
    if (moved) *moved = input - in.get();
    return Bytes(out.get(), out.get() + room);
}

Bytes Unpack(TDecoder& decoder, const Bytes& packed, size_t room, ptrdiff_t* moved = nullptr) {
    return Unpack(decoder, packed, int32_t(room), room, moved);
}

} // namespace

TEST(PackBits, LiteralsRepeatsAndNoOperation) {
    TPackbitsRLEDecoder d;
    ptrdiff_t moved = -1;
    // 2 literals, -128 (nothing), repeat 0x55 three times.
    EXPECT_EQ(Unpack(d, {0x01, 0x10, 0x20, 0x80, 0xFE, 0x55}, 5, &moved),
              (Bytes{0x10, 0x20, 0x55, 0x55, 0x55}));
    EXPECT_EQ(moved, 0);
    // A lone -128 produces nothing and is simply used up.
    EXPECT_EQ(Unpack(d, {0x80}, 2), (Bytes{0xEE, 0xEE}));
}

TEST(PackBits, CutsAtEitherEnd) {
    TPackbitsRLEDecoder d;
    // A literal run longer than the packed bytes left stops at the end of the input.
    EXPECT_EQ(Unpack(d, {0x05, 1, 2}, 6), (Bytes{1, 2, 0xEE, 0xEE, 0xEE, 0xEE}));
    // Runs are cut to the bytes still wanted.
    EXPECT_EQ(Unpack(d, {0x81, 7}, 3), (Bytes{7, 7, 7}));
    EXPECT_EQ(Unpack(d, {0x03, 1, 2, 3, 4}, 2), (Bytes{1, 2}));
    // A repeat count as the last byte has no value to repeat.
    EXPECT_EQ(Unpack(d, {0x00, 9, 0xFD}, 3), (Bytes{9, 0xEE, 0xEE}));
    // The input size given counts, not the bytes behind it.
    EXPECT_EQ(Unpack(d, {0x00, 9, 0x00, 8}, 3, 3, nullptr, 2), (Bytes{9, 0xEE, 0xEE}));
}

TEST(PCX, RepeatsLiteralsAndZeroCount) {
    TPCXRLEDecoder d;
    // 0xC0 uses two bytes and produces nothing; 0xC3 repeats; 0x41 stands for itself.
    EXPECT_EQ(Unpack(d, {0xC0, 0x99, 0xC3, 0x07, 0x41}, 4), (Bytes{7, 7, 7, 0x41}));
    // Cut to the output; a repeat byte without its value at the end produces nothing.
    EXPECT_EQ(Unpack(d, {0xFF, 0x01}, 3), (Bytes{1, 1, 1}));
    EXPECT_EQ(Unpack(d, {0x05, 0xC2}, 3), (Bytes{5, 0xEE, 0xEE}));
}

TEST(SGI, EightBitLines) {
    TSGIRLEDecoder d(8);
    // Literal packet of 2, run of 3, end.
    EXPECT_EQ(Unpack(d, {0x82, 1, 2, 0x03, 9, 0x00, 0x01, 5}, 6), (Bytes{1, 2, 9, 9, 9, 0xEE}));
    // A line that starts with 0x00 or 0x80 produces nothing.
    EXPECT_EQ(Unpack(d, {0x00, 0x05, 7}, 2), (Bytes{0xEE, 0xEE}));
    EXPECT_EQ(Unpack(d, {0x80, 0x05, 7}, 2), (Bytes{0xEE, 0xEE}));
    // No end packet: stops at the end of the input and of the room.
    EXPECT_EQ(Unpack(d, {0x84, 1, 2}, 4), (Bytes{1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(Unpack(d, {0x7F, 3}, 4), (Bytes{3, 3, 3, 3}));
}

TEST(SGI, SixteenBitLinesKeepStoredByteOrder) {
    TSGIRLEDecoder d(16);
    // Control words are big-endian; samples are copied as stored.
    EXPECT_EQ(
        Unpack(d, {0x00, 0x82, 0x12, 0x34, 0x56, 0x78, 0x00, 0x02, 0xAB, 0xCD, 0x00, 0x00}, 8),
        (Bytes{0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xAB, 0xCD}));
    EXPECT_EQ(Unpack(d, {0x00, 0x00, 0x00, 0x02, 1, 2}, 2), (Bytes{0xEE, 0xEE}));
    // A run cut by the room; a run missing its sample; a literal cut by the input.
    EXPECT_EQ(Unpack(d, {0x00, 0x05, 0xAB, 0xCD}, 3), (Bytes{0xAB, 0xCD, 0xAB}));
    EXPECT_EQ(Unpack(d, {0x00, 0x05, 0xAB}, 2), (Bytes{0xEE, 0xEE}));
    EXPECT_EQ(Unpack(d, {0x00, 0x83, 1, 2, 3}, 6), (Bytes{1, 2, 3, 0xEE, 0xEE, 0xEE}));
}

TEST(CUT, LinesFollowEachOtherInOneBuffer) {
    TCUTRLEDecoder d;
    // Two byte-count bytes, a run of 3, 2 literals, end; then the next line.
    const Bytes data{0x07, 0x00, 0x83, 0x05, 0x02, 0x0A, 0x0B, 0x00, 0x03, 0x00, 0x81, 0x01, 0x00};
    ptrdiff_t moved = -1;
    EXPECT_EQ(Unpack(d, data, 5, &moved), (Bytes{5, 5, 5, 0x0A, 0x0B}));
    EXPECT_EQ(moved, 8); // just past the 0 byte
    const Bytes second(data.begin() + moved, data.end());
    EXPECT_EQ(Unpack(d, second, 1, &moved), (Bytes{1}));
    EXPECT_EQ(moved, 5);
    // A line longer than the room is still read to its end.
    EXPECT_EQ(Unpack(d, data, 2, &moved), (Bytes{5, 5}));
    EXPECT_EQ(moved, 8);
    // Without a 0 byte the input pointer stops at the end of the input.
    EXPECT_EQ(Unpack(d, {0x00, 0x00, 0x02, 0x01}, 3, &moved), (Bytes{1, 0xEE, 0xEE}));
    EXPECT_EQ(moved, 4);
    EXPECT_EQ(Unpack(d, {0x05}, 1, &moved), (Bytes{0xEE}));
    EXPECT_EQ(moved, 1);
}

TEST(PSP, LiteralsAndRepeats) {
    TPSPRLEDecoder d;
    EXPECT_EQ(Unpack(d, {0x02, 1, 2, 0x83, 9, 0x80, 4, 0x00}, 6), (Bytes{1, 2, 9, 9, 9, 0xEE}));
    EXPECT_EQ(Unpack(d, {0x05, 1, 2}, 4), (Bytes{1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(Unpack(d, {0xFF, 1}, 3), (Bytes{1, 1, 1}));
}

TEST(RLA, RepeatsAndLiterals) {
    TRLADecoder d;
    // n >= 0 repeats n + 1 times; n < 0 copies -n bytes.
    EXPECT_EQ(Unpack(d, {0x02, 7, 0xFE, 1, 2}, 6), (Bytes{7, 7, 7, 1, 2, 0xEE}));
    EXPECT_EQ(Unpack(d, {0xFC, 1, 2}, 4), (Bytes{1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(Unpack(d, {0x7F, 1}, 3), (Bytes{1, 1, 1}));
    EXPECT_EQ(Unpack(d, {0x00}, 1), (Bytes{0xEE}));
}

TEST(TargaRLE, DecodesPacketsAndStoresTheSourceBack) {
    TTargaRLEDecoder d(24);
    // Run of 2 pixels, raw packet of 1 pixel, then a second line's packet.
    const Bytes data{0x81, 1, 2, 3, 0x00, 4, 5, 6, 0x80, 7, 8, 9};
    ptrdiff_t moved = -1;
    EXPECT_EQ(Unpack(d, data, 3, 9, &moved), (Bytes{1, 2, 3, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(moved, 8);
    // A packet is not split: pixels beyond the count are dropped, the packet is used up.
    EXPECT_EQ(Unpack(d, data, 1, 3, &moved), (Bytes{1, 2, 3}));
    EXPECT_EQ(moved, 4);
    TTargaRLEDecoder d16(16);
    EXPECT_EQ(Unpack(d16, {0x02, 1, 2, 3, 4, 5, 6, 0x80, 7, 8}, 2, 4, &moved), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(moved, 7);
}

TEST(TargaRLE, UnknownDepthAndTruncation) {
    ptrdiff_t moved = -1;
    TTargaRLEDecoder d12(12);
    EXPECT_EQ(Unpack(d12, {0x80, 1, 2}, 2, 4, &moved), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(moved, 0);
    TTargaRLEDecoder d(8);
    // A raw packet cut by the end of the input yields what it holds; the pointer stops at the
    // end of the input.
    EXPECT_EQ(Unpack(d, {0x03, 1, 2}, 4, 4, &moved), (Bytes{1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(moved, 3);
    // A run packet missing its pixel yields nothing.
    TTargaRLEDecoder d32(32);
    EXPECT_EQ(Unpack(d32, {0x81, 1, 2, 3}, 2, 8, &moved), Bytes(8, 0xEE));
    EXPECT_EQ(moved, 4);
    // Nothing asked: nothing read.
    EXPECT_EQ(Unpack(d, {0x81, 1}, 0, 1, &moved), (Bytes{0xEE}));
    EXPECT_EQ(moved, 0);
}

namespace {

Bytes Encode(int32_t depth, const Bytes& pixels) {
    TTargaRLEDecoder encoder(depth);
    const size_t p = size_t(depth + 1) / 8;
    const uint32_t count = uint32_t(pixels.size() / p);
    Bytes out(encoder.EncodedSizeBound(count));
    uint32_t written = 12345;
    encoder.Encode(pixels.data(), out.data(), count, written);
    EXPECT_LE(written, out.size());
    out.resize(written);
    return out;
}

} // namespace

TEST(TargaRLE, EncodesRawAndRunPackets) {
    EXPECT_EQ(Encode(8, {1, 2, 3, 3, 3}), (Bytes{0x01, 1, 2, 0x82, 3}));
    EXPECT_EQ(Encode(8, {9}), (Bytes{0x00, 9}));
    EXPECT_EQ(Encode(8, Bytes(130, 4)), (Bytes{0xFF, 4, 0x81, 4}));
    EXPECT_EQ(Encode(16, {1, 2, 1, 2, 3, 4}), (Bytes{0x81, 1, 2, 0x00, 3, 4}));
    EXPECT_EQ(Encode(8, {}), Bytes{});
    // Single pixels between pairs: the most header bytes per pixel, within the bound.
    EXPECT_EQ(Encode(8, {1, 2, 2, 3, 4, 4}), (Bytes{0x00, 1, 0x81, 2, 0x00, 3, 0x81, 4}));
    // Raw packets hold at most 128 pixels.
    Bytes ramp(300);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i * 7);
    const Bytes packed = Encode(8, ramp);
    ASSERT_EQ(packed.size(), 303u);
    EXPECT_EQ(packed[0], 0x7F);
    EXPECT_EQ(packed[129], 0x7F);
    EXPECT_EQ(packed[258], 300 - 257);
}

TEST(TargaRLE, EncodedRowsDecodeBackAtEveryDepth) {
    for (int32_t depth : {8, 16, 24, 32}) {
        const size_t p = size_t(depth + 1) / 8;
        Bytes pixels;
        uint32_t seed = 7;
        for (int i = 0; i < 1000; ++i) {
            seed = seed * 1103515245 + 12345;
            const int repeat = (seed >> 16) % 4 == 0 ? int(seed >> 24) % 200 : 1;
            for (int r = 0; r < repeat; ++r)
                for (size_t b = 0; b < p; ++b) pixels.push_back(uint8_t((seed >> (8 * b)) & 3));
        }
        const Bytes packed = Encode(depth, pixels);
        TTargaRLEDecoder d(depth);
        ptrdiff_t moved = -1;
        EXPECT_EQ(Unpack(d, packed, int32_t(pixels.size() / p), pixels.size(), &moved), pixels)
            << depth;
        EXPECT_EQ(moved, ptrdiff_t(packed.size()));
    }
}

TEST(RunLength, EncodeOfDecodeOnlyClassesRaises) {
    TPackbitsRLEDecoder packbits;
    TPCXRLEDecoder pcx;
    TSGIRLEDecoder sgi(8);
    TCUTRLEDecoder cut;
    TPSPRLEDecoder psp;
    TRLADecoder rla;
    for (TDecoder* d : std::initializer_list<TDecoder*>{&packbits, &pcx, &sgi, &cut, &psp, &rla}) {
        const uint8_t in[4] = {1, 2, 3, 4};
        uint8_t out[4] = {0, 0, 0, 0};
        uint32_t written = 77;
        EXPECT_THROW(d->Encode(in, out, 4, written), EGraphicCompression);
        EXPECT_EQ(written, 77u);
        EXPECT_EQ(out[0] | out[1] | out[2] | out[3], 0);
    }
}

TEST(RunLength, NoOutputIsNoWriteEvenThroughANullPointer) {
    // A zero-byte output (a row of no pixels) may be a null pointer: packets of every kind
    // then copy and fill nothing (the fuzzer found the CUT decoder passing it to memcpy).
    const Bytes packed = {0x00, 0x00, 0x85, 0x04, 0x85, 0xF7, 0x03, 1, 2, 3, 0x83, 0x0D, 0x00};
    TCUTRLEDecoder cut;
    TPackbitsRLEDecoder packbits;
    TPCXRLEDecoder pcx;
    TPSPRLEDecoder psp;
    TRLADecoder rla;
    for (TDecoder* decoder : std::initializer_list<TDecoder*>{&cut, &packbits, &pcx, &psp, &rla}) {
        const uint8_t* input = packed.data();
        uint8_t* output = nullptr;
        decoder->Decode(input, output, int32_t(packed.size()), 0);
        EXPECT_EQ(output, nullptr);
    }
}

TEST(TargaRLE, RunsOfEveryLengthCutAtEveryPixel) {
    // A run packet of each length, the output room ending at each pixel of it: the pixel
    // repeated exactly as far as the room goes, and not a byte further.
    for (int32_t depth : {16, 24, 32}) {
        const size_t p = size_t(depth + 1) / 8;
        const Bytes pixel = {0x11, 0x22, 0x33, 0x44};
        for (size_t count = 1; count <= 128; count += count < 8 ? 1 : 11) {
            Bytes packet = {uint8_t(0x80 | (count - 1))};
            packet.insert(packet.end(), pixel.begin(), pixel.begin() + std::ptrdiff_t(p));
            for (size_t room = 0; room <= count + 1; ++room) {
                TTargaRLEDecoder d(depth);
                const Bytes out = Unpack(d, packet, int32_t(room), (room + 1) * p);
                for (size_t i = 0; i < out.size(); ++i) {
                    const uint8_t want = i < std::min(room, count) * p ? pixel[i % p] : 0xEE;
                    ASSERT_EQ(out[i], want) << depth << " " << count << " " << room << " " << i;
                }
            }
        }
    }
}
