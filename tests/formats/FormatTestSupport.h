// Shared helpers of the format tests: test files, expected pixels, and building small files.
#pragma once

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace formats_test {

using Bytes = std::vector<uint8_t>;

// Processor time a hostile file may cost a load: the sanitizers slow every load several times.
#if defined(__SANITIZE_ADDRESS__)
constexpr double HostileCpuSeconds = 4.0;
#else
constexpr double HostileCpuSeconds = 0.5;
#endif

// Path of a file under tests/data/formats.
std::string DataPath(const std::string& relative);
// Names of the files in a folder of tests/data/formats ending in `extension`, sorted.
std::vector<std::string> DataFiles(const std::string& folder, const std::string& extension);
Bytes ReadFile(const std::string& path);
// The contents of a gzip-compressed file.
Bytes ReadGzipFile(const std::string& path);

// A reader of class T loaded from `bytes` through LoadFromStream, as the picture registry
// loads files.
template <class T> std::unique_ptr<T> Load(const Bytes& bytes) {
    auto image = std::make_unique<T>();
    TMemoryStream stream(bytes);
    image->LoadFromStream(stream);
    return image;
}

// The message of the error a load of `bytes` raises, or "no error".
template <class T> std::string LoadError(const Bytes& bytes) {
    try {
        Load<T>(bytes);
    } catch (const Exception& e) {
        return e.what();
    }
    return "no error";
}

// Whether T's class-level recognition accepts `bytes`; checks the position is restored.
template <class T> bool Recognized(const Bytes& bytes) {
    TMemoryStream stream(bytes);
    const bool answer = T::Recognize(stream);
    if (stream.Position() != 0) throw std::logic_error("Recognize moved the stream");
    return answer;
}

// Calls `check(name, bytes)` for every file of a folder of tests/data/formats ending in
// `extension`, and answers how many there were.
size_t ForEachFile(const std::string& folder, const std::string& extension,
                   const std::function<void(const std::string&, const Bytes&)>& check);

// Sets the bitmap cap (and so each load's memory budget) for the scope of a test.
class TBudgetScope {
public:
    explicit TBudgetScope(size_t bytes) : saved_(TBitmap::MaxPixelBytes()) {
        TBitmap::SetMaxPixelBytes(bytes);
    }
    ~TBudgetScope() { TBitmap::SetMaxPixelBytes(saved_); }
    TBudgetScope(const TBudgetScope&) = delete;
    TBudgetScope& operator=(const TBudgetScope&) = delete;

private:
    size_t saved_;
};

// The process's peak resident memory so far, in KiB.
long PeakResidentKB();

// Expected pixels written beside a test file (<file>.rgba.gz): width, height, RGBA bytes.
struct TReference {
    int32_t Width = 0;
    int32_t Height = 0;
    Bytes Pixels;
};
TReference ReadReference(const std::string& path);

// Empty when the bitmap shows the reference's pixels; otherwise a description of the first
// difference and the number of differing pixels.
std::string CompareWithReference(const TBitmap& bitmap, const TReference& reference);

// A stream that does not hold its bytes in memory for the reader to see, as a file's.
class TPlainStream : public TStream {
public:
    explicit TPlainStream(const Bytes& data) : memory_(data) {}
    size_t Read(void* buffer, size_t count) override { return memory_.Read(buffer, count); }
    size_t Write(const void*, size_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        return memory_.Seek(offset, origin);
    }
    int64_t Size() override { return memory_.Size(); }

private:
    TMemoryStream memory_;
};

// Loads every file of a folder ending in `extension` that has a reference beside it, from
// memory and through a plain stream, and compares both with the reference; answers how many
// files the folder holds.
template <class T> size_t CompareFolder(const std::string& folder, const std::string& extension) {
    return ForEachFile(folder, extension, [&](const std::string& name, const Bytes& bytes) {
        const std::string reference = DataPath(folder + "/" + name + ".rgba.gz");
        if (!FileExists(reference)) return;
        SCOPED_TRACE(name);
        const TReference expected = ReadReference(reference);
        EXPECT_EQ(CompareWithReference(*Load<T>(bytes), expected), "");
        TPlainStream stream(bytes);
        T image;
        image.LoadFromStream(stream);
        EXPECT_EQ(CompareWithReference(image, expected), "") << "(plain stream)";
    });
}

// Big-endian and little-endian values appended to a byte vector.
void PutBE32(Bytes& out, uint32_t value);
void PutLE16(Bytes& out, uint16_t value);

// zlib stream of `data`.
Bytes Deflate(const Bytes& data);
// The same, flushed but not finished: more data could follow.
Bytes DeflateUnfinished(const Bytes& data);

// A PNG chunk with its length and CRC. `type` is taken as written (any letter case).
Bytes PngChunk(const char* type, const Bytes& data);
Bytes PngHeaderData(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType,
                    uint8_t interlace = 0, uint8_t compression = 0);
// Signature + chunks.
Bytes PngFile(const std::vector<Bytes>& chunks);

} // namespace formats_test
