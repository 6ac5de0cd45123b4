// IFileRecoveryParse: the one interface behind which every recovery engine sits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_codes.h"
#include "base/run_progress.h"
#include "scanlog/scan_log_file.h"
#include "scanlog/scan_record.h"

namespace kestrune {

// The factory's classification of a boot area.
enum class FsKind : int { Fat = 2, Ntfs = 3, Ext = 4, Other = 5, Exfat = 6 };

// How far the copy of one found file is, in percent; at its end (100) error says whether it
// ended whole (0) or why not. Return false to stop the copy (it then ends with CancelCode).
using CopyProgress = std::function<bool(int percent, int error)>;
// Told, while a file is written, of each stretch of it (file offset, length) that its
// source could not read and that the copy holds as zeros.
using UnreadableNotice = std::function<void(uint64_t fileOffset, uint64_t length)>;

struct DataMap;

class IFileRecoveryParse {
public:
    // Binds the engine to an image file. driveLetter marks every record it writes.
    virtual int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) = 0;
    // Binds the engine to the area [startSector, startSector + sectorCount) of disk N.
    virtual int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount,
                         uint16_t driveLetter) = 0;
    // The run folder the engine writes its log into, and opens a stored log from; set
    // before Scan (before OpenImage/OpenDisk for the carving engine, which opens its log
    // with its source). An engine whose folder was never set opens no log and says so
    // (kErrInvalidParameter).
    virtual void SetRunFolder(const std::string& folder) = 0;
    // Where a scan or a search reports (percent of the engine's own work) and what stops it:
    // a set token ends the work at its next report with CancelCode.
    virtual void SetReporter(Reporter reporter) = 0;
    // Told how each file's copy goes while Recover writes it.
    virtual void SetCopyProgress(CopyProgress progress) = 0;
    // Told of the bytes of each written file that could not be read; engines that cannot
    // read on past a bad sector never call it.
    virtual void SetUnreadableNotice(UnreadableNotice notice) { (void)notice; }
    // Whether a quick scan lists the files that exist on the volume too (marked
    // kExistingFile), not only deleted ones; set before Scan. Engines that only find
    // deleted or lost files ignore it.
    virtual void SetListExisting(bool) {}
    // Without a name: scans and writes a new log. With one: reopens that stored log.
    virtual int Scan(const std::string* logName) = 0;
    // Children of folder (null: the root, only at depth 0; otherwise 87).
    virtual int ListChildren(const ScanRecord* folder, int depth,
                             std::vector<ScanRecord>& out) = 0;
    virtual int CountFiles(const ScanRecord* folder, int depth, int& count) = 0;
    virtual uint64_t GetRecordCount() = 0;
    // The names of the record's ancestors, outermost first, each followed by "/".
    virtual int GetRecordPath(const ScanRecord& record, std::string& out) = 0;
    // The same path as the folders a recovery that keeps folders writes it under.
    virtual int GetRecordPathOnDisk(const ScanRecord& record, std::string& out) { return GetRecordPath(record, out); }
    // Writes a file's data to destination, or recreates a folder and all found below it.
    virtual int Recover(const ScanRecord& record, const std::filesystem::path& destination,
                        int baseDepth) = 0;
    // Moves position (sectors from the area start) to the next free run; length 0 at the end.
    virtual int NextFreeExtent(uint64_t& position, uint64_t& length) = 0;
    virtual int SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) = 0;
    // How many of the files a search would give keep takes; engines with one log count
    // them there, without copying or sorting them.
    virtual int CountByExtension(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep,
                                 uint64_t& count) {
        std::vector<ScanRecord> found;
        const int rc = SearchByExtension(pattern, found);
        count = static_cast<uint64_t>(std::count_if(found.begin(), found.end(), keep));
        return rc;
    }
    // 0 when the cluster allocation map is in memory.
    virtual int BuildAllocationMap() = 0;
    // Delivers the record's data into a temporary file (its path written to tempPath) or
    // into buffer, up to its size; delivered is the byte count placed in buffer.
    virtual int ExtractForPreview(const ScanRecord* record, std::string& tempPath,
                                  std::span<uint8_t> buffer, uint32_t& delivered,
                                  const CopyProgress& progress) = 0;
    // Where a found file's data lies on the source, as its recovery would read it,
    // without reading it (scanlog/data_map.h); kErrNotSupported when the engine cannot tell.
    virtual int MapData(const ScanRecord& record, DataMap& map) {
        (void)record;
        (void)map;
        return kErrNotSupported;
    }
    // Bytes of a found file's data, placed by MapData as map, that its source is known not
    // to give (bad sectors met by any reader of it so far).
    virtual uint64_t UnreadableBytes(const ScanRecord& record, const DataMap& map) {
        (void)record;
        (void)map;
        return 0;
    }
    // The first `limit` bytes of a found file's data as its recovery would read them (out
    // is cut short where the data ends or a read fails), for a check of its content.
    virtual int ReadData(const ScanRecord& record, uint64_t limit, std::vector<uint8_t>& out) {
        (void)record;
        (void)limit;
        out.clear();
        return kErrNotSupported;
    }
    virtual ~IFileRecoveryParse() = default;
};

}  // namespace kestrune
