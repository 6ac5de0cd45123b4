// An arbitrary checkpoint file of a formatted pass, as a resume reads it after a crash:
// the file itself, then the FAT and NTFS engines' state in it. A state that loads is
// written back, and what was written must load again.
#include <cstdlib>

#include "engines/fat/pro_fat_recovery.h"
#include "engines/ntfs/pro_ntfs_recovery.h"
#include "engines/pass_checkpoint.h"

namespace {

template <typename Engine>
void LoadAndWriteBack(const std::vector<uint8_t>& state) {
    using namespace kestrune;
    Engine engine;
    PassStateReader in{ByteView(state)};
    if (!engine.LoadPassState(in)) return;
    PassStateWriter out;
    engine.SavePassState(out);
    PassStateReader again{ByteView(out.bytes())};
    Engine second;
    if (!second.LoadPassState(again)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    PassCheckpoint checkpoint;
    const ByteView bytes(data, size);
    if (ParsePassCheckpoint(bytes, checkpoint)) {
        LoadAndWriteBack<CProfessionalFatRecovery>(checkpoint.fatState);
        LoadAndWriteBack<CProfessionalNtfsRecovery>(checkpoint.ntfsState);
    }
    // The input also as a bare state, so the fuzzer need not build the file around it.
    const std::vector<uint8_t> raw(data, data + size);
    LoadAndWriteBack<CProfessionalFatRecovery>(raw);
    LoadAndWriteBack<CProfessionalNtfsRecovery>(raw);
    return 0;
}
