// Arbitrary bytes as a disk: the MBR, its extended chain and a GPT read from it.
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((disk.size() + 511) / 512 * 512, 0);
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(std::move(disk)), 512);
    std::vector<PartitionEntry> entries;
    ReadPartitionTable(source, 512, source.totalSectors, entries);
    for (const PartitionEntry& e : entries)
        if (e.startSector + e.sectorCount > source.totalSectors) __builtin_trap();
    return 0;
}
