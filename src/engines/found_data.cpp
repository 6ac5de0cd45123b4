#include "engines/found_data.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <utility>

#include "disk/block_devices.h"
#include "disk/link_free_paths.h"
#include "disk/result_codes.h"
#include "disk/text_encoding.h"
#include "disk/write_all.h"
#include "scanlog/file_types.h"
#include "scanlog/store_folder.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

int PercentOf(uint64_t done, uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
}

constexpr size_t kMaxPreviewPath = 259;
constexpr size_t kNameMax = 255;

}  // namespace

std::string SafeFileName(std::string_view name, NameRules rules) {
    std::string safe;
    safe.reserve(name.size());
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool refused = c == '/' || byte < 0x20 || byte == 0x7F ||
                             (rules == NameRules::Windows && std::string_view(":*?\"<>|\\").find(c) != std::string_view::npos);
        safe.push_back(refused ? '_' : c);
    }
    if (safe.empty()) return "unnamed";
    if (safe == "." || safe == "..") return std::string(safe.size(), '_');
    return FitFileName(safe, "", kNameMax);
}

std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes) {
    // The extension stays when it is a short one, so the file keeps its type; the suffix
    // ("(1)", ".partial") goes before it.
    const size_t lastDot = name.rfind('.');
    const size_t dot = lastDot != std::string_view::npos && name.size() - lastDot <= 32 ? lastDot : name.size();
    const std::string_view stem = name.substr(0, dot), tail = name.substr(dot);
    const size_t room = maxBytes > suffix.size() + tail.size() ? maxBytes - suffix.size() - tail.size() : 0;
    std::string fitted(CutUtf8(stem, room));
    fitted.append(suffix).append(tail);
    return fitted.size() <= maxBytes ? fitted : std::string(CutUtf8(fitted, maxBytes));
}

NameRules NameRulesFor(const fs::path& folder) {
    std::string fileSystem;
    if (VolumeFileSystemName(fileSystem, folder) != kOk) return NameRules::Linux;
    return fileSystem.find("FAT") != std::string::npos || fileSystem == "NTFS" ? NameRules::Windows
                                                                                : NameRules::Linux;
}

fs::path UniqueTargetPath(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return path;
    const std::string name = path.filename().string();
    for (unsigned n = 1;; ++n) {
        fs::path candidate = path.parent_path() / FitFileName(name, "(" + std::to_string(n) + ")", kNameMax);
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

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

int RecoverFoundItem(const ScanRecord& record, const fs::path& target, const WriteFileFn& writeFile,
                     const ChildrenFn& children) {
    if (!record.isFolder) {
        if (int rc = CreateParentFolder(target); rc != kOk) return rc;
        return writeFile(record, target);
    }
    if (int rc = CreateFoldersWithoutLinks(target); rc != kOk) return rc;
    const NameRules rules = NameRulesFor(target);
    std::deque<std::pair<ScanRecord, fs::path>> pending{{record, target}};
    int result = kOk;
    size_t walked = 0;
    // A damaged log could file a folder under itself; the walk visits each folder once.
    std::set<uint32_t> seen{record.recordId};
    while (!pending.empty()) {
        auto [folder, path] = pending.front();
        pending.pop_front();
        std::vector<ScanRecord> list;
        children(folder, list);
        for (const ScanRecord& child : list) {
            const fs::path childPath = path / SafeFileName(RecordName(child), rules);
            if (child.isFolder) {
                const fs::path folderPath = UniqueTargetPath(childPath);
                if (CreateFoldersWithoutLinks(folderPath) == kOk && seen.insert(child.recordId).second)
                    pending.emplace_back(child, folderPath);
                continue;
            }
            WrittenFile written;
            result = WriteThroughWorkFile(childPath, child.fileSize,
                                          [&](const fs::path& work) { return writeFile(child, work); }, written);
            if (result == CancelCode) return CancelCode;
        }
        if (++walked > 1000000) break;
    }
    return result;
}

ContiguousReader::ContiguousReader(SectorSource& source, uint32_t sectorSize, uint64_t firstSector,
                                   uint64_t fileSize)
    : source_(source),
      sectorSize_(sectorSize ? sectorSize : 512),
      nextSector_(firstSector),
      sectorsLeft_((fileSize + sectorSize_ - 1) / sectorSize_) {}

int ContiguousReader::ReadPiece(std::vector<uint8_t>& piece) {
    const uint64_t perPiece = std::max<uint64_t>(1, kReadPieceBytes / sectorSize_);
    const uint32_t count = static_cast<uint32_t>(std::min(perPiece, sectorsLeft_));
    piece.resize(size_t{count} * sectorSize_);
    uint32_t read = 0;
    const int rc = ReadSectors(count, source_, piece.data(), nextSector_, static_cast<int>(sectorSize_), read);
    piece.resize(size_t{read} * sectorSize_);
    if (rc != kOk) return rc;
    if (read == 0) return kErrReadFault;
    nextSector_ += read;
    sectorsLeft_ -= read;
    return kOk;
}

int ContiguousReader::Map(uint64_t fileSize, DataMap& map) {
    AddMappedBytes(map, fileSize, 0, nextSector_ * sectorSize_, fileSize);
    return kOk;
}

bool AddMappedBytes(DataMap& map, uint64_t fileSize, uint64_t fileOffset, uint64_t sourceOffset, uint64_t length) {
    if (fileOffset >= fileSize) return false;
    length = std::min(length, fileSize - fileOffset);
    if (length == 0) return fileOffset < fileSize;
    ByteRun* last = map.runs.empty() ? nullptr : &map.runs.back();
    if (last && last->fileOffset + last->length == fileOffset && last->sourceOffset + last->length == sourceOffset)
        last->length += length;
    else
        map.runs.push_back({fileOffset, sourceOffset, length});
    return fileOffset + length < fileSize;
}

int CreateParentFolder(const fs::path& target) {
    const fs::path parent = target.parent_path();
    if (parent.empty()) return kOk;
    return CreateFoldersWithoutLinks(parent);
}

int CreateEmptyFile(const fs::path& target) {
    int fd = -1;
    if (int rc = OpenWithoutLinks(target, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd); rc != kOk) return rc;
    return ::close(fd) == 0 ? kOk : FromErrno(errno);
}

int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const fs::path& target, RecoverProgressFn progress,
                   void* userData) {
    // Cut to nothing first: a longer file already there must not keep its tail.
    int fd = -1;
    int result = OpenWithoutLinks(target, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd);
    const std::string targetText = target.string();
    uint64_t written = 0;
    std::vector<uint8_t> piece;
    while (result == kOk && written < fileSize) {
        if (result = reader.ReadPiece(piece); result != kOk || piece.empty()) break;
        const size_t owed = static_cast<size_t>(std::min<uint64_t>(piece.size(), fileSize - written));
        if (result = WriteAll(fd, piece.data(), owed); result != kOk) break;
        written += owed;
        if (progress) {
            if (int stop = progress(userData, PercentOf(written, fileSize), kFullWeight, 0, targetText); stop != 0)
                result = stop;
        }
    }
    // Data that ended before the file's size did (runs covering less than it) is not the
    // file: reported, so that what was written is kept only as partial.
    if (result == kOk && written < fileSize) result = kErrHandleEof;
    if (fd >= 0 && ::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (result > 0 && progress) progress(userData, 100, kFullWeight, result, targetText);
    return result;
}

PreviewDestination ChoosePreviewDestination(std::string_view name, PreviewFileRoute route) {
    PreviewDestination destination;
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return destination;
    const std::string dotted = "." + extension;
    const fs::path store = StoreFolder();
    fs::path path;
    const bool namedCopy = route == PreviewFileRoute::Convertible
                               ? ListContains(ConvertibleExtensions, dotted)
                               : ListContains(DocumentExtensions, dotted) || ListContains(ArchiveExtensions, dotted);
    if (namedCopy) {
        // The copy is named like the file, but only by its last component.
        const std::string_view base = name.substr(name.find_last_of('/') + 1);
        if (base.empty() || base == "." || base == "..") return destination;
        path = store / std::string(base);
    }
    if (ListContains(AudioExtensions, dotted) || ListContains(VideoExtensions, dotted)) path = store / "tmp.avi";
    if (ListContains(PhotoExtensions, dotted)) path = store / "tmp.jpg";
    if (path.empty() || path.string().size() > kMaxPreviewPath) return destination;
    destination.toFile = true;
    destination.path = path;
    return destination;
}

void RemovePreviewFile(const fs::path& file) {
    std::error_code ec;
    fs::remove(file, ec);
    if (file.parent_path().filename().string().rfind("preview-", 0) == 0) fs::remove(file.parent_path(), ec);
}

int ExtractFoundData(PieceReader& reader, uint64_t fileSize, std::string_view name, std::string& tempPath,
                     std::span<uint8_t> buffer, uint32_t& delivered, PreviewProgressFn progress,
                     void* userData, PreviewFileRoute route) {
    delivered = 0;
    const PreviewDestination destination = ChoosePreviewDestination(name, route);
    int fd = -1;
    uint64_t wanted = std::min<uint64_t>(fileSize, buffer.size());
    fs::path file;
    if (destination.toFile) {
        // A folder of its own for every extraction: two previews (or two program windows)
        // never write into each other's file, and the file keeps the name converters want.
        std::error_code ec;
        fs::create_directories(destination.path.parent_path(), ec);
        std::string folder = (destination.path.parent_path() / "preview-XXXXXX").string();
        const bool made = ::mkdtemp(folder.data()) != nullptr;
        file = fs::path(folder) / destination.path.filename();
        fd = made ? ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600) : -1;
        if (fd < 0) {
            const int error = FromErrno(errno);
            if (made) ::rmdir(folder.c_str());
            if (progress) progress(userData, 100, error);
            return error;
        }
        tempPath = file.string();
        wanted = fileSize;
    }
    int result = kOk;
    uint64_t done = 0;
    std::vector<uint8_t> piece;
    while (done < wanted) {
        if (result = reader.ReadPiece(piece); result != kOk || piece.empty()) break;
        const size_t owed = static_cast<size_t>(std::min<uint64_t>(piece.size(), wanted - done));
        if (fd >= 0) {
            if (result = WriteAll(fd, piece.data(), owed); result != kOk) break;
        } else {
            std::memcpy(buffer.data() + done, piece.data(), owed);
        }
        done += owed;
        if (progress) {
            if (int stop = progress(userData, PercentOf(done, wanted), 0); stop != 0) {
                result = stop;
                break;
            }
        }
    }
    if (fd >= 0) {
        ::close(fd);
        if (result != kOk) {
            RemovePreviewFile(file);
            tempPath.clear();
        }
    } else {
        delivered = static_cast<uint32_t>(done);
    }
    if (result > 0 && progress) progress(userData, 100, result);
    return result;
}

}  // namespace kestrune
