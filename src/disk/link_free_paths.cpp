#include "disk/link_free_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include "base/result_codes.h"
#include "disk/write_all.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

// Closes a descriptor when it goes out of scope.
struct OwnedFd {
    int fd = -1;
    OwnedFd() = default;
    explicit OwnedFd(int value) : fd(value) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { Reset(-1); }
    void Reset(int value) {
        if (fd >= 0) ::close(fd);
        fd = value;
    }
};

// The result of a failed open of name inside folder: a link there is named as such, since
// the open's own errno (ELOOP or ENOTDIR) does not say so on every kernel.
int FailureAt(int folder, const char* name, int error) {
    struct stat st {};
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return kErrLinkRefused;
    return FromErrno(error);
}

// The names of a path's components (from "/", or from the working folder when the path
// is relative); "." and ".." are refused, since a path built from a resolved folder and
// safe names never holds them.
int SplitPath(const fs::path& path, std::vector<std::string>& names) {
    if (path.empty()) return kErrInvalidParameter;
    for (const fs::path& part : path.relative_path()) {
        const std::string name = part.string();
        if (name.empty()) continue;
        if (name == "." || name == "..") return kErrInvalidParameter;
        names.push_back(name);
    }
    return kOk;
}

// Opens the folder made of the first count names, one component at a time, never
// following a link; missing folders are created when create is set.
int OpenFolderChain(bool absolute, const std::vector<std::string>& names, size_t count, bool create,
                    OwnedFd& folder) {
    folder.Reset(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) return FromErrno(errno);
    for (size_t i = 0; i < count; ++i) {
        const char* name = names[i].c_str();
        if (create && ::mkdirat(folder.fd, name, 0755) != 0 && errno != EEXIST) return FromErrno(errno);
        const int next = ::openat(folder.fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return FailureAt(folder.fd, name, errno);
        folder.Reset(next);
    }
    return kOk;
}

// One call that resolves the whole path and fails on any link, where the kernel has it.
// Answers ENOSYS (in errno) when it does not, so the caller walks the path instead.
int OpenResolvingNoLinks(const fs::path& path, int flags, mode_t mode) {
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
#else
    (void)path, (void)flags, (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

int ResolveDestination(const fs::path& folder, fs::path& resolved) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(folder, ec);
    if (ec) return FromErrno(ec.value());
    std::error_code made;
    fs::create_directories(absolute, made);
    resolved = fs::canonical(absolute, ec);
    // Why the folder could not be made (read-only, full, no right) says more than that it
    // is not there.
    if (ec) return FromErrno(made ? made.value() : ec.value());
    if (!fs::is_directory(resolved, ec)) return kErrDirectory;
    return kOk;
}

int OpenWithoutLinks(const fs::path& path, int flags, mode_t mode, int& fd) {
    fd = -1;
    flags |= O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> names;
    if (int rc = SplitPath(path, names); rc != kOk) return rc;
    if (names.empty()) return kErrInvalidParameter;
    fd = OpenResolvingNoLinks(path, flags, mode);
    if (fd >= 0) return kOk;
    if (errno != ENOSYS && errno != EPERM) {
        // ELOOP is the answer for a link anywhere on the path; anything else is the open's own.
        return errno == ELOOP ? kErrLinkRefused : FromErrno(errno);
    }
    OwnedFd folder;
    if (int rc = OpenFolderChain(path.is_absolute(), names, names.size() - 1, false, folder); rc != kOk) return rc;
    fd = ::openat(folder.fd, names.back().c_str(), flags, mode);
    return fd >= 0 ? kOk : FailureAt(folder.fd, names.back().c_str(), errno);
}

int OpenFolderWithoutLinks(const fs::path& folder, int& fd) {
    fd = -1;
    std::vector<std::string> names;
    if (int rc = SplitPath(folder, names); rc != kOk) return rc;
    OwnedFd opened;
    if (int rc = OpenFolderChain(folder.is_absolute(), names, names.size(), false, opened); rc != kOk) return rc;
    fd = opened.fd;
    opened.fd = -1;
    return kOk;
}

int CreateFoldersWithoutLinks(const fs::path& folder) {
    std::vector<std::string> names;
    if (int rc = SplitPath(folder, names); rc != kOk) return rc;
    OwnedFd opened;
    return OpenFolderChain(folder.is_absolute(), names, names.size(), true, opened);
}

int RemoveFileWithoutLinks(const fs::path& path) {
    std::vector<std::string> names;
    if (int rc = SplitPath(path, names); rc != kOk) return rc;
    if (names.empty()) return kErrInvalidParameter;
    OwnedFd folder;
    if (int rc = OpenFolderChain(path.is_absolute(), names, names.size() - 1, false, folder); rc != kOk) return rc;
    // unlinkat removes a link itself, never its target, so a link here is harmless.
    return ::unlinkat(folder.fd, names.back().c_str(), 0) == 0 ? kOk : FromErrno(errno);
}

int RenameFileWithoutLinks(const fs::path& from, const fs::path& to) {
    if (from.parent_path() != to.parent_path()) return kErrInvalidParameter;
    std::vector<std::string> names;
    if (int rc = SplitPath(from, names); rc != kOk) return rc;
    if (names.empty() || to.filename().empty()) return kErrInvalidParameter;
    OwnedFd folder;
    if (int rc = OpenFolderChain(from.is_absolute(), names, names.size() - 1, false, folder); rc != kOk) return rc;
    const std::string target = to.filename().string();
    if (target == "." || target == "..") return kErrInvalidParameter;
    // RENAME_NOREPLACE: a name planted meanwhile is not overwritten.
    if (::renameat2(folder.fd, names.back().c_str(), folder.fd, target.c_str(), RENAME_NOREPLACE) == 0) return kOk;
    if (errno != EINVAL && errno != ENOSYS) return FromErrno(errno);
    if (::linkat(folder.fd, names.back().c_str(), folder.fd, target.c_str(), 0) != 0) return FromErrno(errno);
    ::unlinkat(folder.fd, names.back().c_str(), 0);
    return kOk;
}

int CreateNewFileWithoutLinks(const fs::path& path, mode_t mode, int& fd) {
    return OpenWithoutLinks(path, O_WRONLY | O_CREAT | O_EXCL, mode, fd);
}

int WriteFileWhole(const fs::path& path, const void* bytes, size_t length) {
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") return kErrInvalidParameter;
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    OwnedFd folder(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) return FromErrno(errno);
    // A name nobody could have planted beforehand: created exclusively, so a link or file
    // waiting there makes this try another name instead of writing through it.
    std::random_device entropy;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(entropy()));
        temp = "." + name.string().substr(0, 200) + suffix;
        fd = ::openat(folder.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return FromErrno(errno);
    }
    if (fd < 0) return kErrAlreadyExists;
    int result = WriteAll(fd, static_cast<const uint8_t*>(bytes), length);
    if (result == kOk && ::fsync(fd) != 0) result = FromErrno(errno);
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    // rename replaces a link at the name itself, never the file it points at.
    if (result == kOk && ::renameat(folder.fd, temp.c_str(), folder.fd, name.c_str()) != 0) result = FromErrno(errno);
    if (result != kOk) ::unlinkat(folder.fd, temp.c_str(), 0);
    return result;
}

bool IsSymbolicLink(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

fs::path NearestExistingPath(const fs::path& path) {
    std::error_code ec;
    fs::path existing = fs::absolute(path, ec);
    struct stat st {};
    while (!existing.empty() && ::stat(existing.c_str(), &st) != 0) {
        if (existing == existing.parent_path()) return {};
        existing = existing.parent_path();
    }
    return existing;
}

}  // namespace kestrune
