// The run-length decoders: Targa (which alone also encodes), PackBits, PCX, SGI, Dr. Halo CUT,
// Paintshop Pro and Alias/Wavefront RLA.
//
// They need no set-up: readers call Decode alone. Each call starts a fresh packet sequence.
//
// Truncation, for the whole family: a decoder never raises. It stops silently where the input
// given to it (`inputSize` bytes) or the room at the output (`outputSize`) ends, whichever comes
// first; output it did not reach keeps its previous contents. A packet cut by the end of the
// input yields what it holds: the available bytes of a literal packet, nothing for a repeat
// packet that lacks its value. Every decoder takes `inputSize` as the bytes really available,
// also the schemes whose end is marked in the data (SGI, CUT) or whose input count the format
// does not give (Targa, PCX); a negative size counts as 0.
//
// Which pointers Decode moves, and what `outputSize` counts:
//
//   decoder   outputSize           stops when                      moves input       moves output
//   Targa     pixels to produce    the pixel count is reached      past last packet  no
//   PackBits  bytes to produce     either count reaches 0          no                no
//   PCX       bytes to produce     the byte count is reached       no                no
//   SGI       room in bytes        a packet with count 0           no                no
//   CUT       room in bytes        a 0 byte                        past the 0 byte   no
//   PSP       room in bytes        the input is used up            no                no
//   RLA       room in bytes        the input is used up            no                no
#pragma once

#include "imaging/codecs/Decoder.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Targa RLE: packets of a header byte h and pixels of (PixelDepth + 1) div 8 bytes; h >= 0x80
// repeats one pixel (h and 0x7F) + 1 times, otherwise (h + 1) pixels follow as they are.
class TTargaRLEDecoder : public TDecoder {
public:
    explicit TTargaRLEDecoder(int32_t pixelDepth) : pixelDepth_(pixelDepth) {}

    int32_t PixelDepth() const { return pixelDepth_; }

    // `outputSize` counts pixels. Decodes nothing (and leaves `input` alone) for a pixel depth
    // other than 8, 15, 16, 24 or 32. A packet is never split across calls: `input` is stored
    // back past the last packet read (or at the end of the input when the data ran out), so
    // the next call starts at the next packet; pixels of a packet beyond the count are dropped.
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

    // Decodes the next `pixelCount` pixels of an image whose packets run on across rows, as
    // writers may store them: a packet that goes on past the pixels asked for is kept, and the
    // next call starts with its rest (so each call fills one row, never past its end). Reads
    // from `input` up to `end` and moves `input` past the bytes used; stops silently where the
    // input ends, the pixels not reached keeping their contents. Decodes nothing for a pixel
    // depth other than 8, 15, 16, 24 or 32.
    void DecodeRow(const uint8_t*& input, const uint8_t* end, uint8_t* output, size_t pixelCount);

    // Packs `pixelCount` pixels. The output must hold EncodedSizeBound(pixelCount) bytes; with
    // a pixel depth below 7 (no whole byte per pixel) nothing is written and `bytesWritten`
    // is 0.
    void Encode(const uint8_t* input, uint8_t* output, uint32_t pixelCount,
                uint32_t& bytesWritten) override;

    // The most bytes Encode writes for `pixelCount` pixels: a packet holds at least one pixel,
    // so at worst every pixel comes with its own header byte (never more than twice the row).
    uint64_t EncodedSizeBound(uint32_t pixelCount) const;

private:
    // Writes what is left of the packet the last DecodeRow began, at most `count` pixels.
    void ContinuePacket(const uint8_t*& source, const uint8_t* end, uint8_t*& target, size_t count,
                        size_t pixelSize);

    int32_t pixelDepth_;
    // The packet DecodeRow goes on with: pixels left, whether they repeat runPixel_ (else they
    // are literal pixels still to read).
    size_t pending_ = 0;
    bool pendingRun_ = false;
    std::array<uint8_t, 4> runPixel_{};
};

// PackBits (TIFF compression 32773, Photoshop): a signed count n; 0..127 copies n + 1 bytes,
// -127..-1 repeats the next byte 1 - n times, -128 does nothing.
class TPackbitsRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// PackBits data taken as one stream, a stretch of its output at a time: for readers that
// convert row by row, or pass over the rows they do not need. A run may cross from one
// stretch into the next, as it would in one Decode call of the whole; the data ends silently
// where the input ends (as for the decoder: a repeat count without its value, or a literal run
// cut short, yields what the input holds).
class TPackBitsCursor {
public:
    TPackBitsCursor(const uint8_t* input, size_t inputSize)
        : source_(input), begin_(input), end_(input + inputSize) {}

    // Writes the next `count` bytes of output to `output`; answers how many the data held
    // (fewer when it ends first: the rest of `output` is left alone).
    size_t Read(uint8_t* output, size_t count) { return Walk<true>(output, count); }
    // Passes over the next `count` bytes of output; answers how many the data held.
    size_t Skip(size_t count) { return Walk<false>(nullptr, count); }
    // Input bytes used so far.
    size_t Used() const { return size_t(source_ - begin_); }

private:
    template <bool Write> size_t Walk(uint8_t* output, size_t count);

    const uint8_t* source_;
    const uint8_t* begin_;
    const uint8_t* end_;
    // Output bytes of a run begun before the current stretch: a repeat of `value_`, or literal
    // bytes at `source_`.
    size_t pending_ = 0;
    bool repeat_ = false;
    uint8_t value_ = 0;
};

// PCX: a byte >= 0xC0 repeats the next byte (b and 0x3F) times; any other byte stands for
// itself.
class TPCXRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

    // Decodes up to `count` bytes of one row of an image whose runs may go on across rows, as
    // writers may store them: a run that goes on past the row is kept, and the next call
    // starts with its rest. Reads from `input` up to `end` and moves `input` past the packets
    // used (a run byte whose value lies past `end` is left for the next call); answers the
    // bytes written, fewer than `count` when the input ended first. Nothing is written past
    // `count` bytes.
    size_t DecodeRow(const uint8_t*& input, const uint8_t* end, uint8_t* output, size_t count);

private:
    // The run DecodeRow goes on with: bytes left, and their value.
    size_t pending_ = 0;
    uint8_t pendingValue_ = 0;
};

// SGI: one scan line of packets with the count in the low 7 bits of the control byte (or,
// for 16-bit samples, of the big-endian control word); bit 0x80 marks a literal packet, a
// clear bit a repeat of the next sample; a count of 0 ends the line. Samples are copied in
// the byte order in which they are stored.
class TSGIRLEDecoder : public TDecoder {
public:
    // `sampleBits` 8 means byte samples; any other value means 16-bit samples.
    explicit TSGIRLEDecoder(uint8_t sampleBits) : sampleBits_(sampleBits) {}

    uint8_t SampleBits() const { return sampleBits_; }

    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;

private:
    uint8_t sampleBits_;
};

// Dr. Halo CUT: a line starts with its 16-bit byte count (skipped), then packets whose byte
// b gives the count (b and 0x7F), bit 0x80 set for a repeat of the next byte, clear for
// literal bytes; a 0 byte ends the line. Lines follow each other in one buffer: `input` is
// left just past the line's 0 byte so that the next call decodes the next line. When the
// output is full the rest of the line is still read, to find its end.
class TCUTRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// Paintshop Pro: a byte b < 0x80 is followed by b literal bytes; b >= 0x80 repeats the next
// byte b - 0x80 times.
class TPSPRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};

// Alias/Wavefront RLA: a signed count n; n >= 0 repeats the next byte n + 1 times, n < 0 is
// followed by -n literal bytes.
class TRLADecoder : public TDecoder {
public:
    void Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                int32_t outputSize) override;
};
