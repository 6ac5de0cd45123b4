// Arbitrary catalogue files through the loader; whatever loads must save and load again
// to the same records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "scanlog/scan_catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    uint64_t counter = 0;
    std::vector<kestrune::ScanCatalogueRecord> records;
    kestrune::ScanCatalogue::Parse(bytes, counter, records);
    const auto saved = kestrune::ScanCatalogue::Serialize(counter, records);
    uint64_t counterAgain = 0;
    std::vector<kestrune::ScanCatalogueRecord> again;
    kestrune::ScanCatalogue::Parse(saved, counterAgain, again);
    if (counterAgain != counter || again.size() != records.size()) __builtin_trap();
    return 0;
}
