#include "editor/FileWrite.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool WriteAt(int fd, const QByteArray& bytes, off_t offset) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::pwrite(fd, data, static_cast<size_t>(left), offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        data += written;
        left -= written;
        offset += written;
    }
    return true;
}

// Makes sure the disk has room for `size` bytes of the file before its old content is touched.
bool Reserve(int fd, off_t size, off_t current) {
    if (size <= current) return true;
    const int result = ::posix_fallocate(fd, 0, size);
    if (result == 0) return true;
    // File systems that cannot reserve space are written without a reservation.
    if (result == EOPNOTSUPP || result == EINVAL) return true;
    // The reservation may have grown the file: back to its old size, content untouched.
    if (::ftruncate(fd, current) != 0) errno = result;
    return false;
}

bool WriteInPlace(const QByteArray& target, const QByteArray& content, const QByteArray& previous) {
    TDescriptor fd(::open(target.constData(), O_WRONLY | O_CLOEXEC));
    if (!fd.Valid()) return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return false;
    const auto size = static_cast<off_t>(content.size());
    if (!Reserve(fd.Get(), size, st.st_size)) return false;
    if (WriteAt(fd.Get(), content, 0) && ::ftruncate(fd.Get(), size) == 0 &&
        ::fsync(fd.Get()) == 0 && fd.Close()) {
        return true;
    }
    // Put the old content back as well as the disk allows.
    if (fd.Valid() && WriteAt(fd.Get(), previous, 0)) {
        if (::ftruncate(fd.Get(), static_cast<off_t>(previous.size())) == 0) ::fsync(fd.Get());
    }
    return false;
}

// A new file beside `target`, opened for writing, named target.XXXXXX; its name is put in
// `name`. Answers -1 with errno set when the folder refuses it.
int CreateBeside(const QByteArray& target, QByteArray& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        name = target + '.';
        for (int i = 0; i < 6; ++i) {
            name += kLetters[QRandomGenerator::global()->bounded(int(sizeof(kLetters) - 1))];
        }
        // The mode is narrowed by the user's umask, as for any new file.
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

void SyncFolder(const QByteArray& target) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? target.left(slash) : QByteArray(slash == 0 ? "/" : ".");
    TDescriptor fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Valid()) ::fsync(fd.Get());
}

} // namespace

bool WriteWholeFile(const QString& path, const QByteArray& content, const QByteArray& previous,
                    TWriteWay* way) {
    const QFileInfo info(path);
    const QString resolved = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QByteArray target = QFile::encodeName(resolved);
    struct stat st {};
    const bool exists = ::stat(target.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return false;
    // A file this user may not write is not replaced either, even where the folder would allow
    // it.
    if (exists && !TDescriptor(::open(target.constData(), O_WRONLY | O_CLOEXEC)).Valid()) {
        return false;
    }

    auto inPlace = [&] {
        if (way != nullptr) *way = TWriteWay::wwInPlace;
        return WriteInPlace(target, content, previous);
    };
    if (exists && st.st_nlink > 1) return inPlace();

    QByteArray temporary;
    TDescriptor fd(CreateBeside(target, temporary));
    if (!fd.Valid()) return exists && FolderRefuses(errno) ? inPlace() : false;
    auto discard = [&] {
        fd.Close();
        ::unlink(temporary.constData());
        return false;
    };
    if (exists) {
        struct stat made {};
        if (::fstat(fd.Get(), &made) != 0) return discard();
        if ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
            ::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
            // A new file would change hands: write this one where it is instead.
            discard();
            return inPlace();
        }
        if (::fchmod(fd.Get(), st.st_mode & 07777) != 0) return discard();
    }
    if (!WriteAt(fd.Get(), content, 0) || ::fsync(fd.Get()) != 0 || !fd.Close()) return discard();
    if (::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    SyncFolder(target);
    if (way != nullptr) *way = TWriteWay::wwReplaced;
    return true;
}
