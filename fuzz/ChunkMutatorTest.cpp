// The chunk mutator on PNG fixtures, with libFuzzer's byte mutator replaced by a stub that
// changes one byte.
#include "fuzz/ChunkMutator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t) {
    static uint32_t counter = 0;
    data[counter++ % size] ^= 0x5A;
    return size;
}

namespace {

std::vector<uint8_t> Fixture(const std::string& name) {
    std::ifstream file(std::string(CHRONOLITH_TEST_DATA) + "/formats/png/" + name,
                       std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Types(const TChunkedFile& file) {
    std::vector<std::string> types;
    for (const TChunk& chunk : file.Chunks)
        types.emplace_back(chunk.Type.begin(), chunk.Type.end());
    return types;
}

// Whether every whole chunk's CRC is right: repairing changes nothing.
bool CRCsRight(std::vector<uint8_t> data) {
    const std::vector<uint8_t> before = data;
    RepairChunkCRCs(PNGChunks, data.data(), data.size());
    return data == before;
}

TEST(ChunkMutator, ParsesAndWritesBackAPNGFileUnchanged) {
    const std::vector<uint8_t> png = Fixture("basn3p01.png");
    const TChunkedFile file = ParseChunks(PNGChunks, png.data(), png.size());
    EXPECT_EQ(Types(file), (std::vector<std::string>{"IHDR", "gAMA", "PLTE", "IDAT", "IEND"}));
    EXPECT_TRUE(file.Tail.empty());
    EXPECT_EQ(WriteChunks(PNGChunks, file), png);

    // A chunk claiming more than is left (the cut end chunk) ends the chunks; the bytes from
    // it on are the tail.
    std::vector<uint8_t> cut(png.begin(), png.end() - 6);
    const TChunkedFile truncated = ParseChunks(PNGChunks, cut.data(), cut.size());
    EXPECT_EQ(truncated.Chunks.size(), 4u);
    EXPECT_EQ(truncated.Tail.size(), 6u);
    EXPECT_EQ(WriteChunks(PNGChunks, truncated), cut);
}

TEST(ChunkMutator, RepairsTheCRCsOfWholeChunksOnly) {
    std::vector<uint8_t> png = Fixture("basn3p01.png");
    const std::vector<uint8_t> original = png;
    png[8 + 8] ^= 1;          // IHDR's width
    png[png.size() - 1] ^= 1; // IEND's CRC
    RepairChunkCRCs(PNGChunks, png.data(), png.size());
    EXPECT_TRUE(CRCsRight(png));
    EXPECT_EQ(png[png.size() - 1], original[original.size() - 1]);
    EXPECT_NE(std::vector<uint8_t>(png.begin() + 29, png.begin() + 33),
              std::vector<uint8_t>(original.begin() + 29, original.begin() + 33));

    // A length running past the end stops the walk: nothing after it is written.
    std::vector<uint8_t> lying = original;
    lying[8 + 3] = 0xFF;
    const std::vector<uint8_t> before = lying;
    RepairChunkCRCs(PNGChunks, lying.data(), lying.size());
    EXPECT_EQ(lying, before);
}

TEST(ChunkMutator, MutationsReorderChunksWithinTheSizeAndKeepCRCsRight) {
    const std::vector<uint8_t> png = Fixture("basn3p01.png");
    bool gammaAfterPalette = false, duplicated = false, dropped = false, dataChanged = false;
    for (unsigned seed = 0; seed < 400; ++seed) {
        const size_t maxSize = png.size() + seed % 64;
        std::vector<uint8_t> data(png);
        data.resize(maxSize);
        const size_t size = MutateChunks(PNGChunks, data.data(), png.size(), maxSize, seed);
        ASSERT_LE(size, maxSize);
        data.resize(size);
        EXPECT_TRUE(CRCsRight(data)) << "seed " << seed;
        const std::vector<std::string> types = Types(ParseChunks(PNGChunks, data.data(), size));
        const auto gamma = std::find(types.begin(), types.end(), "gAMA");
        const auto palette = std::find(types.begin(), types.end(), "PLTE");
        gammaAfterPalette |= gamma != types.end() && palette != types.end() && gamma > palette;
        duplicated |= types.size() == 6;
        dropped |= types.size() == 4;
        dataChanged |= types.size() == 5 && data != png;
    }
    EXPECT_TRUE(gammaAfterPalette);
    EXPECT_TRUE(duplicated);
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(dataChanged);
}

TEST(ChunkMutator, CrossOverTakesAChunkOfTheOtherFile) {
    const std::vector<uint8_t> first = Fixture("basn3p01.png");
    const std::vector<uint8_t> second = Fixture("basn0g01.png");
    std::vector<uint8_t> out(first.size() + second.size());
    const size_t size = CrossOverChunks(PNGChunks, first.data(), first.size(), second.data(),
                                        second.size(), out.data(), out.size(), 7);
    out.resize(size);
    EXPECT_EQ(ParseChunks(PNGChunks, out.data(), out.size()).Chunks.size(), 6u);
    EXPECT_TRUE(CRCsRight(out));
    // No room for the result: nothing written.
    EXPECT_EQ(CrossOverChunks(PNGChunks, first.data(), first.size(), second.data(), second.size(),
                              out.data(), first.size(), 7),
              0u);
}

} // namespace
