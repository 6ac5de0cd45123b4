// Running the kestrune binary from a test, and shaping fixture images for it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrune::cli {

struct CliRun {
    int exitCode = -1;
    std::string output;
};

// Runs the kestrune binary with arguments (through the shell) and collects stdout and
// stderr together.
inline CliRun RunCli(const std::string& arguments) {
    CliRun run;
    FILE* pipe = ::popen((std::string(KESTRUNE_CLI_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The commands run while this lives keep their scans and journals in folder, a store of
// the test's own; the one before is restored after.
class ScopedDataHome {
public:
    explicit ScopedDataHome(const std::filesystem::path& folder)
        : saved_(std::getenv("KESTRUNE_DATA_HOME") ? std::getenv("KESTRUNE_DATA_HOME") : "") {
        ::setenv("KESTRUNE_DATA_HOME", folder.c_str(), 1);
    }
    ~ScopedDataHome() { ::setenv("KESTRUNE_DATA_HOME", saved_.c_str(), 1); }
    ScopedDataHome(const ScopedDataHome&) = delete;
    ScopedDataHome& operator=(const ScopedDataHome&) = delete;

private:
    std::string saved_;
};

inline bool Mounted(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

// A tmpfs of the given options mounted on a fresh folder, unmounted in every case.
class SmallMount {
public:
    SmallMount(const std::filesystem::path& at, const std::string& options) : at_(at) {
        std::filesystem::create_directories(at);
        mounted_ = ::geteuid() == 0 && Mounted("mount -t tmpfs -o " + options + " none '" + at.string() + "'");
    }
    ~SmallMount() {
        if (mounted_) std::system(("umount '" + at_.string() + "'").c_str());
    }
    bool mounted() const { return mounted_; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
};

// Renames, inside the image, every copy of a UTF-16 name to another of the same length.
inline void RenameInImage(std::vector<uint8_t>& image, const std::u16string& from, const std::u16string& to) {
    const auto* f = reinterpret_cast<const uint8_t*>(from.data());
    const size_t bytes = from.size() * 2;
    for (auto at = image.begin(); (at = std::search(at, image.end(), f, f + bytes)) != image.end(); at += bytes)
        std::memcpy(&*at, to.data(), bytes);
}

}  // namespace kestrune::cli
