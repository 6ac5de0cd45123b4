// An arbitrary checkpoint file of a formatted pass, as a resume reads it after a crash:
// the file itself, then the FAT, exFAT and NTFS engines' state in it. A state that loads is
// worked with as a resumed pass would (a sector offered, the pass finished), and what it
// writes back must load again.
#include <cstdlib>

#include "engines/exfat/pro_exfat_recovery.h"
#include "engines/fat/pro_fat_recovery.h"
#include "engines/ntfs/pro_ntfs_recovery.h"
#include "engines/pass_checkpoint.h"
#include "fuzz_scratch.h"

namespace {

using namespace kestrune;

// A small area for the engines to read: zeros with the input's first sectors at its start.
SectorSource Area(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(64 * 1024, 0);
    std::copy(data, data + std::min(size, bytes.size()), bytes.begin());
    return SourceOverMedium(std::make_unique<MemoryMedium>(std::move(bytes)), 512);
}

template <typename Engine>
void WriteBackAndLoad(const Engine& engine) {
    PassStateWriter out;
    engine.SavePassState(out);
    PassStateReader again{ByteView(out.bytes())};
    Engine second;
    if (!second.LoadPassState(again)) std::abort();
}

void FatState(const std::vector<uint8_t>& state, const uint8_t* data, size_t size) {
    CProfessionalFatRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.Open(Area(data, size), {0, 128, 512}, 1);
    engine.StartPass(nullptr);
    PassStateReader in{ByteView(state)};
    if (!engine.LoadPassState(in)) return;
    WriteBackAndLoad(engine);
    std::vector<uint8_t> sector(512, 0);
    std::copy(data, data + std::min<size_t>(size, 512), sector.begin());
    engine.DirectorySector(ByteView(sector), 1);
    engine.Finish();
}

void NtfsState(const std::vector<uint8_t>& state, const uint8_t* data, size_t size) {
    CProfessionalNtfsRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.Open(Area(data, size), {0, 128, 512}, 1);
    engine.StartFormattedLog(nullptr);
    PassStateReader in{ByteView(state)};
    if (!engine.LoadPassState(in)) return;
    WriteBackAndLoad(engine);
    engine.ReportQueuedFolders();
}

void ExfatState(const std::vector<uint8_t>& state, const uint8_t* data, size_t size) {
    CProfessionalExfatRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.Open(Area(data, size), {0, 128, 512}, 1);
    engine.StartPass(nullptr);
    PassStateReader in{ByteView(state)};
    if (!engine.LoadPassState(in)) return;
    WriteBackAndLoad(engine);
    engine.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PassCheckpoint checkpoint;
    if (ParsePassCheckpoint(ByteView(data, size), checkpoint)) {
        FatState(checkpoint.fatState, data, size);
        NtfsState(checkpoint.ntfsState, data, size);
        ExfatState(checkpoint.exfatState, data, size);
    }
    // The input also as a bare state, so the fuzzer need not build the file around it.
    const std::vector<uint8_t> raw(data, data + size);
    FatState(raw, data, size);
    NtfsState(raw, data, size);
    ExfatState(raw, data, size);
    return 0;
}
