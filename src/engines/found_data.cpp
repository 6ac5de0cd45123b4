#include "engines/found_data.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "disk/result_codes.h"
#include "scanlog/file_types.h"
#include "scanlog/store_folder.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

int WriteAll(int fd, const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno);
        if (n == 0) return kErrDiskFull;
        done += static_cast<size_t>(n);
    }
    return kOk;
}

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

int CreateParentFolder(const fs::path& target) {
    const fs::path parent = target.parent_path();
    if (parent.empty()) return kOk;
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec && ec.value() != EEXIST) return FromErrno(ec.value());
    return kOk;
}

int WriteFoundFile(PieceReader& reader, uint64_t fileSize, const fs::path& target, RecoverProgressFn progress,
                   void* userData) {
    // Cut to nothing first: a longer file already there must not keep its tail.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    const std::string targetText = target.string();
    int result = fd < 0 ? FromErrno(errno) : kOk;
    uint64_t written = 0;
    std::vector<uint8_t> piece;
    while (result == kOk && written < fileSize) {
        if (result = reader.ReadPiece(piece); result != kOk) break;
        const size_t owed = static_cast<size_t>(std::min<uint64_t>(piece.size(), fileSize - written));
        if (result = WriteAll(fd, piece.data(), owed); result != kOk) break;
        written += owed;
        if (progress) {
            if (int stop = progress(userData, PercentOf(written, fileSize), kFullWeight, 0, targetText); stop != 0)
                result = stop;
        }
    }
    if (fd >= 0 && ::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (result > 0 && progress) progress(userData, 100, kFullWeight, result, targetText);
    return result;
}

PreviewDestination ChoosePreviewDestination(std::string_view name) {
    PreviewDestination destination;
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return destination;
    const std::string dotted = "." + extension;
    const fs::path store = StoreFolder();
    fs::path path;
    if (ListContains(DocumentExtensions, dotted) || ListContains(ArchiveExtensions, dotted)) {
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

int ExtractFoundData(PieceReader& reader, uint64_t fileSize, std::string_view name, std::string& tempPath,
                     std::span<uint8_t> buffer, uint32_t& delivered, PreviewProgressFn progress,
                     void* userData) {
    delivered = 0;
    const PreviewDestination destination = ChoosePreviewDestination(name);
    int fd = -1;
    uint64_t wanted = std::min<uint64_t>(fileSize, buffer.size());
    if (destination.toFile) {
        std::error_code ec;
        fs::create_directories(destination.path.parent_path(), ec);
        fs::remove(destination.path, ec);
        fd = ::open(destination.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            const int error = FromErrno(errno);
            if (progress) progress(userData, 100, error);
            return error;
        }
        tempPath = destination.path.string();
        wanted = fileSize;
    }
    int result = kOk;
    uint64_t done = 0;
    std::vector<uint8_t> piece;
    while (done < wanted) {
        if (result = reader.ReadPiece(piece); result != kOk) break;
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
            std::error_code ec;
            fs::remove(destination.path, ec);
        }
    } else {
        delivered = static_cast<uint32_t>(done);
    }
    if (result > 0 && progress) progress(userData, 100, result);
    return result;
}

}  // namespace kestrune
