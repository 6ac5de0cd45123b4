// Reading the NTFS structures both NTFS engines need: the boot sector, MFT records with
// their fixups, attributes, data runs and attribute lists. It only ever reads.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/ntfs/layout.h"
#include "scanlog/scan_record.h"

namespace kestrune {

// One decoded data run, as stored: the cluster count (low 32 bits of its field) and the
// signed distance of its first cluster from the previous run's first cluster.
struct FileRun {
    uint64_t clusterCount = 0;
    int64_t lcnDelta = 0;
};

struct NtfsVolumeGeometry {
    uint64_t partitionStart = 0;  // absolute sector of the boot sector
    uint64_t volumeSectors = 0;
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 0;
    uint32_t clusterBytes = 0;
    uint64_t mftStartSector = 0;
    uint32_t recordSize = 1024;  // follows from the sector size alone
    uint32_t sectorsPerRecord = 2;
    std::vector<FileRun> mftRuns;

    // Fills the geometry from a boot sector. False when the values could not describe a
    // volume (no cluster size, sectors that are not a multiple of 512 or above 4 KiB).
    bool FromBootSector(ByteView boot, uint64_t partitionStart, uint64_t volumeSectors);
};

// Restores the last two bytes of every 512-byte stride of a record from its update
// array, as many strides as the record's update sequence count names and recordSize
// holds. The sequence number itself is not compared: a torn record is taken as it is.
void ApplyFixups(std::span<uint8_t> record, uint32_t recordSize);

// Appends the runs of a non-resident attribute. Only the first bytesPerSector bytes of an
// attribute are decoded: a longer attribute gives no runs.
void DecodeRuns(ByteView attribute, uint32_t bytesPerSector, std::vector<FileRun>& runs);

// One attribute met by WalkAttributes: its offset in the record, type, and bytes (cut at
// the end of the buffer).
struct AttributeRef {
    size_t offset;
    uint32_t type;
    ByteView bytes;
    uint32_t Length() const { return bytes.le32(ntfs::kAttrLength); }
    bool NonResident() const { return bytes.u8(ntfs::kAttrNonResident) != 0; }
    bool Named() const { return bytes.u8(ntfs::kAttrNameLength) != 0; }
    // A resident attribute's value, or empty when its offsets do not fit.
    ByteView ResidentValue() const;
};

// Walks a record's attributes from the first-attribute offset up to bound (also never
// past the record buffer), stopping at the end marker, a type of 0xFDFDFDFD or above,
// type 0 or length 0. visit returns false to stop.
void WalkAttributes(ByteView record, size_t bound, const std::function<bool(const AttributeRef&)>& visit);

// The $FILE_NAME value of an attribute, when it is whole, and the name it holds.
ByteView FileNameValue(const AttributeRef& a);
std::string NameOf(ByteView fileName);

// The parent record number the first whole $FILE_NAME of a record names, among its
// attributes within bound bytes; false when it has none there.
bool FirstNamedParent(ByteView record, size_t bound, uint32_t& parent);

// What a file record tells of its file, into found: the first $FILE_NAME's times and size
// (its name in firstName, its parent's record number in parent), the Win32 name when
// there is one, and the size of the unnamed data. False when the record has no name.
bool ReadFileIdentity(ByteView record, ScanRecord& found, std::string& firstName, uint32_t& parent);

inline bool HasRecordSignature(ByteView record) { return record.le32(0) == ntfs::kRecordSignature; }
// A sector that begins an MFT record of recordSize bytes: the signature, a used size within
// the record, the allocated size equal to it, and the first stride's end holding the update
// sequence number.
inline bool LooksLikeMftRecord(ByteView sector, uint32_t recordSize) {
    return HasRecordSignature(sector) && sector.le32(24) <= recordSize && sector.le32(28) == recordSize &&
           sector.le16(48) == sector.le16(510);
}

// The reads both NTFS engines make through their geometry and source.
class NtfsReader {
public:
    NtfsVolumeGeometry geometry;
    SectorSource* source = nullptr;

    // Reads 8 KiB from sector into buffer (the record and what follows it); a record that
    // goes on in the MFT's next run is completed from there.
    int ReadMftRecord(uint64_t sector, std::vector<uint8_t>& buffer) const;
    // The absolute sector of MFT record n, or partitionStart when no run holds it.
    uint64_t RecordSector(uint64_t n) const;
    // The runs of the first attribute of a type in the record at sector, resolving an
    // attribute list. 0; -1 when there is no record; -100 when the attribute was not
    // found (or a read failed without a system error); or a read error.
    int FindAttributeRuns(uint64_t sector, uint32_t type, std::vector<FileRun>& runs) const;

private:
    // The part of a record that lies at the start of the next MFT run.
    int ReadRecordTail(uint64_t sector, std::vector<uint8_t>& buffer) const;
    int FindAttributeRunsAt(uint64_t sector, uint32_t type, std::vector<FileRun>& runs, int depth) const;
    int RunsThroughResidentList(ByteView list, std::vector<FileRun>& runs, int depth) const;
    int RunsThroughNonResidentList(ByteView list, std::vector<FileRun>& runs) const;
};

}  // namespace kestrune
