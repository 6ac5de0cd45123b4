#include "engines/carve/signature_table.h"

#include <algorithm>
#include <array>
#include <bit>

#include "engines/carve/carving_context.h"
#include "engines/carve/detectors.h"
#include "scanlog/file_types.h"

namespace kestrune::carve {

namespace {

// The rows, in the order they are tried. Rows of one signature sit together; the first
// extension of a group names the files carved as its type.
constexpr SignatureRow kRows[] = {
    {"mpeg", kMpeg, &kMpegSignature},       {"mpg", kMpeg, &kMpegSignature},
    {"vob", kMpeg, &kMpegSignature},        {"mp4", kMp4, &kMp4Signature},
    {"rmvb", kRmvb, &kRealMediaSignature},  {"rm", kRmvb, &kRealMediaSignature},
    {"wmv", kWmv, &kAsfSignature},          {"asf", kWmv, &kAsfSignature},
    {"wma", kWmv, &kAsfSignature},          {"swf", kSwf, &kSwfSignature},
    {"avi", kAvi, &kAviSignature},          {"flv", kFlv, &kFlvSignature},
    {"3gp", k3gp, &k3gpSignature},          {"mkv", kMkv, &kMatroskaSignature},
    {"ts", kTs, &kTransportStreamSignature}, {"mts", kMts, &kM2tsSignature},
    {"mxf", kMxf, &kMxfSignature},          {"mp3", kMp3, &kMp3Signature},
    {"mid", kMid, &kMidiSignature},         {"ape", kApe, &kApeSignature},
    {"wav", kWav, &kWavSignature},          {"mov", kMov, &kQuickTimeSignature},
    {"mp2", kMp2, &kMp2Signature},          {"mmf", kMmf, &kMmfSignature},
    {"gif", kGif, &kGifSignature},          {"bmp", kBmp, &kBmpSignature},
    {"dib", kBmp, &kBmpSignature},          {"jpg", kJpg, &kJpegSignature},
    {"jpeg", kJpg, &kJpegSignature},        {"jpe", kJpg, &kJpegSignature},
    {"jfif", kJpg, &kJpegSignature},        {"png", kPng, &kPngSignature},
    {"psd", kPsd, &kPsdSignature},          {"tif", kTif, &kTiffSignature},
    {"tiff", kTif, &kTiffSignature},        {"ico", kIco, &kIcoSignature},
    {"doc", kDoc, &kCompoundDocumentSignature}, {"dot", kDoc, &kCompoundDocumentSignature},
    {"wps", kDoc, &kCompoundDocumentSignature}, {"wpt", kDoc, &kCompoundDocumentSignature},
    {"xls", kXls, &kCompoundDocumentSignature}, {"xlt", kXls, &kCompoundDocumentSignature},
    {"xla", kXls, &kCompoundDocumentSignature}, {"et", kXls, &kCompoundDocumentSignature},
    {"ett", kXls, &kCompoundDocumentSignature}, {"ppt", kPpt, &kCompoundDocumentSignature},
    {"pot", kPpt, &kCompoundDocumentSignature}, {"pps", kPpt, &kCompoundDocumentSignature},
    {"dps", kPpt, &kCompoundDocumentSignature}, {"dpt", kPpt, &kCompoundDocumentSignature},
    {"ole", kOle, &kCompoundDocumentSignature}, {"docx", kDocx, &kOfficePackageSignature},
    {"docm", kDocx, &kOfficePackageSignature},  {"dotm", kDocx, &kOfficePackageSignature},
    {"dotx", kDocx, &kOfficePackageSignature},  {"xlsx", kXlsx, &kOfficePackageSignature},
    {"xlsb", kXlsx, &kOfficePackageSignature},  {"xlsm", kXlsx, &kOfficePackageSignature},
    {"xlam", kXlsx, &kOfficePackageSignature},  {"xltx", kXlsx, &kOfficePackageSignature},
    {"xltm", kXlsx, &kOfficePackageSignature},  {"pptx", kPptx, &kOfficePackageSignature},
    {"pptm", kPptx, &kOfficePackageSignature},  {"potx", kPptx, &kOfficePackageSignature},
    {"potm", kPptx, &kOfficePackageSignature},  {"ppsx", kPptx, &kOfficePackageSignature},
    {"ppsm", kPptx, &kOfficePackageSignature},  {"mso07", kMso07, &kOfficePackageSignature},
    {"pdf", kPdf, &kPdfSignature},          {"gz", kGz, &kGzipSignature},
    {"gzip", kGz, &kGzipSignature},         {"7z", k7z, &k7zipSignature},
    {"zip", kZip, &kZipSignature},          {"rar", kRar, &kRarSignature},
    {"cab", kCab, &kCabSignature},          {"exe", kExe, &kPeImageSignature},
    {"dll", kDll, &kPeImageSignature},      {"sys", kSys, &kPeImageSignature},
    {"gho", kGho, &kDiskImageSignature},    {"db", kDb, &kSqliteSignature},
    {"dbx", kDbx, &kDbxSignature},          {"pst", kPst, &kPstSignature},
    {"fla", kFla, &kFlaSignature},          {"ttf", kTtf, &kTrueTypeSignature},
    // Last: text is what is left when nothing else fits.
    {"txt", kTxt, &kTextSignature},
    {"", kNoType, nullptr},
};

// The signatures in the order the table first names them, and which of them a sector
// can possibly match, by its first byte and by the other bytes they anchor on. A
// signature repeated over several rows is tried once: it answers the same each time.
struct DetectionIndex {
    std::array<const Signature*, 64> order{};
    size_t count = 0;
    std::array<uint64_t, 256> byFirstByte{};
    struct Secondary {
        uint8_t offset, value;
        uint64_t mask;
    };
    std::array<Secondary, 16> secondary{};
    size_t secondaryCount = 0;

    DetectionIndex() {
        for (const SignatureRow& row : kRows) {
            if (!row.signature || (count > 0 && order[count - 1] == row.signature)) continue;
            const uint64_t bit = uint64_t{1} << count;
            order[count++] = row.signature;
            for (const Anchor& anchor : row.signature->anchors) {
                if (anchor.offset == 0) {
                    byFirstByte[anchor.value] |= bit;
                    continue;
                }
                size_t i = 0;
                while (i < secondaryCount && !(secondary[i].offset == anchor.offset &&
                                                secondary[i].value == anchor.value))
                    ++i;
                if (i == secondaryCount) secondary[secondaryCount++] = {anchor.offset, anchor.value, 0};
                secondary[i].mask |= bit;
            }
        }
    }
};

const DetectionIndex& Index() {
    static const DetectionIndex index;
    return index;
}

}  // namespace

std::span<const SignatureRow> SignatureTable() { return kRows; }

const SignatureRow* RowForType(int type) {
    for (const SignatureRow& row : kRows)
        if (row.type == type) return &row;
    return nullptr;
}

const SignatureRow* RowForExtension(std::string_view extension) {
    const std::string lower = AsciiLower(extension);
    for (const SignatureRow& row : kRows)
        if (row.signature && row.signature != &kTextSignature && row.extension == lower) return &row;
    return nullptr;
}

int DetectType(ByteView sector, CarvingContext& context) {
    if (sector.empty()) return kNoType;
    const DetectionIndex& index = Index();
    uint64_t candidates = index.byFirstByte[sector.data()[0]];
    for (size_t i = 0; i < index.secondaryCount; ++i) {
        const auto& s = index.secondary[i];
        if (s.offset < sector.size() && sector.data()[s.offset] == s.value) candidates |= s.mask;
    }
    while (candidates) {
        const int bit = std::countr_zero(candidates);
        candidates &= candidates - 1;
        const int type = index.order[static_cast<size_t>(bit)]->detect(sector, context);
        if (type != kNoType) return type;
    }
    return kNoType;
}

int SignatureMatchesExtension(ByteView sector, std::string_view extension, CarvingContext& context,
                              uint64_t position) {
    const SignatureRow* row = RowForExtension(extension);
    if (!row) return 1;
    context.position = position;
    context.cursor = position;
    context.transportStreamFlag = false;
    return row->signature->detect(sector, context) == row->type ? 1 : 0;
}

bool IsPlainTextExtension(std::string_view extension) {
    static constexpr std::string_view kText[] = {"txt", "csv", "log", "ini", "xml", "htm", "html", "json",
                                                 "md",  "srt", "css", "cfg", "tsv", "vcf", "ics"};
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::any_of(std::begin(kText), std::end(kText), [&](std::string_view text) {
        return text.size() == extension.size() &&
               std::equal(text.begin(), text.end(), extension.begin(), [&](char a, char b) { return a == lower(b); });
    });
}

bool LooksLikeText(ByteView head) {
    if (head.size() >= 2 && ((head.u8(0) == 0xFF && head.u8(1) == 0xFE) || (head.u8(0) == 0xFE && head.u8(1) == 0xFF)))
        return true;
    size_t controls = 0;
    for (size_t i = 0; i < head.size(); ++i) {
        const uint8_t c = head.u8(i);
        if (c == 0) return false;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B) ++controls;
    }
    return controls * 20 <= head.size();
}

bool StructureEndsNear(ByteView file, std::string_view extension, uint64_t size, uint64_t slack) {
    const SignatureRow* row = RowForExtension(extension);
    if (!row || !row->signature->length || file.size() < kImageSectorBytes) return false;
    std::vector<uint8_t> bytes(file.data(), file.data() + file.size());
    bytes.resize((bytes.size() + kImageSectorBytes - 1) / kImageSectorBytes * kImageSectorBytes, 0);
    SectorSource source;
    source.totalSectors = bytes.size() / kImageSectorBytes;
    source.medium = std::make_unique<MemoryMedium>(std::move(bytes));
    CarvingContext context;
    context.source = &source;
    context.sectorSize = kImageSectorBytes;
    const ByteView sector = file.sub(0, kImageSectorBytes);
    if (row->signature->detect(sector, context) != row->type) return false;
    context.position = context.cursor = 0;
    context.endConfirmed = true;
    const uint64_t length = row->signature->length(sector, context);
    return length != 0 && context.endConfirmed && length <= size && size - length <= slack;
}

}  // namespace kestrune::carve
