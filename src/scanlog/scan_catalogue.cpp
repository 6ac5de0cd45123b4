#include "scanlog/scan_catalogue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/file_time.h"
#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/byte_view.h"
#include "disk/encrypted_volumes.h"
#include "disk/text_encoding.h"
#include "disk/write_all.h"
#include "scanlog/file_types.h"
#include "scanlog/store_folder.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

constexpr const char* kCatalogueName = "config";
constexpr const char* kCatalogueTempName = "config.tmp";

void PutLe(std::vector<uint8_t>& out, size_t offset, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutPath(std::vector<uint8_t>& out, size_t offset, const std::string& path) {
    std::u16string units = Utf8ToUtf16(path);
    units.resize(std::min(units.size(), kCataloguePathUnits - 1));
    for (size_t i = 0; i < units.size(); ++i) PutLe(out, offset + 2 * i, units[i], 2);
}

bool FitsPathField(const std::string& path) {
    return Utf8ToUtf16(path).size() < kCataloguePathUnits;
}

bool SameFolderIgnoringCase(const std::string& a, const std::string& b) {
    return AsciiLower(a) == AsciiLower(b);
}

uint64_t ImageWriteTime(const fs::path& image, bool& exists) {
    // An unlocked volume changes when what holds it does.
    const fs::path origin = UnlockedVolumeOrigin(image);
    struct stat st {};
    exists = ::stat((origin.empty() ? image : origin).c_str(), &st) == 0;
    if (!exists) return 0;
    return FileTimeFromUnix(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
}

uint64_t FreeBytesOf(const fs::path& volumeDevice) {
    uint64_t free = 0;
    if (volumeDevice.empty() || VolumeFreeBytes(volumeDevice, free) != kOk) return 0;
    return free;
}

}  // namespace

// Holds the catalogue's lock file for as long as it lives: every process that changes the
// catalogue or takes a run folder does so under it, so that none loses another's change.
// Nested holds (a store that discards a stale scan) take it once; the caller holds mutex_.
class ScanCatalogue::FileLock {
public:
    explicit FileLock(const ScanCatalogue& catalogue) : catalogue_(catalogue) {
        if (catalogue_.fileLockDepth_++ > 0) return;
        std::error_code ec;
        fs::create_directories(catalogue_.storeFolder_, ec);
        const fs::path path = catalogue_.storeFolder_ / "config.lock";
        catalogue_.fileLockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (catalogue_.fileLockFd_ >= 0)
            while (::flock(catalogue_.fileLockFd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock() {
        if (--catalogue_.fileLockDepth_ > 0) return;
        if (catalogue_.fileLockFd_ >= 0) ::close(catalogue_.fileLockFd_);
        catalogue_.fileLockFd_ = -1;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    const ScanCatalogue& catalogue_;
};

namespace {

// Run folders taken one after another before giving up (a store full of folders).
constexpr uint64_t kMaxRunFolderTries = 1u << 20;

}  // namespace

ScanCatalogue::ScanCatalogue(fs::path storeFolder)
    : freeBytesOf(FreeBytesOf), storeFolder_(std::move(storeFolder)) {
    Load();
}

ScanCatalogue& ScanCatalogue::Instance() {
    static ScanCatalogue catalogue(StoreFolder());
    return catalogue;
}

std::vector<uint8_t> ScanCatalogue::Serialize(uint64_t folderCounter,
                                              const std::vector<ScanCatalogueRecord>& records) {
    std::vector<uint8_t> bytes(kCatalogueHeaderBytes + records.size() * kCatalogueRecordBytes, 0);
    PutLe(bytes, 0, folderCounter, 8);
    size_t at = kCatalogueHeaderBytes;
    for (const ScanCatalogueRecord& r : records) {
        PutLe(bytes, at + 0, static_cast<uint32_t>(r.diskIndex), 4);
        PutLe(bytes, at + 8, r.startSector, 8);
        PutLe(bytes, at + 16, r.sectorCount, 8);
        const ResumeState& state = r.resumeState;
        size_t field = at + 24;
        for (uint64_t value : {state.extentStart, state.extentLength, state.offset, state.sectorsDone, state.filesFound}) {
            PutLe(bytes, field, value, 8);
            field += 8;
        }
        PutLe(bytes, at + 64, r.freeBytes, 8);
        PutLe(bytes, at + 72, r.imageWriteTime, 8);
        PutPath(bytes, at + 80, r.imagePath);
        PutPath(bytes, at + 600, r.scanFolder);
        at += kCatalogueRecordBytes;
    }
    return bytes;
}

void ScanCatalogue::Parse(const std::vector<uint8_t>& bytes, uint64_t& folderCounter,
                          std::vector<ScanCatalogueRecord>& records) {
    const ByteView view(bytes);
    folderCounter = view.has(0, 8) ? view.le64(0) : 0;
    for (size_t at = kCatalogueHeaderBytes; view.has(at, kCatalogueRecordBytes); at += kCatalogueRecordBytes) {
        const ByteView r = view.sub(at, kCatalogueRecordBytes);
        ScanCatalogueRecord record;
        record.diskIndex = static_cast<int32_t>(r.le32(0));
        record.startSector = r.le64(8);
        record.sectorCount = r.le64(16);
        record.resumeState = {r.le64(24), r.le64(32), r.le64(40), r.le64(48), r.le64(56)};
        record.freeBytes = r.le64(64);
        record.imageWriteTime = r.le64(72);
        record.imagePath = Utf16LeToUtf8(r, 80, kCataloguePathUnits, true);
        record.scanFolder = Utf16LeToUtf8(r, 600, kCataloguePathUnits, true);
        records.push_back(std::move(record));
    }
}

void ScanCatalogue::Reload() {
    const uint64_t counter = folderCounter_;
    Load();
    // Numbers this process handed out stay handed out, saved or not.
    folderCounter_ = std::max(folderCounter_, counter);
}

void ScanCatalogue::Load() {
    folderCounter_ = 0;
    records_.clear();
    const fs::path file = storeFolder_ / kCatalogueName;
    const fs::path temp = storeFolder_ / kCatalogueTempName;
    std::error_code ec;
    if (!fs::exists(file, ec) && fs::exists(temp, ec)) fs::rename(temp, file, ec);  // a save cut short

    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    Parse(bytes, folderCounter_, records_);
}

int ScanCatalogue::Save() const {
    std::lock_guard lock(mutex_);
    const FileLock fileLock(*this);
    return SaveLocked();
}

int ScanCatalogue::SaveLocked() const {
    const fs::path file = storeFolder_ / kCatalogueName;
    // A temporary name of this save's own: two processes saving at once never write into
    // one file.
    std::string temp = (storeFolder_ / kCatalogueTempName).string() + "-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    ::fchmod(fd, 0644);
    const std::vector<uint8_t> bytes = Serialize(folderCounter_, records_);
    int result = WriteAll(fd, bytes.data(), bytes.size());
    if (result == kOk && ::fsync(fd) != 0) result = FromErrno(errno);
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    // rename replaces "config" in one step, so a crash leaves either file whole.
    if (result == kOk && ::rename(temp.c_str(), file.c_str()) != 0) result = FromErrno(errno);
    if (result != kOk) ::unlink(temp.c_str());
    return result;
}

ScanCatalogue::ScanCatalogue(const ScanCatalogue& other) { *this = other; }

ScanCatalogue& ScanCatalogue::operator=(const ScanCatalogue& other) {
    if (this == &other) return *this;
    std::scoped_lock lock(mutex_, other.mutex_);
    storeFolder_ = other.storeFolder_;
    folderCounter_ = other.folderCounter_;
    records_ = other.records_;
    freeBytesOf = other.freeBytesOf;
    return *this;
}

bool ScanCatalogue::FindFirst(const std::function<bool(const ScanCatalogueRecord&)>& forSource,
                              const std::function<bool(const ScanCatalogueRecord&)>& unchanged,
                              ScanCatalogueRecord& out) {
    std::lock_guard lock(mutex_);
    {
        // Another process may have stored or discarded a scan since.
        const FileLock fileLock(*this);
        Reload();
    }
    for (const ScanCatalogueRecord& record : records_) {
        if (!forSource(record)) continue;
        if (!unchanged(record)) break;
        out = record;
        return true;
    }
    return false;
}

void ScanCatalogue::DiscardFirstIfChanged(const std::function<bool(const ScanCatalogueRecord&)>& forSource,
                                          const std::function<bool(const ScanCatalogueRecord&)>& unchanged) {
    std::lock_guard lock(mutex_);
    for (const ScanCatalogueRecord& record : records_) {
        if (!forSource(record)) continue;
        if (!unchanged(record)) {
            const std::string stale = record.scanFolder;
            DiscardRunFolder(stale);
        }
        return;
    }
}

std::function<bool(const ScanCatalogueRecord&)> ScanCatalogue::VolumeKey(int diskIndex, uint64_t startSector,
                                                                        uint64_t sectorCount) {
    return [=](const ScanCatalogueRecord& r) {
        return r.imagePath.empty() && r.diskIndex == diskIndex && r.startSector == startSector &&
               r.sectorCount == sectorCount;
    };
}

std::function<bool(const ScanCatalogueRecord&)> ScanCatalogue::ImageKey(const fs::path& image) {
    return [path = image.string()](const ScanCatalogueRecord& r) { return !r.imagePath.empty() && r.imagePath == path; };
}

std::function<bool(const ScanCatalogueRecord&)> ScanCatalogue::VolumeUnchanged(const fs::path& volumeDevice) {
    return [this, volumeDevice](const ScanCatalogueRecord& r) { return r.freeBytes == freeBytesOf(volumeDevice); };
}

std::function<bool(const ScanCatalogueRecord&)> ScanCatalogue::ImageUnchanged(const fs::path& image) {
    bool exists = false;
    const uint64_t writeTime = ImageWriteTime(image, exists);
    return [=](const ScanCatalogueRecord& r) { return exists && r.imageWriteTime == writeTime; };
}

bool ScanCatalogue::FindForVolume(int diskIndex, uint64_t startSector, uint64_t sectorCount,
                                  const fs::path& volumeDevice, ScanCatalogueRecord& out) {
    return FindFirst(VolumeKey(diskIndex, startSector, sectorCount), VolumeUnchanged(volumeDevice), out);
}

bool ScanCatalogue::FindForImage(const fs::path& image, ScanCatalogueRecord& out) {
    return FindFirst(ImageKey(image), ImageUnchanged(image), out);
}

void ScanCatalogue::DiscardStaleVolumeScan(int diskIndex, uint64_t startSector, uint64_t sectorCount,
                                           const fs::path& volumeDevice) {
    DiscardFirstIfChanged(VolumeKey(diskIndex, startSector, sectorCount), VolumeUnchanged(volumeDevice));
}

void ScanCatalogue::DiscardStaleImageScan(const fs::path& image) {
    DiscardFirstIfChanged(ImageKey(image), ImageUnchanged(image));
}

int ScanCatalogue::Store(const fs::path& volumeDevice, int diskIndex, uint64_t startSector,
                         uint64_t sectorCount, const ResumeState& resumeState,
                         const std::string& scanFolder, const fs::path& imagePath) {
    if (!FitsPathField(scanFolder) || !FitsPathField(imagePath.string())) return kErrFilenameTooLong;
    std::lock_guard lock(mutex_);
    const FileLock fileLock(*this);
    Reload();
    ScanCatalogueRecord existing;
    const bool isImage = !imagePath.empty();
    if (isImage) DiscardStaleImageScan(imagePath);
    else DiscardStaleVolumeScan(diskIndex, startSector, sectorCount, volumeDevice);
    const bool known = isImage ? FindForImage(imagePath, existing)
                               : FindForVolume(diskIndex, startSector, sectorCount, volumeDevice, existing);
    if (known) {
        for (ScanCatalogueRecord& record : records_)
            if (SameFolderIgnoringCase(record.scanFolder, existing.scanFolder)) {
                record.resumeState = resumeState;
                break;
            }
    } else {
        ScanCatalogueRecord record;
        record.diskIndex = diskIndex;
        record.startSector = startSector;
        record.sectorCount = sectorCount;
        record.resumeState = resumeState;
        if (isImage) {
            bool exists = false;
            record.imageWriteTime = ImageWriteTime(imagePath, exists);
            record.imagePath = imagePath.string();
        } else {
            record.freeBytes = freeBytesOf(volumeDevice);
        }
        record.scanFolder = scanFolder;
        records_.push_back(std::move(record));
    }
    return SaveLocked();
}

void ScanCatalogue::DiscardRunFolder(const std::string& scanFolder) {
    std::lock_guard lock(mutex_);
    const FileLock fileLock(*this);
    Reload();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (SameFolderIgnoringCase(it->scanFolder, scanFolder)) {
            records_.erase(it);
            SaveLocked();
            break;
        }
    }
    // Only run folders are ever deleted: a damaged or crafted catalogue must not be
    // able to name any other folder of the machine.
    std::error_code ec;
    const fs::path store = fs::weakly_canonical(storeFolder_, ec);
    if (ec) return;
    fs::path folder = fs::weakly_canonical(fs::path(scanFolder), ec);
    if (ec || scanFolder.empty()) return;
    if (folder.filename().empty()) folder = folder.parent_path();
    const fs::path relative = folder.lexically_relative(store);
    if (relative.empty() || relative == "." || *relative.begin() == "..") return;
    fs::remove_all(folder, ec);
}

std::string ScanCatalogue::NumberedRunFolder() const {
    std::lock_guard lock(mutex_);
    return (storeFolder_ / std::to_string(folderCounter_)).string() + "/";
}

std::string ScanCatalogue::NewRunFolder() {
    std::lock_guard lock(mutex_);
    const FileLock fileLock(*this);
    Reload();
    // The folder is made here, by the one call that can tell whether it was free: a folder
    // already there (another process's scan, running or kept) is never taken over.
    std::error_code ec;
    fs::create_directories(storeFolder_, ec);
    uint64_t number = folderCounter_ + 1;
    for (uint64_t tries = 0; tries < kMaxRunFolderTries; ++tries, ++number) {
        const fs::path folder = storeFolder_ / std::to_string(number);
        if (::mkdir(folder.c_str(), 0755) == 0 || errno != EEXIST) break;
    }
    folderCounter_ = number;
    SaveLocked();
    return NumberedRunFolder();
}

void ScanCatalogue::TakeBackRunNumber(const std::string& folder) {
    std::lock_guard lock(mutex_);
    const FileLock fileLock(*this);
    Reload();
    // Another scan may have taken the next number meanwhile; giving back then would hand
    // its folder out a second time.
    if (folderCounter_ == 0 || folder != NumberedRunFolder()) return;
    // Only an empty folder goes: this scan's logs, if any, are not given away.
    std::error_code ec;
    fs::path path(folder);
    if (path.filename().empty()) path = path.parent_path();
    if (fs::exists(path, ec) && !fs::remove(path, ec)) return;
    --folderCounter_;
    SaveLocked();
}

}  // namespace kestrune
