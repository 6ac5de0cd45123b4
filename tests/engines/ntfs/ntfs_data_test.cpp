// What a found NTFS file's data reads as: an MFT in pieces, sparse runs, compressed and
// encrypted data, run lists that end too early. Built volumes with 512-byte clusters,
// so that compression units are 8 KiB and records can straddle MFT runs.
#include <gtest/gtest.h>

#include <map>

#include "base/result_codes.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/ntfs/ntfs_data.h"
#include "ntfs_builder.h"
#include "scanlog/scan_catalogue.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::NtfsImageBuilder;
using B = NtfsImageBuilder;

constexpr uint32_t kUnitBytes = 16 * 512;
// "abcabcabcabc" as one LZNT1 unit: a compressed chunk, then the closing zero header.
const std::vector<uint8_t> kAbcUnit = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20, 0x00, 0x00};

std::vector<uint8_t> Abc() {
    const std::string text = "abcabcabcabc";
    return {text.begin(), text.end()};
}

class BuiltData : public ::testing::Test {
protected:
    BuiltData() : builder_(512, 1, 4096) {}

    void File(uint32_t number, const std::u16string& name, const std::function<void(B::Record&)>& data) {
        B::Record r;
        r.number = number;
        B::AddFileName(r, 5, name);
        data(r);
        builder_.Put(r);
    }

    // Scans the volume; medium_ keeps the medium so that reads can be counted.
    std::map<std::string, ScanRecord> Scan() {
        engine_ = std::make_unique<CFastNtfsRecovery>();
        engine_->SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        auto medium = std::make_unique<test::FaultyMedium>(builder_.Image());
        medium_ = medium.get();
        EXPECT_EQ(engine_->Open(SourceOverMedium(std::move(medium), 512), {0, builder_.Image().size() / 512}, 1001),
                  kOk);
        EXPECT_EQ(engine_->Scan(nullptr), kOk);
        std::map<std::string, ScanRecord> found;
        for (uint32_t id = 1; id <= engine_->Log()->RecordCount(); ++id) {
            ScanRecord r;
            if (engine_->Log()->ReadRecord(id, r) == kOk) found[std::string(RecordName(r))] = r;
        }
        return found;
    }

    int Recover(const ScanRecord& r, std::vector<uint8_t>& bytes) {
        const int rc = engine_->Recover(r, dir_ / "out" / RecordName(r), 0);
        std::error_code ec;
        if (fs::exists(dir_ / "out" / RecordName(r), ec)) bytes = test::ReadFileBytes(dir_ / "out" / RecordName(r));
        return rc;
    }

    NtfsImageBuilder builder_;
    std::unique_ptr<CFastNtfsRecovery> engine_;
    test::FaultyMedium* medium_ = nullptr;
    test::TempDir dir_;
};

TEST_F(BuiltData, ARecordCutByTheEndOfAnMftRunIsReadWhole) {
    // The first run ends half-way through record 70.
    builder_.SplitMftAtByte(70 * 1024 + 512, 3000);
    builder_.PutMft(128);
    const std::string across = "this record begins in one run and ends in the next";
    File(70, u"straddle.txt", [&](B::Record& r) { B::AddResident(r, 0x80, {across.begin(), across.end()}); });
    File(71, u"after.txt", [&](B::Record& r) { B::AddResident(r, 0x80, {'o', 'k'}); });
    File(127, u"last.txt", [&](B::Record& r) { B::AddResident(r, 0x80, {'z'}); });
    auto found = Scan();
    ASSERT_TRUE(found.count("straddle.txt"));
    ASSERT_TRUE(found.count("after.txt")) << "the records after it keep their places";
    ASSERT_TRUE(found.count("last.txt"));
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Recover(found["straddle.txt"], bytes), kOk);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), across);
}

TEST_F(BuiltData, AnMftWhoseRunsGoOnInAnExtensionRecordIsReadToItsEnd) {
    // $MFT: an attribute list naming its own $DATA piece from VCN 0 (records 0 to 39)
    // and a piece in extension record 16 from VCN 80 (records 40 to 127, elsewhere).
    builder_.SplitMft(40, 3000);
    B::Record mft;
    mft.number = 0;
    mft.flags = 1;
    std::vector<uint8_t> list;
    for (auto [vcn, record] : {std::pair<uint64_t, uint64_t>{0, 0}, {80, 16}}) {
        std::vector<uint8_t> entry(0x20, 0);
        B::Put32(entry.data(), 0x80);
        B::Put16(entry.data() + 4, 0x20);
        entry[7] = 0x1A;
        B::Put64(entry.data() + 8, vcn);
        B::Put64(entry.data() + 0x10, record | (uint64_t{1} << 48));
        list.insert(list.end(), entry.begin(), entry.end());
    }
    B::AddResident(mft, 0x20, list);
    B::AddFileName(mft, 5, u"$MFT");
    B::AddDataPiece(mft, B::Run(80, 4), 0, 128 * 1024, 128 * 1024);
    builder_.Put(mft);
    B::Record extension;
    extension.number = 16;
    extension.flags = 1;
    extension.baseRecord = 0 | (uint64_t{1} << 48);
    B::AddDataPiece(extension, B::Run(176, 3000), 80, 0, 0);
    builder_.Put(extension);
    File(100, u"late.txt", [&](B::Record& r) { B::AddResident(r, 0x80, {'l', 'a', 't', 'e'}); });
    auto found = Scan();
    ASSERT_EQ(engine_->Geometry().mftRuns.size(), 2u);
    ASSERT_TRUE(found.count("late.txt")) << "a record in the piece the extension record names";
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Recover(found["late.txt"], bytes), kOk);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "late");
}

TEST_F(BuiltData, AFilesNameAndRunsGoOnInItsExtensionRecord) {
    builder_.PutMft(128);
    const auto first = test::PatternBytes(1024, 6), second = test::PatternBytes(1024, 7);
    builder_.Write(1400 * 512, first);
    builder_.Write(1500 * 512, second);
    B::Record base;
    base.number = 110;
    std::vector<uint8_t> list;
    for (auto [type, vcn, record] : {std::tuple<uint32_t, uint64_t, uint64_t>{0x30, 0, 111}, {0x80, 0, 110},
                                     {0x80, 2, 111}}) {
        std::vector<uint8_t> entry(0x20, 0);
        B::Put32(entry.data(), type);
        B::Put16(entry.data() + 4, 0x20);
        entry[7] = 0x1A;
        B::Put64(entry.data() + 8, vcn);
        B::Put64(entry.data() + 0x10, record);
        list.insert(list.end(), entry.begin(), entry.end());
    }
    B::AddResident(base, 0x20, list);
    B::AddDataPiece(base, B::Run(2, 1400), 0, 2048, 2048);
    builder_.Put(base);
    B::Record extension;
    extension.number = 111;
    extension.baseRecord = 110;
    B::AddFileName(extension, 5, u"pieces.bin");
    B::AddDataPiece(extension, B::Run(2, 1500), 2, 0, 0);
    builder_.Put(extension);
    auto found = Scan();
    ASSERT_EQ(engine_->Log()->RecordCount(), 1u) << "the extension record is no file of its own";
    ASSERT_TRUE(found.count("pieces.bin"));
    EXPECT_EQ(found["pieces.bin"].fsId, 110u);
    EXPECT_EQ(found["pieces.bin"].fileSize, 2048u) << "the size of the data, not of the name";
    std::vector<uint8_t> bytes, expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_EQ(Recover(found["pieces.bin"], bytes), kOk);
    EXPECT_EQ(bytes, expected);
}

TEST_F(BuiltData, AStreamKeptInAnExtensionRecordIsListedAndReadFromThere) {
    builder_.PutMft(128);
    const auto secret = test::PatternBytes(1024, 8);
    builder_.Write(1600 * 512, secret);
    const std::u16string streamName = u"secret";
    B::Record base;
    base.number = 120;
    std::vector<uint8_t> list;
    for (auto [type, record, named] : {std::tuple<uint32_t, uint64_t, bool>{0x30, 120, false}, {0x80, 120, false},
                                       {0x80, 121, true}}) {
        std::vector<uint8_t> entry(named ? 0x28 : 0x20, 0);
        B::Put32(entry.data(), type);
        B::Put16(entry.data() + 4, static_cast<uint16_t>(entry.size()));
        entry[6] = named ? static_cast<uint8_t>(streamName.size()) : 0;
        entry[7] = 0x1A;
        B::Put64(entry.data() + 0x10, record);
        if (named) std::memcpy(entry.data() + 0x1A, streamName.data(), 2 * streamName.size());
        list.insert(list.end(), entry.begin(), entry.end());
    }
    B::AddResident(base, 0x20, list);
    B::AddFileName(base, 5, u"hidden.txt");
    B::AddResident(base, 0x80, test::PatternBytes(100, 9));
    builder_.Put(base);
    B::Record extension;
    extension.number = 121;
    extension.baseRecord = 120;
    // A named non-resident $DATA: the name after the header, the runs after the name.
    const std::vector<uint8_t> runs = B::Run(2, 1600);
    std::vector<uint8_t> a(0x50 + runs.size() + 1, 0);
    B::Put32(a.data(), 0x80);
    B::Put32(a.data() + 4, static_cast<uint32_t>(a.size()));
    a[8] = 1;
    a[9] = static_cast<uint8_t>(streamName.size());
    B::Put16(a.data() + 0x0A, 0x40);
    B::Put16(a.data() + 0x20, 0x50);
    B::Put64(a.data() + 0x28, 1024);
    B::Put64(a.data() + 0x30, 1024);
    B::Put64(a.data() + 0x38, 1024);
    std::memcpy(a.data() + 0x40, streamName.data(), 2 * streamName.size());
    std::memcpy(a.data() + 0x50, runs.data(), runs.size());
    extension.attributes = a;
    builder_.Put(extension);
    auto found = Scan();
    ASSERT_TRUE(found.count("hidden.txt"));
    ASSERT_TRUE(found.count("hidden.txt:secret"));
    EXPECT_EQ(found["hidden.txt:secret"].fileSize, 1024u);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Recover(found["hidden.txt:secret"], bytes), kOk);
    EXPECT_EQ(bytes, secret);
    ASSERT_EQ(Recover(found["hidden.txt"], bytes), kOk);
    EXPECT_EQ(bytes, test::PatternBytes(100, 9));
}

TEST_F(BuiltData, SparseRunsAreZerosThatAreNeverRead) {
    builder_.PutMft(128);
    const auto head = test::PatternBytes(1024, 3), tail = test::PatternBytes(512, 4);
    builder_.Write(1000 * 512, head);
    builder_.Write(1010 * 512, tail);
    const uint64_t size = 1003 * 512 - 100;
    File(80, u"holes.bin", [&](B::Record& r) {
        B::AddDataPiece(r, B::Join({B::Run(2, 1000), B::SparseRun(1000), B::Run(1, 10)}), 0, size, 1003 * 512, 0x8000);
    });
    File(81, u"short.bin", [&](B::Record& r) { B::AddDataPiece(r, B::Run(2, 1000), 0, 10 * 512, 10 * 512); });
    auto found = Scan();
    const size_t readsBefore = medium_->reads;
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Recover(found["holes.bin"], bytes), kOk);
    EXPECT_LT(medium_->reads - readsBefore, 12u) << "half a MiB of holes was read from the volume";
    std::vector<uint8_t> expected = head;
    expected.resize(1002 * 512, 0);
    expected.insert(expected.end(), tail.begin(), tail.begin() + 412);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(Recover(found["short.bin"], bytes), kErrFileCorrupt) << "runs that end before the data";
}

TEST_F(BuiltData, CompressedUnitsAreGivenBackAsTheFileReads) {
    builder_.PutMft(128);
    builder_.Write(1100 * 512, kAbcUnit);
    builder_.Write(1101 * 512, kAbcUnit);
    const auto stored = test::PatternBytes(kUnitBytes, 5);
    builder_.Write(1200 * 512, stored);
    // Unit 0 packed in one cluster, unit 1 stored whole, unit 2 all hole, unit 3 packed.
    const auto runs = B::Join({B::Run(1, 1100), B::SparseRun(15), B::Run(16, 100), B::SparseRun(16), B::Run(1, -99),
                               B::SparseRun(15)});
    const uint64_t size = 3 * kUnitBytes + 12;
    File(90, u"packed.dat", [&](B::Record& r) { B::AddDataPiece(r, runs, 0, size, 4 * kUnitBytes, 0x0001, 4); });
    std::vector<uint8_t> lying = kAbcUnit;
    lying[0] = 0xFF, lying[1] = 0xB3;  // a chunk of 1 KiB where the unit stores 512 bytes
    builder_.Write(1102 * 512, lying);
    File(91, u"lying.dat", [&](B::Record& r) {
        B::AddDataPiece(r, B::Join({B::Run(1, 1102), B::SparseRun(15)}), 0, 100, kUnitBytes, 0x0001, 4);
    });
    File(92, u"absurd.dat", [&](B::Record& r) {
        B::AddDataPiece(r, B::Join({B::Run(1, 1100), B::SparseRun(15)}), 0, 100, kUnitBytes, 0x0001, 30);
    });
    File(93, u"unknown.dat", [&](B::Record& r) {
        B::AddDataPiece(r, B::Join({B::Run(1, 1100), B::SparseRun(15)}), 0, 100, kUnitBytes, 0x0002, 4);
    });
    File(94, u"holefirst.dat", [&](B::Record& r) {
        B::AddDataPiece(r, B::Join({B::SparseRun(15), B::Run(1, 1100)}), 0, 100, kUnitBytes, 0x0001, 4);
    });
    auto found = Scan();

    std::vector<uint8_t> expected = Abc();
    expected.resize(kUnitBytes, 0);
    expected.insert(expected.end(), stored.begin(), stored.end());
    expected.resize(3 * kUnitBytes, 0);
    const auto abc = Abc();
    expected.insert(expected.end(), abc.begin(), abc.end());
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Recover(found["packed.dat"], bytes), kOk);
    EXPECT_EQ(bytes, expected);

    // The formatted scan's reader of old records, placing clusters itself.
    auto former = NtfsDataReader::ForFormerVolume(engine_->Reader(), found["packed.dat"].entrySector, 0, 512);
    std::vector<uint8_t> all, piece;
    while (all.size() < size && former.ReadPiece(piece) == kOk && !piece.empty())
        all.insert(all.end(), piece.begin(), piece.end());
    all.resize(std::min<size_t>(all.size(), size));
    EXPECT_EQ(all, expected);

    // The preview gets the same bytes.
    std::vector<uint8_t> memory(size);
    std::string temp;
    uint32_t delivered = 0;
    ASSERT_EQ(engine_->ExtractForPreview(&found["packed.dat"], temp, memory, delivered, {}), kOk);
    EXPECT_EQ(delivered, size);
    EXPECT_EQ(memory, expected);

    EXPECT_EQ(Recover(found["lying.dat"], bytes), kErrFileCorrupt);
    EXPECT_EQ(Recover(found["absurd.dat"], bytes), kErrFileCorrupt);
    EXPECT_EQ(Recover(found["unknown.dat"], bytes), kErrUnsupportedCompression);
    EXPECT_EQ(Recover(found["holefirst.dat"], bytes), kErrFileCorrupt) << "stored clusters after a unit's hole";
}

TEST_F(BuiltData, AnEncryptedFileIsMarkedAndSavedOnlyAsItsEncryptedBytes) {
    builder_.PutMft(128);
    const auto cipher = test::PatternBytes(1024, 9);
    builder_.Write(1300 * 512, cipher);
    File(95, u"secret.docx", [&](B::Record& r) { B::AddDataPiece(r, B::Run(2, 1300), 0, 700, 1024, 0x4000); });
    auto found = Scan();
    ASSERT_TRUE(found.count("secret.docx"));
    EXPECT_EQ(found["secret.docx"].contentOk, kContentEncrypted);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Recover(found["secret.docx"], bytes), kErrFileEncrypted);
    EXPECT_FALSE(fs::exists(dir_ / "out" / "secret.docx")) << "nothing claims to be the file";
    EXPECT_EQ(test::ReadFileBytes(dir_ / "out" / "secret.docx.efs-encrypted"), cipher);
    EXPECT_NE(ResultText(kErrFileEncrypted).find("encrypted"), std::string::npos);
    std::vector<uint8_t> memory(1024);
    std::string temp;
    uint32_t delivered = 0;
    EXPECT_EQ(engine_->ExtractForPreview(&found["secret.docx"], temp, memory, delivered, {}),
              kErrFileEncrypted);
}

}  // namespace
}  // namespace kestrune
