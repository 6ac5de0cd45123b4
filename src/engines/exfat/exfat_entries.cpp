#include "engines/exfat/exfat_entries.h"

#include "base/file_time.h"
#include "scanlog/file_types.h"

namespace kestrune {

namespace {

constexpr uint8_t kVendorExtension = 0xE0, kVendorAllocation = 0xE1;
constexpr size_t kNameCharsPerEntry = 15;
constexpr int64_t kFileTimePerSecond = 10'000'000;

}  // namespace

uint16_t EntrySetChecksum(ByteView set) {
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;  // the checksum itself
        uint8_t byte = set.u8(i);
        if (i % exfat::kEntryBytes == 0) byte |= exfat::kInUse;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
    return sum;
}

uint64_t ExfatTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
    CalendarTime t{};
    t.year = 1980 + (stamp >> 25);
    t.month = (stamp >> 21) & 0x0F;
    t.day = (stamp >> 16) & 0x1F;
    t.hour = (stamp >> 11) & 0x1F;
    t.minute = (stamp >> 5) & 0x3F;
    t.second = (stamp & 0x1F) * 2;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59 || tenMs > 199)
        return 0;
    int64_t time = static_cast<int64_t>(FileTimeFromCalendar(t)) + int64_t{tenMs} * kFileTimePerSecond / 100;
    if (utcOffset & 0x80) {
        // Seven bits, two's complement, in quarter hours east of UTC.
        const int quarters = (utcOffset & 0x40) ? static_cast<int>(utcOffset & 0x7F) - 128 : utcOffset & 0x7F;
        time -= int64_t{quarters} * 15 * 60 * kFileTimePerSecond;
    }
    return time > 0 ? static_cast<uint64_t>(time) : 0;
}

bool ParseEntrySet(ByteView folder, size_t at, ExfatEntrySet& out) {
    out = ExfatEntrySet{};
    const ByteView file = folder.sub(at, exfat::kEntryBytes);
    if (file.empty() || (file.u8(0) & 0x7F) != (exfat::kFileEntry & 0x7F)) return false;
    const bool live = (file.u8(0) & exfat::kInUse) != 0;
    const uint8_t secondaries = file.u8(1);
    // A stream extension and at least one name entry; a name of 255 characters takes 17.
    if (secondaries < 2 || secondaries > 18) return false;
    const ByteView set = folder.sub(at, (size_t{secondaries} + 1) * exfat::kEntryBytes);
    if (set.empty()) return false;
    // Every entry of the set is live, or every one deleted: a set half overwritten by a
    // newer one is not this set any more.
    for (size_t i = 1; i <= secondaries; ++i) {
        const uint8_t type = set.u8(i * exfat::kEntryBytes);
        if (((type & exfat::kInUse) != 0) != live || (type & 0x40) == 0) return false;
    }
    const ByteView stream = set.sub(exfat::kEntryBytes, exfat::kEntryBytes);
    if ((stream.u8(0) | exfat::kInUse) != exfat::kStreamEntry) return false;
    const size_t nameLength = stream.u8(3);
    const size_t nameEntries = (nameLength + kNameCharsPerEntry - 1) / kNameCharsPerEntry;
    if (nameLength == 0 || nameEntries > size_t{secondaries} - 1) return false;
    for (size_t i = 0; i < nameEntries; ++i) {
        const ByteView entry = set.sub((2 + i) * exfat::kEntryBytes, exfat::kEntryBytes);
        if ((entry.u8(0) | exfat::kInUse) != exfat::kNameEntry) return false;
        for (size_t c = 0; c < kNameCharsPerEntry && out.name.size() < nameLength; ++c)
            out.name.push_back(static_cast<char16_t>(entry.le16(2 + 2 * c)));
    }
    // What may follow the name: vendor extensions, kept by some systems.
    for (size_t i = 2 + nameEntries; i <= secondaries; ++i) {
        const uint8_t type = set.u8(i * exfat::kEntryBytes) | exfat::kInUse;
        if (type != kVendorExtension && type != kVendorAllocation) return false;
    }
    out.deleted = !live;
    out.entryCount = size_t{secondaries} + 1;
    out.checksumOk = EntrySetChecksum(set) == file.le16(2);
    out.attributes = file.le16(4);
    out.createTime = ExfatTime(file.le32(8), file.u8(20), file.u8(22));
    out.writeTime = ExfatTime(file.le32(12), file.u8(21), file.u8(23));
    out.accessTime = ExfatTime(file.le32(16), 0, file.u8(24));
    out.streamFlags = stream.u8(1);
    out.nameHash = stream.le16(4);
    out.validDataLength = stream.le64(8);
    out.firstCluster = stream.le32(20);
    out.dataLength = stream.le64(24);
    return true;
}

}  // namespace kestrune
