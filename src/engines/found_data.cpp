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

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/link_free_paths.h"
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

}  // namespace

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

int CreateEmptyFile(const fs::path& target) {
    int fd = -1;
    if (int rc = OpenWithoutLinks(target, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd); rc != kOk) return rc;
    return ::close(fd) == 0 ? kOk : FromErrno(errno);
}

namespace {

// Writes length bytes at fileOffset of the file open as fd.
int WriteAt(int fd, uint64_t fileOffset, const uint8_t* bytes, size_t length) {
    if (::lseek(fd, static_cast<off_t>(fileOffset), SEEK_SET) < 0) return FromErrno(errno);
    return WriteAll(fd, bytes, length);
}

// Goes on with a copy that met a read fault at file offset from: reads the rest of the
// file where map places it, a sector at a time inside any piece that fails, so that only
// the sectors that do not read are lost. They (and any part the map leaves out, which a
// sparse file's holes are) stay zeros; the file is given its whole size.
class CopyAroundBadSectors {
public:
    CopyAroundBadSectors(const ReadAround& around, uint64_t fileSize, int fd, const CopyProgress& progress)
        : around_(around), fileSize_(fileSize), fd_(fd), progress_(progress),
          sectorBytes_(std::max<uint32_t>(around.sectorBytes, 1)) {}

    int Copy(const DataMap& map, uint64_t from) {
        uint64_t at = from;
        for (const ByteRun& run : map.runs) {
            const uint64_t runEnd = std::min(run.fileOffset + run.length, fileSize_);
            at = std::max(at, run.fileOffset);
            while (at < runEnd) {
                const size_t length = static_cast<size_t>(std::min<uint64_t>(kReadPieceBytes, runEnd - at));
                if (int rc = CopyPiece(at, run.sourceOffset + (at - run.fileOffset), length); rc != kOk) return rc;
                at += length;
                if (progress_ && !progress_(PercentOf(at, fileSize_), kOk)) return CancelCode;
            }
        }
        if (::ftruncate(fd_, static_cast<off_t>(fileSize_)) != 0) return FromErrno(errno);
        for (const UnreadableRange& range : unreadable_)
            if (around_.unreadable) around_.unreadable(range.fileOffset, range.length);
        return unreadable_.empty() ? kOk : kErrReadFault;
    }

private:
    int CopyPiece(uint64_t fileOffset, uint64_t sourceOffset, size_t length) {
        buffer_.resize(length);
        size_t got = 0;
        const bool whole = ReadExactly(*around_.medium, sourceOffset, buffer_.data(), length, got) == kOk;
        if (got > 0)
            if (int rc = WriteAt(fd_, fileOffset, buffer_.data(), got); rc != kOk) return rc;
        if (whole) return kOk;
        // Sector by sector from where the piece stopped, each read on its own.
        for (uint64_t done = got; done < length;) {
            const uint64_t source = sourceOffset + done;
            const uint64_t sectorEnd = (source / sectorBytes_ + 1) * sectorBytes_;
            const size_t part = static_cast<size_t>(std::min<uint64_t>(sectorEnd - source, length - done));
            size_t partGot = 0;
            if (ReadExactly(*around_.medium, source, buffer_.data(), part, partGot) == kOk) {
                if (int rc = WriteAt(fd_, fileOffset + done, buffer_.data(), part); rc != kOk) return rc;
            } else {
                NoteUnreadable(fileOffset + done, part);
            }
            done += part;
        }
        return kOk;
    }

    void NoteUnreadable(uint64_t fileOffset, uint64_t length) {
        if (!unreadable_.empty()) {
            UnreadableRange& last = unreadable_.back();
            if (last.fileOffset + last.length == fileOffset) {
                last.length += length;
                return;
            }
        }
        unreadable_.push_back({fileOffset, length});
    }

    const ReadAround& around_;
    uint64_t fileSize_;
    int fd_;
    const CopyProgress& progress_;
    uint32_t sectorBytes_;
    std::vector<uint8_t> buffer_;
    std::vector<UnreadableRange> unreadable_;
};

// Whether the map places every byte of the file from from on, so that reading around a
// bad sector cannot pass off missing data as zeros. Holes inside a sparse file are left
// out of its map; they are zeros in the file, so only a map ending short fails.
bool MapReachesEnd(const DataMap& map, uint64_t fileSize) {
    return !map.runs.empty() && map.runs.back().fileOffset + map.runs.back().length >= fileSize;
}

}  // namespace

int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const fs::path& target, const CopyProgress& progress,
                   const ReadAround* around) {
    // Cut to nothing first: a longer file already there must not keep its tail.
    int fd = -1;
    int result = OpenWithoutLinks(target, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd);
    uint64_t written = 0;
    std::vector<uint8_t> piece;
    while (result == kOk && written < fileSize) {
        if (result = reader.ReadPiece(piece); result != kOk || piece.empty()) break;
        const size_t owed = static_cast<size_t>(std::min<uint64_t>(piece.size(), fileSize - written));
        if (result = WriteAll(fd, piece.data(), owed); result != kOk) break;
        written += owed;
        if (progress && !progress(PercentOf(written, fileSize), kOk)) result = CancelCode;
    }
    if (result == kErrReadFault && around && around->medium && around->map) {
        DataMap map;
        if (around->map(map) == kOk && MapReachesEnd(map, fileSize)) {
            result = CopyAroundBadSectors(*around, fileSize, fd, progress).Copy(map, written);
            written = fileSize;
        }
    }
    // Data that ended before the file's size did (runs covering less than it) is not the
    // file: reported, so that what was written is kept only as partial.
    if (result == kOk && written < fileSize) result = kErrHandleEof;
    if (fd >= 0 && ::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (result > 0 && progress) progress(100, result);
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
                     std::span<uint8_t> buffer, uint32_t& delivered, const CopyProgress& progress,
                     PreviewFileRoute route) {
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
            if (progress) progress(100, error);
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
        if (progress && !progress(PercentOf(done, wanted), kOk)) {
            result = CancelCode;
            break;
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
    if (result > 0 && progress) progress(100, result);
    return result;
}

}  // namespace kestrune
