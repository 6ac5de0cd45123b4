// Structure walks of programs (PE images) and cabinets (CAB).
#include "engines/carve/program_walks.h"

#include <algorithm>
#include <vector>

namespace kestrune::carve {

namespace {

constexpr uint64_t kLargestProgram = 2 * GiB;
constexpr uint32_t kSecurityDirectory = 4;

// The certificate table: WIN_CERTIFICATE entries, each 8-byte aligned, together as long
// as the directory says; nothing when they do not add up.
bool CertificatesAddUp(FileReader& file, uint64_t at, uint64_t size) {
    const uint64_t end = at + size;
    for (int certificates = 0; at < end; ++certificates) {
        const ByteView cert = file.Read(at, 8);
        if (cert.empty() || certificates >= 64) return false;
        const uint32_t length = cert.le32(0);
        const uint16_t revision = cert.le16(4), type = cert.le16(6);
        if (length < 8 || (revision != 0x0100 && revision != 0x0200) || type == 0 || type > 4) return false;
        at += (uint64_t{length} + 7) / 8 * 8;
    }
    return at == end;
}

}  // namespace

std::optional<uint64_t> WalkPeImage(FileReader& file) {
    const ByteView dos = file.Read(0, 64);
    if (!dos.matches(0, "MZ")) return std::nullopt;
    const uint64_t pe = dos.le32(60);
    if (pe < 64 || pe > 4096) return std::nullopt;
    const ByteView coff = file.Read(pe, 24);
    if (!coff.matches(0, Bytes("PE\x00\x00"))) return std::nullopt;
    const uint32_t sections = coff.le16(6), symbols = coff.le32(16), symbolTable = coff.le32(12);
    const uint32_t optionalSize = coff.le16(20);
    if (sections == 0 || sections > 96) return std::nullopt;

    const uint64_t optionalAt = pe + 24;
    const ByteView read = file.Read(optionalAt, optionalSize + 40ULL * sections);
    if (read.empty()) return std::nullopt;
    const std::vector<uint8_t> headers(read.data(), read.data() + read.size());  // reads move on below
    const ByteView opt(headers);
    const uint16_t magic = opt.le16(0);
    size_t directories = 0;  // offset of the data directories in the optional header
    if (magic == 0x10B) directories = 96;
    else if (magic == 0x20B) directories = 112;
    else return std::nullopt;
    if (optionalSize < directories) return std::nullopt;
    const uint32_t fileAlignment = opt.le32(36), headerBytes = opt.le32(60);
    const uint32_t directoryCount = opt.le32(directories - 4);
    if (fileAlignment == 0 || (fileAlignment & (fileAlignment - 1)) != 0 || fileAlignment > 65536) return std::nullopt;
    if (headerBytes < optionalAt + optionalSize + 40ULL * sections || headerBytes > 1 * MiB) return std::nullopt;
    if (directoryCount > 16 || directories + 8ULL * directoryCount > optionalSize) return std::nullopt;

    uint64_t end = headerBytes;
    for (uint32_t i = 0; i < sections; ++i) {
        const ByteView section = opt.sub(optionalSize + 40 * i, 40);
        const uint64_t rawBytes = section.le32(16), rawAt = section.le32(20);
        if (rawBytes == 0) continue;
        if (rawAt < headerBytes / 2 || rawAt + rawBytes > kLargestProgram) return std::nullopt;
        end = std::max(end, rawAt + rawBytes);
    }
    // GCC and older linkers leave the COFF symbols and their string table after the
    // sections; the string table starts with its own length.
    if (symbolTable != 0 && symbols != 0) {
        if (symbolTable < end || symbols > (64u << 20) / 18) return std::nullopt;
        const uint64_t strings = symbolTable + 18ULL * symbols;
        const ByteView length = file.Read(strings, 4);
        if (length.empty() || length.le32(0) < 4 || length.le32(0) > 256 * MiB) return std::nullopt;
        end = strings + length.le32(0);
    }
    // A signature lies last and, when present, bounds data appended after the sections
    // (an installer's payload) too. Unsigned appended data has no stated end and is
    // left out.
    if (directoryCount > kSecurityDirectory) {
        const ByteView security = opt.sub(directories + 8 * kSecurityDirectory, 8);
        const uint64_t at = security.le32(0), size = security.le32(4);
        if (at != 0 && size != 0) {
            if (at < end || at % 8 != 0 || at + size > kLargestProgram) return std::nullopt;
            if (!CertificatesAddUp(file, at, size)) return std::nullopt;
            end = at + size;
        }
    }
    return end;
}

std::optional<uint64_t> WalkCab(FileReader& file) {
    const ByteView h = file.Read(0, 36);
    if (!h.matches(0, "MSCF") || h.le32(4) != 0 || h.le32(12) != 0 || h.le32(20) != 0) return std::nullopt;
    if (h.u8(24) != 3 || h.u8(25) != 1) return std::nullopt;  // version 1.3
    const uint64_t size = h.le32(8), filesAt = h.le32(16);
    const uint32_t folders = h.le16(26), files = h.le16(28), flags = h.le16(30);
    if (folders == 0 || files == 0 || (flags & ~7u) != 0 || size > 1 * GiB || filesAt >= size) return std::nullopt;

    // Optional reserved areas (their sizes come first) and the names of the previous
    // and next cabinets of a set.
    uint64_t at = 36;
    uint32_t folderReserve = 0, dataReserve = 0;
    if (flags & 4) {
        const ByteView reserve = file.Read(at, 4);
        if (reserve.empty()) return std::nullopt;
        folderReserve = reserve.u8(2);
        dataReserve = reserve.u8(3);
        at += 4 + reserve.le16(0);
    }
    const uint32_t names = ((flags & 1) ? 2u : 0u) + ((flags & 2) ? 2u : 0u);
    for (uint32_t name = 0; name < names; ++name) {
        const ByteView text = file.Read(at, 256);
        size_t length = 0;
        while (length < text.size() && text.u8(length) != 0) ++length;
        if (length == text.size()) return std::nullopt;
        at += length + 1;
    }
    if (filesAt < at + uint64_t{folders} * (8 + folderReserve)) return std::nullopt;

    // Each folder names its first data block and their count; the blocks follow each
    // other (header, reserve, compressed bytes) and none may pass the stated size.
    std::vector<std::pair<uint64_t, uint32_t>> chains;
    for (uint32_t f = 0; f < folders; ++f) {
        const ByteView folder = file.Read(at + uint64_t{f} * (8 + folderReserve), 8);
        if (folder.empty()) return std::nullopt;
        chains.emplace_back(folder.le32(0), folder.le16(4));
    }
    // Folders' blocks lie one folder after another; blocks shared or out of order would
    // let a made-up header walk the same bytes again and again.
    std::sort(chains.begin(), chains.end());
    uint64_t dataEnd = 0;
    for (auto [block, count] : chains) {
        if (block < filesAt || block < dataEnd) return std::nullopt;
        for (uint32_t i = 0; i < count; ++i) {
            const ByteView header = file.Read(block, 8);
            if (header.empty() || header.le16(4) == 0 || header.le16(6) > 32768 || file.Cancelled())
                return std::nullopt;
            block += 8 + dataReserve + header.le16(4);
            if (block > size) return std::nullopt;
        }
        dataEnd = std::max(dataEnd, block);
    }
    return dataEnd == size ? std::optional<uint64_t>(size) : std::nullopt;
}

}  // namespace kestrune::carve
