#include "engines/ext/ext_directory.h"

#include <iterator>

namespace kestrune {

namespace {

constexpr size_t kHeaderBytes = 8;

size_t EntryBytes(size_t nameLength) { return (kHeaderBytes + nameLength + 3) & ~size_t{3}; }

bool NameOk(ByteView name) {
    for (size_t i = 0; i < name.size(); ++i)
        if (name.u8(i) == 0 || name.u8(i) == '/') return false;
    return !name.empty();
}

std::string NameOf(ByteView entry, size_t length) {
    const ByteView name = entry.sub(kHeaderBytes, length);
    return std::string(reinterpret_cast<const char*>(name.data()), name.size());
}

// Deleted entries in [from, end): each one's record fits in what is left, its inode
// number is one of the volume's and its name a name.
void TailEntries(ByteView block, size_t from, size_t end, uint32_t inodeCount, std::vector<ExtDirEntry>& out) {
    for (size_t at = (from + 3) & ~size_t{3}; at + kHeaderBytes <= end;) {
        // Most of a tail is zeros, or was wiped to zeros: passed over two words at a time
        // (an entry starting at the second would have a zero inode number).
        if (block.le64(at) == 0) {
            at += 8;
            continue;
        }
        const uint32_t inode = block.le32(at);
        if (inode == 0 || inode > inodeCount) {
            at += 4;
            continue;
        }
        const ByteView e = block.sub(at, end - at);
        const size_t record = e.le16(4), nameLength = e.u8(6);
        const uint8_t type = e.u8(7);
        if (nameLength == 0 || type > 7 || record < EntryBytes(nameLength) ||
            record > end - at || record % 4 != 0 || !NameOk(e.sub(kHeaderBytes, nameLength)) ||
            e.sub(kHeaderBytes, nameLength).size() != nameLength) {
            at += 4;
            continue;
        }
        const std::string name = NameOf(e, nameLength);
        if (name != "." && name != "..") out.push_back({inode, type, name, true, at});
        at += EntryBytes(nameLength);
    }
}

}  // namespace

std::vector<ExtDirEntry> ParseDirectoryBlock(ByteView block, uint32_t inodeCount, bool indexedRoot) {
    // Parsed into room kept from block to block, then handed over in a vector of the
    // entries' own size: many blocks' entries are kept for the whole scan.
    thread_local std::vector<ExtDirEntry> entries;
    entries.clear();
    // An inner index node: one empty record over the whole block.
    if (block.le32(0) == 0 && block.le16(4) == block.size() && block.u8(6) == 0) return {};
    for (size_t at = 0; at + kHeaderBytes <= block.size();) {
        const ByteView e = block.sub(at, block.size() - at);
        const uint32_t inode = e.le32(0);
        const size_t record = e.le16(4), nameLength = e.u8(6);
        if (record < kHeaderBytes || record % 4 != 0 || record > block.size() - at) break;  // damaged from here on
        const ByteView name = e.sub(kHeaderBytes, nameLength);
        const bool named = nameLength > 0 && name.size() == nameLength && NameOk(name);
        const std::string text = named ? NameOf(e, nameLength) : std::string();
        const bool dots = text == "." || text == "..";
        if (named && inode != 0 && inode <= inodeCount && !dots) entries.push_back({inode, e.u8(7), text, false, at});
        // The record's own bytes end here; what follows up to the next record may hold
        // entries deleted since. A cleared first entry's whole record is such a tail.
        const size_t used = inode == 0 ? 0 : EntryBytes(nameLength);
        const bool holdsIndex = indexedRoot && text == "..";
        if (!holdsIndex && used < record) TailEntries(block, at + used, at + record, inodeCount, entries);
        at += record;
    }
    return std::vector<ExtDirEntry>(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
}

bool LooksLikeDirectoryBlock(ByteView block) {
    size_t at = 0;
    while (at + kHeaderBytes <= block.size()) {
        const size_t record = block.le16(at + 4), nameLength = block.u8(at + 6);
        if (record < kHeaderBytes || record % 4 != 0 || record > block.size() - at || kHeaderBytes + nameLength > record)
            return false;
        at += record;
    }
    return at == block.size() && at != 0;
}

bool IsIndexRoot(ByteView block) {
    // After "." (12 bytes) and ".." 's own 12: a zero word, the hash version, the info
    // length 8 and the levels of the tree.
    return ParentInDirectoryBlock(block) != 0 && block.le16(12 + 4) == block.size() - 12 && block.le32(24) == 0 &&
           block.u8(29) == 8 && block.u8(30) < 3;
}

uint32_t ParentInDirectoryBlock(ByteView block) {
    const size_t dotRecord = block.le16(4);
    if (block.le32(0) == 0 || block.u8(6) != 1 || block.u8(8) != '.' || dotRecord < EntryBytes(1) ||
        dotRecord % 4 != 0)
        return 0;
    const ByteView dots = block.from(dotRecord);
    if (dots.size() < EntryBytes(2) || dots.u8(6) != 2 || dots.u8(8) != '.' || dots.u8(9) != '.') return 0;
    return dots.le32(0);
}

}  // namespace kestrune
