// An arbitrary boot sector and FAT: the fuzz input replaces the start of a FAT16 volume
// (boot sector, reserved sectors and the FATs), then the scan walks its chains.
#include "fat_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestrune::fuzz::UseScratchStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> base = kestrune::fuzz::Fat16Fixture();
    auto image = std::make_unique<kestrune::fuzz::PatchedMedium>(base);
    image->Patch(0, data, size);
    kestrune::fuzz::ScanAndRead(std::move(image), true);
    return 0;
}
