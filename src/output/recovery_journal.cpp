#include "output/recovery_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>
#include <vector>

#include "base/result_codes.h"
#include "disk/link_free_paths.h"
#include "disk/write_all.h"
#include "output/sha256.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

constexpr std::string_view kHeader = "kestrune recovery journal 1";
constexpr std::string_view kWorkMark = ".kestrune-";
constexpr size_t kMaxJournalBytes = 64u << 20;

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
        if (tab == std::string_view::npos) return fields;
        at = tab + 1;
    }
}

// A path below the destination as the journal may name it: relative, with no "." or ".."
// and no control character. A damaged or crafted journal must not name anything else.
bool SafeBelow(std::string_view path) {
    if (path.empty() || path.front() == '/') return false;
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20) return false;
    for (const fs::path& part : fs::path(std::string(path)))
        if (part == "." || part == ".." || part.empty()) return false;
    return true;
}

std::string HexDigestOf(std::string_view text) {
    Sha256 digest;
    digest.Update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    return digest.HexDigest();
}

bool IsWorkFileName(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.size() > 1 && name[0] == '.' && name.find(kWorkMark) != std::string::npos;
}

}  // namespace

RecoveryJournal::~RecoveryJournal() {
    if (fd_ >= 0) ::close(fd_);
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

std::string RecoveryJournal::KeyOf(const std::string& sourceId, const ScanRecord& record) {
    const std::string identity = sourceId + "\n" + std::to_string(record.engineKind) + "/" +
                                 std::to_string(record.fsId) + "/" + std::to_string(record.entrySector) + "/" +
                                 std::to_string(record.partitionStart) + "/" + std::to_string(record.fileSize) + "/" +
                                 std::to_string(record.folderDeleted) + "/" + std::string(RecordName(record));
    return HexDigestOf(identity).substr(0, 32);
}

fs::path RecoveryJournal::FileFor(const fs::path& journalFolder, const fs::path& destination) {
    return journalFolder / (HexDigestOf(destination.string()).substr(0, 24) + ".journal");
}

int RecoveryJournal::Open(const fs::path& journalFolder, const fs::path& destination) {
    destination_ = destination;
    std::error_code ec;
    fs::create_directories(journalFolder, ec);
    if (ec) return FromErrno(ec.value());
    file_ = FileFor(journalFolder, destination);
    const std::string stem = file_.stem().string();

    // The lock lives in a file of its own: the journal itself is replaced when compacted.
    int lockFd = -1;
    if (int rc = OpenWithoutLinks(journalFolder / (stem + ".lock"), O_RDWR | O_CREAT, 0644, lockFd); rc != kOk)
        return rc;
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(lockFd);
        return error == EWOULDBLOCK ? kErrSharingViolation : FromErrno(error);
    }
    lockFd_ = lockFd;

    int readFd = -1;
    if (OpenWithoutLinks(file_, O_RDONLY, 0, readFd) == kOk) {
        std::string text;
        char chunk[65536];
        for (ssize_t n; text.size() < kMaxJournalBytes && (n = ::read(readFd, chunk, sizeof chunk)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            text.append(chunk, static_cast<size_t>(n));
        }
        ::close(readFd);
        Load(text);
    }
    // Work files of a run that was killed: never whole, never anyone else's (only names
    // this program gives, noted before they were made).
    for (auto& [key, entry] : entries_) {
        if (entry.work.empty()) continue;
        const fs::path work = destination_ / entry.work;
        if (PlainFileBytes(work)) {
            if (IsWorkFileName(work) && RemoveFileWithoutLinks(work) == kOk) ++leftoversRemoved_;
        } else if (!entry.publishing.empty()) {
            // Killed between taking its name and noting it: the file there is the whole one.
            if (const auto bytes = PlainFileBytes(destination_ / entry.publishing)) {
                entry.written = entry.publishing;
                entry.bytes = *bytes;
            }
        }
        entry.work.clear();
        entry.publishing.clear();
    }
    return Compact();
}

void RecoveryJournal::Load(const std::string& text) {
    size_t at = 0;
    const size_t firstEnd = text.find('\n');
    if (firstEnd == std::string::npos || std::string_view(text).substr(0, firstEnd).find(kHeader) != 0) return;
    at = firstEnd + 1;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        // A line cut by a kill is no line.
        if (end == std::string::npos) break;
        const std::vector<std::string_view> f = Fields(std::string_view(text).substr(at, end - at));
        at = end + 1;
        if (f.size() < 3 || f[1].empty() || f[1].size() > 64) continue;
        Entry& entry = entries_[std::string(f[1])];
        if (f[0] == "W" && f.size() == 3 && SafeBelow(f[2])) {
            entry.work = f[2];
            entry.publishing.clear();
        } else if (f[0] == "T" && f.size() == 3 && SafeBelow(f[2])) {
            entry.publishing = f[2];
        } else if (f[0] == "D" && f.size() == 4 && SafeBelow(f[3])) {
            uint64_t bytes = 0;
            const auto [end, error] = std::from_chars(f[2].data(), f[2].data() + f[2].size(), bytes);
            if (error != std::errc() || end != f[2].data() + f[2].size()) continue;
            entry.written = f[3];
            entry.bytes = bytes;
            entry.work.clear();
            entry.publishing.clear();
        } else if (f[0] == "P" && f.size() == 3 && SafeBelow(f[2])) {
            entry.partial = f[2];
            entry.work.clear();
            entry.publishing.clear();
        }
    }
}

int RecoveryJournal::Compact() {
    std::string text = std::string(kHeader) + "\t" + destination_.string() + "\n";
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        if (!entry.written.empty() && PlainFileBytes(destination_ / entry.written) != entry.bytes) entry.written.clear();
        if (!entry.partial.empty() && !PlainFileBytes(destination_ / entry.partial)) entry.partial.clear();
        if (entry.written.empty() && entry.partial.empty()) {
            it = entries_.erase(it);
            continue;
        }
        if (!entry.written.empty())
            text += "D\t" + it->first + "\t" + std::to_string(entry.bytes) + "\t" + entry.written + "\n";
        if (!entry.partial.empty()) text += "P\t" + it->first + "\t" + entry.partial + "\n";
        ++it;
    }
    if (int rc = WriteFileWhole(file_, text.data(), text.size()); rc != kOk) return rc;
    return OpenWithoutLinks(file_, O_WRONLY | O_APPEND, 0, fd_);
}

void RecoveryJournal::Append(const std::string& line) {
    if (fd_ < 0) return;
    const std::string whole = line + "\n";
    // One write per line: a kill lands before or after it, and Load ignores a cut line.
    WriteAll(fd_, reinterpret_cast<const uint8_t*>(whole.data()), whole.size());
}

std::string RecoveryJournal::Below(const fs::path& path) const {
    const std::string relative = path.lexically_relative(destination_).string();
    return SafeBelow(relative) ? relative : std::string();
}

std::optional<uint64_t> RecoveryJournal::PlainFileBytes(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool RecoveryJournal::WrittenWhole(const std::string& key, fs::path& where) const {
    const auto it = entries_.find(key);
    if (it == entries_.end() || it->second.written.empty()) return false;
    where = destination_ / it->second.written;
    return PlainFileBytes(where) == it->second.bytes;
}

void RecoveryJournal::Writing(const std::string& key, const fs::path& work) {
    const std::string below = Below(work);
    if (below.empty()) return;
    entries_[key].work = below;
    Append("W\t" + key + "\t" + below);
}

void RecoveryJournal::Publishing(const std::string& key, const fs::path& published) {
    const std::string below = Below(published);
    if (below.empty()) return;
    entries_[key].publishing = below;
    Append("T\t" + key + "\t" + below);
}

void RecoveryJournal::Written(const std::string& key, const fs::path& published, uint64_t bytes) {
    const std::string below = Below(published);
    if (below.empty()) return;
    Entry& entry = entries_[key];
    entry.written = below;
    entry.bytes = bytes;
    entry.work.clear();
    Append("D\t" + key + "\t" + std::to_string(bytes) + "\t" + below);
}

void RecoveryJournal::KeptPartial(const std::string& key, const fs::path& partial) {
    const std::string below = Below(partial);
    Entry& entry = entries_[key];
    entry.work.clear();
    if (below.empty()) return;
    entry.partial = below;
    Append("P\t" + key + "\t" + below);
}

bool RecoveryJournal::RemoveEarlierPartial(const std::string& key) {
    const auto it = entries_.find(key);
    if (it == entries_.end() || it->second.partial.empty()) return false;
    const fs::path partial = destination_ / it->second.partial;
    it->second.partial.clear();
    return PlainFileBytes(partial) && RemoveFileWithoutLinks(partial) == kOk;
}

}  // namespace kestrune
