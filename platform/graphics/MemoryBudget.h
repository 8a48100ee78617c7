// The memory one image load may take: the bitmap's pixels and every buffer whose size comes
// from the file are charged to one budget before they are allocated, so that no file, however
// large the sizes it states, makes a load take more than the budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

class TMemoryBudget {
public:
    explicit TMemoryBudget(size_t limit) : limit_(limit) {}
    TMemoryBudget(const TMemoryBudget&) = delete;
    TMemoryBudget& operator=(const TMemoryBudget&) = delete;

    size_t Limit() const { return limit_; }
    size_t Used() const { return used_; }

    // Charges `bytes`; raises EImageFault (msgMemoryLimit) and charges nothing when the total
    // would pass the limit.
    void Charge(size_t bytes);
    // Whether `bytes` more would stay within the limit.
    bool Fits(size_t bytes) const { return bytes <= limit_ - used_; }
    // Gives back bytes charged before.
    void Release(size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }

private:
    size_t limit_;
    size_t used_ = 0;
};

// A vector whose capacity is charged to a budget: resizing charges the growth before the
// memory is allocated, destruction gives it back. New elements are value-initialised.
template <class T> class TBudgetVector {
public:
    explicit TBudgetVector(TMemoryBudget& budget, size_t size = 0) : budget_(&budget) {
        Resize(size);
    }
    ~TBudgetVector() { budget_->Release(charged_); }
    TBudgetVector(TBudgetVector&& other) noexcept
        : budget_(other.budget_), data_(std::move(other.data_)), charged_(other.charged_) {
        other.data_.clear();
        other.charged_ = 0;
    }
    TBudgetVector(const TBudgetVector&) = delete;
    TBudgetVector& operator=(const TBudgetVector&) = delete;
    TBudgetVector& operator=(TBudgetVector&&) = delete;

    void Resize(size_t size) {
        if (size > data_.capacity()) {
            const size_t bytes = CheckedBytes(size);
            budget_->Charge(bytes - charged_);
            charged_ = bytes;
            data_.reserve(size);
        }
        data_.resize(size);
    }
    // Exchanges the elements (and their charges) of two vectors.
    friend void swap(TBudgetVector& a, TBudgetVector& b) noexcept {
        std::swap(a.budget_, b.budget_);
        a.data_.swap(b.data_);
        std::swap(a.charged_, b.charged_);
    }
    size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_.data(); }
    T* end() { return data_.data() + data_.size(); }
    const T* begin() const { return data_.data(); }
    const T* end() const { return data_.data() + data_.size(); }
    std::span<T> Span() { return data_; }
    std::span<const T> Span() const { return data_; }
    operator std::span<T>() { return data_; }
    operator std::span<const T>() const { return data_; }

private:
    static size_t CheckedBytes(size_t count);

    TMemoryBudget* budget_;
    std::vector<T> data_;
    size_t charged_ = 0;
};

// A memory size as the messages show it: "1024 MiB", or "65536 bytes" below a MiB or for sizes
// that are not whole MiB.
std::string MemorySizeText(size_t bytes);

// Bytes of `count` elements of `size` bytes; raises EImageFault (msgSizeOverflow) when the
// product does not fit.
size_t BudgetBytes(size_t count, size_t size);

template <class T> size_t TBudgetVector<T>::CheckedBytes(size_t count) {
    return BudgetBytes(count, sizeof(T));
}
