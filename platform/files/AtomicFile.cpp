#include "platform/files/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

// Closes a descriptor at the end of its scope.
class TDescriptor {
public:
    explicit TDescriptor(int fd) : fd_(fd) {}
    ~TDescriptor() { Close(); }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Answers whether the descriptor closed without error (a late write error shows here).
    bool Close() {
        if (fd_ < 0) return true;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return closed;
    }

private:
    int fd_;
};

// The errno of the last failure, or EIO when a call failed without one.
int LastError() {
    return errno != 0 ? errno : EIO;
}

bool WriteAt(int fd, std::string_view bytes, off_t offset) {
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::pwrite(fd, data, left, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

// The whole content of an open file, for writing it back; false when it cannot be read.
bool ReadAll(const std::string& path, std::string& bytes) {
    TDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return false;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

// Makes sure the disk has room for `size` bytes of the file before its old content is touched.
bool Reserve(int fd, off_t size, off_t current) {
    if (size <= current) return true;
    const int result = ::posix_fallocate(fd, 0, size);
    if (result == 0) return true;
    // File systems that cannot reserve space are written without a reservation.
    if (result == EOPNOTSUPP || result == EINVAL) return true;
    // The reservation may have grown the file: back to its old size, content untouched.
    static_cast<void>(::ftruncate(fd, current));
    errno = result;
    return false;
}

int WriteInPlace(const std::string& target, std::string_view content,
                 std::optional<std::string_view> previous) {
    std::string read;
    if (!previous) {
        if (!ReadAll(target, read)) return LastError();
        previous = read;
    }
    TDescriptor fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.Valid()) return LastError();
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return LastError();
    const auto size = static_cast<off_t>(content.size());
    if (!Reserve(fd.Get(), size, st.st_size)) return LastError();
    if (WriteAt(fd.Get(), content, 0) && ::ftruncate(fd.Get(), size) == 0 &&
        ::fsync(fd.Get()) == 0 && fd.Close()) {
        return 0;
    }
    const int error = LastError();
    // Put the old content back as well as the disk allows.
    if (fd.Valid() && WriteAt(fd.Get(), *previous, 0)) {
        if (::ftruncate(fd.Get(), static_cast<off_t>(previous->size())) == 0) ::fsync(fd.Get());
    }
    return error;
}

// A new file beside `target`, opened for writing, named target.XXXXXX; its name is put in
// `name`. Answers -1 with errno set when the folder refuses it.
int CreateBeside(const std::string& target, std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> letter(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 64; ++attempt) {
        name = target + '.';
        for (int i = 0; i < 6; ++i) name += kLetters[letter(random)];
        // The mode is narrowed by the user's umask, as for any new file.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Folder errors that mean "no new file can be made here", so that only an in-place write can
// save the file.
bool FolderRefuses(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

void SyncFolder(const std::filesystem::path& target) {
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    TDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Valid()) ::fsync(fd.Get());
}

} // namespace

// The target a path names: where a symbolic link points, as an absolute path.
std::string ResolvedTarget(const std::filesystem::path& path) {
    std::error_code ignored;
    const std::filesystem::path resolved = std::filesystem::exists(path, ignored)
                                               ? std::filesystem::canonical(path, ignored)
                                               : std::filesystem::absolute(path, ignored);
    return resolved.empty() ? path.string() : resolved.string();
}

TFileReplacement::TFileReplacement(const std::filesystem::path& path) {
    const std::string target = ResolvedTarget(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error_ = EISDIR;
        return;
    }
    if (exists && st.st_nlink > 1) {
        error_ = EMLINK; // other names would keep the old content
        return;
    }
    switch (Start(target, exists ? &st : nullptr)) {
    case TStart::Ready:
    case TStart::Failed:
        break;
    case TStart::FolderRefuses:
    case TStart::ChangesHands:
        if (error_ == 0) error_ = EPERM;
        break;
    }
}

TFileReplacement::~TFileReplacement() {
    Discard();
}

TFileReplacement::TStart TFileReplacement::Start(const std::string& target,
                                                 const struct stat* existing) {
    target_ = target;
    fd_ = CreateBeside(target, temporary_);
    if (fd_ < 0) {
        error_ = LastError();
        return start_ = existing && FolderRefuses(error_) ? TStart::FolderRefuses : TStart::Failed;
    }
    if (existing) {
        struct stat made {};
        if (::fstat(fd_, &made) != 0) {
            error_ = LastError();
            Discard();
            return start_ = TStart::Failed;
        }
        if ((made.st_uid != existing->st_uid || made.st_gid != existing->st_gid) &&
            ::fchown(fd_, existing->st_uid, existing->st_gid) != 0) {
            Discard();
            return start_ = TStart::ChangesHands;
        }
        if (::fchmod(fd_, existing->st_mode & 07777) != 0) {
            error_ = LastError();
            Discard();
            return start_ = TStart::Failed;
        }
    }
    return start_ = TStart::Ready;
}

bool TFileReplacement::Write(std::string_view bytes) {
    if (error_ != 0 || fd_ < 0) return false;
    if (!WriteAt(fd_, bytes, written_)) {
        error_ = LastError();
        return false;
    }
    written_ += off_t(bytes.size());
    return true;
}

int TFileReplacement::Commit() {
    if (error_ != 0 || fd_ < 0) return error_ != 0 ? error_ : EBADF;
    const int fd = std::exchange(fd_, -1);
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        error_ = LastError();
        ::unlink(temporary_.c_str());
        return error_;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error_ = LastError();
        ::unlink(temporary_.c_str());
        return error_;
    }
    temporary_.clear();
    SyncFolder(target_);
    return 0;
}

void TFileReplacement::Discard() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

int WriteFileWhole(const std::filesystem::path& path, std::string_view content,
                   std::optional<std::string_view> previous, TWriteWay* way) {
    const std::string target = ResolvedTarget(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return EISDIR;
    // A file this user may not write is not replaced either, even where the folder would allow
    // it.
    if (exists) {
        TDescriptor writable(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
        if (!writable.Valid()) return LastError();
    }

    auto inPlace = [&] {
        if (way != nullptr) *way = TWriteWay::wwInPlace;
        return WriteInPlace(target, content, previous);
    };
    if (exists && st.st_nlink > 1) return inPlace();

    TFileReplacement replacement;
    switch (replacement.Start(target, exists ? &st : nullptr)) {
    case TFileReplacement::TStart::Ready:
        break;
    case TFileReplacement::TStart::FolderRefuses:
    case TFileReplacement::TStart::ChangesHands:
        // A new file cannot be made here, or would change hands: write this one in place.
        return inPlace();
    case TFileReplacement::TStart::Failed:
        return replacement.Error();
    }
    replacement.Write(content);
    if (const int error = replacement.Commit(); error != 0) return error;
    if (way != nullptr) *way = TWriteWay::wwReplaced;
    return 0;
}
