// A set of flags held in one byte; each flag's enumerator value is its bit.
#pragma once

#include <cstdint>

template <class Flag> class TByteSet {
public:
    constexpr TByteSet() = default;
    constexpr TByteSet(Flag flag) : bits_(uint8_t(flag)) {}
    static constexpr TByteSet FromBits(uint8_t bits) {
        TByteSet set;
        set.bits_ = bits;
        return set;
    }

    constexpr uint8_t Bits() const { return bits_; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool Contains(Flag flag) const { return (bits_ & flag) != 0; }
    constexpr void Include(Flag flag) { bits_ = uint8_t(bits_ | flag); }
    constexpr void Exclude(Flag flag) { bits_ = uint8_t(bits_ & ~flag); }
    constexpr void Clear() { bits_ = 0; }

    constexpr TByteSet& operator|=(TByteSet other) {
        bits_ = uint8_t(bits_ | other.bits_);
        return *this;
    }
    friend constexpr TByteSet operator|(TByteSet a, TByteSet b) { return a |= b; }
    constexpr bool operator==(const TByteSet&) const = default;

private:
    uint8_t bits_ = 0;
};
