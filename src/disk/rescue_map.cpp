#include "disk/rescue_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "base/result_codes.h"
#include "disk/write_all.h"

namespace kestrune {

namespace {

bool IsBlockStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
bool IsCopyStatus(char c) { return IsBlockStatus(c) || c == 'F' || c == 'G'; }

// A number as ddrescue writes it (hexadecimal with 0x) or as a person might (decimal).
bool ReadNumber(std::istringstream& in, uint64_t& value) {
    std::string word;
    if (!(in >> word) || word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(word.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0' && word[0] != '-';
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08" PRIX64, value);
    return text;
}

}  // namespace

RescueMap::RescueMap(uint64_t size) : size_(size) {
    if (size) blocks_.push_back({0, size, '?'});
}

void RescueMap::Mark(uint64_t pos, uint64_t size, char status) {
    if (pos >= size_ || size == 0) return;
    size = std::min(size, size_ - pos);
    const uint64_t end = pos + size;
    std::vector<Block> out;
    out.reserve(blocks_.size() + 2);
    bool placed = false;
    for (const Block& b : blocks_) {
        const uint64_t bEnd = b.pos + b.size;
        if (bEnd <= pos || b.pos >= end) {
            if (!placed && b.pos >= end) {
                out.push_back({pos, size, status});
                placed = true;
            }
            out.push_back(b);
            continue;
        }
        if (b.pos < pos) out.push_back({b.pos, pos - b.pos, b.status});
        if (!placed) out.push_back({pos, size, status});
        placed = true;
        if (bEnd > end) out.push_back({end, bEnd - end, b.status});
    }
    if (!placed) out.push_back({pos, size, status});
    // Neighbours of one status become one block.
    blocks_.clear();
    for (const Block& b : out) {
        if (!blocks_.empty() && blocks_.back().status == b.status && blocks_.back().pos + blocks_.back().size == b.pos)
            blocks_.back().size += b.size;
        else
            blocks_.push_back(b);
    }
}

RescueMap::Block RescueMap::Next(char status, uint64_t pos) const {
    for (const Block& b : blocks_) {
        if (b.status != status || b.pos + b.size <= pos) continue;
        const uint64_t from = std::max(b.pos, pos);
        return {from, b.pos + b.size - from, status};
    }
    return {size_, 0, status};
}

RescueMap::Block RescueMap::Previous(char status, uint64_t end) const {
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
        if (it->status != status || it->pos >= end) continue;
        const uint64_t to = std::min(it->pos + it->size, end);
        return {it->pos, to - it->pos, status};
    }
    return {0, 0, status};
}

uint64_t RescueMap::Bytes(char status) const {
    uint64_t total = 0;
    for (const Block& b : blocks_)
        if (b.status == status) total += b.size;
    return total;
}

size_t RescueMap::Areas(char status) const {
    return static_cast<size_t>(std::count_if(blocks_.begin(), blocks_.end(), [status](const Block& b) { return b.status == status; }));
}

bool RescueMap::Parse(const std::string& text, uint64_t size, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    bool haveStatus = false;
    std::vector<Block> blocks;
    uint64_t expected = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line);
        uint64_t a = 0, b = 0;
        std::string status;
        if (!haveStatus) {
            // current_pos current_status [current_pass]
            if (!ReadNumber(fields, a) || !(fields >> status) || status.size() != 1 || !IsCopyStatus(status[0])) {
                error = "line " + std::to_string(number) + " is not the map's position and status";
                return false;
            }
            uint64_t pass = 1;
            if (!ReadNumber(fields, pass)) pass = 1;
            currentPos = a;
            currentStatus = status[0];
            currentPass = static_cast<int>(std::clamp<uint64_t>(pass, 1, 5));
            haveStatus = true;
            continue;
        }
        if (!ReadNumber(fields, a) || !ReadNumber(fields, b) || !(fields >> status) || status.size() != 1 ||
            !IsBlockStatus(status[0]) || b == 0 || a != expected || a + b < a) {
            error = "line " + std::to_string(number) + " is not a block that follows the one before";
            return false;
        }
        blocks.push_back({a, b, status[0]});
        expected = a + b;
    }
    if (!haveStatus) {
        error = "it holds no position and status line";
        return false;
    }
    size_ = std::max(size, expected);
    blocks_.clear();
    for (const Block& b : blocks) {
        if (!blocks_.empty() && blocks_.back().status == b.status) blocks_.back().size += b.size;
        else blocks_.push_back(b);
    }
    // A map of a shorter area: the rest is not tried yet.
    if (expected < size_) {
        if (!blocks_.empty() && blocks_.back().status == '?') blocks_.back().size += size_ - expected;
        else blocks_.push_back({expected, size_ - expected, '?'});
    }
    return true;
}

std::string RescueMap::Text(const std::string& commandLine) const {
    char now[64] = "";
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&t, &local)) std::strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &local);
    std::string text = "# Mapfile. Created by kestrune, in GNU ddrescue's format\n";
    text += "# Command line: " + commandLine + "\n";
    text += std::string("# Current time: ") + now + "\n";
    if (currentStatus == '+') text += "# Finished\n";
    text += "# current_pos  current_status  current_pass\n";
    text += Hex(currentPos) + "     " + currentStatus + "               " + std::to_string(currentPass) + "\n";
    text += "#      pos        size  status\n";
    for (const Block& b : blocks_) text += Hex(b.pos) + "  " + Hex(b.size) + "  " + b.status + "\n";
    return text;
}

int RescueMap::Save(const std::filesystem::path& path, const std::string& commandLine) const {
    const std::string text = Text(commandLine);
    const std::filesystem::path temp = path.string() + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644);
    if (fd < 0) return FromErrno(errno);
    int rc = WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (rc == kOk && ::fsync(fd) != 0) rc = FromErrno(errno);
    if (::close(fd) != 0 && rc == kOk) rc = FromErrno(errno);
    if (rc == kOk && std::rename(temp.c_str(), path.c_str()) != 0) rc = FromErrno(errno);
    if (rc != kOk) ::unlink(temp.c_str());
    return rc;
}

int RescueMap::Load(const std::filesystem::path& path, uint64_t size, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return kErrFileNotFound;
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), size, error) ? kOk : kErrInvalidData;
}

}  // namespace kestrune
