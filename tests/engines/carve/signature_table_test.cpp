#include "engines/carve/signature_table.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace kestrune::carve {
namespace {

// A context whose source is the given bytes, as a disk of 512-byte sectors.
struct MemoryContext {
    explicit MemoryContext(std::vector<uint8_t> bytes) {
        bytes.resize((bytes.size() + 511) / 512 * 512 + 512 * 8, 0);
        source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), 512);
        context.source = &source;
    }
    SectorSource source;
    CarvingContext context;
};

std::vector<uint8_t> FirstSector(const std::vector<uint8_t>& file) {
    std::vector<uint8_t> sector(file.begin(), file.begin() + static_cast<long>(std::min<size_t>(512, file.size())));
    sector.resize(512, 0);
    return sector;
}

// The table walked row by row with no index: what DetectType must always agree with.
int NaiveDetect(ByteView sector, CarvingContext& context) {
    for (const SignatureRow& row : SignatureTable()) {
        if (!row.signature) break;
        if (int type = row.signature->detect(sector, context); type != kNoType) return type;
    }
    return kNoType;
}

TEST(SignatureTable, RowsAreInOrderWithTheirNamingExtensions) {
    const std::vector<std::string> naming = {
        "mpeg", "mp4", "rmvb", "wmv", "swf", "avi", "flv", "3gp", "mkv", "ts", "mts", "mxf", "mp3",
        "mid", "ape", "wav", "mov", "mp2", "mmf", "gif", "bmp", "jpg", "png", "psd", "tif", "ico",
        "doc", "xls", "ppt", "ole", "docx", "xlsx", "pptx", "mso07", "pdf", "gz", "7z", "zip", "rar",
        "cab", "exe", "dll", "sys", "gho", "db", "dbx", "pst", "fla", "ttf", "txt"};
    std::vector<std::string> firsts;
    int previousType = -1;
    for (const SignatureRow& row : SignatureTable()) {
        if (row.type != previousType && row.signature) firsts.emplace_back(row.extension);
        previousType = row.type;
    }
    EXPECT_EQ(firsts, naming);
    EXPECT_EQ(SignatureTable().size(), 86u);
    EXPECT_EQ(SignatureTable().back().type, kNoType);
    EXPECT_EQ(RowForType(kJpg)->extension, "jpg");
    EXPECT_EQ(RowForExtension("JFIF")->type, kJpg);
    EXPECT_EQ(RowForExtension("et")->type, kXls);
    EXPECT_EQ(RowForExtension("txt"), nullptr);
    for (const SignatureRow& row : SignatureTable()) {
        if (!row.signature) continue;
        // Disk images are only recognised; programs are carved when their sections can
        // be followed (their rule answers 0 otherwise).
        const bool neverCarved = row.type == kGho;
        EXPECT_EQ(row.signature->length == nullptr, neverCarved) << row.extension;
    }
}

TEST(SignatureTable, EveryFixtureIsRecognisedOnItsFirstSector) {
    const std::pair<const char*, int> cases[] = {
        {"photo.jpg", kJpg}, {"thumb.jpg", kJpg}, {"image.png", kPng}, {"anim.gif", kGif},
        {"image.bmp", kBmp}, {"image.tif", kTif}, {"icon.ico", kIco}, {"image.psd", kPsd},
        {"tone.mp3", kMp3}, {"tone.wav", kWav}, {"song.mid", kMid}, {"audio.ape", kApe},
        {"sound.mp2", kMp2}, {"ring.mmf", kMmf}, {"clip.avi", kAvi}, {"clip.mp4", kMp4},
        {"clip.mov", kMov}, {"clip.mkv", kMkv}, {"clip.flv", kFlv}, {"clip.3gp", k3gp},
        {"clip.mpg", kMpeg}, {"clip.ts", kTs}, {"clip.mts", kMts}, {"clip.mxf", kMxf},
        {"clip.wmv", kWmv}, {"clip.rm", kRmvb}, {"movie.swf", kSwf}, {"letter.doc", kDoc},
        {"sheet.xls", kXls}, {"slides.ppt", kPpt}, {"letter.docx", kDocx}, {"sheet.xlsx", kXlsx},
        {"slides.pptx", kPptx}, {"letter.pdf", kPdf}, {"files.zip", kZip}, {"files.7z", k7z},
        {"files.rar", kRar}, {"archive.gz", kGz}, {"files.cab", kCab}, {"data.db", kDb},
        {"mail.dbx", kDbx}, {"mail.pst", kPst}, {"anim.fla", kFla}, {"font.ttf", kTtf},
        {"tool.exe", kExe}, {"lib.dll", kDll}, {"driver.sys", kSys}, {"backup.gho", kGho}};
    for (const auto& [name, type] : cases) {
        const auto file = test::CarveFixture(name);
        MemoryContext memory(file);
        const auto sector = FirstSector(file);
        EXPECT_EQ(DetectType(ByteView(sector), memory.context), type) << name;
        EXPECT_EQ(NaiveDetect(ByteView(sector), memory.context), type) << name;
        const SignatureRow* row = RowForType(type);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(SignatureMatchesExtension(ByteView(sector), row->extension, memory.context, 0), 1) << name;
    }
}

TEST(SignatureTable, TheIndexNeverChangesWhichRowFires) {
    // Fixture sectors with random bytes changed, and plain random sectors.
    std::mt19937 random(7);
    std::vector<std::vector<uint8_t>> sectors;
    for (const char* name : {"photo.jpg", "letter.doc", "files.zip", "clip.mp4", "clip.mov", "font.ttf",
                             "icon.ico", "clip.mts", "letter.docx", "tool.exe", "clip.ts"}) {
        const auto first = FirstSector(test::CarveFixture(name));
        for (int i = 0; i < 300; ++i) {
            auto mutated = first;
            for (int flips = 0; flips < 3; ++flips) mutated[random() % (i % 2 ? 64 : 512)] ^= 1u << (random() % 8);
            sectors.push_back(mutated);
        }
    }
    for (int i = 0; i < 3000; ++i) sectors.push_back(test::PatternBytes(512, static_cast<uint32_t>(i)));
    MemoryContext memory(test::CarveFixture("letter.docx"));
    for (const auto& sector : sectors)
        ASSERT_EQ(DetectType(ByteView(sector), memory.context), NaiveDetect(ByteView(sector), memory.context));
}

TEST(SignatureTable, ContentChecksByExtension) {
    const auto jpeg = test::CarveFixture("photo.jpg");
    MemoryContext memory(jpeg);
    const auto sector = FirstSector(jpeg);
    EXPECT_EQ(SignatureMatchesExtension(ByteView(sector), "JPG", memory.context, 0), 1);
    EXPECT_EQ(SignatureMatchesExtension(ByteView(sector), "png", memory.context, 0), 0);
    EXPECT_EQ(SignatureMatchesExtension(ByteView(sector), "txt", memory.context, 0), 1) << "no signature known";
    const auto doc = test::CarveFixture("letter.doc");
    MemoryContext docMemory(doc);
    EXPECT_EQ(SignatureMatchesExtension(ByteView(FirstSector(doc)), "xls", docMemory.context, 0), 0);
    EXPECT_EQ(SignatureMatchesExtension(ByteView(FirstSector(doc)), "wps", docMemory.context, 0), 1);
}

TEST(SignatureTable, CompoundDocumentsAndPackagesChooseTheirApplication) {
    // A compound document with no telling stream names is plain OLE.
    std::vector<uint8_t> ole(2048, 0);
    const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(magic), std::end(magic), ole.begin());
    MemoryContext memory(ole);
    EXPECT_EQ(DetectType(ByteView(FirstSector(ole)), memory.context), kOle);

    // A ZIP of pictures is a ZIP, not an Office package.
    std::vector<uint8_t> zip = test::CarveFixture("files.zip");
    MemoryContext zipMemory(zip);
    EXPECT_EQ(DetectType(ByteView(FirstSector(zip)), zipMemory.context), kZip);

    // Short buffers are never accepted.
    const auto jpeg = test::CarveFixture("photo.jpg");
    EXPECT_EQ(DetectType(ByteView(jpeg.data(), 15), memory.context), kNoType);
    EXPECT_EQ(DetectType(ByteView(), memory.context), kNoType);
}

}  // namespace
}  // namespace kestrune::carve
