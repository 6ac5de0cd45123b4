#include "cli/probe_command.h"

#include <iomanip>
#include <ostream>
#include <vector>

#include "base/result_codes.h"
#include "cli/encrypted_source.h"
#include "cli/exit_codes.h"
#include "cli/scan_session.h"
#include "cli/terminal_text.h"
#include "scanlog/file_types.h"
#include "session/scan_source.h"

namespace kestrune::cli {

int RunProbe(const std::string& sourceText, const std::string& keyFile, std::ostream& out, std::ostream& err) {
    ScanSource source;
    if (int code = ResolveOrExplain(sourceText, 0, source, err); code != kExitOk) return code;
    const std::string encryption = EncryptionOfSource(source);
    if (!encryption.empty() && !keyFile.empty())
        if (int code = UnlockIfEncrypted(source, keyFile, err); code != kExitOk) return code;
    std::string fileSystem;
    std::vector<std::pair<std::string, std::string>> geometry;
    std::vector<std::string> others;
    if (int rc = ProbeSource(source, fileSystem, geometry, &others); rc != kOk) {
        err << "kestrune: cannot read the first 16 KiB of " << sourceText << ": " << ResultText(rc) << "\n";
        if (const std::string advice = AccessAdvice(source); !advice.empty()) err << "kestrune: " << advice << "\n";
        return kExitSourceError;
    }
    auto row = [&](const std::string& name, const std::string& value) {
        out << std::left << std::setw(24) << (name + ":") << TerminalText(value) << "\n";
    };
    row("source", DescribeSource(source));
    if (!encryption.empty()) {
        if (keyFile.empty() && encryption != "BitLocker") fileSystem += " (encrypted: --key-file FILE opens it)";
        if (encryption == "BitLocker") fileSystem += " (encrypted: unlock it first, then read the unlocked volume)";
        if (!keyFile.empty()) row("encryption", encryption + ", opened");
    }
    // Both may be valid: the first is read unless --fs names the other.
    for (const std::string& other : others) {
        const std::string option = AsciiLower(other).rfind("ext", 0) == 0 ? "ext" : AsciiLower(other);
        fileSystem += " (the area also holds an " + other + " file system: --fs " + option + " reads that one)";
    }
    row("file system", fileSystem);
    for (const auto& [name, value] : geometry) row(name, value);
    return kExitOk;
}

}  // namespace kestrune::cli
