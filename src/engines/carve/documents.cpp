// Documents: compound documents (Word, Excel, PowerPoint, other OLE files), Office Open
// XML packages, PDF, Flash sources and TrueType fonts.
#include <algorithm>

#include "engines/carve/compound_document_walk.h"
#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

constexpr std::string_view kCompoundMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
constexpr uint64_t kOfficeMax = 0x7FFFFFF;

// Class ids of a compound document's root entry, as stored (little-endian fields).
constexpr std::string_view kWordClass = Bytes("\x06\x09\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46");
constexpr std::string_view kExcelClass = Bytes("\x20\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46");
constexpr std::string_view kExcel5Class = Bytes("\x10\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46");
constexpr std::string_view kPowerPointClass = Bytes("\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8");

// Whether the UTF-16 name at offset begins with prefix, ignoring the case of ASCII letters.
bool Utf16NameStarts(ByteView entry, size_t offset, std::string_view prefix) {
    for (size_t i = 0; i < prefix.size(); ++i) {
        const uint16_t unit = entry.le16(offset + 2 * i);
        auto fold = [](uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
        if (!entry.has(offset + 2 * i, 2) || fold(unit) != fold(static_cast<uint8_t>(prefix[i]))) return false;
    }
    return true;
}

// A compound document's sector size: 4096 bytes when the header says so (version 4),
// else 512, as the header's own sector is.
uint32_t CompoundSectorBytes(ByteView header) { return header.le16(30) == 12 ? 4096 : 512; }

// Sector `number` of the compound document that starts at disk sector `start`: it lies
// after the header sector, (number + 1) sectors of the document's own size in. Empty
// when it cannot be read.
ByteView ReadCompoundSector(CarvingContext& context, uint64_t start, uint64_t number, uint32_t sectorBytes,
                            std::vector<uint8_t>& bytes) {
    const uint32_t disk = context.sectorSize;
    const uint64_t offset = (number + 1) * sectorBytes;
    const uint32_t count = static_cast<uint32_t>((offset % disk + sectorBytes + disk - 1) / disk);
    if (!context.ReadSectorsAt(start + offset / disk, count, bytes)) return {};
    return ByteView(bytes).sub(static_cast<size_t>(offset % disk), sectorBytes);
}

// Which program wrote a compound document: Word's and Excel's first stream sectors have
// telling first words, otherwise the root entry's class id or the stream names decide.
int CompoundDocumentType(ByteView header, CarvingContext& context) {
    std::vector<uint8_t> bytes;
    const uint32_t sectorBytes = CompoundSectorBytes(header);
    const ByteView next = ReadCompoundSector(context, context.cursor, 0, sectorBytes, bytes);
    if (next.empty()) return kOle;
    if (next.le16(0) == 0xA5EC) return kDoc;
    if (next.le16(0) == 0x0809 && next.le16(2) == 0x0010 && next.le16(4) == 0x0600) return kXls;
    const ByteView directory = ReadCompoundSector(context, context.cursor, header.le32(48), sectorBytes, bytes);
    if (directory.empty()) return kOle;
    const ByteView classId = directory.sub(80, 16);
    if (classId.matches(0, kWordClass)) return kDoc;
    if (classId.matches(0, kExcelClass) || classId.matches(0, kExcel5Class)) return kXls;
    if (classId.matches(0, kPowerPointClass)) return kPpt;
    for (size_t entry = 0; entry + 128 <= directory.size(); entry += 128) {
        if (Utf16NameStarts(directory, entry, "WordDocument")) return kDoc;
        if (Utf16NameStarts(directory, entry, "Workbook")) return kXls;
        if (Utf16NameStarts(directory, entry, "PowerPoint Document")) return kPpt;
    }
    return kOle;
}

int DetectCompoundDocument(ByteView s, CarvingContext& context) {
    if (s.size() < 8 || !s.matches(0, kCompoundMagic)) return kNoType;
    return CompoundDocumentType(s, context);
}

// The length a compound document's allocation table implies: every FAT sector covers as
// many sectors as it holds entries (128 of 512 bytes, or 1024 of 4096 bytes); the free
// entries at the end of the last one are not part of the file.
uint64_t CompoundFatEstimate(ByteView h, CarvingContext& context) {
    const uint32_t shift = h.le16(30);
    if (shift != 9 && shift != 12) return 0;
    const uint32_t sectorBytes = 1u << shift;
    const uint64_t perSector = sectorBytes / 4;
    const uint64_t fatSectors = h.le32(44);
    const uint64_t difatSectors = h.le32(72);
    const uint64_t limit = (0xFFFFFFFAULL >> (shift - 2)) + 1;
    if (fatSectors > limit || h.le32(64) > limit) return 0;
    if (difatSectors > limit / ((1ULL << (shift - 2)) - 1) + 1) return 0;
    if (difatSectors != 0 && fatSectors <= 108) return 0;
    if (fatSectors == 0) return 0;

    std::vector<uint8_t> bytes;
    uint32_t lastFatSector = 0;
    if (difatSectors == 0) {
        if (fatSectors > 109) return 0;
        lastFatSector = h.le32(76 + 4 * (fatSectors - 1));
    } else {
        uint32_t difat = h.le32(68);
        ByteView table;
        for (uint64_t i = 0; i < difatSectors; ++i) {
            table = ReadCompoundSector(context, context.position, difat, sectorBytes, bytes);
            if (table.empty()) return 0;
            if (i + 1 < difatSectors) difat = table.le32(table.size() - 4);
        }
        // A DIFAT sector names (entries - 1) FAT sectors; its last entry links the next.
        const uint64_t slot = (fatSectors - 109) % (perSector - 1);
        const size_t entry = static_cast<size_t>(slot != 0 ? slot - 1 : perSector - 2);
        if (!table.has(4 * entry, 4)) return 0;
        lastFatSector = table.le32(4 * entry);
    }
    const ByteView fat = ReadCompoundSector(context, context.position, lastFatSector, sectorBytes, bytes);
    if (fat.empty()) return 0;
    uint64_t freeAtEnd = 0;
    for (size_t at = fat.size(); at >= 4 && freeAtEnd < perSector && fat.le32(at - 4) == 0xFFFFFFFF; at -= 4) ++freeAtEnd;
    // The header's own sector counts as one of the document's sectors.
    const uint64_t sectors = fatSectors * perSector + 1;
    if (freeAtEnd > sectors) return 0;
    return std::min<uint64_t>((sectors - freeAtEnd) * sectorBytes, kOfficeMax);
}

uint64_t CompoundDocumentPlainLength(ByteView s, CarvingContext& context) {
    if (uint64_t estimate = CompoundFatEstimate(s, context); estimate != 0) return estimate;
    constexpr std::string_view kWordMark = Bytes("\x01\x00\xFE\xFF\x03\x0A");
    constexpr std::string_view kWordName = "Microsoft Office Word \xCE\xC4\xB5\xB5";
    ReadAhead walk(context, kOfficeMax);
    ByteView block;
    while (walk.Next(block)) {
        if (!FindFirst(block, kWordMark)) continue;
        if (auto at = FindFirst(block, kWordName)) {
            const uint64_t end = walk.BlockOffset() + *at + kWordName.size();
            const uint32_t sector = context.sectorSize;
            return (end + sector - 1) / sector * sector;
        }
    }
    return CountedWithoutEnd(context, walk);
}
uint64_t CompoundDocumentLength(ByteView s, CarvingContext& c) {
    return WalkOrFallback(WalkCompoundDocument, s, c, kOfficeMax, CompoundDocumentPlainLength);
}

// Which Office application a ZIP package belongs to, from the names of its first members
// (local and central headers) within 20 sectors; kNoType leaves it to the plain ZIP row.
int OfficePackageType(CarvingContext& context) {
    constexpr size_t kSpare = 4;
    constexpr uint32_t kSectorsPerRead = 4;
    constexpr uint32_t kSectorsExamined = 20;
    std::vector<uint8_t> window(kSpare, 0), bytes;
    for (uint32_t done = 0; done < kSectorsExamined; done += kSectorsPerRead) {
        if (!context.ReadSectorsAt(context.cursor + done, kSectorsPerRead, bytes)) return kNoType;
        window.resize(kSpare);
        window.insert(window.end(), bytes.begin(), bytes.end());
        const ByteView view(window);
        const size_t limit = FindFirst(view, Bytes("PK\x05\x06")).value_or(view.size());
        for (size_t at = 0; at + 4 <= limit; ++at) {
            size_t name = 0;
            if (view.matches(at, Bytes("PK\x03\x04"))) name = at + 30;
            else if (view.matches(at, Bytes("PK\x01\x02"))) name = at + 46;
            else continue;
            if (view.has(name, 5) && view.matches(name, "word")) return kDocx;
            if (view.has(name, 4) && view.matches(name, "ppt")) return kPptx;
            if (view.has(name, 3) && view.matches(name, "xl")) return kXlsx;
        }
        // Keep the last bytes in front so a header split over the reads is still seen.
        std::copy(window.end() - kSpare, window.end(), window.begin());
    }
    return kNoType;
}

int DetectOfficePackage(ByteView s, CarvingContext& context) {
    if (s.size() < 31) return kNoType;
    if (!s.matches(0, Bytes("PK\x03\x04")) && !s.matches(31, "[Content_Types].xml")) return kNoType;
    return OfficePackageType(context);
}

int DetectPdf(ByteView s, CarvingContext&) { return s.size() >= 5 && s.matches(0, "%PDF-") ? kPdf : kNoType; }
uint64_t PdfTrailer(ByteView, CarvingContext& context) {
    ReadAhead walk(context, 1 * GiB);
    ByteView block;
    while (walk.Next(block)) {
        if (auto at = FindLast(block, "%%EOF")) return walk.BlockOffset() + *at + 5;
        if (auto at = FindLast(block, "trailer")) return walk.BlockOffset() + *at + 7;
    }
    return CountedWithoutEnd(context, walk);
}
uint64_t PdfLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkPdf, s, c, 1 * GiB, PdfTrailer); }

int DetectFla(ByteView s, CarvingContext&) { return s.size() >= 16 && s.matches(0, "\xD0\xCF\x11\xE0") ? kFla : kNoType; }
uint64_t FlaLength(ByteView, CarvingContext& c) { return UntilForeign(c, 256 * MiB); }

// A TrueType font by its table directory: the version, a table count that its search
// fields agree with, and records whose tags are printable and in ascending order and
// whose tables lie after the directory. (Testing the bytes right after the directory,
// which hold whichever table the font's tool wrote first, missed every font made by
// FontForge, DejaVu among them.)
int DetectTrueType(ByteView s, CarvingContext&) {
    if (s.size() < 16 || !(s.matches(0, Bytes("\x00\x01\x00\x00")) || s.matches(0, "true"))) return kNoType;
    const uint32_t tables = s.be16(4);
    if (tables == 0 || tables > 256) return kNoType;
    uint32_t power = 1, log2 = 0;
    while (power * 2 <= tables) power *= 2, ++log2;
    if (s.be16(6) != power * 16 || s.be16(8) != log2 || s.be16(10) != tables * 16 - power * 16) return kNoType;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < tables && s.has(12 + 16 * i, 16); ++i) {
        const size_t entry = 12 + 16 * i;
        const uint32_t tag = s.be32(entry);
        for (int shift = 0; shift < 32; shift += 8)
            if (((tag >> shift) & 0xFF) < 0x20 || ((tag >> shift) & 0xFF) > 0x7E) return kNoType;
        if (tag <= previous || s.be32(entry + 8) < 12 + 16 * tables) return kNoType;
        previous = tag;
    }
    return kTtf;
}
// The end of the table that reaches furthest, padded to 4 bytes as tables are.
uint64_t TrueTypeLength(ByteView s, CarvingContext& context) {
    const uint64_t tables = s.be16(4);
    const ByteView directory = DirectoryBytes(s, context, 12 + 16 * tables);
    uint64_t end = 0;
    for (uint64_t i = 0; i < tables; ++i) {
        const size_t entry = static_cast<size_t>(12 + 16 * i);
        if (!directory.has(entry, 16)) break;
        end = std::max<uint64_t>(end, uint64_t{directory.be32(entry + 8)} + directory.be32(entry + 12));
    }
    return end != 0 ? (end + 3) / 4 * 4 : OneSector(context);
}

uint64_t OfficePackageLength(ByteView s, CarvingContext& context) { return ZipEndRecordLength(s, context, kOfficeMax); }

constexpr Anchor kCompoundAnchors[] = {{0, 0xD0}};
constexpr Anchor kOfficeAnchors[] = {{0, 'P'}, {31, '['}};
constexpr Anchor kPdfAnchors[] = {{0, '%'}};
constexpr Anchor kTrueTypeAnchors[] = {{0, 0x00}, {0, 't'}};

}  // namespace

const Signature kCompoundDocumentSignature{"compound document", DetectCompoundDocument,
                                           CompoundDocumentLength, kCompoundAnchors};
const Signature kOfficePackageSignature{"Office package", DetectOfficePackage, OfficePackageLength,
                                        kOfficeAnchors};
const Signature kPdfSignature{"PDF", DetectPdf, PdfLength, kPdfAnchors};
const Signature kFlaSignature{"FLA", DetectFla, FlaLength, kCompoundAnchors};
const Signature kTrueTypeSignature{"TrueType", DetectTrueType, TrueTypeLength, kTrueTypeAnchors};

}  // namespace kestrune::carve
