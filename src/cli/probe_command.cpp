#include "cli/probe_command.h"

#include <iomanip>
#include <ostream>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/source_argument.h"
#include "cli/terminal_text.h"
#include "disk/result_codes.h"
#include "engines/boot_classifier.h"
#include "engines/engine_factory.h"

namespace kestrune::cli {

int RunProbe(const std::string& sourceText, std::ostream& out, std::ostream& err) {
    ResolvedSource source;
    std::string error;
    if (int code = ResolveSource(sourceText, source, error); code != kExitOk) {
        err << "kestrune: " << error << "\n";
        return code;
    }
    std::vector<uint8_t> area;
    const int rc = source.isImage
                       ? EngineFactory::ReadBootAreaOfImage(source.image, area)
                       : EngineFactory::ReadBootAreaOfDisk(source.disk, source.startSector, area);
    if (rc != kOk) {
        err << "kestrune: cannot read the first 16 KiB of " << sourceText << ": "
            << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    const ByteView view(area);
    auto row = [&](const std::string& name, const std::string& value) {
        out << std::left << std::setw(24) << (name + ":") << TerminalText(value) << "\n";
    };
    row("source", DescribeSource(source));
    row("file system", FsKindName(ClassifyBootArea(view)));
    for (const auto& [name, value] : DescribeBootArea(view)) row(name, value);
    return kExitOk;
}

}  // namespace kestrune::cli
