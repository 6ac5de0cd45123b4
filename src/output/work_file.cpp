#include "output/work_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <utility>

#include "base/result_codes.h"
#include "disk/link_free_paths.h"
#include "engines/found_data.h"
#include "output/found_names.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

// A work file, and the folder it was made in, held open: it is published or settled in
// that very folder, whatever the folder's path leads to meanwhile (a folder swapped for a
// link is never followed).
struct WorkFile {
    WorkFile() = default;
    ~WorkFile() {
        if (folder >= 0) ::close(folder);
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    // The same folder, another name in it (a file the engine wrote beside this one).
    WorkFile Beside(const std::string& suffix) const {
        WorkFile other;
        other.path = path;
        other.path += suffix;
        other.name = name + suffix;
        other.folder = folder >= 0 ? ::fcntl(folder, F_DUPFD_CLOEXEC, 0) : -1;
        return other;
    }
    WorkFile(WorkFile&& other) noexcept
        : path(std::move(other.path)), name(std::move(other.name)), folder(std::exchange(other.folder, -1)) {}

    fs::path path;  // for the engine, which writes it by path
    std::string name;
    int folder = -1;
};

int CreateWorkFile(const fs::path& wanted, WorkFile& work, const WorkFileNotes& notes) {
    if (int rc = OpenFolderWithoutLinks(wanted.parent_path(), work.folder); rc != kOk) return rc;
    const std::string name = wanted.filename().string();
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char mark[24];
        std::snprintf(mark, sizeof mark, ".kestrune-%08x", static_cast<unsigned>(entropy()));
        work.name = "." + FitFileName(name, mark, kNameMax - 1);
        work.path = wanted.parent_path() / work.name;
        if (notes.making) notes.making(work.path);
        const int fd = ::openat(work.folder, work.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                0644);
        if (fd >= 0) return ::close(fd) == 0 ? kOk : FromErrno(errno);
        if (errno != EEXIST) return FromErrno(errno);
    }
    return kErrAlreadyExists;
}

// Renames work to the first free name of wanted with suffix(0), suffix(1)... in the same
// folder; kErrAlreadyExists when none of a thousand is free. naming hears each name tried.
int RenameToFreeName(const WorkFile& work, const fs::path& wanted, const std::function<std::string(unsigned)>& suffix,
                     fs::path& taken, const std::function<void(const fs::path&)>& naming = nullptr) {
    const std::string name = wanted.filename().string();
    for (unsigned n = 0; n < 1000; ++n) {
        const std::string added = suffix(n);
        const std::string free = added.empty() ? name : FitFileName(name, added, kNameMax);
        if (free == "." || free == ".." || free.find('/') != std::string::npos) return kErrInvalidParameter;
        if (naming) naming(wanted.parent_path() / free);
        bool renamed = ::renameat2(work.folder, work.name.c_str(), work.folder, free.c_str(), RENAME_NOREPLACE) == 0;
        if (!renamed && (errno == EINVAL || errno == ENOSYS)) {
            // No rename that refuses to replace here: a hard link is made or refused whole.
            renamed = ::linkat(work.folder, work.name.c_str(), work.folder, free.c_str(), 0) == 0;
            if (renamed) ::unlinkat(work.folder, work.name.c_str(), 0);
        }
        if (renamed) {
            taken = wanted.parent_path() / free;
            return kOk;
        }
        if (errno != EEXIST) return FromErrno(errno);
    }
    return kErrAlreadyExists;
}

// The bytes the work file holds in its own folder; -1 when it is no plain file there.
int64_t WorkFileBytes(const WorkFile& work) {
    struct stat st {};
    if (::fstatat(work.folder, work.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

int PublishWholeFile(const WorkFile& work, const fs::path& wanted, fs::path& published,
                     const std::function<void(const fs::path&)>& naming = nullptr) {
    // On disk before it takes a name that says it is whole: a power cut after the rename
    // must not leave an empty or cut file under that name.
    const int fd = ::openat(work.folder, work.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    const int synced = ::fdatasync(fd) == 0 || errno == EINVAL ? kOk : FromErrno(errno);
    ::close(fd);
    if (synced != kOk) return synced;
    return RenameToFreeName(
        work, wanted, [](unsigned n) { return n == 0 ? std::string() : "(" + std::to_string(n) + ")"; }, published,
        naming);
}

fs::path SettleUnfinishedFile(const WorkFile& work, const fs::path& wanted) {
    const int64_t bytes = WorkFileBytes(work);
    if (bytes < 0) return {};
    if (bytes > 0) {
        fs::path partial;
        const auto suffix = [](unsigned n) {
            return n == 0 ? std::string(".partial") : ".partial(" + std::to_string(n) + ")";
        };
        if (RenameToFreeName(work, wanted, suffix, partial) == kOk) return partial;
    }
    // Nothing in it, or no partial name could be taken: a partial file must not pass for a
    // whole one, nor linger under a name that hides it.
    ::unlinkat(work.folder, work.name.c_str(), 0);
    return {};
}

}  // namespace

int WriteThroughWorkFile(const fs::path& wanted, uint64_t fileSize, const std::function<int(const fs::path&)>& write,
                         WrittenFile& written, const WorkFileNotes& notes) {
    written = {};
    WorkFile work;
    if (int rc = CreateWorkFile(wanted, work, notes); rc != kOk) return rc;
    int result = write(work.path);
    if (result == kErrFileEncrypted) {
        const WorkFile sealed = work.Beside(kEncryptedDataSuffix);
        fs::path wantedSealed = wanted;
        wantedSealed += kEncryptedDataSuffix;
        if (PublishWholeFile(sealed, wantedSealed, written.published) != kOk) SettleUnfinishedFile(sealed, wantedSealed);
    }
    // The engine writes by path; a folder moved away and made anew meanwhile would have
    // taken its bytes into a file of the same name there, leaving this one short.
    if (result == kOk && WorkFileBytes(work) != static_cast<int64_t>(fileSize)) {
        RemoveFileWithoutLinks(work.path);
        result = kErrLinkRefused;
    }
    if (result == kOk && (result = PublishWholeFile(work, wanted, written.published, notes.naming)) == kOk)
        return kOk;
    written.partial = SettleUnfinishedFile(work, wanted);
    return result;
}

}  // namespace kestrune
