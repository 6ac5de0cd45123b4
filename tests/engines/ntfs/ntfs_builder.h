// Builds small NTFS volumes byte by byte, for the records no formatting tool makes:
// attribute lists, reused parents, loops, MFTs in two runs, large sectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestrune::test {

class NtfsImageBuilder {
public:
    // bytesPerSector 512 gives 1,024-byte records; larger sectors one-sector records.
    NtfsImageBuilder(uint32_t bytesPerSector, uint32_t sectorsPerCluster, uint64_t clusters)
        : bps_(bytesPerSector), spc_(sectorsPerCluster), recordSize_(bytesPerSector == 512 ? 1024 : bytesPerSector),
          image_(clusters * bytesPerSector * sectorsPerCluster, 0) {
        uint8_t* b = image_.data();
        b[0] = 0xEB, b[1] = 0x52, b[2] = 0x90;
        std::memcpy(b + 3, "NTFS    ", 8);
        Put16(b + 11, static_cast<uint16_t>(bps_));
        b[13] = static_cast<uint8_t>(spc_);
        Put64(b + 40, clusters * spc_ - 1);
        Put64(b + 48, kMftCluster);
        b[510] = 0x55, b[511] = 0xAA;
    }

    static constexpr uint64_t kMftCluster = 4;
    uint32_t ClusterBytes() const { return bps_ * spc_; }
    uint32_t RecordSize() const { return recordSize_; }

    // A record's attribute area, filled by the Add* calls, written by Put.
    struct Record {
        uint32_t number = 0;
        uint16_t flags = 0;
        uint64_t baseRecord = 0;  // an extension record names its base record
        std::vector<uint8_t> attributes;
    };

    static void AddFileName(Record& r, uint32_t parent, const std::u16string& name, uint8_t nameSpace = 1,
                            uint64_t size = 0, uint64_t time = 131254000000000000ULL) {
        std::vector<uint8_t> value(0x42 + 2 * name.size(), 0);
        Put64(value.data(), parent | (uint64_t{1} << 48));
        for (size_t at : {0x08, 0x10, 0x18, 0x20}) Put64(value.data() + at, time);
        Put64(value.data() + 0x28, size);
        Put64(value.data() + 0x30, size);
        value[0x40] = static_cast<uint8_t>(name.size());
        value[0x41] = nameSpace;
        std::memcpy(value.data() + 0x42, name.data(), 2 * name.size());
        AddResident(r, 0x30, value);
    }

    static void AddResident(Record& r, uint32_t type, const std::vector<uint8_t>& value) {
        std::vector<uint8_t> a(Align8(0x18 + value.size()), 0);
        Put32(a.data(), type);
        Put32(a.data() + 4, static_cast<uint32_t>(a.size()));
        Put32(a.data() + 0x10, static_cast<uint32_t>(value.size()));
        Put16(a.data() + 0x14, 0x18);
        std::copy(value.begin(), value.end(), a.begin() + 0x18);
        r.attributes.insert(r.attributes.end(), a.begin(), a.end());
    }

    // runs: the encoded run list, without its closing 0.
    static void AddNonResident(Record& r, uint32_t type, const std::vector<uint8_t>& runs, uint64_t dataSize,
                               uint8_t nameLength = 0) {
        std::vector<uint8_t> a(Align8(0x40 + runs.size() + 1), 0);
        Put32(a.data(), type);
        Put32(a.data() + 4, static_cast<uint32_t>(a.size()));
        a[8] = 1;
        a[9] = nameLength;
        Put16(a.data() + 0x20, 0x40);
        Put64(a.data() + 0x28, dataSize);
        Put64(a.data() + 0x30, dataSize);
        Put64(a.data() + 0x38, dataSize);
        std::memcpy(a.data() + 0x40, runs.data(), runs.size());
        r.attributes.insert(r.attributes.end(), a.begin(), a.end());
    }

    // A non-resident piece with everything set: its flags (compressed 0x0001, encrypted
    // 0x4000, sparse 0x8000), compression unit (log2 of clusters), lowest VCN and sizes.
    static void AddDataPiece(Record& r, const std::vector<uint8_t>& runs, uint64_t lowestVcn, uint64_t dataSize,
                             uint64_t allocated, uint16_t flags = 0, uint8_t unit = 0) {
        AddNonResident(r, 0x80, runs, dataSize);
        uint8_t* a = r.attributes.data() + r.attributes.size() - Align8(0x40 + runs.size() + 1);
        Put16(a + 0x0C, flags);
        Put64(a + 0x10, lowestVcn);
        a[0x22] = unit;
        Put64(a + 0x28, allocated);
    }

    // A sparse run: count clusters with no place on the volume.
    static std::vector<uint8_t> SparseRun(uint32_t count) {
        return {0x04, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count >> 16),
                static_cast<uint8_t>(count >> 24)};
    }

    static std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    }

    // One run: count clusters at a signed distance from the previous run's start.
    static std::vector<uint8_t> Run(uint32_t count, int32_t delta) {
        return {0x24, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count >> 16),
                static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(delta), static_cast<uint8_t>(delta >> 8)};
    }

    // Writes a record at its place in the MFT (which is contiguous from kMftCluster, or
    // split at splitRecord when SplitMft was called), with update sequence fixups.
    void Put(const Record& r) {
        std::vector<uint8_t> rec(recordSize_, 0);
        std::memcpy(rec.data(), "FILE", 4);
        const uint16_t strides = static_cast<uint16_t>(recordSize_ / 512);
        Put16(rec.data() + 0x04, 0x30);
        Put16(rec.data() + 0x06, static_cast<uint16_t>(strides + 1));
        const uint16_t first = static_cast<uint16_t>(Align8(0x32 + 2 * strides));
        Put16(rec.data() + 0x14, first);
        Put16(rec.data() + 0x16, r.flags);
        std::copy(r.attributes.begin(), r.attributes.end(), rec.begin() + first);
        Put32(rec.data() + first + r.attributes.size(), 0xFFFFFFFF);
        Put32(rec.data() + 0x18, static_cast<uint32_t>(first + r.attributes.size() + 8));
        Put32(rec.data() + 0x1C, recordSize_);
        Put64(rec.data() + 0x20, r.baseRecord);
        Put32(rec.data() + 0x2C, r.number);
        const uint16_t sequence = 0x0707;
        Put16(rec.data() + 0x30, sequence);
        for (uint16_t i = 0; i < strides; ++i) {
            uint8_t* end = rec.data() + 512 * (i + 1) - 2;
            std::memcpy(rec.data() + 0x32 + 2 * i, end, 2);
            Put16(end, sequence);
        }
        // Sector by sector: a record may begin in the MFT's first run and end in its second.
        for (uint32_t at = 0; at < recordSize_; at += 512)
            std::memcpy(image_.data() + MftOffset(uint64_t{r.number} * recordSize_ + at), rec.data() + at, 512);
    }

    // Puts records from splitRecord on at another place: the MFT in two runs.
    void SplitMft(uint32_t splitRecord, uint64_t secondCluster) {
        SplitMftAtByte(uint64_t{splitRecord} * recordSize_, secondCluster);
    }
    // The MFT's first run ends after firstBytes (a whole number of clusters).
    void SplitMftAtByte(uint64_t firstBytes, uint64_t secondCluster) {
        firstBytes_ = firstBytes;
        secondCluster_ = secondCluster;
    }

    uint64_t RecordOffset(uint32_t number) const { return MftOffset(uint64_t{number} * recordSize_); }
    uint64_t MftOffset(uint64_t position) const {
        if (position < firstBytes_) return kMftCluster * ClusterBytes() + position;
        return secondCluster_ * ClusterBytes() + (position - firstBytes_);
    }

    // Record 0 ($MFT) describing the MFT's runs for records records in all.
    void PutMft(uint32_t records) {
        Record mft;
        mft.number = 0;
        mft.flags = 1;
        AddFileName(mft, 5, u"$MFT");
        AddNonResident(mft, 0x80, MftRuns(records), uint64_t{records} * recordSize_);
        Put(mft);
    }

    // The encoded runs of an MFT of records records, split as SplitMft* said.
    std::vector<uint8_t> MftRuns(uint32_t records) const {
        const uint64_t bytes = uint64_t{records} * recordSize_;
        const uint64_t first = std::min(bytes, firstBytes_);
        auto runs = Run(static_cast<uint32_t>((first + ClusterBytes() - 1) / ClusterBytes()), static_cast<int32_t>(kMftCluster));
        if (bytes > firstBytes_) {
            const uint32_t rest = static_cast<uint32_t>((bytes - firstBytes_ + ClusterBytes() - 1) / ClusterBytes());
            const auto second = Run(rest, static_cast<int32_t>(secondCluster_ - kMftCluster));
            runs.insert(runs.end(), second.begin(), second.end());
        }
        return runs;
    }

    void Write(uint64_t offset, const std::vector<uint8_t>& bytes) {
        std::memcpy(image_.data() + offset, bytes.data(), bytes.size());
    }
    const std::vector<uint8_t>& Image() const { return image_; }

    static void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
    static void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
    static void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
    static size_t Align8(size_t n) { return (n + 7) / 8 * 8; }

private:
    uint32_t bps_, spc_, recordSize_;
    std::vector<uint8_t> image_;
    uint64_t firstBytes_ = UINT64_MAX;
    uint64_t secondCluster_ = 0;
};

}  // namespace kestrune::test
