// One arbitrary MFT record, put into a small volume as a deleted file's record, through
// the quick scan (record step, parent climb, folder pass) and the data reader.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/ntfs/ntfs_data.h"
#include "ntfs_builder.h"
#include "scanlog/scan_catalogue.h"

// Scan logs go to a scratch folder of this process, removed at its end.
static std::filesystem::path gScratch;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gScratch = std::filesystem::temp_directory_path() / ("kestrune-fuzz-" + std::to_string(::getpid()));
    ::setenv("KESTRUNE_DATA_HOME", gScratch.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(gScratch, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    static const test::NtfsImageBuilder base = [] {
        test::NtfsImageBuilder builder(512, 8, 256);
        builder.PutMft(128);
        test::NtfsImageBuilder::Record root;
        root.number = 5;
        root.flags = 3;
        test::NtfsImageBuilder::AddFileName(root, 5, u".");
        builder.Put(root);
        return builder;
    }();
    std::vector<uint8_t> image = base.Image();
    // The input is record 64, and (flags cleared, as a deleted file) record 65.
    const size_t recordSize = base.RecordSize();
    const size_t length = std::min(size, recordSize);
    std::copy_n(data, length, image.begin() + static_cast<long>(base.RecordOffset(64)));
    std::copy_n(data, length, image.begin() + static_cast<long>(base.RecordOffset(65)));
    if (length > 0x17) image[base.RecordOffset(65) + 0x16] = image[base.RecordOffset(65) + 0x17] = 0;
    ScanCatalogue::Instance().NewRunFolder();
    CFastNtfsRecovery engine;
    if (engine.OpenSource(SourceOverMedium(std::make_unique<MemoryMedium>(image), 512), 0, image.size() / 512, 1) != 0)
        return 0;
    engine.Scan(nullptr);
    ScanLogFile* log = engine.Log();
    for (uint32_t id = 1; log && id <= log->RecordCount(); ++id) {
        ScanRecord record;
        if (log->ReadRecord(id, record) != 0) continue;
        std::string path;
        engine.GetRecordPath(record, path);
        NtfsDataReader reader(engine.Reader(), record.entrySector);
        std::vector<uint8_t> piece;
        for (int pieces = 0; pieces < 32 && reader.ReadPiece(piece) == 0 && !piece.empty(); ++pieces) {
        }
    }
    return 0;
}
