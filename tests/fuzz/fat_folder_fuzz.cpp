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
    auto image = std::make_unique<fuzz::PatchedMedium>(base);
    image->Patch(volume.ClusterSector(0) * 512, data, std::min<size_t>(size, volume.rootSectors * 512));
    image->Patch(volume.ClusterSector(2) * 512, data, std::min<size_t>(size, volume.ClusterBytes()));
    fuzz::ScanAndRead(std::move(image), false);
    return 0;
}
