// Arbitrary boot areas through the file-system classifier and the geometry description.
#include <cstddef>
#include <cstdint>

#include "engines/boot_classifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kestrune::ByteView area(data, size);
    kestrune::ClassifyBootArea(area);
    kestrune::FatBitsOf(area);
    kestrune::DescribeBootArea(area);
    return 0;
}
