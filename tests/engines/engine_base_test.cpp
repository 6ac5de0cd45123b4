// The common part of every engine, through the smallest engine there can be: one that
// fills in the two hooks a new file system needs (attaching to a volume and opening a
// found file's data) and gets listing, recovery, preview and data maps from the base.
#include "engines/engine_base.h"

#include <gtest/gtest.h>

#include "scanlog/scan_catalogue.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSector = 512;

// Files lie in one run from their entrySector; a record naming sector 0 has lost its data.
class OneRunEngine final : public RecoveryEngineBase {
public:
    int Attach(const EngineArea& area) override {
        attached_ = area;
        return log_.Open("Fast_test", true);
    }
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override {
        if (record.entrySector == 0) return kErrInvalidData;
        if (layoutGuessed) *layoutGuessed = record.fsId == 99;
        data = std::make_unique<ContiguousReader>(source_, kSector, record.entrySector, record.fileSize);
        return kOk;
    }
    ScanRecord Add(const char* name, uint64_t sector, uint64_t size, uint32_t parent = 0, uint32_t fsId = 0,
                   bool folder = false) {
        ScanRecord record{};
        record.isFolder = folder ? 1 : 0;
        record.contentOk = 1;
        record.fsId = fsId;
        record.fileSize = size;
        record.entrySector = sector;
        SetRecordName(record, name);
        record.recordId = log_.get()->AppendCopy(record);
        const std::string text = name;
        log_.get()->LinkRecord(parent, parent ? 1 : 0, record.recordId, fsId, folder ? &text : nullptr);
        return record;
    }
    EngineArea attached_;
};

std::vector<uint8_t> Numbered(size_t bytes) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

struct Ended {
    int files = 0, lastError = -1;
};

class BaseEngine : public ::testing::Test {
protected:
    void SetUp() override {
        image_.assign(64 * kSector, 0xEE);
        const auto data = Numbered(3 * kSector);
        std::copy(data.begin(), data.end(), image_.begin() + 8 * kSector);
        engine_.SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        ASSERT_EQ(engine_.Open(SourceOverMedium(std::make_unique<MemoryMedium>(image_), kSector),
                               {2, 60, kSector}, 1001),
                  kOk);
        engine_.SetCopyProgress([this](int percent, int error) {
            if (percent == 100) ++ended_.files, ended_.lastError = error;
            return true;
        });
    }
    std::vector<uint8_t> image_;
    OneRunEngine engine_;
    Ended ended_;
    test::TempDir dir_;
};

TEST_F(BaseEngine, FilesOfEverySizeAroundASectorComeBackToTheByte) {
    EXPECT_EQ(engine_.attached_.start, 2u);
    for (uint64_t size : {0, 1, 511, 512, 513, 1536}) {
        const ScanRecord file = engine_.Add(("f" + std::to_string(size)).c_str(), 8, size);
        const fs::path target = dir_ / ("f" + std::to_string(size));
        ASSERT_EQ(engine_.Recover(file, target, 0), kOk) << size;
        const auto expected = Numbered(3 * kSector);
        EXPECT_EQ(test::ReadFileBytes(target), std::vector<uint8_t>(expected.begin(), expected.begin() + size)) << size;
        EXPECT_EQ(ended_.lastError, kOk);
    }
}

TEST_F(BaseEngine, AFolderComesBackWithItsTreeAndAFileWithoutDataIsNotWritten) {
    const ScanRecord folder = engine_.Add("Photos", 0, 0, 0, 7, true);
    engine_.Add("a.bin", 8, 700, 7, 0);
    engine_.Add("lost.bin", 0, 700, 7, 0);  // where its data lay is known no more
    std::vector<ScanRecord> top;
    ASSERT_EQ(engine_.ListChildren(nullptr, 0, top), kOk);
    ASSERT_EQ(top.size(), 1u);
    int count = 0;
    ASSERT_EQ(engine_.CountFiles(&folder, 1, count), kOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(engine_.Recover(folder, dir_ / "Photos", 0), kErrInvalidData) << "the walk tells what failed";
    EXPECT_EQ(fs::file_size(dir_ / "Photos" / "a.bin"), 700u);
    EXPECT_FALSE(fs::exists(dir_ / "Photos" / "lost.bin")) << "nothing that could be wrong";
    EXPECT_EQ(ended_.lastError, kErrInvalidData) << "the file's end is told with why";
}

TEST_F(BaseEngine, PreviewAndMapReadThroughTheSameHook) {
    const ScanRecord file = engine_.Add("x.bin", 8, 600, 0, 99);
    std::vector<uint8_t> buffer(1000);
    std::string tempPath;
    uint32_t delivered = 0;
    ASSERT_EQ(engine_.ExtractForPreview(&file, tempPath, buffer, delivered, {}), kOk);
    ASSERT_EQ(delivered, 600u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 600, Numbered(600).begin()));
    DataMap map;
    ASSERT_EQ(engine_.MapData(file, map), kOk);
    EXPECT_EQ(map.runs, (std::vector<ByteRun>{{0, 8 * kSector, 600}}));
    EXPECT_TRUE(map.layoutGuessed);
    EXPECT_EQ(engine_.ExtractForPreview(nullptr, tempPath, buffer, delivered, {}), kErrInvalidParameter);
    std::vector<ScanRecord> matches;
    ASSERT_EQ(engine_.SearchByExtension("*.bin", matches), kOk);
    EXPECT_EQ(matches.size(), 1u);
}

TEST_F(BaseEngine, AStopFromTheCopyProgressEndsTheCopyAndLeavesNoPreview) {
    const ScanRecord file = engine_.Add("big.bin", 8, 3 * kSector, 0, 99);
    engine_.SetCopyProgress([](int, int) { return false; });
    const fs::path target = dir_ / "big.bin";
    EXPECT_EQ(engine_.Recover(file, target, 0), CancelCode);
    std::vector<uint8_t> buffer(4 * kSector);
    std::string tempPath;
    uint32_t delivered = 0;
    EXPECT_EQ(engine_.ExtractForPreview(&file, tempPath, buffer, delivered, [](int, int) { return false; }), CancelCode);
    EXPECT_TRUE(tempPath.empty());
}

}  // namespace
}  // namespace kestrune
