#include "engines/carve/zip_members.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "scanlog/file_types.h"

namespace kestrune::carve {

namespace {

constexpr size_t kEndRecordBytes = 22;
constexpr size_t kCentralHeaderBytes = 46;
constexpr size_t kLocalHeaderBytes = 30;
constexpr uint16_t kEncrypted = 1;

// One central directory entry at `at`; nothing when it is not one, or (followable
// false) not one the checks can follow.
std::optional<ZipMember> CentralEntry(ByteView directory, size_t& at, bool& followable) {
    const ByteView header = directory.sub(at, kCentralHeaderBytes);
    if (!header.matches(0, "PK\x01\x02")) return std::nullopt;
    ZipMember member;
    member.method = header.le16(10);
    member.crc = header.le32(16);
    member.packedSize = header.le32(20);
    member.size = header.le32(24);
    member.headerAt = header.le32(42);
    const uint16_t nameBytes = header.le16(28);
    const ByteView name = directory.sub(at + kCentralHeaderBytes, nameBytes);
    if (name.size() != nameBytes) return std::nullopt;
    member.name.assign(name.data(), name.data() + name.size());
    if ((header.le16(8) & kEncrypted) || (member.method != 0 && member.method != 8) ||
        member.packedSize == 0xFFFFFFFF || member.size == 0xFFFFFFFF || member.headerAt == 0xFFFFFFFF) {
        followable = false;
        return std::nullopt;
    }
    at += kCentralHeaderBytes + nameBytes + header.le16(30) + header.le16(32);
    return member;
}

}  // namespace

bool IsZipFamilyName(std::string_view name) {
    static constexpr std::array<std::string_view, 16> kExtensions = {
        "zip", "docx", "xlsx", "pptx", "docm", "xlsm", "pptm", "odt", "ods", "odp", "odg", "epub", "jar", "apk", "cbz",
        "kmz"};
    const std::string extension = AsciiLower(ExtensionOf(name));
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

std::optional<std::vector<ZipMember>> ZipDirectory(ByteView tail, uint64_t fileSize, bool* followable) {
    bool ignored = true;
    bool& canFollow = followable ? *followable : ignored;
    canFollow = true;
    if (tail.size() < kEndRecordBytes || fileSize < tail.size()) return std::nullopt;
    const uint64_t tailAt = fileSize - tail.size();
    // The end record is the one whose comment reaches exactly to the file's end.
    const size_t most = std::min<size_t>(tail.size(), kEndRecordBytes + 0xFFFF);
    for (size_t back = kEndRecordBytes; back <= most; ++back) {
        const size_t at = tail.size() - back;
        if (!tail.matches(at, "PK\x05\x06") || kEndRecordBytes + tail.le16(at + 20) != back) continue;
        const ByteView end = tail.sub(at, kEndRecordBytes);
        // Archives spread over several disks, and ZIP64 ones, are not followed.
        if (end.le16(4) != 0 || end.le16(6) != 0 || end.le16(10) == 0xFFFF || end.le32(12) == 0xFFFFFFFF ||
            end.le32(16) == 0xFFFFFFFF) {
            canFollow = false;
            return std::nullopt;
        }
        const uint64_t entries = end.le16(10), directorySize = end.le32(12), directoryAt = end.le32(16);
        if (directoryAt < tailAt || directoryAt + directorySize != tailAt + at) return std::nullopt;
        const ByteView directory = tail.sub(static_cast<size_t>(directoryAt - tailAt), directorySize);
        std::vector<ZipMember> members;
        size_t next = 0;
        for (uint64_t i = 0; i < entries; ++i) {
            auto member = CentralEntry(directory, next, canFollow);
            if (!member || member->headerAt + kLocalHeaderBytes > directoryAt) return std::nullopt;
            members.push_back(std::move(*member));
        }
        if (next != directory.size()) return std::nullopt;
        return members;
    }
    return std::nullopt;
}

std::optional<uint64_t> MemberDataAt(ByteView header, const ZipMember& member) {
    if (!header.matches(0, "PK\x03\x04") || header.le16(8) != member.method) return std::nullopt;
    const uint16_t nameBytes = header.le16(26);
    const ByteView name = header.sub(kLocalHeaderBytes, nameBytes);
    if (nameBytes != member.name.size() || name.size() != nameBytes ||
        !std::equal(name.data(), name.data() + nameBytes, member.name.begin(),
                    [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
        return std::nullopt;
    return member.headerAt + kLocalHeaderBytes + nameBytes + header.le16(28);
}

bool MemberDataHolds(ByteView data, const ZipMember& member, uint64_t* breaksAt) {
    if (breaksAt) *breaksAt = data.size();
    if (data.size() != member.packedSize) return false;
    if (member.method == 0)
        return member.size == member.packedSize &&
               crc32_z(crc32_z(0, nullptr, 0), data.data(), data.size()) == member.crc;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
    std::array<uint8_t, 1 << 15> out;
    uLong crc = crc32_z(0, nullptr, 0);
    uint64_t produced = 0;
    stream.next_in = const_cast<Bytef*>(data.data());
    int rc = Z_OK;
    size_t fed = 0;
    while (rc == Z_OK && produced <= member.size) {
        // zlib counts input in uInt: a large member is fed in pieces.
        if (stream.avail_in == 0 && fed < data.size()) {
            stream.avail_in = static_cast<uInt>(std::min<size_t>(data.size() - fed, 1u << 30));
            fed += stream.avail_in;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&stream, Z_NO_FLUSH);
        const size_t made = out.size() - stream.avail_out;
        crc = crc32_z(crc, out.data(), made);
        produced += made;
        if (rc == Z_BUF_ERROR && stream.avail_in == 0 && fed == data.size()) break;  // the data ran out first
        if (rc == Z_BUF_ERROR) rc = Z_OK;
    }
    const uint64_t consumed = stream.total_in;
    inflateEnd(&stream);
    if (breaksAt) *breaksAt = consumed;
    return rc == Z_STREAM_END && consumed == data.size() && produced == member.size && crc == member.crc;
}

std::optional<bool> ZipMembersHold(ByteView file) {
    bool followable = true;
    const auto members = ZipDirectory(file, file.size(), &followable);
    if (!members) return followable ? std::optional<bool>(false) : std::nullopt;
    for (const ZipMember& member : *members) {
        const auto dataAt = MemberDataAt(file.from(static_cast<size_t>(member.headerAt)), member);
        if (!dataAt) return false;
        const ByteView data = file.sub(static_cast<size_t>(*dataAt), static_cast<size_t>(member.packedSize));
        if (data.size() != member.packedSize || !MemberDataHolds(data, member)) return false;
    }
    return true;
}

}  // namespace kestrune::carve
