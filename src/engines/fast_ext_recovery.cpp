#include "engines/fast_ext_recovery.h"

namespace kestrune {

int CFastExtRecovery::OpenImage(const std::filesystem::path&, uint16_t) {
    return kOk;  // nothing to read on an image: the engine finds nothing anyway
}

int CFastExtRecovery::OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t) {
    startSector_ = startSector;
    sectorCount_ = sectorCount;
    return OpenDiskSource(disk_, disk);
}

}  // namespace kestrune
