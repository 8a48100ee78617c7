// Feeds arbitrary bytes to the PNG reader, with the CRC of every whole chunk repaired first
// so that mutated inputs get past the reader's checks into the chunks' contents. Mutations
// work on whole chunks (see ChunkMutator.h): byte flips never put gAMA after PLTE.
#include "fuzz/ChunkMutator.h"
#include "fuzz/FuzzReader.h"
#include "imaging/formats/PNGGraphic.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> repaired(data, data + size);
    RepairChunkCRCs(PNGChunks, repaired.data(), repaired.size());
    return FuzzReader<TPNGGraphic>(repaired.data(), repaired.size());
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    return MutateChunks(PNGChunks, data, size, maxSize, seed);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t maxOutSize, unsigned int seed) {
    return CrossOverChunks(PNGChunks, data1, size1, data2, size2, out, maxOutSize, seed);
}
