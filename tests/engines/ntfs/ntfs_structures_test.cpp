#include "engines/ntfs/ntfs_structures.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "ntfs_builder.h"

namespace kestrune {
namespace {

using test::NtfsImageBuilder;

std::vector<FileRun> Decode(std::vector<uint8_t> runBytes, uint32_t attributeLength = 0) {
    if (attributeLength == 0) attributeLength = static_cast<uint32_t>(NtfsImageBuilder::Align8(0x40 + runBytes.size() + 1));
    std::vector<uint8_t> attribute(std::max<size_t>(attributeLength, 0x40 + runBytes.size() + 1), 0);
    NtfsImageBuilder::Put32(attribute.data() + 4, attributeLength);
    NtfsImageBuilder::Put16(attribute.data() + 0x20, 0x40);
    std::copy(runBytes.begin(), runBytes.end(), attribute.begin() + 0x40);
    std::vector<FileRun> runs;
    DecodeRuns(ByteView(attribute), 512, runs);
    return runs;
}

TEST(DecodeRuns, SignedDeltasSparseRunsAndLimits) {
    auto runs = Decode({0x21, 0x10, 0x00, 0x40});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].clusterCount, 16u);
    EXPECT_EQ(runs[0].lcnDelta, 16384);
    runs = Decode({0x21, 0x10, 0x00, 0xC0});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lcnDelta, -16384) << "the sign comes from the last offset byte";
    runs = Decode({0x21, 0x10, 0x00, 0x40, 0x01, 0x08, 0x11, 0x02, 0x05});
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].clusterCount, 8u);
    EXPECT_EQ(runs[1].lcnDelta, 0) << "a sparse run";
    EXPECT_EQ(runs[2].lcnDelta, 5);
    EXPECT_TRUE(Decode({0x21, 0x10, 0x00, 0x40}, 512).empty()) << "attributes of a sector or more give nothing";
    EXPECT_EQ(Decode({0x21, 0x10, 0x00, 0x40, 0x81, 0x01}).size(), 1u) << "a size above 7 ends the list";
    EXPECT_EQ(Decode({0x44, 0x01}).size(), 0u) << "a run cut off by the attribute's end";
}

TEST(ApplyFixups, EveryStrideOfALargeRecordIsRestored) {
    std::vector<uint8_t> record(4096, 0xAB);
    NtfsImageBuilder::Put16(record.data() + 0x06, 9);  // 8 strides of 512 bytes
    for (int i = 0; i < 8; ++i) {
        record[0x32 + 2 * i] = static_cast<uint8_t>(i);
        record[0x33 + 2 * i] = 0x10;
        NtfsImageBuilder::Put16(record.data() + 512 * (i + 1) - 2, 0x0707);
    }
    ApplyFixups(record, 4096);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(record[512 * (i + 1) - 2], i) << "stride " << i;
        EXPECT_EQ(record[512 * (i + 1) - 1], 0x10);
    }
    std::vector<uint8_t> untouched(1024, 0x55);
    NtfsImageBuilder::Put16(untouched.data() + 0x06, 40);  // more strides than the record holds
    ApplyFixups(untouched, 1024);
    EXPECT_EQ(untouched[1022], 0x55) << "only the record's two strides are written";
    EXPECT_EQ(untouched[510], 0x55);
}

TEST(NtfsGeometry, FollowsTheBootSector) {
    NtfsImageBuilder builder(512, 128, 64);
    NtfsVolumeGeometry geometry;
    ASSERT_TRUE(geometry.FromBootSector(ByteView(builder.Image()), 2048, 1000));
    EXPECT_EQ(geometry.sectorsPerCluster, 128u);
    EXPECT_EQ(geometry.clusterBytes, 65536u);
    EXPECT_EQ(geometry.mftStartSector, 2048u + 4 * 128);
    EXPECT_EQ(geometry.recordSize, 1024u);
    NtfsImageBuilder large(4096, 1, 64);
    ASSERT_TRUE(geometry.FromBootSector(ByteView(large.Image()), 0, 1000));
    EXPECT_EQ(geometry.recordSize, 4096u);
    EXPECT_EQ(geometry.sectorsPerRecord, 1u);
    auto boot = builder.Image();
    boot[13] = 0;
    EXPECT_FALSE(geometry.FromBootSector(ByteView(boot), 0, 1000)) << "no cluster size";
    boot[13] = 8;
    boot[11] = 0, boot[12] = 0;
    ASSERT_TRUE(geometry.FromBootSector(ByteView(boot), 0, 1000));
    EXPECT_EQ(geometry.bytesPerSector, 512u) << "a zero sector size means 512";
}

class TwoRunMft : public ::testing::Test {
protected:
    TwoRunMft() : builder_(512, 1, 4096) {
        builder_.SplitMft(40, 2000);
        builder_.PutMft(80);
        source_ = SourceOverMedium(std::make_unique<MemoryMedium>(builder_.Image()), 512);
        reader_.source = &source_;
        reader_.geometry.FromBootSector(ByteView(builder_.Image()), 0, source_.totalSectors);
        reader_.FindAttributeRuns(reader_.geometry.mftStartSector, ntfs::kAttrData, reader_.geometry.mftRuns);
    }
    void Refresh() {
        source_ = SourceOverMedium(std::make_unique<MemoryMedium>(builder_.Image()), 512);
    }
    NtfsImageBuilder builder_;
    SectorSource source_;
    NtfsReader reader_;
};

TEST_F(TwoRunMft, RecordsOnTheRunBoundaryMapIntoTheSecondRun) {
    ASSERT_EQ(reader_.geometry.mftRuns.size(), 2u);
    EXPECT_EQ(reader_.RecordSector(39), 4u + 39 * 2);
    EXPECT_EQ(reader_.RecordSector(40), 2000u) << "the first sector of the second run";
    EXPECT_EQ(reader_.RecordSector(41), 2002u);
    EXPECT_EQ(reader_.RecordSector(500), 0u) << "no run holds it: the boot sector";
}

TEST_F(TwoRunMft, AttributeListsLeadToTheRecordThatHoldsTheData) {
    // Record 50 has only a resident attribute list naming record 60 for its $DATA.
    NtfsImageBuilder::Record base;
    base.number = 50;
    base.flags = 1;
    NtfsImageBuilder::AddFileName(base, 5, u"listed.bin");
    std::vector<uint8_t> entry(0x20, 0);
    NtfsImageBuilder::Put32(entry.data(), 0x80);
    NtfsImageBuilder::Put16(entry.data() + 4, 0x20);
    NtfsImageBuilder::Put32(entry.data() + 0x10, 60);
    NtfsImageBuilder::AddResident(base, 0x20, entry);
    builder_.Put(base);
    NtfsImageBuilder::Record extension;
    extension.number = 60;
    extension.flags = 1;
    NtfsImageBuilder::AddNonResident(extension, 0x80, NtfsImageBuilder::Run(3, 3000), 1500);
    builder_.Put(extension);
    // Record 51 keeps its attribute list outside the MFT, in cluster 3500.
    NtfsImageBuilder::Record outside;
    outside.number = 51;
    outside.flags = 1;
    NtfsImageBuilder::AddNonResident(outside, 0x20, NtfsImageBuilder::Run(1, 3500), entry.size());
    builder_.Put(outside);
    builder_.Write(3500 * 512, entry);
    // Record 52 has nothing; 53 is no record at all.
    NtfsImageBuilder::Record empty;
    empty.number = 52;
    builder_.Put(empty);
    Refresh();

    std::vector<FileRun> runs;
    EXPECT_EQ(reader_.FindAttributeRuns(reader_.RecordSector(50), ntfs::kAttrData, runs), kOk);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lcnDelta, 3000);
    runs.clear();
    EXPECT_EQ(reader_.FindAttributeRuns(reader_.RecordSector(51), ntfs::kAttrData, runs), kOk);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].clusterCount, 3u);
    runs.clear();
    EXPECT_EQ(reader_.FindAttributeRuns(reader_.RecordSector(52), ntfs::kAttrData, runs), kErrAttributeNotFound);
    EXPECT_EQ(reader_.FindAttributeRuns(reader_.RecordSector(53), ntfs::kAttrData, runs), kErrNotMftRecord);
}

}  // namespace
}  // namespace kestrune
