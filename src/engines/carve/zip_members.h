// The members of a whole ZIP file (and of the documents built on ZIP: OOXML, OpenDocument,
// EPUB, JAR) checked one by one: the central directory at the file's end names each
// member's local header, whose name must match, and whose data must inflate (or, stored,
// be copied) to the size and CRC-32 the directory gives. A cluster of another file in
// the middle of an archive breaks the member it lands in, even where the archive's end
// record is right.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/byte_view.h"

namespace kestrune::carve {

struct ZipMember {
    uint64_t headerAt = 0;  // the local header's offset in the file
    uint64_t packedSize = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint16_t method = 0;  // 0 stored, 8 deflated
    std::string name;
};

// Whether a file of this name is an archive the checks read (by extension).
bool IsZipFamilyName(std::string_view name);

// The directory of a ZIP whose end record lies at the end of tail, which holds the
// file's last bytes and ends where the file does (fileSize long in all). Nothing when
// the end record is not there or names a directory that does not fit, and nothing with
// followable false when the archive cannot be checked member by member (ZIP64, several
// disks, encryption, a method other than stored or deflate).
std::optional<std::vector<ZipMember>> ZipDirectory(ByteView tail, uint64_t fileSize, bool* followable = nullptr);

// The offset of a member's data, from its local header (at least 30 bytes plus its name
// and extra field): nothing when the header is not this member's.
std::optional<uint64_t> MemberDataAt(ByteView header, const ZipMember& member);

// Whether data (the member's packed bytes, exactly packedSize) gives its size and CRC.
// When it does not, breaksAt (if given) tells how far into data the deflate stream read
// before it broke: the bytes before that point may still be the member's.
bool MemberDataHolds(ByteView data, const ZipMember& member, uint64_t* breaksAt = nullptr);

// The whole archive checked: its end record at its end, every member's header found and
// its data holding. Nothing when the archive cannot be checked this way (see
// ZipDirectory).
std::optional<bool> ZipMembersHold(ByteView file);

}  // namespace kestrune::carve
