#include "base/SafeFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include <zlib.h>

#include "base/Io.h"
#include "base/TextCodec.h"

namespace base {
namespace {

constexpr int kMaxLinks = 40;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

FileId IdOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// A folder whose entries nobody but root and this process's user can change.
bool Trusted(int dirFd) {
    struct stat st{};
    if (::fstat(dirFd, &st) != 0) return false;
    const bool owner = st.st_uid == 0 || st.st_uid == ::geteuid();
    return owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder just made inside another user's folder goes to that user.
void GiveToParentsOwner(int parentFd, int childFd) {
    struct stat parent{};
    if (::fstat(parentFd, &parent) != 0 || parent.st_uid == ::geteuid()) return;
    if (::fchown(childFd, parent.st_uid, parent.st_gid) != 0) {
        // Not permitted (not root): the folder stays ours, which is all we can do.
    }
}

std::vector<std::string> Split(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Opens or makes one folder below `dir`, never following a link. Returns the
// errno value; ELOOP when a link stands there.
int StepInto(Dir& dir, const std::string& name, bool create, bool* made = nullptr) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::openat(dir.Get(), name.c_str(), kDirFlags);
        if (fd >= 0) {
            dir.Reset(fd);
            return 0;
        }
        const int error = errno;
        if (error != ENOENT || !create || name == "..") return error == ENOTDIR ? ENOTDIR : error;
        if (::mkdirat(dir.Get(), name.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;  // made meanwhile: open it (or refuse it) as it is
            return errno;
        }
        fd = ::openat(dir.Get(), name.c_str(), kDirFlags);
        if (fd < 0) return errno;
        GiveToParentsOwner(dir.Get(), fd);
        dir.Reset(fd);
        if (made) *made = true;
        return 0;
    }
    return EEXIST;
}

bool IsLink(const Dir& dir, const std::string& name) {
    struct stat st{};
    return ::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

std::string TempName() {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    char name[64];
    std::snprintf(name, sizeof name, ".lumbra-%d-%u-%08x.tmp", static_cast<int>(::getpid()), counter++, salt);
    return name;
}

// Opens a regular file for reading without following a link and without
// opening a FIFO or device at all.
int OpenRegular(const Dir& dir, std::string_view name, UniqueFd& out, struct stat& st) {
    const std::string n(name);
    if (::fstatat(dir.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    UniqueFd fd(::openat(dir.Get(), n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return errno;
    struct stat now{};
    if (::fstat(fd.Get(), &now) != 0) return errno;
    if (!S_ISREG(now.st_mode) || !(IdOf(now) == IdOf(st))) return EINVAL;  // swapped meanwhile
    st = now;
    out = std::move(fd);
    return 0;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int OpenFolder(const std::filesystem::path& folder, bool create, Dir& out) {
    std::vector<std::filesystem::path> made;
    return OpenFolder(folder, create, out, made);
}

int OpenFolder(const std::filesystem::path& folder, bool create, Dir& out,
               std::vector<std::filesystem::path>& made) {
    made.clear();
    if (!folder.is_absolute()) return EINVAL;
    std::filesystem::path at = "/";  // where `dir` is, as a path
    std::deque<std::string> todo;
    for (std::string& part : Split(folder.lexically_normal().string())) todo.push_back(std::move(part));
    Dir dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return errno;
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name == ".") continue;
        Dir next(::dup(dir.Get()));
        if (!next) return errno;
        bool madeHere = false;
        const int error = StepInto(next, name, create, &madeHere);
        if (error == 0) {
            dir = std::move(next);
            at = (at / name).lexically_normal();
            if (madeHere) made.push_back(at);
            continue;
        }
        if ((error != ELOOP && error != ENOTDIR) || !IsLink(dir, name)) return error;
        // A link: followed only where nobody else could have put it.
        if (!Trusted(dir.Get()) || ++links > kMaxLinks) return ELOOP;
        char target[4096];
        const ssize_t n = ::readlinkat(dir.Get(), name.c_str(), target, sizeof target - 1);
        if (n <= 0) return ELOOP;
        const std::string_view t(target, static_cast<std::size_t>(n));
        std::vector<std::string> parts = Split(t);
        todo.insert(todo.begin(), parts.begin(), parts.end());
        if (t.front() == '/') {
            dir.Reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir) return errno;
            at = "/";
        }
    }
    out = std::move(dir);
    return 0;
}

int OpenSubFolder(const Dir& base, std::string_view relative, bool create, Dir& out, bool* made) {
    Dir dir(::dup(base.Get()));
    if (!dir) return errno;
    for (const std::string& name : Split(relative)) {
        if (name == ".") continue;
        if (name == "..") return EINVAL;
        if (made) *made = false;
        if (const int error = StepInto(dir, name, create, made); error != 0) return error;
    }
    out = std::move(dir);
    return 0;
}

bool IsOurFile(const Dir& dir, std::string_view name) {
    struct stat st{};
    const std::string n(name);
    return ::fstatat(dir.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_nlink == 1 && st.st_uid == ::geteuid();
}

std::vector<std::string> NamesIgnoringCase(const Dir& dir, std::string_view name) {
    std::vector<std::string> names;
    // A descriptor of its own, so that listing moves no shared offset.
    const int fd = ::openat(dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (EqualsIgnoreCase(entry->d_name, name)) names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return (a == name) != (b == name) ? a == name : a < b;
    });
    return names;
}

std::string WhatStandsAt(const Dir& dir, std::string_view name) {
    struct stat st{};
    const std::string n(name);
    if (::fstatat(dir.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (S_ISLNK(st.st_mode)) return "a link stands there";
    if (S_ISDIR(st.st_mode)) return "a folder stands there";
    if (!S_ISREG(st.st_mode)) return "a special file stands there";
    if (st.st_uid != ::geteuid()) return "another user's file stands there";
    if (st.st_nlink != 1) return "a file with several links stands there";
    return {};
}

std::optional<std::string> FindIgnoringCase(const Dir& dir, std::string_view name) {
    struct stat st{};
    const std::string exact(name);
    if (::fstatat(dir.Get(), exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return exact;
    auto names = NamesIgnoringCase(dir, name);
    if (names.empty()) return std::nullopt;
    return names.front();
}

std::optional<std::string> ReadFileAt(const Dir& dir, std::string_view name, std::size_t limit, FileId* id) {
    UniqueFd fd;
    struct stat st{};
    if (OpenRegular(dir, name, fd, st) != 0) return std::nullopt;
    std::string data;
    data.resize(std::min<std::size_t>(limit, static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1));
    std::size_t have = 0;
    while (have < limit) {
        if (have == data.size()) data.resize(std::min(limit, data.size() * 2 + 4096));
        const ssize_t n = ::read(fd.Get(), data.data() + have, data.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    data.resize(have);
    if (id) *id = IdOf(st);
    return data;
}

std::optional<std::string> ReadFileIn(const std::filesystem::path& folder, std::string_view name,
                                      std::size_t limit, FileId* id) {
    Dir dir;
    if (OpenFolder(folder, false, dir) != 0) return std::nullopt;
    const auto found = FindIgnoringCase(dir, name);
    if (!found) return std::nullopt;
    return ReadFileAt(dir, *found, limit, id);
}

// ---------------------------------------------------------------- NewFile

NewFile::NewFile(NewFile&& o) noexcept
    : dir_(o.dir_), fd_(std::move(o.fd_)), temp_(std::move(o.temp_)), error_(o.error_) {
    o.temp_.clear();
}

NewFile& NewFile::operator=(NewFile&& o) noexcept {
    if (this != &o) {
        Discard();
        dir_ = o.dir_;
        fd_ = std::move(o.fd_);
        temp_ = std::move(o.temp_);
        error_ = o.error_;
        o.temp_.clear();
    }
    return *this;
}

int NewFile::Create(const Dir& dir) {
    Discard();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = TempName();
        const int fd = ::openat(dir.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dir_ = &dir;
            fd_.Reset(fd);
            temp_ = std::move(name);
            error_ = 0;
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

bool NewFile::Write(const void* data, std::size_t size) {
    if (error_ != 0 || !fd_) return false;
    return WriteAll(fd_.Get(), data, size, &error_);
}

int NewFile::Commit(std::string_view name, mode_t mode, FileId* id) { return Finish(name, mode, true, id); }

int NewFile::CommitNew(std::string_view name, mode_t mode) { return Finish(name, mode, false, nullptr); }

int NewFile::Finish(std::string_view name, mode_t mode, bool replaceOurs, FileId* id) {
    if (!fd_ || !dir_) return EBADF;
    if (error_ != 0) {
        const int error = error_;
        Discard();
        return error;
    }
    // On disk before it takes the name: a full disk shows here at the latest.
    if (::fsync(fd_.Get()) != 0 || ::fchmod(fd_.Get(), mode) != 0) {
        const int error = errno;
        Discard();
        return error;
    }
    struct stat st{};
    ::fstat(fd_.Get(), &st);
    const std::string target(name);
    // Onto a free name, or over a file of ours; nothing else is replaced.
    int rc = ::renameat2(dir_->Get(), temp_.c_str(), dir_->Get(), target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: check, then rename.
        struct stat there{};
        const bool free = ::fstatat(dir_->Get(), target.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0;
        rc = free ? ::renameat(dir_->Get(), temp_.c_str(), dir_->Get(), target.c_str()) : (errno = EEXIST, -1);
    }
    if (rc != 0 && errno == EEXIST && replaceOurs && IsOurFile(*dir_, target))
        rc = ::renameat(dir_->Get(), temp_.c_str(), dir_->Get(), target.c_str());
    if (rc != 0) {
        const int error = errno;
        Discard();
        return error;
    }
    temp_.clear();
    fd_.Reset();
    if (id) *id = IdOf(st);
    return 0;
}

void NewFile::Discard() {
    if (!temp_.empty() && dir_) ::unlinkat(dir_->Get(), temp_.c_str(), 0);
    temp_.clear();
    fd_.Reset();
}

int WriteFileAt(const Dir& dir, std::string_view name, std::string_view bytes, mode_t mode, FileId* id) {
    NewFile file;
    if (const int error = file.Create(dir); error != 0) return error;
    file.Write(bytes.data(), bytes.size());
    return file.Commit(name, mode, id);
}

int WriteFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode, bool createFolders) {
    Dir dir;
    if (const int error = OpenFolder(file.parent_path(), createFolders, dir); error != 0) return error;
    return WriteFileAt(dir, file.filename().string(), bytes, mode);
}

int CopyFileAt(const Dir& from, std::string_view fromName, const std::optional<FileId>& expected, const Dir& to,
               std::string_view toName, mode_t mode) {
    UniqueFd in;
    struct stat st{};
    if (const int error = OpenRegular(from, fromName, in, st); error != 0) return error;
    if (expected && !(IdOf(st) == *expected)) return ESTALE;
    NewFile out;
    if (const int error = out.Create(to); error != 0) return error;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(in.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        if (!out.Write(buf, static_cast<std::size_t>(n))) break;
    }
    return out.Commit(toName, mode);
}

int CopyFile(const std::filesystem::path& from, const std::filesystem::path& to, mode_t mode) {
    Dir fromDir, toDir;
    if (const int error = OpenFolder(from.parent_path(), false, fromDir); error != 0) return error;
    if (const int error = OpenFolder(to.parent_path(), true, toDir); error != 0) return error;
    return CopyFileAt(fromDir, from.filename().string(), std::nullopt, toDir, to.filename().string(), mode);
}

int ChmodIfSame(const Dir& dir, std::string_view name, const FileId& id, mode_t mode) {
    UniqueFd fd;
    struct stat st{};
    if (const int error = OpenRegular(dir, name, fd, st); error != 0) return error;
    if (!(IdOf(st) == id)) return ESTALE;
    return ::fchmod(fd.Get(), mode) == 0 ? 0 : errno;
}

int ChmodFile(const std::filesystem::path& file, mode_t mode) {
    Dir dir;
    if (const int error = OpenFolder(file.parent_path(), false, dir); error != 0) return error;
    UniqueFd fd;
    struct stat st{};
    if (const int error = OpenRegular(dir, file.filename().string(), fd, st); error != 0) return error;
    return ::fchmod(fd.Get(), mode) == 0 ? 0 : errno;
}

bool RemoveIfSame(const Dir& dir, std::string_view name, const FileId& id) {
    struct stat st{};
    const std::string n(name);
    if (::fstatat(dir.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !(IdOf(st) == id))
        return false;
    return ::unlinkat(dir.Get(), n.c_str(), 0) == 0;
}

int RemoveOursIgnoringCase(const Dir& dir, std::string_view name) {
    int removed = 0;
    for (const std::string& found : NamesIgnoringCase(dir, name)) {
        if (IsOurFile(dir, found) && ::unlinkat(dir.Get(), found.c_str(), 0) == 0) ++removed;
    }
    return removed;
}

std::optional<FileStamp> StampOf(const Dir& dir, std::string_view name, const std::optional<FileId>& expected) {
    UniqueFd fd;
    struct stat st{};
    if (OpenRegular(dir, name, fd, st) != 0 || st.st_nlink != 1 || st.st_uid != ::geteuid()) return std::nullopt;
    if (expected && !(IdOf(st) == *expected)) return std::nullopt;
    FileStamp stamp{0, static_cast<std::uint32_t>(::crc32(0, nullptr, 0))};
    unsigned char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        stamp.crc = static_cast<std::uint32_t>(::crc32(stamp.crc, buf, static_cast<uInt>(n)));
        stamp.size += static_cast<std::uint64_t>(n);
    }
    return stamp;
}

int RemoveIfStamped(const Dir& dir, std::string_view name, const FileStamp& stamp) {
    struct stat st{};
    const std::string n(name);
    if (::fstatat(dir.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    const auto now = StampOf(dir, name);
    if (!now || !(*now == stamp)) return ESTALE;
    return ::unlinkat(dir.Get(), n.c_str(), 0) == 0 ? 0 : errno;
}

FileId IdOf(const Dir& dir) {
    struct stat st{};
    return ::fstat(dir.Get(), &st) == 0 ? IdOf(st) : FileId{};
}

int RemoveFolderIfSame(const Dir& parent, std::string_view name, const FileId& id) {
    struct stat st{};
    const std::string n(name);
    if (::fstatat(parent.Get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode) || !(IdOf(st) == id)) return ESTALE;
    if (::unlinkat(parent.Get(), n.c_str(), AT_REMOVEDIR) == 0) return 0;
    return errno == EEXIST ? ENOTEMPTY : errno;
}

int OnlyRootCanChange(const std::filesystem::path& file, std::string* part) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(file, ec);
    if (ec) return ec.value();
    auto fault = [&](const std::string& at) {
        if (part) *part = at;
        return EPERM;
    };
    auto rootOnly = [](const struct stat& st) { return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; };
    Dir dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat parent{};
    if (!dir || ::fstat(dir.Get(), &parent) != 0) return errno;
    if (!rootOnly(parent)) return fault("/");
    std::string at;
    const std::vector<std::string> names = Split(real.string());
    for (std::size_t i = 0; i < names.size(); ++i) {
        at += "/" + names[i];
        struct stat st{};
        if (::fstatat(dir.Get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        const bool last = i + 1 == names.size();
        if (S_ISLNK(st.st_mode)) return ELOOP;  // made after the links were resolved
        if (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode)) return last ? EINVAL : ENOTDIR;
        const bool othersMayWriteParent = (parent.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersMayWriteParent && (parent.st_mode & S_ISVTX) == 0) return fault(at.rfind('/') == 0 ? "/" : at.substr(0, at.rfind('/')));
        // A sticky folder others write (checked at its entries) is root's when root owns it.
        const bool sticky = !last && st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
        if (!rootOnly(st) && !sticky) return fault(at);
        if (last) break;
        if (const int error = StepInto(dir, names[i], false); error != 0) return error;
        // The folder opened must be the one just looked at.
        if (::fstat(dir.Get(), &parent) != 0) return errno;
        if (parent.st_dev != st.st_dev || parent.st_ino != st.st_ino) return EAGAIN;
    }
    return 0;
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace base
