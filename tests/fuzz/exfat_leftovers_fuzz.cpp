// Arbitrary bytes as an area a formatted pass reads: every sector offered to the exFAT
// leftovers engine as the pass offers it (directory data, boot sectors), then the pass's
// end, which works out geometries from what was kept, joins sets cut at cluster ends and
// checks files' first sectors in the area.
#include "engines/exfat/pro_exfat_recovery.h"
#include "fuzz_scratch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrune;
    std::vector<uint8_t> area(data, data + size);
    area.resize((area.size() + 511) / 512 * 512, 0);
    const uint64_t sectors = area.size() / 512;
    CProfessionalExfatRecovery engine;
    engine.SetRunFolder(fuzz::ScratchRunFolder());
    engine.Open(SourceOverMedium(std::make_unique<MemoryMedium>(area), 512), {0, sectors, 512}, 1);
    engine.StartPass(nullptr);
    engine.Prepare();
    for (uint64_t n = 0; n < sectors; ++n) {
        const ByteView sector(area.data() + n * 512, 512);
        if (!engine.OfferSector(sector, n) && sector.matches(3, "EXFAT   ")) engine.BootSector(sector, n);
    }
    PassStateWriter state;
    engine.SavePassState(state);
    engine.Finish();
    // The state written back loads again, and finishes again.
    PassStateReader again{ByteView(state.bytes())};
    CProfessionalExfatRecovery resumed;
    resumed.SetRunFolder(fuzz::ScratchRunFolder());
    resumed.Open(SourceOverMedium(std::make_unique<MemoryMedium>(area), 512), {0, sectors, 512}, 1);
    resumed.StartPass(nullptr);
    if (!resumed.LoadPassState(again)) std::abort();
    resumed.Finish();
    return 0;
}
