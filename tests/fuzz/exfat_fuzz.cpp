// Arbitrary bytes as the start of an exFAT volume: its boot region (main and backup),
// the FAT, bitmap, up-case table and folder tree it names with every file's data, every
// entry set at every offset, and the bytes taken as an up-case table.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/exfat/exfat_data.h"
#include "engines/exfat/exfat_entries.h"
#include "engines/exfat/exfat_tree.h"
#include "engines/exfat/exfat_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    const ByteView bytes(data, size);
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((disk.size() + 511) / 512 * 512, 0);
    SectorSource source = SourceOverMedium(std::make_unique<MemoryMedium>(disk), 512);
    ExfatGeometry volume;
    std::string why;
    if (ReadExfatGeometry(source, 0, source.totalSectors, volume, why)) {
        ExfatFat fat;
        fat.Attach(&volume, &source);
        const auto root = ReadExfatStream(source, volume, fat, volume.rootCluster, 1 << 16, false, 1 << 16);
        ExfatEntrySet set;
        for (size_t at = 0; at < root.size(); at += exfat::kEntryBytes) ParseEntrySet(ByteView(root), at, set);
        for (uint32_t n = 0; n < 64; ++n) fat.Entry(volume.rootCluster + n);
        // The whole tree, and every file's data as recovery reads it.
        ExfatTree tree(source, volume, fat);
        std::string reason;
        if (tree.LoadRoot(reason))
            tree.Walk([&](const ExfatFound& found) {
                ExfatDataReader data(source, volume,
                                     ExfatStreamClusters(volume, fat, tree.Bitmap(), found.set.firstCluster,
                                                         std::min<uint64_t>(found.set.dataLength, 1 << 16),
                                                         found.set.Contiguous(), found.set.deleted));
                std::vector<uint8_t> piece;
                while (data.ReadPiece(piece) == 0 && !piece.empty()) {
                }
                return 0;
            });
    }
    ExfatEntrySet set;
    for (size_t at = 0; at < size; at += exfat::kEntryBytes)
        ParseEntrySet(bytes, at, set);
    ExfatTime(bytes.le32(0), bytes.u8(4), bytes.u8(5));
    UpcaseTable upcase;
    upcase.Assign(bytes);
    upcase.NameHash(set.name);
    AllocationBitmap bitmap;
    bitmap.Assign(std::vector<uint8_t>(data, data + std::min<size_t>(size, 64)), static_cast<uint32_t>(size));
    bitmap.InUse(static_cast<uint32_t>(size));
    return 0;
}
