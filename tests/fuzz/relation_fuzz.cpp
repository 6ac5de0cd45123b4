// Arbitrary relation-file text through the parser, and the parsed links back to text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scanlog/relation_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kestrune::ParentLinks links;
    kestrune::ParseRelationText(std::string_view(reinterpret_cast<const char*>(data), size), links);
    // What was parsed must survive a round trip unchanged.
    const std::string text = kestrune::FormatRelationText(links);
    kestrune::ParentLinks again;
    kestrune::ParseRelationText(text, again);
    if (again != links) __builtin_trap();
    return 0;
}
