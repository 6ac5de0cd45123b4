#include "engines/engine_factory.h"

#include <algorithm>

#include "disk/block_devices.h"
#include "disk/sector_source.h"
#include "engines/boot_classifier.h"
#include "engines/ext/ext_volume.h"
#include "engines/ext/fast_ext_recovery.h"
#include "engines/exfat/fast_exfat_recovery.h"
#include "engines/fat/fast_fat_recovery.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/professional_recovery.h"

namespace kestrune {

namespace {

// The first 16 KiB of the area; a smaller source (a fragment, an image cut short) gives
// what it holds followed by zeros, so that it can still be carved.
int ReadBootArea(SectorSource& source, uint64_t byteOffset, std::vector<uint8_t>& out) {
    out.assign(kBootAreaBytes, 0);
    const uint64_t size = source.medium->SizeBytes();
    const size_t wanted = static_cast<size_t>(
        std::min<uint64_t>(kBootAreaBytes, size > byteOffset ? size - byteOffset : 0));
    size_t got = 0;
    const int rc = wanted == 0 ? kErrReadFault : ReadExactly(*source.medium, byteOffset, out.data(), wanted, got);
    if (rc != kOk) out.clear();
    return rc;
}

}  // namespace

int EngineFactory::ReadBootAreaOfDisk(int disk, uint64_t startSector, std::vector<uint8_t>& out) {
    out.clear();
    SectorSource source;
    if (int rc = OpenDiskSource(source, disk); rc != kOk) return rc;
    FlushVolume(PartitionDeviceAt(disk, startSector));
    DiskGeometry geometry;
    if (DiskGeometryOf(disk, geometry) != kOk) geometry.bytesPerSector = 512;
    return ReadBootArea(source, startSector * geometry.bytesPerSector, out);
}

int EngineFactory::ReadBootAreaOfImage(const std::filesystem::path& image,
                                       std::vector<uint8_t>& out) {
    out.clear();
    SectorSource source;
    if (int rc = OpenImageSource(image, source); rc != kOk) return rc;
    return ReadBootArea(source, 0, out);
}

std::unique_ptr<RecoveryEngineBase> EngineFactory::CreateQuickEngine(FsKind kind) {
    switch (kind) {
        case FsKind::Ext: return std::make_unique<CFastExtRecovery>();
        case FsKind::Ntfs: return std::make_unique<CFastNtfsRecovery>();
        case FsKind::Fat: return std::make_unique<CFastFatRecovery>();
        case FsKind::Exfat: return std::make_unique<CFastExfatRecovery>();
        case FsKind::Other: break;
    }
    return nullptr;
}

namespace {

// An ext volume whose primary superblock was written over still names itself in the
// backup of group 1, past the boot area.
FsKind KindOf(ByteView area, SectorSource& source, uint64_t offset, uint64_t bytes) {
    const FsKind kind = ClassifyBootArea(area);
    if (kind != FsKind::Other || !source.IsOpen()) return kind;
    ExtGeometry geometry;
    std::string why;
    return ReadExtGeometry(source, offset, bytes, geometry, why) ? FsKind::Ext : FsKind::Other;
}

}  // namespace

std::unique_ptr<IStoredPass> EngineFactory::CreatePassForDisk(int disk, uint64_t startSector, uint64_t sectorCount,
                                                             uint16_t driveLetter, ScanCatalogue& catalogue) {
    std::vector<uint8_t> area;
    if (ReadBootAreaOfDisk(disk, startSector, area) != kOk) return nullptr;
    auto pass = std::make_unique<CProfessionalRecovery>(catalogue);
    pass->OpenDisk(disk, startSector, sectorCount, driveLetter);
    return pass;
}

std::unique_ptr<IStoredPass> EngineFactory::CreatePassForImage(const std::filesystem::path& image,
                                                              uint16_t driveLetter, ScanCatalogue& catalogue) {
    std::vector<uint8_t> area;
    if (ReadBootAreaOfImage(image, area) != kOk) return nullptr;
    auto pass = std::make_unique<CProfessionalRecovery>(catalogue);
    pass->OpenImage(image, driveLetter);
    return pass;
}

std::unique_ptr<IFileRecoveryParse> EngineFactory::CreateEngineForDisk(int disk,
                                                                       uint64_t startSector,
                                                                       uint64_t sectorCount,
                                                                       uint16_t driveLetter,
                                                                       int formatted) {
    if (formatted) return CreatePassForDisk(disk, startSector, sectorCount, driveLetter, ScanCatalogue::Instance());
    return OpenQuickEngineForDisk(disk, startSector, sectorCount, driveLetter);
}

std::unique_ptr<RecoveryEngineBase> EngineFactory::OpenQuickEngineForDisk(int disk, uint64_t startSector,
                                                                          uint64_t sectorCount, uint16_t driveLetter,
                                                                          FsKind chosen) {
    std::vector<uint8_t> area;
    if (ReadBootAreaOfDisk(disk, startSector, area) != kOk) return nullptr;
    SectorSource source;
    if (OpenDiskSource(source, disk) != kOk) return nullptr;
    return OpenQuickEngine(std::move(source), {startSector, sectorCount, SectorBytesOf(disk)}, driveLetter, chosen);
}

std::unique_ptr<RecoveryEngineBase> EngineFactory::OpenQuickEngine(SectorSource source, const EngineArea& area,
                                                                   uint16_t driveLetter, FsKind chosen) {
    std::vector<uint8_t> boot;
    if (!source.IsOpen() || ReadBootArea(source, area.start * area.sectorBytes, boot) != kOk) return nullptr;
    auto engine = CreateQuickEngine(chosen != FsKind::Other ? chosen
                                                            : KindOf(ByteView(boot), source, area.start * area.sectorBytes,
                                                                     area.sectors * area.sectorBytes));
    if (engine) engine->Open(std::move(source), area, driveLetter);
    return engine;
}

std::unique_ptr<IFileRecoveryParse> EngineFactory::CreateEngineForImage(
    const std::filesystem::path& image, uint16_t driveLetter, int formatted) {
    if (formatted) return CreatePassForImage(image, driveLetter, ScanCatalogue::Instance());
    return OpenQuickEngineForImage(image, driveLetter);
}

std::unique_ptr<RecoveryEngineBase> EngineFactory::OpenQuickEngineForImage(const std::filesystem::path& image,
                                                                           uint16_t driveLetter, FsKind chosen) {
    SectorSource source;
    if (OpenImageSource(image, source) != kOk) return nullptr;
    const uint64_t sectors = source.totalSectors;
    return OpenQuickEngine(std::move(source), {0, sectors, kImageSectorBytes}, driveLetter, chosen);
}

}  // namespace kestrune
