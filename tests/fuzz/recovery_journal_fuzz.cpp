// Arbitrary recovery journals, as a damaged or crafted store would hold them: opening one
// may only ever remove hidden work files below the destination, never a file outside it
// nor a recovered file inside it.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "output/recovery_journal.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path scratch = [] {
        const fs::path memory = "/dev/shm";
        std::error_code ec;
        const bool inMemory = fs::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0;
        return (inMemory ? memory : fs::temp_directory_path()) / ("kestrune-journal-fuzz-" + std::to_string(::getpid()));
    }();
    static const bool cleanedAtExit = [] {
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(scratch, ignored);
        });
        return true;
    }();
    (void)cleanedAtExit;
    const fs::path destination = scratch / "dest", journals = scratch / "journals";
    const fs::path outside = scratch / "outside.txt", recovered = destination / "photo" / "a.jpg";
    const fs::path work = destination / "photo" / ".a.kestrune-00000000.jpg";
    std::error_code ec;
    fs::create_directories(destination / "photo", ec);
    fs::create_directories(journals, ec);
    for (const fs::path& file : {outside, recovered, work}) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) ::close(fd);
    }
    const fs::path journal = kestrune::RecoveryJournal::FileFor(journals, destination);
    const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    const bool whole = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    if (!whole) return 0;
    {
        kestrune::RecoveryJournal opened;
        opened.Open(journals, destination);
        fs::path where;
        opened.WrittenWhole("0123456789abcdef0123456789abcdef", where);
    }
    if (!fs::exists(outside) || !fs::exists(recovered)) __builtin_trap();
    return 0;
}
