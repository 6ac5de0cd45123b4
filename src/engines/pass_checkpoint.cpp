#include "engines/pass_checkpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/result_codes.h"
#include "disk/write_all.h"
#include "engines/pass_state.h"

namespace kestrune {

namespace {

constexpr const char* kCheckpointFile = "checkpoint";
// 03 added the exFAT engine's log and state; 02 files are read as having none.
constexpr std::string_view kMagic = "KSPASS03";
constexpr std::string_view kMagicWithoutExfat = "KSPASS02";

bool ReadAll(const std::filesystem::path& file, std::vector<uint8_t>& bytes) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t chunk[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    ::close(fd);
    return n == 0;
}

// The checkpoint of earlier versions: counts and position as text, without engine state.
bool ParseTextCheckpoint(ByteView bytes, PassCheckpoint& c) {
    const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    unsigned long long v[7] = {};
    if (std::sscanf(text.c_str(), "fat %llu ntfs %llu deep %llu position %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                    &v[3], &v[4], &v[5], &v[6]) != 7)
        return false;
    c = PassCheckpoint{};
    c.fatRecords = v[0];
    c.ntfsRecords = v[1];
    c.deepRecords = v[2];
    c.extentStart = v[3];
    c.extentLength = v[4];
    c.offset = v[5];
    c.sectorsDone = v[6];
    return true;
}

}  // namespace

int WritePassCheckpoint(const std::filesystem::path& runFolder, const PassCheckpoint& c) {
    PassStateWriter out;
    out.Bytes(kMagic.data(), kMagic.size());
    for (uint64_t v : {c.fatRecords, c.ntfsRecords, c.deepRecords, c.extentStart, c.extentLength, c.offset, c.sectorsDone})
        out.U64(v);
    out.Blob(c.fatState);
    out.Blob(c.ntfsState);
    out.U64(c.exfatRecords);
    out.Blob(c.exfatState);

    const std::filesystem::path file = runFolder / kCheckpointFile;
    const std::filesystem::path temp = runFolder / (std::string(".") + kCheckpointFile + ".tmp");
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return FromErrno(errno);
    const std::vector<uint8_t>& bytes = out.bytes();
    int rc = WriteAll(fd, bytes.data(), bytes.size());
    if (rc == kOk && ::fsync(fd) != 0) rc = FromErrno(errno);
    if (::close(fd) != 0 && rc == kOk) rc = FromErrno(errno);
    if (rc == kOk && ::rename(temp.c_str(), file.c_str()) != 0) rc = FromErrno(errno);
    if (rc != kOk) {
        ::unlink(temp.c_str());
        return rc;
    }
    // The rename itself must reach the disk before the pass counts on it.
    if (const int dir = ::open(runFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return kOk;
}

bool ReadPassCheckpoint(const std::filesystem::path& runFolder, PassCheckpoint& c) {
    std::vector<uint8_t> bytes;
    return ReadAll(runFolder / kCheckpointFile, bytes) && ParsePassCheckpoint(ByteView(bytes), c);
}

bool ParsePassCheckpoint(ByteView view, PassCheckpoint& c) {
    const bool withExfat = view.matches(0, kMagic);
    if (!withExfat && !view.matches(0, kMagicWithoutExfat)) return ParseTextCheckpoint(view, c);
    PassStateReader in(view.from(kMagic.size()));
    PassCheckpoint read;
    for (uint64_t* v : {&read.fatRecords, &read.ntfsRecords, &read.deepRecords, &read.extentStart, &read.extentLength,
                        &read.offset, &read.sectorsDone})
        *v = in.U64();
    read.fatState = in.Blob();
    read.ntfsState = in.Blob();
    if (withExfat) {
        read.exfatRecords = in.U64();
        read.exfatState = in.Blob();
    }
    if (!in.ok() || !in.AtEnd()) return false;
    c = std::move(read);
    return true;
}

}  // namespace kestrune
