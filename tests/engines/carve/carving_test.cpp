#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "engines/carve/carve_pass.h"
#include "engines/carve/file_type_recovery.h"
#include "engines/carve/sound_walks.h"
#include "engines/carve/signature_table.h"
#include "engines/found_data.h"
#include "scanlog/scan_catalogue.h"
#include "support/test_support.h"
#include "engines/carve/carved_area.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr size_t kSector = 512;

void PadToSector(std::vector<uint8_t>& image) { image.resize((image.size() + kSector - 1) / kSector * kSector, 0); }

// Files laid end to end on sector boundaries, each followed by one zero sector, as they
// would lie in unallocated space.
struct CarveImage {
    std::vector<uint8_t> bytes;
    std::map<std::string, uint64_t> startOf;

    void Add(const std::string& name, const std::vector<uint8_t>& file, bool separator = true) {
        startOf[name] = bytes.size() / kSector;
        bytes.insert(bytes.end(), file.begin(), file.end());
        PadToSector(bytes);
        if (separator) bytes.resize(bytes.size() + kSector, 0);
    }
};

using test::Carve;
using test::Carved;
using test::RecoverBytes;

uint64_t RoundedUp(size_t bytes) { return (bytes + kSector - 1) / kSector * kSector; }

TEST(Carving, FilesLaidEndToEndAreFoundWithTheirNamesAndLengths) {
    // Formats whose length rule knows the exact end, and formats that run until the next
    // foreign sector (here: their sectors plus the zero sector after them).
    const std::vector<std::pair<std::string, std::string>> exact = {
        {"photo.jpg", "jpg"}, {"thumb.jpg", "jpg"}, {"image.png", "png"}, {"anim.gif", "gif"},
        {"image.bmp", "bmp"}, {"tone.wav", "wav"}, {"clip.avi", "avi"}, {"letter.docx", "docx"},
        {"sheet.xlsx", "xlsx"}, {"slides.pptx", "pptx"}, {"files.zip", "zip"}, {"files.7z", "7z"},
        {"files.cab", "cab"}, {"icon.ico", "ico"}, {"font.ttf", "ttf"}, {"song.mid", "mid"},
        {"tone.mp3", "mp3"}, {"movie.swf", "swf"}, {"clip.wmv", "wmv"}, {"letter.doc", "doc"},
        {"sheet.xls", "xls"}, {"slides.ppt", "ppt"}, {"files.rar", "rar"}, {"audio.ape", "ape"},
        {"clip.ts", "ts"}, {"image.tif", "tif"}, {"archive.gz", "gz"}, {"data.db", "db"},
        {"letter.pdf", "pdf"}, {"clip.mp4", "mp4"}, {"clip.mov", "mov"}, {"clip.mkv", "mkv"},
        {"clip.flv", "flv"}, {"clip.3gp", "3gp"}, {"clip.mpg", "mpeg"}, {"clip.mts", "mts"},
        {"clip.rm", "rmvb"}, {"image.psd", "psd"}};
    const std::vector<std::pair<std::string, std::string>> untilForeign = {
        {"clip.mxf", "mxf"},
        {"mail.dbx", "dbx"}, {"mail.pst", "pst"}, {"anim.fla", "fla"}, {"sound.mp2", "mp2"},
        {"ring.mmf", "mmf"}};
    CarveImage image;
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& list : {exact, untilForeign})
        for (const auto& [name, extension] : list) {
            files[name] = test::CarveFixture(name);
            image.Add(name, files[name]);
        }
    for (const char* uncarved : {"tool.exe", "lib.dll", "driver.sys", "backup.gho"})
        image.Add(uncarved, test::CarveFixture(uncarved));
    image.Add("end", test::CarveFixture("image.png"));  // the last until-foreign file needs an end too

    auto carved = Carve(image.bytes);
    ASSERT_EQ(carved->pass.result, kOk);
    for (const auto& [name, extension] : exact) {
        const uint64_t start = image.startOf[name];
        ASSERT_TRUE(carved->bySector.count(start)) << name;
        const ScanRecord& record = carved->bySector[start];
        EXPECT_EQ(RecordName(record), std::to_string(start) + "." + extension) << name;
        EXPECT_EQ(record.fileSize, files[name].size()) << name;
        EXPECT_EQ(record.clusterBytes, 0xFFFFFFFFu);
        EXPECT_EQ(record.engineKind, uint32_t{Signature});
        EXPECT_FALSE(CarvedEndGuessed(record)) << name << ": its structure gave the end";
        EXPECT_EQ(RecoverBytes(*carved, record), files[name]) << name;
    }
    for (const auto& [name, extension] : untilForeign) {
        const uint64_t start = image.startOf[name];
        ASSERT_TRUE(carved->bySector.count(start)) << name;
        EXPECT_EQ(RecordName(carved->bySector[start]), std::to_string(start) + "." + extension);
        EXPECT_EQ(carved->bySector[start].fileSize, RoundedUp(files[name].size()) + kSector) << name;
        EXPECT_TRUE(CarvedEndGuessed(carved->bySector[start])) << name << ": its end is a guess";
    }
    // A disk image is never listed; these program headers name no sections, so nothing
    // tells their length and they are not listed either (a real program is: below).
    for (const char* uncarved : {"tool.exe", "lib.dll", "driver.sys", "backup.gho"})
        EXPECT_FALSE(carved->bySector.count(image.startOf[uncarved])) << uncarved << " is not listed";
    EXPECT_EQ(carved->bySector.size(), exact.size() + untilForeign.size() + 1);
}

TEST(Carving, TextEndsAtItsPaddingAndNeverEndsAnotherFile) {
    auto text = [](size_t size, char seed) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; bytes.size() < size; ++i) {
            const std::string line = "line " + std::to_string(i) + " of note " + seed + ", Grüße\n";
            bytes.insert(bytes.end(), line.begin(), line.end());
        }
        bytes.resize(size);
        return bytes;
    };
    CarveImage image;
    const auto note = text(700, 'a'), table = text(3 * kSector + 5, 'b'), tiny = text(5, 'c');
    image.Add("note", note);
    image.Add("table", table, false);  // a photo right after it, no gap
    image.Add("photo", test::CarveFixture("photo.jpg"));
    image.Add("tiny", tiny);
    // Text written over by something else part way through a sector: the text before it
    // is kept, to the last sector that is wholly text, and its end is a guess.
    std::vector<uint8_t> cut = text(2 * kSector + 100, 'd');
    cut.insert(cut.end(), {0x01, 0x02, 0x03, 0x00, 0x10});
    image.Add("cut", cut);
    image.Add("letter", test::CarveFixture("letter.pdf"));

    auto carved = Carve(image.bytes);
    ASSERT_EQ(carved->pass.result, kOk);
    for (const auto& [name, bytes] : {std::pair{"note", note}, std::pair{"table", table}}) {
        const uint64_t start = image.startOf[name];
        ASSERT_TRUE(carved->bySector.count(start)) << name;
        const ScanRecord& record = carved->bySector[start];
        EXPECT_EQ(RecordName(record), std::to_string(start) + ".txt");
        EXPECT_FALSE(CarvedEndGuessed(record)) << name;
        EXPECT_EQ(RecoverBytes(*carved, record), bytes) << name;
    }
    EXPECT_TRUE(carved->bySector.count(image.startOf["photo"])) << "text does not swallow the photo after it";
    EXPECT_FALSE(carved->bySector.count(image.startOf["tiny"])) << "five bytes are no file";
    ASSERT_TRUE(carved->bySector.count(image.startOf["cut"]));
    const ScanRecord& cutRecord = carved->bySector[image.startOf["cut"]];
    EXPECT_EQ(cutRecord.fileSize, 2 * kSector);
    EXPECT_TRUE(CarvedEndGuessed(cutRecord));
    // A PDF whose sectors read as text is carved whole as a PDF.
    const uint64_t pdf = image.startOf["letter"];
    ASSERT_TRUE(carved->bySector.count(pdf));
    EXPECT_EQ(RecordName(carved->bySector[pdf]), std::to_string(pdf) + ".pdf");
    EXPECT_EQ(carved->bySector[pdf].fileSize, test::CarveFixture("letter.pdf").size());
}

TEST(Carving, AProgramIsCarvedToTheEndOfItsSectionsAndDiskImagesAreNot) {
    const auto program = test::ReadFileBytes(test::FixturePath("carve_more/stripped.exe"));
    const auto library = test::ReadFileBytes(test::FixturePath("carve_more/library.dll"));
    CarveImage image;
    image.Add("exe", program);
    image.Add("dll", library);
    image.Add("gho", test::CarveFixture("backup.gho"));
    image.Add("end", test::CarveFixture("image.png"));
    auto carved = Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(image.startOf["exe"]));
    EXPECT_EQ(RecordName(carved->bySector[image.startOf["exe"]]), std::to_string(image.startOf["exe"]) + ".exe");
    EXPECT_EQ(RecoverBytes(*carved, carved->bySector[image.startOf["exe"]]), program);
    ASSERT_TRUE(carved->bySector.count(image.startOf["dll"]));
    EXPECT_EQ(carved->bySector[image.startOf["dll"]].fileSize, library.size());
    EXPECT_FALSE(carved->bySector.count(image.startOf["gho"])) << "a disk image is never listed";
}

TEST(Carving, DocumentsAreLookedInsideForOtherFiles) {
    // A picture stored on a sector boundary inside a Word document, its sector's tail
    // zero-filled.
    const auto jpeg = test::CarveFixture("photo.jpg");
    auto doc = test::CarveFixture("letter.doc");
    std::fill(doc.begin() + 8 * kSector, doc.begin() + 9 * kSector, 0);
    std::memcpy(doc.data() + 8 * kSector, jpeg.data(), jpeg.size());
    CarveImage image;
    image.Add("doc", doc);
    image.Add("end", test::CarveFixture("tool.exe"));
    auto carved = Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(image.startOf["doc"]));
    EXPECT_EQ(carved->bySector[image.startOf["doc"]].fileSize, doc.size());
    ASSERT_TRUE(carved->bySector.count(image.startOf["doc"] + 8)) << "the document is examined again inside";
    EXPECT_EQ(carved->bySector[image.startOf["doc"] + 8].fileSize, jpeg.size());
}

TEST(Carving, EndMarkersMustEndTheirSector) {
    // A PNG whose chunks cannot be followed (a chunk type damaged) falls back to its end
    // marker, which counts only when zeros follow it in its sector; an intact one ends
    // at its end chunk whatever follows.
    auto png = test::CarveFixture("image.png");
    const size_t realSize = png.size();
    png.resize(3 * kSector, 0x5A);
    auto damaged = png;
    damaged[37] = '!';  // the type of the chunk after the header
    CarveImage image;
    image.Add("damaged", damaged, /*separator=*/false);
    image.Add("exe", test::CarveFixture("tool.exe"));
    image.Add("png", png, /*separator=*/false);
    image.Add("end", test::CarveFixture("tool.exe"));
    auto carved = Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(0));
    EXPECT_NE(carved->bySector[0].fileSize, realSize);
    EXPECT_EQ(carved->bySector[0].fileSize, 3 * kSector) << "an executable ends the read-ahead";
    EXPECT_EQ(carved->bySector[image.startOf["png"]].fileSize, realSize);
}

TEST(Carving, SizesFromHeadersAreCappedAndTagsFoundAhead) {
    // A BMP that claims 300 MiB is carved as the pixels its header describes; when the
    // header does not describe them (run-length coded, no byte count), as 128 MiB.
    auto bmp = test::CarveFixture("image.bmp");
    const size_t realBmpSize = bmp.size();
    const uint32_t huge = 300u << 20;
    std::memcpy(bmp.data() + 2, &huge, 4);
    auto rle = bmp;
    const uint32_t rle8 = 1, noCount = 0;
    std::memcpy(rle.data() + 30, &rle8, 4);
    std::memcpy(rle.data() + 34, &noCount, 4);
    // An MP3 whose ID3v1 tag starts at offset 5000: the fixture's ID3v2 tag, zero
    // padding, then copies of its first frame up to 5000.
    const std::vector<uint8_t> tone = test::CarveFixture("tone.mp3");
    const ByteView t(tone);
    const size_t audio = 10 + ((size_t{t.u8(6)} << 21) | (size_t{t.u8(7)} << 14) | (size_t{t.u8(8)} << 7) | t.u8(9));
    const auto first = carve::ReadMpegAudioFrame(t.sub(audio, 4));
    ASSERT_TRUE(first);
    const size_t frame = first->bytes;
    std::vector<uint8_t> mp3(tone.begin(), tone.begin() + static_cast<long>(audio));
    mp3.resize(5000 - (5000 - audio) / frame * frame, 0);
    while (mp3.size() < 5000) mp3.insert(mp3.end(), tone.begin() + static_cast<long>(audio), tone.begin() + static_cast<long>(audio + frame));
    const char tag[] = "TAGtitle";
    mp3.insert(mp3.end(), tag, tag + 8);
    mp3.resize(5128, 0);
    CarveImage image;
    image.Add("bmp", bmp);
    image.Add("rle", rle);
    image.Add("mp3", mp3);
    image.Add("end", test::CarveFixture("tool.exe"));
    auto carved = Carve(image.bytes);
    EXPECT_EQ(carved->bySector[image.startOf["bmp"]].fileSize, realBmpSize);
    EXPECT_EQ(carved->bySector[image.startOf["rle"]].fileSize, 128u << 20);
    EXPECT_EQ(carved->bySector[image.startOf["mp3"]].fileSize, 5128u);
}

TEST(Carving, ACancelDuringARuleListsNothing) {
    test::TempDir dir;
    CarveImage image;
    image.Add("psd", test::CarveFixture("image.psd"));
    test::WriteFileBytes(dir / "area.img", image.bytes);
    CFileTypeRecovery engine;
    engine.SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
    ASSERT_EQ(engine.OpenImage(dir / "area.img", 1001), kOk);
    CancelToken cancel;
    cancel.Cancel();
    engine.SetReporter({{}, &cancel});
    const auto sector = std::vector<uint8_t>(image.bytes.begin(), image.bytes.begin() + kSector);
    uint32_t skip = 0;
    uint64_t found = 0;
    EXPECT_EQ(engine.CarveAt(ByteView(sector), 0, {}, skip, found), CancelCode);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(engine.GetRecordCount(), 0u);
    const auto zeros = std::vector<uint8_t>(kSector, 0);
    EXPECT_EQ(engine.CarveAt(ByteView(zeros), 1, {}, skip, found), kErrInvalidParameter);
    EXPECT_EQ(skip, 1u);
}

TEST(Carving, AFileIsReadInWholeSectorsAndWrittenToItsSize) {
    CarveImage image;
    const auto data = test::PatternBytes(3 * kSector);
    image.Add("data", data);
    auto carved = Carve(image.bytes);
    ScanRecord record{};
    record.entrySector = 1;
    record.fileSize = 700;
    SetRecordName(record, "1.bin");
    EXPECT_EQ(RecoverBytes(*carved, record), std::vector<uint8_t>(data.begin() + kSector, data.begin() + kSector + 700));
    record.entrySector = image.bytes.size() / kSector - 1;
    record.fileSize = 4 * kSector;
    const fs::path target = carved->dir / "short.bin";
    EXPECT_EQ(carved->engine->Recover(record, target, 0), kErrInvalidParameter) << "past the end of the source";

    // The preview takes pictures into a tmp.jpg of its own in the store folder, other files into memory.
    std::string temp;
    std::vector<uint8_t> buffer(100);
    uint32_t delivered = 0;
    record.entrySector = 1;
    record.fileSize = 700;
    EXPECT_EQ(carved->engine->ExtractForPreview(&record, temp, buffer, delivered, {}), kOk);
    EXPECT_EQ(delivered, 100u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + kSector));
    SetRecordName(record, "1.jpg");
    EXPECT_EQ(carved->engine->ExtractForPreview(&record, temp, buffer, delivered, {}), kOk);
    EXPECT_EQ(fs::path(temp).filename(), "tmp.jpg");
    EXPECT_EQ(fs::file_size(temp), 700u);
    // A second preview never overwrites the first one's file.
    std::string second;
    EXPECT_EQ(carved->engine->ExtractForPreview(&record, second, buffer, delivered, {}), kOk);
    EXPECT_NE(second, temp);
    EXPECT_EQ(fs::file_size(temp), 700u);
    RemovePreviewFile(second);
    EXPECT_FALSE(fs::exists(fs::path(second).parent_path()));
    EXPECT_EQ(carved->engine->ExtractForPreview(nullptr, temp, buffer, delivered, {}),
              kErrInvalidParameter);
}

}  // namespace
}  // namespace kestrune
