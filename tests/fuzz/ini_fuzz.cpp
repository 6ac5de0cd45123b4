// Arbitrary settings and language files through the INI reader and the checks the
// language table makes on each text before it shows one.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/ini_file.h"
#include "app/language_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto ini = kestrune::IniFile::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& name : ini.SectionNames()) {
        const auto* entries = ini.Section(name);
        if (!entries) __builtin_trap();
        for (const auto& [key, value] : *entries) {
            ini.Value(name, key);
            kestrune::IsCleanUtf8(value);
            size_t length = 0;
            for (const auto& conversion : kestrune::PrintfPlaceholders(value)) {
                if (conversion.empty() || conversion[0] != '%') __builtin_trap();
                length += conversion.size();
            }
            if (length > value.size()) __builtin_trap();
        }
    }
    return 0;
}
