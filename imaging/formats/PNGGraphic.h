// Portable Network Graphics images: every colour type and bit depth, Adam7 interlacing,
// palette, gamma, background and transparency chunks.
#pragma once

#include "imaging/ImageGraphic.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class TLZ77Decoder;

class TPNGGraphic : public TImageGraphic {
public:
    DECLARE_GRAPHIC_CLASS()

    // More than 8 bytes from the position, the first 8 being the PNG signature. The position
    // is restored.
    static bool Recognize(TStream& stream);
    // Reads the signature and the header chunk, then looks for a gamma chunk up to the end
    // chunk. A file holds one image, so `index` is not used.
    bool ReadImageHeader(TStream& stream, uint32_t index) override;
    // Loads the image, inflating the image data row by row.
    void DecodeImage(TStream& stream) override;

    // Alpha of each palette entry as the last load's transparency chunk gave it (255 for
    // entries it did not list; all 0 when the load met no such chunk).
    const std::array<uint8_t, 256>& AlphaTable() const { return alphaTable_; }

private:
    struct THeader {
        uint32_t Width = 0;
        uint32_t Height = 0;
        uint8_t BitDepth = 0;
        uint8_t ColorType = 0;
        uint8_t Interlace = 0;
    };

    void ReadChunkHeader(TStream& stream);
    void ReadChunkData(TStream& stream);
    void SkipChunk(TStream& stream);
    bool IsChunk(const char* name) const;

    int SetupColorManager(uint8_t colorType, uint8_t bitDepth);
    void LoadIDAT(TStream& stream, TLoad& load);
    bool ReadRow(TStream& stream, uint8_t* buffer, size_t count);
    void ReadBKGD();
    void ReadTRNS();
    // A colour of the bKGD or tRNS chunk as the bitmap shows it.
    std::optional<TColor> ResolveColor(uint32_t value, bool isIndex) const;
    void FillRows(int32_t first, TColor color);

    // Chunk being read.
    uint32_t chunkLength_ = 0;
    uint8_t chunkType_[4] = {};
    uint32_t runningCRC_ = 0;
    std::vector<uint8_t> chunkBuffer_;

    // State of one load.
    THeader header_;
    TLZ77Decoder* inflater_ = nullptr; // owned by the load's decoder session
    size_t inflatePosition_ = 0;       // where inflating goes on in chunkBuffer_
    size_t inflateSize_ = 0;           // image data in chunkBuffer_ (0: none)
    int pixelBytes_ = 1;
    bool colorsReady_ = false;
    std::optional<TPalette> palette_;
    std::array<uint8_t, 256> alphaTable_{};
    // Background and transparent colour: an RGB colour, or an index into the palette for
    // palette and grey images.
    uint32_t fillColor_ = 0;
    bool fillIsIndex_ = false;
    std::optional<uint32_t> transparentKey_;
    bool keyIsIndex_ = false;
};
