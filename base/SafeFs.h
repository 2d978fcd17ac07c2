#pragma once
// Files in folders that other users can write, handled as root without being
// led astray.
//
// - A folder is reached by walking from "/" one component at a time with
//   openat(O_NOFOLLOW). A symbolic link on the way is followed only when it
//   lies in a folder that nobody but root (or this process's own user) can
//   change, so /var/run -> /run works while a link planted in a home or in
//   /tmp does not. Below a folder opened so (the install folder, Documents)
//   no link is ever followed.
// - A folder this code makes inside a folder that belongs to another user
//   belongs to that user too (Documents or ~/.local/share/applications made
//   in a user's home are the user's).
// - Files are read only when they are regular files (never a link, a FIFO or
//   a device), and never more than a given number of bytes.
// - A file is written under a temporary name and renamed over its name once
//   it is complete and on disk, and only when that name is free or holds a
//   file of ours: a regular file with one link that belongs to this process's
//   user. Anything else standing there (a link, a special file, another
//   user's file) is left alone and the write is refused with EEXIST.
// - A file is deleted only when it is still the very file (device and inode)
//   that was written, or when it is a file of ours.
//
// Results are errno values: 0 for success.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base {

// Closes a descriptor on scope exit.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        const int f = fd_;
        fd_ = -1;
        return f;
    }
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// An open folder.
using Dir = UniqueFd;

// The identity of a file: what a later step checks before it reads, changes
// or deletes a file that an earlier step wrote.
struct FileId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// Opens an absolute folder by the walk described above; with `create`,
// missing folders are made (mode 0755). EINVAL for a relative path, ELOOP for
// a link that is not followed, ENOTDIR when a part is not a folder.
int OpenFolder(const std::filesystem::path& folder, bool create, Dir& out);
// The same; `made` receives the folders this call made, outermost first.
int OpenFolder(const std::filesystem::path& folder, bool create, Dir& out,
               std::vector<std::filesystem::path>& made);
// Opens a folder below `base` ("a/b"), never following a link. `made` tells
// whether this call made its last part.
int OpenSubFolder(const Dir& base, std::string_view relative, bool create, Dir& out, bool* made = nullptr);

// A file of ours: a regular file with one link, owned by this process's user.
bool IsOurFile(const Dir& dir, std::string_view name);
// The name in the folder that equals `name` ignoring ASCII case: the exact
// spelling when it exists, otherwise the first match in byte order.
std::optional<std::string> FindIgnoringCase(const Dir& dir, std::string_view name);
// Every name in the folder that equals `name` ignoring ASCII case, the exact spelling first.
std::vector<std::string> NamesIgnoringCase(const Dir& dir, std::string_view name);
// Why `name` cannot be written over: "" when it is free or a file of ours,
// otherwise what stands there ("a link", "another user's file", ...).
std::string WhatStandsAt(const Dir& dir, std::string_view name);

// Reads at most `limit` bytes of a regular file. nullopt when the name is
// missing, not a regular file, or cannot be read.
std::optional<std::string> ReadFileAt(const Dir& dir, std::string_view name, std::size_t limit,
                                      FileId* id = nullptr);
// Reads <folder>/<name>, the name matched ignoring case.
std::optional<std::string> ReadFileIn(const std::filesystem::path& folder, std::string_view name,
                                      std::size_t limit, FileId* id = nullptr);

// A file under construction: a temporary name in the target folder until
// Commit renames it over its name. Discarded (deleted) unless committed.
class NewFile {
public:
    NewFile() = default;
    NewFile(NewFile&&) noexcept;
    NewFile& operator=(NewFile&&) noexcept;
    ~NewFile() { Discard(); }

    // Creates the temporary file in `dir` (which must stay open until Commit).
    int Create(const Dir& dir);
    int Fd() const { return fd_.Get(); }
    // Appends; false (and the error kept for Commit) when a write fails.
    bool Write(const void* data, std::size_t size);
    // Syncs, sets the mode, and renames over `name` when that is free or a
    // file of ours. Returns the first write error, EEXIST when something else
    // stands at the name, or the error of the sync or rename.
    int Commit(std::string_view name, mode_t mode, FileId* id = nullptr);
    // The same, but only onto a free name: EEXIST when anything stands there.
    int CommitNew(std::string_view name, mode_t mode);
    void Discard();

private:
    int Finish(std::string_view name, mode_t mode, bool replaceOurs, FileId* id);

    const Dir* dir_ = nullptr;
    UniqueFd fd_;
    std::string temp_;
    int error_ = 0;
};

// Writes `bytes` as `name` in `dir` through a NewFile.
int WriteFileAt(const Dir& dir, std::string_view name, std::string_view bytes, mode_t mode,
                FileId* id = nullptr);
// Writes an absolute file; its folder is opened by the walk (and made when
// `createFolders`).
int WriteFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode,
              bool createFolders = true);

// Copies a regular file to `toName` in `to` through a NewFile. With `expected`,
// the source must be that very file.
int CopyFileAt(const Dir& from, std::string_view fromName, const std::optional<FileId>& expected,
               const Dir& to, std::string_view toName, mode_t mode);
// The same between absolute paths (folders opened by the walk; the target's made).
int CopyFile(const std::filesystem::path& from, const std::filesystem::path& to, mode_t mode);

// Sets the mode of `name` when it is still the file `id`.
int ChmodIfSame(const Dir& dir, std::string_view name, const FileId& id, mode_t mode);
// Sets the mode of an absolute file when it is a regular file (never through a link).
int ChmodFile(const std::filesystem::path& file, mode_t mode);
// Deletes `name` when it is still the file `id`.
bool RemoveIfSame(const Dir& dir, std::string_view name, const FileId& id);
// Deletes every spelling of `name` (ignoring case) that is a file of ours.
int RemoveOursIgnoringCase(const Dir& dir, std::string_view name);

// What a later run checks before it deletes a file an earlier run wrote: a
// file of ours (only this process's user could have put it there) with the
// contents written, by size and CRC-32. Another file of ours with the same
// contents (the same driver file written again by a later run) counts as
// the same.
struct FileStamp {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of a file of ours (IsOurFile), read through one descriptor; with
// `expected`, only while it is that very file. nullopt otherwise.
std::optional<FileStamp> StampOf(const Dir& dir, std::string_view name,
                                 const std::optional<FileId>& expected = std::nullopt);
// Deletes `name` when it is a file of ours with this stamp: 0 when deleted,
// ENOENT when nothing stands there, ESTALE when something else does.
int RemoveIfStamped(const Dir& dir, std::string_view name, const FileStamp& stamp);
// The identity of an open folder.
FileId IdOf(const Dir& dir);
// Deletes the folder `name` when it is still the folder `id` and empty: 0,
// ENOENT, ESTALE (another folder or no folder stands there) or ENOTEMPTY.
int RemoveFolderIfSame(const Dir& parent, std::string_view name, const FileId& id);

// Text of an errno value for log lines.
// Whether nobody but root can change `file` or put another file in its
// place: the file and every folder from "/" down to it belong to root, and
// no group or other user may write them. A folder others may write is
// accepted only with its sticky bit set (as /tmp), where nobody else may
// rename or delete root's entry. Links on the way are resolved first; the
// walk then follows none. 0 when so; EPERM when not (`part` then names the
// file or folder at fault); another errno value when it cannot be told.
int OnlyRootCanChange(const std::filesystem::path& file, std::string* part = nullptr);

std::string ErrorText(int error);

}  // namespace base
