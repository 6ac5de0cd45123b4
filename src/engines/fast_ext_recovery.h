// CFastExtRecovery: stands in for ext volumes in quick mode; it finds nothing.
#pragma once

#include "disk/sector_source.h"
#include "engines/recovery_engine.h"

namespace kestrune {

class CFastExtRecovery final : public IFileRecoveryParse {
public:
    int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) override;
    int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount,
                 uint16_t driveLetter) override;
    // It writes no log, so the folder is not needed.
    void SetRunFolder(const std::string&) override {}
    int SetCallbacks(ScanProgressFn, RecoverProgressFn, void*, int) override { return kOk; }
    int Scan(const std::string*) override { return kOk; }
    int ListChildren(const ScanRecord*, int, std::vector<ScanRecord>&) override { return kOk; }
    int CountFiles(const ScanRecord*, int, int& count) override {
        count = 0;
        return kOk;
    }
    uint64_t GetRecordCount() override { return 0; }
    int GetRecordPath(const ScanRecord&, std::string&) override { return kOk; }
    int Recover(const ScanRecord&, const std::filesystem::path&, int) override { return kOk; }
    int NextFreeExtent(uint64_t&, uint64_t& length) override {
        length = 0;
        return 0;
    }
    int SetLogCallback(SearchProgressFn, void*) override { return kOk; }
    int SearchByExtension(std::string_view, std::vector<ScanRecord>&) override { return kOk; }
    int BuildAllocationMap() override { return 1; }  // there is no map to build
    int ExtractForPreview(const ScanRecord*, std::string&, std::span<uint8_t>, uint32_t& delivered,
                          PreviewProgressFn, void*) override {
        delivered = 0;
        return kOk;
    }

    bool HoldsDisk() const { return disk_.IsOpen(); }

private:
    SectorSource disk_;
    uint64_t startSector_ = 0;
    uint64_t sectorCount_ = 0;
};

}  // namespace kestrune
