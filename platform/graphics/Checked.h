// Overflow-checked size arithmetic and a bounds-checked reader over a byte range. Every size
// computed from file data goes through these, so that a lying header raises instead of
// wrapping around.
#pragma once

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// a * b, raising EImageFault when the product does not fit in size_t.
inline size_t CheckedMul(size_t a, size_t b) {
    size_t result;
    if (__builtin_mul_overflow(a, b, &result)) throw EImageFault(msgSizeOverflow);
    return result;
}

// a + b, raising EImageFault when the sum does not fit in size_t.
inline size_t CheckedAdd(size_t a, size_t b) {
    size_t result;
    if (__builtin_add_overflow(a, b, &result)) throw EImageFault(msgSizeOverflow);
    return result;
}

// Bytes needed for `width` pixels of `bitsPerPixel` bits, rounded up to whole bytes.
inline size_t CheckedRowBytes(size_t width, size_t bitsPerPixel) {
    return CheckedAdd(CheckedMul(width, bitsPerPixel), 7) / 8;
}

// Reads little- and big-endian values from a byte range, raising EImageFault with
// msgUnexpectedEnd when a read would pass its end.
class TByteReader {
public:
    TByteReader() = default;
    explicit TByteReader(std::span<const uint8_t> data) : data_(data) {}
    TByteReader(const uint8_t* data, size_t size) : data_(data, size) {}

    size_t Position() const { return pos_; }
    size_t Size() const { return data_.size(); }
    size_t Remaining() const { return data_.size() - pos_; }
    const uint8_t* Current() const { return data_.data() + pos_; }

    void Seek(size_t position) {
        if (position > data_.size()) Fail();
        pos_ = position;
    }
    void Skip(size_t count) {
        if (count > Remaining()) Fail();
        pos_ += count;
    }
    // Answers a pointer to `count` bytes and moves past them.
    const uint8_t* Take(size_t count) {
        if (count > Remaining()) Fail();
        const uint8_t* p = data_.data() + pos_;
        pos_ += count;
        return p;
    }
    void Read(void* buffer, size_t count) {
        if (count) std::memcpy(buffer, Take(count), count);
    }
    // The next `count` bytes, moving past them.
    std::span<const uint8_t> Bytes(size_t count) { return {Take(count), count}; }
    // A reader over the next `count` bytes, moving past them.
    TByteReader Sub(size_t count) { return TByteReader(Take(count), count); }

    uint8_t U8() { return *Take(1); }
    uint16_t LE16() {
        const uint8_t* p = Take(2);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint16_t BE16() {
        const uint8_t* p = Take(2);
        return static_cast<uint16_t>((p[0] << 8) | p[1]);
    }
    uint32_t LE32() {
        const uint8_t* p = Take(4);
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
               (uint32_t(p[3]) << 24);
    }
    uint32_t BE32() {
        const uint8_t* p = Take(4);
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
               uint32_t(p[3]);
    }
    uint64_t LE64() {
        const uint32_t low = LE32();
        return low | (uint64_t(LE32()) << 32);
    }
    uint64_t BE64() {
        const uint64_t high = BE32();
        return (high << 32) | BE32();
    }
    // Values in the byte order a file states.
    uint16_t U16(bool bigEndian) { return bigEndian ? BE16() : LE16(); }
    uint32_t U32(bool bigEndian) { return bigEndian ? BE32() : LE32(); }
    uint64_t U64(bool bigEndian) { return bigEndian ? BE64() : LE64(); }

private:
    [[noreturn]] static void Fail() { throw EImageFault(msgUnexpectedEnd); }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};
