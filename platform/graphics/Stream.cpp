#include "platform/graphics/Stream.h"

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <utility>

int64_t TStream::Remaining() {
    const int64_t position = Position();
    const int64_t size = Size();
    return position < size ? size - position : 0;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EStreamError(msgStreamRead);
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EStreamError(msgStreamWrite);
}

void TStream::CopyFrom(TStream& source, int64_t count) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)));
    while (count > 0) {
        const auto n = static_cast<size_t>(std::min<int64_t>(count, int64_t(buffer.size())));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        count -= static_cast<int64_t>(n);
    }
}

uint8_t TStream::ReadByte() {
    uint8_t b;
    ReadBuffer(&b, 1);
    return b;
}

uint16_t TStream::ReadLE16() {
    uint8_t b[2];
    ReadBuffer(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint16_t TStream::ReadBE16() {
    uint8_t b[2];
    ReadBuffer(b, 2);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

uint32_t TStream::ReadLE32() {
    uint8_t b[4];
    ReadBuffer(b, 4);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

uint32_t TStream::ReadBE32() {
    uint8_t b[4];
    ReadBuffer(b, 4);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : fileName_(fileName) {
    file_ = std::fopen(fileName.c_str(), mode == fmCreate ? "wb" : "rb");
    if (!file_) {
        throw EStreamError(FormatImageMessage(msgCannotOpen, fileName, std::strerror(errno)));
    }
    if (mode == fmOpenRead) {
        // Other writers are denied as far as they ask (advisory lock); a failure to lock is
        // no reason not to read. With writers denied the size stays what it is now.
        flock(fileno(file_), LOCK_SH | LOCK_NB);
        struct stat st {};
        if (fstat(fileno(file_), &st) == 0) size_ = st.st_size;
    }
}

TFileStream::~TFileStream() {
    if (file_) std::fclose(file_);
}

void TFileStream::Close() {
    if (!file_) return;
    std::FILE* file = std::exchange(file_, nullptr);
    const bool flushed = std::fflush(file) == 0;
    if (std::fclose(file) != 0 || !flushed) throw EStreamError(msgStreamWrite);
}

size_t TFileStream::Read(void* buffer, size_t count) {
    return file_ ? std::fread(buffer, 1, count, file_) : 0;
}

size_t TFileStream::Write(const void* buffer, size_t count) {
    return file_ ? std::fwrite(buffer, 1, count, file_) : 0;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (!file_) throw EStreamError(msgStreamSeek);
    if (origin == TSeekOrigin::soCurrent && offset == 0) return ftello(file_);
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    if (fseeko(file_, offset, whence) != 0) throw EStreamError(msgStreamSeek);
    return ftello(file_);
}

int64_t TFileStream::Size() {
    if (size_ >= 0 || !file_) return std::max<int64_t>(size_, 0);
    struct stat st {};
    std::fflush(file_);
    if (fstat(fileno(file_), &st) != 0) return 0;
    return st.st_size;
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
    if (position_ >= data_.size()) return 0;
    const size_t n = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
    if (count == 0) return 0;
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, buffer, count);
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent) base = static_cast<int64_t>(position_);
    if (origin == TSeekOrigin::soEnd) base = static_cast<int64_t>(data_.size());
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        throw EStreamError(msgStreamSeek);
    position_ = static_cast<size_t>(target);
    return target;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead);
    data_ = ReadRest(file, SIZE_MAX);
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, fmCreate);
    file.WriteBuffer(data_.data(), data_.size());
}

void TMemoryStream::Clear() {
    data_.clear();
    position_ = 0;
}

std::vector<uint8_t> ReadRest(TStream& stream, size_t limit) {
    const int64_t remaining = stream.Remaining();
    if (static_cast<uint64_t>(remaining) > limit) throw EStreamError(msgStreamTooLarge);
    std::vector<uint8_t> data(static_cast<size_t>(remaining));
    stream.ReadBuffer(data.data(), data.size());
    return data;
}

std::span<const uint8_t> ViewRest(TStream& stream, size_t limit, std::vector<uint8_t>& holder) {
    auto* memory = dynamic_cast<TMemoryStream*>(&stream);
    if (memory == nullptr) {
        holder = ReadRest(stream, limit);
        return holder;
    }
    const int64_t remaining = memory->Remaining();
    if (static_cast<uint64_t>(remaining) > limit) throw EStreamError(msgStreamTooLarge);
    // A memory stream may stand past its end; the rest is then empty.
    const std::span<const uint8_t> all(memory->Data());
    const size_t start = std::min(static_cast<size_t>(memory->Position()), all.size());
    memory->Seek(0, TSeekOrigin::soEnd);
    return all.subspan(start);
}

bool FileExists(const std::string& fileName) {
    struct stat st {};
    return stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
