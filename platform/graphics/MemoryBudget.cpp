#include "platform/graphics/MemoryBudget.h"

#include "platform/graphics/Checked.h"

#include <string>

void TMemoryBudget::Charge(size_t bytes) {
    if (!Fits(bytes)) throw EImageFault(msgMemoryLimit, {MemorySizeText(limit_)});
    used_ += bytes;
}

size_t BudgetBytes(size_t count, size_t size) {
    return CheckedMul(count, size);
}

std::string MemorySizeText(size_t bytes) {
    constexpr size_t MiB = size_t(1) << 20;
    if (bytes >= MiB && bytes % MiB == 0) return std::to_string(bytes / MiB) + " MiB";
    return std::to_string(bytes) + " bytes";
}
