// Arbitrary bytes as an ext volume and as its parts: the superblock (the primary, or the
// backup when it fails), group descriptors, inodes, extent trees and indirect maps, the
// whole quick scan over the folders and the journal, the listing of a former volume's
// files from the inode tables; and the bytes taken alone as a
// directory block, an inode and a journal descriptor block of every tag layout.
#include "engines/ext/ext_data.h"
#include "engines/ext/ext_directory.h"
#include "engines/ext/ext_journal.h"
#include "engines/ext/fast_ext_recovery.h"
#include "fuzz_scratch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    const ByteView bytes(data, size);
    for (uint32_t features : {0u, 0x2u, 0x8u, 0xAu, 0x10u, 0x12u}) ParseDescriptorTags(bytes, features);
    ParseDirectoryBlock(bytes, 1u << 20, false);
    ParseDirectoryBlock(bytes, 1u << 20, true);
    ParentInDirectoryBlock(bytes);
    LooksLikeDirectoryBlock(bytes);
    IsIndexRoot(bytes);
    ParseExtInode(bytes, 256);
    InlineData(bytes, 256, 4096);

    std::vector<uint8_t> area(data, data + size);
    area.resize(std::max<size_t>((area.size() + 511) / 512 * 512, 4096), 0);
    const uint64_t sectors = area.size() / 512;
    CFastExtRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.SetListExisting(size % 2 == 1);  // the files that exist are read as well, half the time
    if (engine.Open(SourceOverMedium(std::make_unique<MemoryMedium>(area), 512), {0, sectors, 512}, 1) != 0)
        return 0;
    engine.Scan(nullptr);
    uint64_t position = 0, length = 0;
    for (int i = 0; i < 64 && engine.NextFreeExtent(position, length) && length != 0; ++i) position += length;
    for (uint32_t n = 1; n <= 32; ++n) engine.FormerInodeOf(n);

    CFastExtRecovery former;
    former.SetFormerVolume();
    former.SetRunFolder(fuzz::ScratchRunFolder());
    if (former.Open(SourceOverMedium(std::make_unique<MemoryMedium>(area), 512), {0, sectors, 512}, 1) == 0)
        former.Scan(nullptr);
    return 0;
}
