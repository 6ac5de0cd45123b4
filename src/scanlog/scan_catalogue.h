// ScanCatalogue: the stored formatted scans, the source each was made of, and the
// counter that numbers run folders. Kept in the file "config" in the store folder.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

inline constexpr size_t kCatalogueHeaderBytes = 8;
inline constexpr size_t kCatalogueRecordBytes = 1120;
inline constexpr size_t kCataloguePathUnits = 260;

// Where a formatted or deep pass stood when it was stored, so that it can go on from there.
struct ResumeState {
    uint64_t extentStart = 0;   // the run of sectors (of free space, or the whole area) the pass was in
    uint64_t extentLength = 0;  // its length; 0 once the pass has finished
    uint64_t offset = 0;        // sectors of that run already passed
    uint64_t sectorsDone = 0;   // of the whole pass
    uint64_t filesFound = 0;

    bool Finished() const { return extentLength == 0; }
    // The sector the pass goes on from.
    uint64_t NextSector() const { return extentStart + offset; }
    bool operator==(const ResumeState&) const = default;
};

struct ScanCatalogueRecord {
    int32_t diskIndex = 0;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    ResumeState resumeState{};   // kept for the formatted-scan coordinator, unchanged here
    uint64_t freeBytes = 0;      // of the volume when stored; 0 for an image
    uint64_t imageWriteTime = 0; // FILETIME of the image's last write; 0 for a volume
    std::string imagePath;       // empty for a volume
    std::string scanFolder;      // ends in "/"
};

class ScanCatalogue {
public:
    // Loads the catalogue of storeFolder (restoring "config.tmp" when a save was cut short).
    explicit ScanCatalogue(std::filesystem::path storeFolder);
    // The process's catalogue, in StoreFolder().
    static ScanCatalogue& Instance();
    // Copies take the records, not the lock (tests swap the process's catalogue).
    ScanCatalogue(const ScanCatalogue& other);
    ScanCatalogue& operator=(const ScanCatalogue& other);

    // The stored scan of a volume area, when its volume's free space is unchanged since;
    // a stale one is not found (and left alone). volumeDevice may be empty.
    bool FindForVolume(int diskIndex, uint64_t startSector, uint64_t sectorCount,
                       const std::filesystem::path& volumeDevice, ScanCatalogueRecord& out);
    // The stored scan of an image file (paths compared exactly), when the image was not
    // written since.
    bool FindForImage(const std::filesystem::path& image, ScanCatalogueRecord& out);
    // A stored scan of the source that is stale (free space changed, image written since)
    // is discarded with its folder; a look-up never deletes anything itself.
    void DiscardStaleVolumeScan(int diskIndex, uint64_t startSector, uint64_t sectorCount,
                                const std::filesystem::path& volumeDevice);
    void DiscardStaleImageScan(const std::filesystem::path& image);

    // Adds or updates the record of a source and saves the file. An image is named by
    // imagePath; a volume (imagePath empty) by disk, start and count.
    int Store(const std::filesystem::path& volumeDevice, int diskIndex, uint64_t startSector,
              uint64_t sectorCount, const ResumeState& resumeState, const std::string& scanFolder,
              const std::filesystem::path& imagePath);

    // Forgets the record of scanFolder (compared without case) and deletes the folder,
    // which must lie inside the store folder.
    void DiscardRunFolder(const std::string& scanFolder);
    // Takes the next free run folder, making it: the numbering passes folders that exist
    // (another process's scan), so two scans, in one process or in two, never share one.
    // Returns it. The catalogue keeps no current folder: whoever takes one hands it to the
    // engines that write into it.
    std::string NewRunFolder();
    // Gives back the run number of folder (a formatted scan that ends without being
    // stored), when no later run folder was handed out since and the folder is empty.
    void TakeBackRunNumber(const std::string& folder);

    uint64_t FolderCounter() const {
        std::lock_guard lock(mutex_);
        return folderCounter_;
    }
    // A copy: the list may change on another thread (a scan storing its pass).
    std::vector<ScanCatalogueRecord> Records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    const std::filesystem::path& Folder() const { return storeFolder_; }
    // Writes the file (under the lock file that every process changing it takes).
    int Save() const;

    // How a volume's free bytes are asked; tests replace it.
    std::function<uint64_t(const std::filesystem::path& volumeDevice)> freeBytesOf;

    // The file format, both ways. Parsing keeps every whole, sound record.
    static std::vector<uint8_t> Serialize(uint64_t folderCounter,
                                          const std::vector<ScanCatalogueRecord>& records);
    static void Parse(const std::vector<uint8_t>& bytes, uint64_t& folderCounter,
                      std::vector<ScanCatalogueRecord>& records);

private:
    void Load();
    // Load, keeping the run numbers this process handed out; under the lock file.
    void Reload();
    int SaveLocked() const;
    std::string NumberedRunFolder() const;
    // The first record for the source, handed out when the source is unchanged since.
    bool FindFirst(const std::function<bool(const ScanCatalogueRecord&)>& forSource,
                   const std::function<bool(const ScanCatalogueRecord&)>& unchanged, ScanCatalogueRecord& out);
    void DiscardFirstIfChanged(const std::function<bool(const ScanCatalogueRecord&)>& forSource,
                               const std::function<bool(const ScanCatalogueRecord&)>& unchanged);
    static std::function<bool(const ScanCatalogueRecord&)> VolumeKey(int diskIndex, uint64_t startSector,
                                                                     uint64_t sectorCount);
    static std::function<bool(const ScanCatalogueRecord&)> ImageKey(const std::filesystem::path& image);
    std::function<bool(const ScanCatalogueRecord&)> VolumeUnchanged(const std::filesystem::path& volumeDevice);
    static std::function<bool(const ScanCatalogueRecord&)> ImageUnchanged(const std::filesystem::path& image);

    // One lock for everything below: the UI thread lists and discards while a worker's
    // pass stores itself. Recursive, as Store looks up and discards through the same calls.
    mutable std::recursive_mutex mutex_;
    class FileLock;
    mutable int fileLockDepth_ = 0, fileLockFd_ = -1;

    std::filesystem::path storeFolder_;
    uint64_t folderCounter_ = 0;
    std::vector<ScanCatalogueRecord> records_;
};

}  // namespace kestrune
