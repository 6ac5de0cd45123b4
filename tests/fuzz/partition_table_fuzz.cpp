// Arbitrary bytes as a disk: the MBR, its extended chain and a GPT (or its backup at the
// end) read from it, in either sector size, and the volumes a search finds in it.
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/partition_table.h"
#include "engines/lost_volumes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    // Read as a disk of 512-byte sectors and, when it is long enough, of 4096-byte ones.
    for (const uint32_t sectorSize : {512u, 4096u}) {
        std::vector<uint8_t> disk(data, data + size);
        disk.resize((disk.size() + sectorSize - 1) / sectorSize * sectorSize, 0);
        SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(disk)), sectorSize);
        std::vector<PartitionEntry> entries;
        ReadPartitionTable(source, sectorSize, source.totalSectors, entries);
        for (const PartitionEntry& e : entries)
            if (e.startSector + e.sectorCount > source.totalSectors) __builtin_trap();
        // The search for volumes the table no longer names, over the same bytes.
        for (const FoundVolume& v : FindVolumes(source, sectorSize, source.totalSectors))
            if (v.startSector + v.sectorCount > source.totalSectors) __builtin_trap();
        // And over a gap from the second sector to the last but one: nothing found outside it.
        if (source.totalSectors > 2)
            for (const FoundVolume& v : FindVolumesIn(source, sectorSize, source.totalSectors, 1, source.totalSectors - 1))
                if (v.startSector < 1 || v.startSector + v.sectorCount > source.totalSectors - 1) __builtin_trap();
    }
    SectorSizeOfImage(ByteView(data, size));
    return 0;
}
