// RescueMap: what a copy of a failing disk has done with each byte of it, in GNU ddrescue's
// mapfile format, so that ddrescuelog reads our maps, ddrescue continues our copies, and
// we continue ddrescue's.
//
// The map is a run of blocks covering [0, size) without holes, each with a status:
//   '?' not tried yet, '*' failed in the first reads and not trimmed, '/' trimmed and not
//   scraped, '-' a bad sector (scraped and failed), '+' rescued.
// With it, the position and phase the copy was at ('?' copying, '*' trimming, '/'
// scraping, '-' retrying, '+' finished) and its pass.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrune {

class RescueMap {
public:
    struct Block {
        uint64_t pos = 0;
        uint64_t size = 0;
        char status = '?';
    };

    // A map of size bytes, none of them tried.
    explicit RescueMap(uint64_t size = 0);

    // Reads a mapfile's text. False when it is not one (error says where); a map shorter
    // than size is extended with untried bytes, so that a copy of a longer area continues.
    bool Parse(const std::string& text, uint64_t size, std::string& error);
    std::string Text(const std::string& commandLine) const;
    // Written to a temporary file and renamed over path, so that a crash leaves the old
    // map or the new one whole. 0 or a result code.
    int Save(const std::filesystem::path& path, const std::string& commandLine) const;
    // 0, kErrFileNotFound, or kErrInvalidData with error set.
    int Load(const std::filesystem::path& path, uint64_t size, std::string& error);

    void Mark(uint64_t pos, uint64_t size, char status);
    // The first block of status at or after pos (with pos inside it cut off), or one of size 0.
    Block Next(char status, uint64_t pos) const;
    // The last block of status that begins before end (cut at end), or one of size 0.
    Block Previous(char status, uint64_t end) const;
    uint64_t Bytes(char status) const;
    size_t Areas(char status) const;
    const std::vector<Block>& blocks() const { return blocks_; }
    uint64_t size() const { return size_; }

    uint64_t currentPos = 0;
    char currentStatus = '?';
    int currentPass = 1;

private:
    uint64_t size_;
    std::vector<Block> blocks_;
};

}  // namespace kestrune
