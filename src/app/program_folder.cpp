#include "app/program_folder.h"

namespace kestrune {

std::filesystem::path ProgramFolder() {
    static const std::filesystem::path folder = [] {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::filesystem::current_path(ec) : exe.parent_path();
    }();
    return folder;
}

std::filesystem::path ResourceFolder() {
    const std::filesystem::path program = ProgramFolder();
    std::error_code ec;
    if (std::filesystem::exists(program / "config.ini", ec)) return program;
    const std::filesystem::path installed = program / ".." / "share" / "kestrune";
    if (std::filesystem::exists(installed / "config.ini", ec)) return installed.lexically_normal();
    return program;
}

}  // namespace kestrune
