// An arbitrary folder: the fuzz input becomes the root area of a FAT16 volume (and the
// first cluster of its first folder), walked by the quick scan.
#include "fat_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    static const std::vector<uint8_t> base = fuzz::Fat16Fixture();
    static const FatVolumeInfo volume = [] {
        FatVolumeInfo v;
        v.FromBootSector(ByteView(base), 0, base.size() / 512);
        return v;
    }();
    std::vector<uint8_t> image = base;
    const uint64_t root = volume.ClusterSector(0) * 512;
    const size_t rootBytes = volume.rootSectors * 512;
    std::copy(data, data + std::min(size, rootBytes), image.begin() + static_cast<long>(root));
    const uint64_t first = volume.ClusterSector(2) * 512;
    std::copy(data, data + std::min<size_t>(size, volume.ClusterBytes()), image.begin() + static_cast<long>(first));
    fuzz::ScanAndRead(std::move(image));
    return 0;
}
