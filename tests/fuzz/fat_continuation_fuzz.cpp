// Where a deleted folder goes on: the fuzz input becomes the entries of a deleted folder
// of a FAT16 volume (after its "." pair) and of the free clusters after it, so that the
// quick scan searches the free clusters for the folder's continuation and walks what it
// gives the folder.
#include <algorithm>
#include <memory>

#include "fat_fuzz_support.h"

namespace {

struct Base {
    std::vector<uint8_t> image;
    kestrune::FatVolumeInfo volume;
    uint32_t folder = 0;               // first cluster of a deleted folder
    std::vector<uint32_t> freeAfter;   // free clusters after it
};

const Base& Prepared() {
    static const Base base = [] {
        using namespace kestrune;
        Base b;
        b.image = fuzz::Fat16Fixture();
        b.volume.FromBootSector(ByteView(b.image), 0, b.image.size() / 512);
        CFastFatRecovery engine;
        engine.SetRunFolder(ScanCatalogue::Instance().NewRunFolder());
        engine.Open(SourceOverMedium(std::make_unique<MemoryMedium>(b.image), 512), {0, b.image.size() / 512}, 1);
        engine.Scan(nullptr);
        for (uint32_t id = 1; id <= engine.Log()->RecordCount(); ++id) {
            ScanRecord r;
            if (engine.Log()->ReadRecord(id, r) == 0 && r.isFolder && r.folderDeleted && b.folder == 0) b.folder = r.fsId;
        }
        FatTable table;
        SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(b.image), 512);
        table.Attach(&b.volume, &source);
        for (uint32_t n = b.folder + 1; n < b.volume.ClusterCount() + 2 && b.freeAfter.size() < 16; ++n) {
            uint32_t value = 1;
            if (table.Entry(n, value) && value == 0) b.freeAfter.push_back(n);
        }
        // Every other free cluster is marked bad in both FATs: the search then examines
        // only the clusters the input fills, instead of reading thousands of unchanged
        // free clusters for every input.
        for (uint32_t n = 2; n < b.volume.ClusterCount() + 2; ++n) {
            uint32_t value = 1;
            if (!table.Entry(n, value) || value != 0) continue;
            if (std::find(b.freeAfter.begin(), b.freeAfter.end(), n) != b.freeAfter.end()) continue;
            for (uint32_t copy = 0; copy < b.volume.fatCount; ++copy) {
                const uint64_t at = (b.volume.FatStart() + uint64_t{copy} * b.volume.fatSectors) * 512 + n * 2;
                b.image[at] = 0xF7;
                b.image[at + 1] = 0xFF;
            }
        }
        return b;
    }();
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Base& base = Prepared();
    if (base.folder < 2) return 0;
    // The input is laid over the shared image: no copy of it per input.
    auto image = std::make_unique<kestrune::fuzz::PatchedMedium>(base.image);
    const size_t clusterBytes = base.volume.ClusterBytes();
    // The folder keeps its "." and ".." entries; the input follows them.
    size_t used = std::min(size, clusterBytes - 64);
    image->Patch(base.volume.ClusterSector(base.folder) * 512 + 64, data, used);
    for (uint32_t cluster : base.freeAfter) {
        if (used >= size) break;
        const size_t piece = std::min(size - used, clusterBytes);
        image->Patch(base.volume.ClusterSector(cluster) * 512, data + used, piece);
        used += piece;
    }
    kestrune::fuzz::ScanAndRead(std::move(image), false);
    return 0;
}
