// Structure walks of documents: PDF's last end-of-file mark, incremental updates
// included, and the size a SQLite database states in its header.
#include <algorithm>

#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

bool IsPdfSpace(uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f'; }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Whether the bytes after an end-of-file mark go on with the same document: an
// incremental update (or the rest of a linearized file) starts with an object, a
// cross-reference section or a trailer.
bool ContinuesDocument(ByteView next) {
    size_t p = 0;
    while (p < next.size() && IsPdfSpace(next.u8(p))) ++p;
    if (next.matches(p, "xref") || next.matches(p, "trailer") || next.matches(p, "startxref")) return true;
    // "12 0 obj"
    size_t digits = 0;
    while (p < next.size() && IsDigit(next.u8(p))) ++p, ++digits;
    if (digits == 0 || p >= next.size() || !IsPdfSpace(next.u8(p))) return false;
    while (p < next.size() && IsPdfSpace(next.u8(p))) ++p;
    digits = 0;
    while (p < next.size() && IsDigit(next.u8(p))) ++p, ++digits;
    if (digits == 0) return false;
    while (p < next.size() && IsPdfSpace(next.u8(p))) ++p;
    return next.matches(p, "obj");
}

}  // namespace

std::optional<uint64_t> WalkPdf(FileReader& file) {
    constexpr std::string_view kMark = "%%EOF";
    uint64_t at = 0;
    for (;;) {
        const ByteView data = file.Stream(at, kMark.size());
        if (data.size() < kMark.size()) return std::nullopt;
        auto found = FindFirst(data, kMark);
        if (!found) {
            at += data.size() - (kMark.size() - 1);
            continue;
        }
        const uint64_t mark = at + *found;
        // A document's mark closes its trailer ("startxref", an offset, then the mark);
        // one without it belongs to something stored inside, such as a PostScript file.
        const uint64_t before = std::min<uint64_t>(mark, 48);
        if (!FindFirst(file.Read(mark - before, static_cast<size_t>(before)), "startxref")) {
            at = mark + 1;
            continue;
        }
        uint64_t end = mark + kMark.size();
        // The mark's line end belongs to the file.
        const ByteView after = file.Stream(end, 64);
        if (after.matches(0, "\r\n")) end += 2;
        else if (after.u8(0) == '\n' || after.u8(0) == '\r') end += 1;
        if (!ContinuesDocument(file.Stream(end, 64))) return end;
        at = end;
    }
}

std::optional<uint64_t> WalkSqlite(FileReader& file) {
    const ByteView h = file.Read(0, 100);
    if (!h.matches(0, Bytes("SQLite format 3\x00"))) return std::nullopt;
    const uint32_t pageSize = h.be16(16) == 1 ? 65536 : h.be16(16);
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return std::nullopt;
    // The page count in the header is right only when the version that last wrote it
    // is the one that last changed the file; older writers leave it stale.
    const uint32_t pages = h.be32(28);
    if (pages == 0 || h.be32(92) != h.be32(24)) return std::nullopt;
    return uint64_t{pageSize} * pages;
}

}  // namespace kestrune::carve
