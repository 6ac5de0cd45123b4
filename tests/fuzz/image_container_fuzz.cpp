// Arbitrary files opened as disk images in containers (EnCase, VHD, VHDX, VMDK, QCOW2):
// whatever the libraries make of them, opening and reading what they say the disk holds
// must end, and never read past what they report.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk/image_containers.h"

namespace {

std::filesystem::path ScratchFile() {
    static const std::filesystem::path file = [] {
        std::error_code ec;
        const std::filesystem::path memory = "/dev/shm";
        const bool inMemory = std::filesystem::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0;
        const auto folder = (inMemory ? memory : std::filesystem::temp_directory_path()) /
                            ("kestrune-fuzz-image-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder, ec);
        static const std::filesystem::path made = folder;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        // EnCase segments are found by their names: the first one's.
        return folder / "input.E01";
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path file = ScratchFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::unique_ptr<kestrune::Medium> medium;
    if (kestrune::OpenImageMedium(file, medium) != 0 || !medium) return 0;
    const uint64_t total = medium->SizeBytes();
    std::vector<uint8_t> piece(65536);
    // The first mebibyte, and the last piece wherever the disk ends.
    for (uint64_t at = 0; at < std::min<uint64_t>(total, 1 << 20); at += piece.size()) {
        size_t got = 0;
        if (medium->ReadAt(at, piece.data(), piece.size(), got) != 0) break;
        if (got > piece.size()) __builtin_trap();
    }
    size_t got = 0;
    if (total > piece.size()) medium->ReadAt(total - piece.size(), piece.data(), piece.size(), got);
    if (got > piece.size()) __builtin_trap();
    return 0;
}
