// Writing a file's whole new content, so that a failure never leaves it damaged.
//
// The usual way is a replacement: the content goes to a new file beside the old one, which
// takes the old file's permissions, owner and group and is renamed over it once it is on the
// disk (file and folder synchronised). The file on disk is then always either the old or the
// new one, even if the program is killed. Some files cannot be replaced that way without losing
// something, and are written in place instead, over their old content:
//   - a file in a folder where no new file can be made (a shared folder, a file made writable
//     for this user only): a replacement is impossible;
//   - a file with more than one name (hard links): a replacement would give the other names
//     the old content;
//   - a file whose owner or group a new file cannot take (another user's file that this user
//     may write): a replacement would make it this user's file.
// An in-place write starts only once the whole content is ready and the space it needs is
// reserved; if it fails, the old content is written back. A kill during an in-place write is
// the one case that can leave a file cut: part new content, part old.
//
// A file reached through a symbolic link is written where the link points, and the link stays.
// A new file gets the permissions of any new file (0666 less the user's umask).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

struct stat;

enum class TWriteWay { wwReplaced, wwInPlace };

// Gives the file at `path` the content `content`. `previous` is what the file holds now, written
// back should an in-place write fail; when it is not given, the file is read for it before an
// in-place write. Answers 0, or the error number (errno) of the failure, in which case the file
// holds what it held before. `way`, when given, tells how the file was written.
int WriteFileWhole(const std::filesystem::path& path, std::string_view content,
                   std::optional<std::string_view> previous = std::nullopt,
                   TWriteWay* way = nullptr);

// A replacement written piece by piece, for content too large to hold in memory (a converted
// picture): a new file beside the target that takes the old file's permissions, owner and
// group, synchronised and renamed over the target on Commit. Until then the target is as it
// was; a replacement that is not committed is removed. Files that only an in-place write could
// save (see above) are refused with the error that says why.
class TFileReplacement {
public:
    explicit TFileReplacement(const std::filesystem::path& path);
    ~TFileReplacement();
    TFileReplacement(const TFileReplacement&) = delete;
    TFileReplacement& operator=(const TFileReplacement&) = delete;

    // 0 while all went well, else the error number (errno) of the first failure.
    int Error() const { return error_; }
    // Appends bytes; false (and Error() set) on failure.
    bool Write(std::string_view bytes);
    // Puts the new file in place; answers 0 or the error number.
    int Commit();

private:
    friend int WriteFileWhole(const std::filesystem::path&, std::string_view,
                              std::optional<std::string_view>, TWriteWay*);
    // How the replacement started: a file beside the target ready for writing, a folder that
    // refuses new files, or a new file that could not take the old one's owner.
    enum class TStart { Ready, FolderRefuses, ChangesHands, Failed };
    TFileReplacement() = default;
    TStart Start(const std::string& target, const struct stat* existing);
    void Discard();

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    off_t written_ = 0;
    int error_ = 0;
    TStart start_ = TStart::Failed;
};
