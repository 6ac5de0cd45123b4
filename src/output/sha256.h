// SHA-256, fed piece by piece: the digest of each recovered file goes into the report.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace kestrune {

class Sha256 {
public:
    Sha256();
    void Update(std::span<const uint8_t> bytes);
    // The digest as lowercase hex; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingBytes_ = 0;
    uint64_t totalBytes_ = 0;
};

// The digest of a file's contents; 0, or why it could not be read.
int Sha256OfFile(const std::filesystem::path& file, std::string& hex);

}  // namespace kestrune
