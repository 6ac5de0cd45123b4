// ScanRecord: one found file or folder, exactly as it lies in a scan log's main file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrune {

// Which kind of scan wrote a record.
enum EngineKind : uint32_t {
    NtfsQuick = 0,
    FatQuick = 1,
    NtfsFormatted = 2,
    FatFormatted = 3,
    Signature = 4,
    ExfatQuick = 5,
    ExfatFormatted = 6,
    ExtQuick = 7,
    ExtFormatted = 8,
};

inline constexpr size_t kScanRecordBytes = 346;
inline constexpr size_t kRecordNameBytes = 260;

#pragma pack(push, 1)
// Little-endian on disk; the build only targets little-endian machines, so the struct is
// the on-disk image and is read and written whole.
struct ScanRecord {
    uint16_t driveLetter;     // identity of the source: a volume number or an image number
    uint32_t engineKind;      // EngineKind
    uint32_t isFolder;        // 1 folder, 0 file
    uint32_t folderDeleted;   // FAT folders: the folder's entry or its parent's is deleted;
                              // carved files: kCarvedEndGuessed when no structure gave the end;
                              // NTFS files: kDataStreamRecord for an alternate data stream
    uint32_t contentOk;       // 0 when the data does not carry its extension's signature;
                              // kContentEncrypted for an encrypted file
    uint32_t recordId;        // 1-based position in the main file
    uint32_t fsId;            // MFT record number, first cluster, or 0 for carved files
    uint32_t clusterBytes;    // 0xFFFFFFFF for carved files and synthetic folders
    uint64_t createTime;      // FILETIME, 0 when unknown
    uint64_t accessTime;
    uint64_t writeTime;
    uint64_t fileSize;
    uint64_t dataAreaSector;  // FAT: first sector of the data area, from the partition start
    uint64_t entrySector;     // absolute sector of the item's metadata or carved data
    uint64_t partitionStart;  // absolute first sector of the partition
    char name[kRecordNameBytes];  // UTF-8, NUL-terminated, no path
};
#pragma pack(pop)

static_assert(sizeof(ScanRecord) == kScanRecordBytes);
static_assert(offsetof(ScanRecord, driveLetter) == 0);
static_assert(offsetof(ScanRecord, engineKind) == 2);
static_assert(offsetof(ScanRecord, isFolder) == 6);
static_assert(offsetof(ScanRecord, folderDeleted) == 10);
static_assert(offsetof(ScanRecord, contentOk) == 14);
static_assert(offsetof(ScanRecord, recordId) == 18);
static_assert(offsetof(ScanRecord, fsId) == 22);
static_assert(offsetof(ScanRecord, clusterBytes) == 26);
static_assert(offsetof(ScanRecord, createTime) == 30);
static_assert(offsetof(ScanRecord, accessTime) == 38);
static_assert(offsetof(ScanRecord, writeTime) == 46);
static_assert(offsetof(ScanRecord, fileSize) == 54);
static_assert(offsetof(ScanRecord, dataAreaSector) == 62);
static_assert(offsetof(ScanRecord, entrySector) == 70);
static_assert(offsetof(ScanRecord, partitionStart) == 78);
static_assert(offsetof(ScanRecord, name) == 86);

// contentOk of a file whose data is encrypted (NTFS EFS): listed as such, and recovered
// only as its encrypted bytes.
inline constexpr uint32_t kContentEncrypted = 2;

// folderDeleted of a carved file whose length came from reading until another file began,
// its own structure giving no end (or none the walk could reach): it may be cut short or
// run on into other data. Logs written before this was noted hold 0 there.
inline constexpr uint32_t kCarvedEndGuessed = 1;
inline bool CarvedEndGuessed(const ScanRecord& record) {
    return record.engineKind == Signature && record.folderDeleted == kCarvedEndGuessed;
}

// When the item was written where it was found: its creation stamp (a copy keeps its
// source's write time, not its own), else its write stamp.
inline uint64_t MadeAt(const ScanRecord& record) { return record.createTime ? record.createTime : record.writeTime; }

// folderDeleted of an NTFS record that stands for one of a file's alternate data streams
// (a named $DATA attribute), listed as "file:stream" beside the file itself.
inline constexpr uint32_t kDataStreamRecord = 2;
// The stream's name, or "" for a record of a file's own data.
inline std::string_view DataStreamOf(const ScanRecord& record) {
    if ((record.engineKind != NtfsQuick && record.engineKind != NtfsFormatted) ||
        (record.folderDeleted & 0xFF) != kDataStreamRecord)
        return {};
    const std::string_view name(record.name, strnlen(record.name, kRecordNameBytes));
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? std::string_view() : name.substr(colon + 1);
}

// folderDeleted of a file whose metadata claims more bytes than its volume could hold
// from where its data begins (a damaged or crafted entry): its size was cut there, and
// what it holds is never the whole file.
inline constexpr uint32_t kSizeClipped = 3;
inline bool SizeClipped(const ScanRecord& record) {
    return !record.isFolder && (record.folderDeleted & 0xFF) == kSizeClipped;
}
// Cuts a file record's claimed size to room, the bytes its volume holds from where its
// data begins, marking it so when it claimed more.
inline void ClipSizeToRoom(ScanRecord& record, uint64_t room) {
    if (record.isFolder || record.fileSize <= room) return;
    record.fileSize = room;
    record.folderDeleted = (record.folderDeleted & ~uint32_t{0xFF}) | kSizeClipped;
}

// A bit of folderDeleted of a FAT file or folder whose deleted short name lost its first
// letter and had it guessed from what its folder says (the names beside it, the camera
// folder rules), not read: the name shows the guessed letter. Logs written before this
// was noted never set it.
inline constexpr uint32_t kFirstLetterGuessed = 0x100;
inline bool FirstLetterGuessed(const ScanRecord& record) {
    return (record.engineKind == FatQuick || record.engineKind == FatFormatted) &&
           (record.folderDeleted & kFirstLetterGuessed) != 0;
}

// The record's name up to its NUL (or the whole field when a damaged record has none).
inline std::string_view RecordName(const ScanRecord& record) {
    return std::string_view(record.name, strnlen(record.name, kRecordNameBytes));
}

// Stores a UTF-8 name, cut at a character boundary so it fits with its NUL.
void SetRecordName(ScanRecord& record, std::string_view name);
// Copies name into a fixed field of size bytes the same way (FolderInfoEntry names).
void CopyNameField(char* field, size_t size, std::string_view name);

// Parent links: the parent folder's level in the high half, its fsId in the low half.
using ParentKey = uint64_t;
constexpr ParentKey MakeParentKey(uint32_t level, uint32_t fsId) {
    return (static_cast<uint64_t>(level) << 32) | fsId;
}

// A bit of folderDeleted of a file (or a stream of one) that exists on its volume, not
// deleted: a quick scan lists such files only when asked to. Logs written before this was
// noted never set it.
inline constexpr uint32_t kExistingFile = 0x200;
inline bool ExistingFile(const ScanRecord& record) { return !record.isFolder && (record.folderDeleted & kExistingFile); }

// A bit of folderDeleted of a FAT file or folder whose deleted short name lost its first
// letter with nothing left to tell it: the name shows "!" in its place. Logs written
// before this was noted never set it.
inline constexpr uint32_t kFirstLetterLost = 0x400;
inline bool FirstLetterLost(const ScanRecord& record) {
    return (record.engineKind == FatQuick || record.engineKind == FatFormatted) &&
           (record.folderDeleted & kFirstLetterLost) != 0 && record.name[0] == '!';
}

// The name a recovered file or folder takes on the destination: its own, except that a
// lost first letter is written as "_", as other recovery tools write it, so that the
// placeholder is not taken for a real "!".
inline std::string RecordNameOnDisk(const ScanRecord& record) {
    std::string name(RecordName(record));
    if (FirstLetterLost(record)) name[0] = '_';
    return name;
}

// Whether a record's folder path is for showing or for writing on a destination.
enum class PathUse { Shown, OnDisk };

}  // namespace kestrune
