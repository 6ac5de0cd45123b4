// ScanLogFile: the three files of one scan log and every question asked of them.
//
// The main file is an array of 346-byte ScanRecords (record n at (n-1) x 346), the
// relation file holds the parent links as text, and the folder file an array of
// 268-byte FolderInfoEntry values so a record's path can be built without reading the
// main file. Records are appended through a 200-record buffer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/run_progress.h"
#include "scanlog/relation_text.h"
#include "scanlog/scan_record.h"

namespace kestrune {

inline constexpr size_t kFolderInfoBytes = 268;
inline constexpr size_t kAppendBufferRecords = 200;
inline constexpr size_t kAppendBufferBytes = kAppendBufferRecords * kScanRecordBytes;  // 69,200
// Above this main-file size a search no longer offers the files of no known type.
inline constexpr uint64_t kOtherSearchLimitBytes = 0x8000000;

#pragma pack(push, 1)
struct FolderInfoEntry {
    uint32_t fsId;
    uint32_t recordId;
    char name[kRecordNameBytes];
};
#pragma pack(pop)
static_assert(sizeof(FolderInfoEntry) == kFolderInfoBytes);
static_assert(offsetof(FolderInfoEntry, recordId) == 4);
static_assert(offsetof(FolderInfoEntry, name) == 8);

// Search progress: user data, percent, and 0. A non-zero return stops the search.

class ScanLogFile {
public:
    ScanLogFile();
    ~ScanLogFile();
    ScanLogFile(const ScanLogFile&) = delete;
    ScanLogFile& operator=(const ScanLogFile&) = delete;

    // Opens (creating when missing) the log logName in runFolder, loading its links and
    // folders, so that a reopened log answers like the one that wrote it and further
    // appends continue its numbering.
    int OpenLog(const std::filesystem::path& runFolder, const std::string& logName);
    // Starts a new, empty log: files of the same name already in the folder (a scan
    // started in the same minute) are emptied rather than continued.
    int CreateLog(const std::filesystem::path& runFolder, const std::string& logName);
    // Opens an existing log only to read it: nothing is created or written.
    int OpenLogForReading(const std::filesystem::path& runFolder, const std::string& logName);
    bool IsOpen() const { return mainFd_ >= 0; }

    // A zero-filled slot whose recordId is already set; fill it before the next append.
    ScanRecord& AppendRecord();
    // Appends a copy of a record the caller filled, under the next number; returns it.
    uint32_t AppendCopy(const ScanRecord& record);
    // Writes a record appended earlier again in its place (its recordId says where), for an
    // engine that learns more of a file once the whole volume is read.
    int RewriteRecord(const ScanRecord& record);
    void LinkRecord(uint32_t parentFsId, uint32_t parentLevel, uint32_t recordId, uint32_t fsId,
                    const std::string* folderName);
    // Writes buffered records and rewrites the side files. Returns the first write error
    // since the log was opened, so records lost to a failed write are never hidden.
    int Flush();
    void CloseLog();
    // Writes what is buffered and asks the system to put all three files on the disk.
    int Sync();
    // Forgets every record after the first count (and their links and folder entries):
    // what a resume after a crash does with records newer than its checkpoint.
    int TruncateTo(uint32_t count);

    uint32_t RecordCount() const { return counter_; }
    int ReadRecord(uint32_t recordId, ScanRecord& out) const;
    // Calls visit for every record in order, the stored ones read in large pieces.
    int ForEachRecord(const std::function<void(const ScanRecord&)>& visit) const;
    int ListUnderKey(ParentKey key, std::vector<ScanRecord>& out);
    int CountFilesUnderKey(ParentKey key, int& count);
    int CollectAncestors(const ScanRecord& record, std::vector<ScanRecord>& out);
    int FindFolderRecord(uint32_t fsId, ScanRecord& out) const;
    // The files whose extension the pattern names (".jpg.png", ".other" for the rest), in
    // the order of their names.
    int SearchLog(std::string_view pattern, std::vector<ScanRecord>& out);
    // How many of them keep takes: none is copied or sorted.
    int CountMatches(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep, uint64_t& count);
    void SetSearchReporter(Reporter reporter) { searchReporter_ = std::move(reporter); }

    // The key a folder's children are filed under: one level below the key the folder
    // itself is filed under. False when the folder is not linked.
    bool ChildKeyOf(const ScanRecord& folder, ParentKey& key) const;

    // The folder path of a record: its ancestors' names, outermost first, each followed
    // by "/"; empty at the top level.
    int GetRecordPath(const ScanRecord& record, std::string& out, PathUse use = PathUse::Shown);

    const std::filesystem::path& MainPath() const { return mainPath_; }
    const ParentLinks& Links() const { return links_; }
    const std::vector<FolderInfoEntry>& Folders() const { return folders_; }

private:
    // Calls visit for each file the pattern selects, in the log's order.
    int ForEachMatch(std::string_view pattern, const std::function<void(const ScanRecord&)>& visit);
    enum class OpenMode { Continue, Fresh, ReadOnly };
    int Open(const std::filesystem::path& runFolder, const std::string& logName, OpenMode mode);
    int WriteBuffer();
    // durable: each file reaches the disk before it replaces the one there.
    int FlushFiles(bool durable);
    int RewriteSideFiles(bool durable);
    int RewriteRelationFile(bool durable);
    const std::vector<uint32_t>* ChildrenOf(ParentKey key) const;
    // The smallest key whose list holds recordId, or false.
    bool ParentKeyOf(uint32_t recordId, ParentKey& key) const;
    void IndexParent(uint32_t recordId, ParentKey key);

    std::filesystem::path mainPath_, relationPath_, folderPath_;
    int mainFd_ = -1, relationFd_ = -1, folderFd_ = -1;
    std::vector<uint8_t> buffer_;
    size_t bufferUsed_ = 0;
    uint32_t counter_ = 0;
    uint64_t bytesAppended_ = 0;
    int lostRecordsError_ = 0;
    bool readOnly_ = false;
    bool sideFilesChanged_ = false;  // links or folders changed since the side files were written
    ParentLinks links_;
    std::vector<ParentKey> parentOf_;  // by recordId; 0 where not linked
    std::vector<FolderInfoEntry> folders_;
    std::unordered_map<uint32_t, size_t> folderByFsId_;  // the first entry of each fsId
    Reporter searchReporter_;
};

// Orders results as every list shows them: files before folders, then by name with the
// ASCII letters compared without case.
void SortResultList(std::vector<ScanRecord>& records);

}  // namespace kestrune
