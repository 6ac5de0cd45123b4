#include "engines/fat/fat_volume.h"

#include <algorithm>

#include "base/file_time.h"
#include "base/result_codes.h"
#include "disk/boot_marks.h"
#include "disk/text_encoding.h"
#include "engines/carve/structure_tests.h"
#include "scanlog/file_types.h"

namespace kestrune {

using namespace fat;

bool FatVolumeInfo::FromBootSector(ByteView boot, uint64_t start, uint64_t sectors) {
    if (!boot.has(0, 512)) return false;
    partitionStart = start;
    sectorCount = sectors;
    bytesPerSector = boot.le16(kBootBytesPerSector);
    sectorsPerCluster = boot.u8(kBootSectorsPerCluster);
    reservedSectors = boot.le16(kBootReservedSectors);
    fatCount = boot.u8(kBootFatCount);
    fat32 = kFat32Mark.In(boot);
    fatSectors = fat32 ? boot.le32(kBootFatSize32) : boot.le16(kBootFatSize16);
    // Small volumes keep their size in the 16-bit field.
    totalSectors = boot.le32(kBootTotalSectors32) != 0 ? boot.le32(kBootTotalSectors32) : boot.le16(19);
    if (bytesPerSector == 0 || bytesPerSector % 512 != 0 || bytesPerSector > 4096) return false;
    if (sectorsPerCluster == 0 || fatCount == 0 || fatSectors == 0) return false;
    // A boot sector may claim more than the area holds; the area bounds every walk. The
    // width of the FAT's entries still follows the volume's own size: an image cut short
    // holds a FAT16 volume's table as it was.
    const uint32_t claimedSectors = totalSectors;
    if (sectors != 0 && totalSectors > sectors) totalSectors = static_cast<uint32_t>(std::min<uint64_t>(sectors, UINT32_MAX));
    if (fat32) {
        rootSectors = 0;
        rootCluster = boot.le32(kBootRootCluster);
        firstDataSector = reservedSectors + fatCount * fatSectors;
    } else {
        // The root takes as many sectors as its entries need: 32 for the traditional 512
        // entries in 512-byte sectors, 4 in 4096-byte ones, 14 for a floppy's 224; any
        // other size would place every cluster wrongly.
        const uint32_t entries = boot.le16(kBootRootEntries);
        rootSectors = (entries * kEntryBytes + bytesPerSector - 1) / bytesPerSector;
        rootCluster = 0;
        firstDataSector = reservedSectors + fatSectors * fatCount + rootSectors;
    }
    // FAT12 entries are 12 bits wide; the cluster count tells them from FAT16.
    fatBits = fat32 ? 32 : (ClustersIn(claimedSectors) < 4085 ? 12 : 16);
    return true;
}

uint32_t FatVolumeInfo::ClusterCount() const { return ClustersIn(totalSectors); }

uint32_t FatVolumeInfo::ClustersIn(uint32_t sectors) const {
    if (sectors <= firstDataSector || sectorsPerCluster == 0) return 0;
    const uint32_t dataSectors = sectors - firstDataSector;
    return dataSectors / sectorsPerCluster + (dataSectors % sectorsPerCluster ? 1 : 0);
}

uint64_t FatVolumeInfo::ClusterSector(uint32_t n) const {
    if (!fat32 && n == 0) return partitionStart + firstDataSector - rootSectors;
    if (n < 2) return UINT64_MAX;  // no cluster: every read there fails
    return partitionStart + firstDataSector + uint64_t{n - 2} * sectorsPerCluster;
}

uint32_t FatVolumeInfo::FolderReadBytes(uint32_t cluster) const {
    if (!fat32 && cluster == 0) return rootSectors * bytesPerSector;
    return ClusterBytes();
}

bool FatTable::Load(uint64_t offset, size_t width) {
    const uint64_t fatBytes = uint64_t{volume_->fatSectors} * volume_->bytesPerSector;
    if (offset + width > fatBytes) return false;
    if (windowStart_ != UINT64_MAX && offset >= windowStart_ && offset + width <= windowStart_ + window_.size())
        return true;
    if (offset < unreadableEnd_ && offset + width > unreadableStart_) return false;
    const uint32_t sector = volume_->bytesPerSector;
    const uint64_t start = offset / sector * sector;
    const uint64_t sectors = std::min<uint64_t>(kWindowBytes / sector, (fatBytes - start + sector - 1) / sector);
    window_.resize(static_cast<size_t>(sectors) * sector);
    uint32_t read = 0;
    ReadSectors(static_cast<uint32_t>(sectors), *source_, window_.data(), volume_->FatStart() + start / sector,
                static_cast<int>(sector), read);
    window_.resize(size_t{read} * sector);
    windowStart_ = start;
    if (read < sectors) {
        unreadableStart_ = start + uint64_t{read} * sector;
        unreadableEnd_ = start + sectors * sector;
    }
    return offset + width <= windowStart_ + window_.size();
}

bool FatTable::Entry(uint32_t n, uint32_t& value) {
    value = 0;
    if (!volume_ || !source_) return false;
    const int bits = volume_->fatBits;
    const uint64_t offset = bits == 32 ? uint64_t{n} * 4 : bits == 16 ? uint64_t{n} * 2 : uint64_t{n} + n / 2;
    const size_t width = bits == 32 ? 4 : 2;
    if (!Load(offset, width)) return false;
    const ByteView window(window_);
    const size_t at = static_cast<size_t>(offset - windowStart_);
    if (bits == 32) value = window.le32(at) & 0x0FFFFFFF;
    else if (bits == 16) value = window.le16(at);
    else value = (n & 1) ? window.le16(at) >> 4 : window.le16(at) & 0x0FFF;
    return true;
}

bool FatTable::IsEndOfChain(uint32_t value) const {
    switch (volume_->fatBits) {
        case 32: return (value & 0x0FFFFFFF) >= 0x0FFFFFF8;
        case 16: return value >= 0xFFF8;
        default: return value >= 0xFF8;
    }
}

bool FatTable::NextCluster(uint32_t n, uint32_t& next) {
    uint32_t value = 0;
    Entry(n, value);  // an entry that cannot be read counts as free
    if (IsEndOfChain(value)) return false;
    if (value == 0) {
        uint32_t following = 0;
        Entry(n + 1, following);
        if (following != 0) return false;
        next = n + 1;
        return n + 1 < volume_->ClusterCount() + 2;
    }
    next = value;
    return next >= 2;
}

bool FatTable::NextFreeCluster(uint32_t n, uint32_t& next) {
    const uint64_t end = uint64_t{volume_->ClusterCount()} + 2;
    for (uint64_t c = uint64_t{n} + 1; c < end; ++c) {
        uint32_t value = 0;
        Entry(static_cast<uint32_t>(c), value);
        if (value == 0) {
            next = static_cast<uint32_t>(c);
            return true;
        }
    }
    return false;
}

uint32_t FirstCluster(ByteView e, bool fat32) {
    const uint32_t low = e.le16(kEntryClusterLow);
    return fat32 ? (uint32_t{e.le16(kEntryClusterHigh)} << 16) | low : low;
}

namespace {

uint64_t StampTime(uint16_t date, uint16_t time, uint32_t extraHundredNs = 0) {
    CalendarTime t{};
    t.year = 1980 + (date >> 9);
    t.month = (date >> 5) & 0x0F;
    t.day = date & 0x1F;
    t.hour = time >> 11;
    t.minute = (time >> 5) & 0x3F;
    t.second = (time & 0x1F) * 2;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59) return 0;
    return FileTimeFromCalendar(t) + extraHundredNs;
}

}  // namespace

uint64_t CreationTime(ByteView e) {
    // The extra byte counts 10 ms units, 0 to 199: past 100 it carries a whole second.
    const uint32_t tenMs = e.u8(kEntryCreateTenMs);
    return StampTime(e.le16(kEntryCreateDate), e.le16(kEntryCreateTime), tenMs * 100000);
}

uint64_t AccessTime(ByteView e) { return StampTime(e.le16(kEntryAccessDate), 0); }

uint64_t WriteTime(ByteView e) { return StampTime(e.le16(kEntryWriteDate), e.le16(kEntryWriteTime)); }

std::string ShortName(ByteView e, bool isFolder, uint8_t lostFirst) {
    const uint8_t caseFlags = e.u8(kEntryCaseFlags);
    auto decode = [&](size_t from, size_t length, bool lower) {
        std::string text;
        for (size_t i = from; i < from + length; ++i) {
            uint8_t c = e.u8(i);
            // A deleted entry lost its first character to the deletion mark.
            if (i == 0 && c == kDeletedMark) {
                if (!lostFirst) {
                    text.push_back('!');
                    continue;
                }
                c = lostFirst;
            }
            if (lower && c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
            if (c < 0x80) {
                text.push_back(static_cast<char>(c));
            } else {
                // A byte of the DOS code page, kept as the Latin-1 character of that value.
                text.push_back(static_cast<char>(0xC0 | (c >> 6)));
                text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            }
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    };
    std::string name = decode(0, 8, caseFlags & kLowerCaseBase);
    if (!isFolder && e.u8(8) != ' ') name += "." + decode(8, 3, caseFlags & kLowerCaseExtension);
    return name;
}

uint8_t LostFirstCharacter(ByteView e, uint8_t checksum) {
    // The checksum's first step takes the first byte alone and every later step is one to
    // one, so exactly one byte gives the checksum.
    for (int c = 0; c < 256; ++c) {
        uint8_t sum = static_cast<uint8_t>(c);
        for (size_t i = 1; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + e.u8(i));
        if (sum != checksum) continue;
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80 ||
                             std::string_view("!#$%&'()-@^_`{}~").find(static_cast<char>(c)) != std::string_view::npos;
        return allowed && c != kDeletedMark ? static_cast<uint8_t>(c) : 0;
    }
    return 0;
}

std::string EntryName(LongNameCollector& longName, ByteView entry, bool isFolder, bool* firstLetterLost) {
    const bool deleted = entry.u8(0) == kDeletedMark;
    if (firstLetterLost) *firstLetterLost = false;
    uint8_t lost = 0;
    if (longName.Pending()) {
        const uint8_t checksum = longName.Checksum();
        std::string collected = longName.Take();
        lost = deleted ? LostFirstCharacter(entry, checksum) : 0;
        const bool belongs = deleted ? lost != 0 : carve::ShortNameChecksum(entry) == checksum;
        if (belongs && !collected.empty()) return collected;
    }
    if (firstLetterLost) *firstLetterLost = deleted && lost == 0;
    return ShortName(entry, isFolder, lost);
}

bool IsDotEntry(ByteView e) { return e.matches(0, ". "); }
bool IsDotDotEntry(ByteView e) { return e.matches(0, ".."); }
bool BeginsWithDotPair(ByteView sector) { return sector.matches(0, ". ") && sector.matches(32, ".."); }
bool BeginsFolderCluster(ByteView sector) { return (sector.u8(kEntryAttributes) & kAttrDirectory) && BeginsWithDotPair(sector); }

void LongNameCollector::Add(ByteView e) {
    if (Pending() && e.u8(kLongNameChecksum) != checksum_) Clear();
    checksum_ = e.u8(kLongNameChecksum);
    if (position_ < kLongNameUnits) {
        // Full: the part read first (the name's end) gives way to the entry just read.
        std::copy_backward(units_, units_ + kLongNameBufferUnits - kLongNameUnits, units_ + kLongNameBufferUnits);
        position_ += kLongNameUnits;
    }
    position_ -= kLongNameUnits;
    size_t at = position_;
    for (size_t offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) units_[at++] = e.le16(offset);
}

std::string LongNameCollector::Take() {
    std::u16string name;
    for (size_t i = position_; i < kLongNameBufferUnits && units_[i] != 0; ++i) name.push_back(units_[i]);
    Clear();
    return Utf16ToUtf8(name);
}

}  // namespace kestrune
