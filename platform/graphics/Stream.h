// Seekable byte streams: the abstract stream, files and memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;

    // Reads up to `count` bytes; answers how many were read (0 at the end).
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Writes `count` bytes; answers how many were written.
    virtual size_t Write(const void* buffer, size_t count) = 0;
    // Moves the position and answers the new one. A position past the end is allowed (reads
    // there answer 0 bytes); a negative one raises EStreamError.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    // Bytes between the position and the end (0 when the position is past the end).
    int64_t Remaining();

    // Reads exactly `count` bytes or raises EStreamError ("Stream read error").
    void ReadBuffer(void* buffer, size_t count);
    // Writes exactly `count` bytes or raises EStreamError ("Stream write error").
    void WriteBuffer(const void* buffer, size_t count);
    // Copies `count` bytes from `source`'s position into this stream.
    void CopyFrom(TStream& source, int64_t count);

    uint8_t ReadByte();
    uint16_t ReadLE16();
    uint16_t ReadBE16();
    uint32_t ReadLE32();
    uint32_t ReadBE32();
};

enum TFileMode {
    fmOpenRead, // read only, other writers denied where the system allows it
    fmCreate,   // create or truncate for writing
};

// A file on disk, buffered.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;

    const std::string& FileName() const { return fileName_; }
    // Writes what is buffered and closes the file; raises EStreamError ("Stream write error")
    // when the system reports a failure. Reads and writes are refused afterwards.
    void Close();

private:
    std::string fileName_;
    std::FILE* file_ = nullptr;
    int64_t size_ = -1; // known for files opened for reading
};

// A growable block of memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
    explicit TMemoryStream(std::span<const uint8_t> data) : data_(data.begin(), data.end()) {}

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }

    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;
    void Clear();

    const std::vector<uint8_t>& Data() const { return data_; }
    std::vector<uint8_t>& Data() { return data_; }
    uint8_t* Memory() { return data_.data(); }

private:
    std::vector<uint8_t> data_;
    size_t position_ = 0;
};

// Reads the whole stream from its position into a vector, refusing more than `limit` bytes.
std::vector<uint8_t> ReadRest(TStream& stream, size_t limit);

// The rest of the stream from its position, as ReadRest, but without a copy when the stream is
// a memory stream: the bytes are then the stream's own and stay valid while it is unchanged.
// Other streams are read into `holder`. Either way the stream's position moves to its end.
std::span<const uint8_t> ViewRest(TStream& stream, size_t limit, std::vector<uint8_t>& holder);

bool FileExists(const std::string& fileName);
