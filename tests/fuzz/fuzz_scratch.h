// What the targets that run whole engines share: a scratch store for their scan logs on
// a memory file system, and a medium that lays the input over a fixed image.
//
// Every input makes an engine write a scan log. On a disk each input would wait for
// files to be created and synced and the fuzzer would manage a few dozen inputs a
// second; in memory, and without a new run folder (and a synced catalogue) per input,
// it runs thousands. Each engine's log is created afresh for every input.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/sector_source.h"
#include "scanlog/scan_catalogue.h"

namespace kestrune::fuzz {

// The run folder every target's engines write into, taken by UseScratchStore.
inline std::string& ScratchRunFolder() {
    static std::string folder;
    return folder;
}

inline void UseScratchStore() {
    static std::filesystem::path scratch;
    std::error_code ec;
    const std::filesystem::path memory = "/dev/shm";
    const bool inMemory = std::filesystem::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0;
    scratch = (inMemory ? memory : std::filesystem::temp_directory_path()) /
              ("kestrune-fuzz-" + std::to_string(::getpid()));
    ::setenv("KESTRUNE_DATA_HOME", scratch.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    });
    ScratchRunFolder() = ScanCatalogue::Instance().NewRunFolder();
}

// A fixed image read with the fuzz input laid over some of its ranges (later patches
// over earlier ones), so that no input pays for a copy of the whole image.
class PatchedMedium final : public Medium {
public:
    explicit PatchedMedium(const std::vector<uint8_t>& base) : base_(base) {}
    void Patch(uint64_t offset, const uint8_t* data, size_t size) {
        if (offset >= base_.size()) return;
        size = std::min<uint64_t>(size, base_.size() - offset);
        patches_.push_back({offset, std::vector<uint8_t>(data, data + size)});
    }
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        got = 0;
        if (offset >= base_.size()) return 0;
        got = static_cast<size_t>(std::min<uint64_t>(length, base_.size() - offset));
        auto* out = static_cast<uint8_t*>(buffer);
        std::memcpy(out, base_.data() + offset, got);
        for (const auto& [at, bytes] : patches_) {
            const uint64_t from = std::max(offset, at), to = std::min(offset + got, at + bytes.size());
            if (from < to) std::memcpy(out + (from - offset), bytes.data() + (from - at), to - from);
        }
        return 0;
    }
    uint64_t SizeBytes() const override { return base_.size(); }

private:
    const std::vector<uint8_t>& base_;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches_;
};

}  // namespace kestrune::fuzz
