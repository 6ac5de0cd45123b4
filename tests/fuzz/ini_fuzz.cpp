// Arbitrary settings and language files through the INI reader.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto ini = kestrune::IniFile::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& name : ini.SectionNames()) {
        const auto* entries = ini.Section(name);
        if (!entries) __builtin_trap();
        for (const auto& [key, value] : *entries) ini.Value(name, key);
    }
    return 0;
}
