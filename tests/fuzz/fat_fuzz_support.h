// A FAT16 image to lay fuzz input over, and a quick scan over it with every found file
// read back.
#pragma once

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engines/fat/fast_fat_recovery.h"
#include "engines/fat/fat_data.h"
#include "fuzz_scratch.h"
#include "scanlog/scan_catalogue.h"

namespace kestrune::fuzz {

inline std::vector<uint8_t> Fat16Fixture() {
    std::vector<uint8_t> image;
    gzFile in = gzopen(KESTRUNE_FIXTURES_DIR "/fat/fat16.img.gz", "rb");
    if (!in) std::abort();
    char buffer[65536];
    int n;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0) image.insert(image.end(), buffer, buffer + n);
    gzclose(in);
    return image;
}

// withFreeSpace: also build the allocation map and walk the free extents (reads of the
// FAT that only the volume target varies; the folder target leaves them out to run faster).
inline void ScanAndRead(std::unique_ptr<PatchedMedium> image, bool withFreeSpace) {
    CFastFatRecovery engine;
    engine.SetRunFolder(ScratchRunFolder());
    engine.SetListExisting(withFreeSpace);  // the volume target lists the files that exist too
    const uint64_t sectors = image->SizeBytes() / 512;
    if (engine.Open(SourceOverMedium(std::move(image), 512), {0, sectors}, 1) != 0) return;
    engine.Scan(nullptr);
    if (withFreeSpace) {
        engine.BuildAllocationMap();
        uint64_t position = 0, length = 0;
        for (int i = 0; i < 64 && engine.NextFreeExtent(position, length) && length; ++i) position += length;
    }
    ScanLogFile* log = engine.Log();
    for (uint32_t id = 1; log && id <= log->RecordCount() && id < 64; ++id) {
        ScanRecord record;
        if (log->ReadRecord(id, record) != 0) continue;
        std::string path;
        engine.GetRecordPath(record, path);
        std::vector<uint8_t> buffer(4096);
        std::string temp;
        uint32_t delivered = 0;
        SetRecordName(record, "x.bin");  // into memory, never to a file
        engine.ExtractForPreview(&record, temp, buffer, delivered, {});
    }
}

}  // namespace kestrune::fuzz
