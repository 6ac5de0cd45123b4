// One arbitrary MFT record, put into a small volume as a deleted file's record, through
// the quick scan (record step, parent climb, folder pass, its streams) and the data reader.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/ntfs/ntfs_data.h"
#include "ntfs_builder.h"
#include "fuzz_scratch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
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
    static const std::vector<uint8_t> baseImage = base.Image();
    // The input is record 64, and (flags cleared, as a deleted file) record 65.
    const size_t recordSize = base.RecordSize();
    const size_t length = std::min(size, recordSize);
    std::vector<uint8_t> deleted(data, data + length);
    if (length > 0x17) deleted[0x16] = deleted[0x17] = 0;
    auto image = std::make_unique<fuzz::PatchedMedium>(baseImage);
    image->Patch(base.RecordOffset(64), data, length);
    image->Patch(base.RecordOffset(65), deleted.data(), deleted.size());
    CFastNtfsRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.SetListExisting(length % 2 == 1);  // records in use are read as well, half the time
    if (engine.Open(SourceOverMedium(std::move(image), 512), {0, baseImage.size() / 512}, 1) != 0) return 0;
    engine.Scan(nullptr);
    ScanLogFile* log = engine.Log();
    for (uint32_t id = 1; log && id <= log->RecordCount(); ++id) {
        ScanRecord record;
        if (log->ReadRecord(id, record) != 0) continue;
        std::string path;
        engine.GetRecordPath(record, path);
        NtfsDataReader reader(engine.Reader(), record.entrySector, std::string(DataStreamOf(record)));
        std::vector<uint8_t> piece;
        for (int pieces = 0; pieces < 32 && reader.ReadPiece(piece) == 0 && !piece.empty(); ++pieces) {
        }
    }
    return 0;
}
