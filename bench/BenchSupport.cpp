#include "BenchSupport.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>

// --- Allocation accounting: the C allocator, replaced by a counting front over glibc's. ---

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* Counted(void* pointer) {
    if (pointer) {
        const int64_t live = g_live += int64_t(malloc_usable_size(pointer));
        int64_t peak = g_peak.load(std::memory_order_relaxed);
        while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
        }
    }
    return pointer;
}
void Uncount(void* pointer) {
    if (pointer) g_live -= int64_t(malloc_usable_size(pointer));
}

// Large blocks come from the heap and go back to it, so that no side pays for fresh pages
// after the first iteration.
[[maybe_unused]] const bool g_allocatorSetUp = [] {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return true;
}();
} // namespace

extern "C" {
void* malloc(size_t size) {
    return Counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) {
    return Counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, size_t size) {
    const size_t old = pointer ? malloc_usable_size(pointer) : 0;
    void* result = __libc_realloc(pointer, size);
    if (result || size == 0) {
        g_live -= int64_t(old);
        Counted(result);
    }
    return result;
}
void free(void* pointer) {
    Uncount(pointer);
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
    return Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    void* pointer = memalign(alignment, size);
    if (!pointer) return ENOMEM;
    *result = pointer;
    return 0;
}
void* valloc(size_t size) {
    return memalign(4096, size);
}
void* pvalloc(size_t size) {
    return memalign(4096, (size + 4095) & ~size_t(4095));
}
}

namespace bench {

const Bytes& Input(const std::string& name) {
    static std::map<std::string, Bytes> files;
    auto it = files.find(name);
    if (it == files.end()) {
        std::ifstream file(std::string(CHRONOLITH_BENCH_INPUTS) + "/" + name, std::ios::binary);
        it = files.emplace(name, Bytes(std::istreambuf_iterator<char>(file), {})).first;
    }
    return it->second;
}

int64_t ResetPeak() {
    const int64_t live = g_live.load();
    g_peak = live;
    return live;
}

int64_t PeakBytes() {
    return g_peak.load();
}

void SkipMissing(benchmark::State& state, const std::string& name) {
    state.SkipWithError(
        ("missing input " + name + ": build " + CHRONOLITH_BENCH_INPUTS_TARGET).c_str());
}

} // namespace bench
