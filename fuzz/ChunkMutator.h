// Structure-aware mutation of chunked files for libFuzzer targets.
//
// Byte mutations seldom change the order or the number of a file's chunks, and in a format
// that checks a CRC per chunk nearly every mutated input stops at the first chunk it touched.
// This header reads an input as a signature followed by chunks (a TChunkLayout says how they
// are framed), mutates it one level up (move, duplicate or drop a chunk, mutate one chunk's
// data through libFuzzer's own mutator, take a chunk from another input) and writes the
// chunks back with their lengths, padding and CRCs made right. A target adopts it with
//
//   extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
//                                             unsigned int seed) {
//       return MutateChunks(PNGChunks, data, size, maxSize, seed);
//   }
//   extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
//                                               const uint8_t* data2, size_t size2,
//                                               uint8_t* out, size_t maxOutSize,
//                                               unsigned int seed) {
//       return CrossOverChunks(PNGChunks, data1, size1, data2, size2, out, maxOutSize, seed);
//   }
//
// and, where the reader checks CRCs, repairs a copy of every input with RepairChunkCRCs in
// LLVMFuzzerTestOneInput, so that inputs from elsewhere (seeds, reproducers) get past them.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

// How a format frames its chunks: a signature, then chunks of a 4-byte type and a 4-byte data
// length (in either order), the data, padding and an optional CRC-32 of type and data.
struct TChunkLayout {
    size_t SignatureSize; // bytes before the first chunk, kept as they are
    bool TypeFirst;       // type before length (RIFF style); false: length first (PNG)
    bool BigEndian;       // byte order of the length and of the CRC
    bool HasCRC;          // a CRC-32 of type and data follows the (padded) data
    size_t Alignment;     // data padded with zeros to a multiple of this (1: no padding)

    size_t HeaderSize() const { return 8; }
    size_t TrailerSize() const { return HasCRC ? 4 : 0; }
    size_t Padding(size_t length) const { return (Alignment - length % Alignment) % Alignment; }
};

inline constexpr TChunkLayout PNGChunks{8, false, true, true, 1};

struct TChunk {
    std::array<uint8_t, 4> Type{};
    std::vector<uint8_t> Data;
};

struct TChunkedFile {
    std::vector<uint8_t> Signature; // the first SignatureSize bytes (or fewer: a short input)
    std::vector<TChunk> Chunks;     // every whole chunk after the signature
    std::vector<uint8_t> Tail;      // from the first chunk that does not fit on, kept as is
};

namespace chunk_detail {

inline uint32_t Read32(const TChunkLayout& layout, const uint8_t* p) {
    return layout.BigEndian
               ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
               : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

inline void Write32(const TChunkLayout& layout, uint32_t value, uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        const int shift = layout.BigEndian ? 24 - 8 * i : 8 * i;
        p[i] = uint8_t(value >> shift);
    }
}

inline uint32_t CRC(const uint8_t* type, const uint8_t* data, size_t length) {
    uLong crc = crc32(0, type, 4);
    // (zlib answers its initial value for a null buffer, so empty data is left out.)
    if (length != 0) crc = crc32_z(crc, data, length);
    return uint32_t(crc);
}

// The chunk at `pos`: its type, data and total size, or false when it does not fit in `size`.
struct TChunkView {
    const uint8_t* Type;
    const uint8_t* Data;
    size_t Length;
    size_t Total;
};

inline bool ChunkAt(const TChunkLayout& layout, const uint8_t* data, size_t size, size_t pos,
                    TChunkView& view) {
    if (size - pos < layout.HeaderSize()) return false;
    const uint8_t* header = data + pos;
    const size_t length = Read32(layout, layout.TypeFirst ? header + 4 : header);
    const uint64_t total =
        uint64_t(layout.HeaderSize()) + length + layout.Padding(length) + layout.TrailerSize();
    if (total > size - pos) return false;
    view = {layout.TypeFirst ? header : header + 4, header + layout.HeaderSize(), length,
            size_t(total)};
    return true;
}

inline size_t WrittenSize(const TChunkLayout& layout, const TChunkedFile& file) {
    size_t size = file.Signature.size() + file.Tail.size();
    for (const TChunk& chunk : file.Chunks)
        size += layout.HeaderSize() + chunk.Data.size() + layout.Padding(chunk.Data.size()) +
                layout.TrailerSize();
    return size;
}

} // namespace chunk_detail

inline TChunkedFile ParseChunks(const TChunkLayout& layout, const uint8_t* data, size_t size) {
    TChunkedFile file;
    const size_t signature = std::min(size, layout.SignatureSize);
    file.Signature.assign(data, data + signature);
    size_t pos = signature;
    chunk_detail::TChunkView view;
    while (chunk_detail::ChunkAt(layout, data, size, pos, view)) {
        TChunk& chunk = file.Chunks.emplace_back();
        std::memcpy(chunk.Type.data(), view.Type, 4);
        chunk.Data.assign(view.Data, view.Data + view.Length);
        pos += view.Total;
    }
    file.Tail.assign(data + pos, data + size);
    return file;
}

// The file with every length, padding and CRC written from the chunks themselves.
inline std::vector<uint8_t> WriteChunks(const TChunkLayout& layout, const TChunkedFile& file) {
    std::vector<uint8_t> out(file.Signature);
    out.reserve(chunk_detail::WrittenSize(layout, file));
    for (const TChunk& chunk : file.Chunks) {
        uint8_t header[8];
        chunk_detail::Write32(layout, uint32_t(chunk.Data.size()),
                              layout.TypeFirst ? header + 4 : header);
        std::memcpy(layout.TypeFirst ? header : header + 4, chunk.Type.data(), 4);
        out.insert(out.end(), header, header + 8);
        out.insert(out.end(), chunk.Data.begin(), chunk.Data.end());
        out.insert(out.end(), layout.Padding(chunk.Data.size()), 0);
        if (layout.HasCRC) {
            uint8_t crc[4];
            chunk_detail::Write32(
                layout, chunk_detail::CRC(chunk.Type.data(), chunk.Data.data(), chunk.Data.size()),
                crc);
            out.insert(out.end(), crc, crc + 4);
        }
    }
    out.insert(out.end(), file.Tail.begin(), file.Tail.end());
    return out;
}

// Rewrites the CRC of every whole chunk in place; lengths and everything else stay.
inline void RepairChunkCRCs(const TChunkLayout& layout, uint8_t* data, size_t size) {
    if (!layout.HasCRC) return;
    size_t pos = std::min(size, layout.SignatureSize);
    chunk_detail::TChunkView view;
    while (chunk_detail::ChunkAt(layout, data, size, pos, view)) {
        const uint32_t crc = chunk_detail::CRC(view.Type, view.Data, view.Length);
        chunk_detail::Write32(layout, crc, data + pos + view.Total - 4);
        pos += view.Total;
    }
}

// One mutation of `data` (at most `maxSize` bytes); answers the new size. Most mutations work
// on whole chunks or on one chunk's data; the rest are libFuzzer's byte mutations of the whole
// input (which reach the signature, lengths and types), with the CRCs repaired afterwards.
inline size_t MutateChunks(const TChunkLayout& layout, uint8_t* data, size_t size, size_t maxSize,
                           unsigned int seed) {
    std::minstd_rand random(seed);
    const auto pick = [&random](size_t n) { return size_t(random() % n); };
    TChunkedFile file = ParseChunks(layout, data, size);
    std::vector<TChunk>& chunks = file.Chunks;
    const size_t count = chunks.size();
    bool changed = false;
    if (count != 0) {
        switch (pick(8)) {
        case 0: // move a chunk: reaches every order of the chunks
            if (count > 1) {
                const size_t from = pick(count);
                TChunk chunk = std::move(chunks[from]);
                chunks.erase(chunks.begin() + ptrdiff_t(from));
                chunks.insert(chunks.begin() + ptrdiff_t(pick(count)), std::move(chunk));
                changed = true;
            }
            break;
        case 1: { // duplicate a chunk to anywhere
            TChunk copy = chunks[pick(count)];
            chunks.insert(chunks.begin() + ptrdiff_t(pick(count + 1)), std::move(copy));
            changed = true;
            break;
        }
        case 2: // drop a chunk
            chunks.erase(chunks.begin() + ptrdiff_t(pick(count)));
            changed = true;
            break;
        case 3:
        case 4:
        case 5: { // mutate one chunk's data, in the room the other chunks leave
            TChunk& chunk = chunks[pick(count)];
            const size_t before = chunk.Data.size();
            const size_t others =
                chunk_detail::WrittenSize(layout, file) - before - layout.Padding(before);
            const size_t slack = others + layout.Alignment - 1;
            if (slack >= maxSize || maxSize - slack < std::max<size_t>(before, 1)) break;
            const size_t room = maxSize - slack;
            chunk.Data.resize(room);
            if (before == 0) {
                chunk.Data[0] = uint8_t(random());
                chunk.Data.resize(1);
            } else {
                chunk.Data.resize(LLVMFuzzerMutate(chunk.Data.data(), before, room));
            }
            changed = true;
            break;
        }
        default:
            break;
        }
    }
    if (changed) {
        const std::vector<uint8_t> out = WriteChunks(layout, file);
        if (out.size() <= maxSize) {
            std::memcpy(data, out.data(), out.size());
            return out.size();
        }
    }
    const size_t mutated = LLVMFuzzerMutate(data, size, maxSize);
    RepairChunkCRCs(layout, data, mutated);
    return mutated;
}

// Inserts a chunk of the second input somewhere in the first; 0 when there is none to take or
// the result would exceed `maxOutSize`.
inline size_t CrossOverChunks(const TChunkLayout& layout, const uint8_t* data1, size_t size1,
                              const uint8_t* data2, size_t size2, uint8_t* out, size_t maxOutSize,
                              unsigned int seed) {
    std::minstd_rand random(seed);
    TChunkedFile file = ParseChunks(layout, data1, size1);
    const TChunkedFile other = ParseChunks(layout, data2, size2);
    if (other.Chunks.empty()) return 0;
    const TChunk& chunk = other.Chunks[random() % other.Chunks.size()];
    file.Chunks.insert(file.Chunks.begin() + ptrdiff_t(random() % (file.Chunks.size() + 1)), chunk);
    const std::vector<uint8_t> written = WriteChunks(layout, file);
    if (written.size() > maxOutSize) return 0;
    std::memcpy(out, written.data(), written.size());
    return written.size();
}
