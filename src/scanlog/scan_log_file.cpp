#include "scanlog/scan_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

#include "base/result_codes.h"
#include "disk/text_encoding.h"
#include "scanlog/file_types.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

constexpr ParentKey kNoParent = UINT64_MAX;

int OpenLogFile(const fs::path& path, bool readOnly, bool fresh, int& fd) {
    fd = readOnly ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                  : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0), 0644);
    return fd < 0 ? FromErrno(errno) : kOk;
}

int SizeOf(int fd, uint64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return FromErrno(errno);
    size = static_cast<uint64_t>(st.st_size);
    return kOk;
}

int WriteAt(int fd, const void* data, size_t length, uint64_t offset) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno);
        if (n == 0) return kErrDiskFull;
        done += static_cast<size_t>(n);
    }
    return kOk;
}

// Reads up to length bytes at offset; got is what arrived.
int ReadAt(int fd, void* data, size_t length, uint64_t offset, size_t& got) {
    auto* bytes = static_cast<uint8_t*>(data);
    got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, bytes + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno);
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return kOk;
}

int ReadWholeFile(int fd, std::string& text) {
    uint64_t size = 0;
    if (int rc = SizeOf(fd, size); rc != kOk) return rc;
    text.resize(static_cast<size_t>(size));
    size_t got = 0;
    const int rc = ReadAt(fd, text.data(), text.size(), 0, got);
    text.resize(got);
    return rc;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool IsHiddenPhoto(const ScanRecord& record) {
    if (record.contentOk != 0) return false;
    const std::string extension = AsciiLower(ExtensionOf(RecordName(record)));
    return !extension.empty() && ListContains(PhotoExtensions, extension);
}

bool NameLess(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        const auto x = static_cast<unsigned char>(fold(a[i]));
        const auto y = static_cast<unsigned char>(fold(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

void SetRecordName(ScanRecord& record, std::string_view name) {
    CopyNameField(record.name, kRecordNameBytes, name);
}

void CopyNameField(char* field, size_t size, std::string_view name) {
    std::memset(field, 0, size);
    const std::string_view fitted = CutUtf8(name, size - 1);
    std::memcpy(field, fitted.data(), fitted.size());
}

void SortResultList(std::vector<ScanRecord>& records) {
    // Records are large: their places are sorted, then each record moved once.
    std::vector<uint32_t> order(records.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&records](uint32_t i, uint32_t j) {
        const ScanRecord &a = records[i], &b = records[j];
        if ((a.isFolder != 0) != (b.isFolder != 0)) return a.isFolder == 0;
        return NameLess(RecordName(a), RecordName(b));
    });
    std::vector<ScanRecord> sorted;
    sorted.reserve(records.size());
    for (uint32_t i : order) sorted.push_back(records[i]);
    records = std::move(sorted);
}

ScanLogFile::ScanLogFile() = default;

ScanLogFile::~ScanLogFile() { CloseLog(); }

int ScanLogFile::OpenLog(const fs::path& runFolder, const std::string& logName) {
    return Open(runFolder, logName, OpenMode::Continue);
}

int ScanLogFile::CreateLog(const fs::path& runFolder, const std::string& logName) {
    return Open(runFolder, logName, OpenMode::Fresh);
}

int ScanLogFile::OpenLogForReading(const fs::path& runFolder, const std::string& logName) {
    return Open(runFolder, logName, OpenMode::ReadOnly);
}

int ScanLogFile::Open(const fs::path& runFolder, const std::string& logName, OpenMode mode) {
    CloseLog();
    const bool readOnly = mode == OpenMode::ReadOnly;
    const bool fresh = mode == OpenMode::Fresh;
    readOnly_ = readOnly;
    if (!readOnly) {
        std::error_code ec;
        fs::create_directories(runFolder, ec);
        if (ec && ec.value() != EEXIST) return FromErrno(ec.value());
    }

    mainPath_ = runFolder / logName;
    relationPath_ = runFolder / (logName + "_Relation");
    folderPath_ = runFolder / (logName + "_DirInfo");
    if (int rc = OpenLogFile(mainPath_, readOnly, fresh, mainFd_); rc != kOk) return rc;
    if (int rc = OpenLogFile(relationPath_, readOnly, fresh, relationFd_); rc != kOk) {
        CloseLog();
        return rc;
    }
    uint64_t mainSize = 0;
    if (int rc = SizeOf(mainFd_, mainSize); rc != kOk) {
        CloseLog();
        return rc;
    }
    // A trailing partial record (a write cut short) is overwritten by the next append.
    counter_ = static_cast<uint32_t>(std::min<uint64_t>(mainSize / kScanRecordBytes, UINT32_MAX));
    bytesAppended_ = uint64_t{counter_} * kScanRecordBytes;

    std::string relationText;
    if (int rc = ReadWholeFile(relationFd_, relationText); rc != kOk) {
        CloseLog();
        return rc;
    }
    ParseRelationText(relationText, links_);
    for (const auto& [key, ids] : links_)
        for (uint32_t id : ids) IndexParent(id, key);

    buffer_.assign(kAppendBufferBytes, 0);
    bufferUsed_ = 0;

    if (OpenLogFile(folderPath_, readOnly, fresh, folderFd_) != kOk) return kOk;
    std::string folderBytes;
    if (ReadWholeFile(folderFd_, folderBytes) != kOk) return kOk;
    for (size_t at = 0; at + kFolderInfoBytes <= folderBytes.size(); at += kFolderInfoBytes) {
        FolderInfoEntry entry;
        std::memcpy(&entry, folderBytes.data() + at, kFolderInfoBytes);
        folderByFsId_.emplace(entry.fsId, folders_.size());
        folders_.push_back(entry);
    }
    return kOk;
}

ScanRecord& ScanLogFile::AppendRecord() {
    if (bufferUsed_ + kScanRecordBytes > buffer_.size()) {
        // The buffer makes room whatever happens; a failed write is remembered so the
        // next Flush, and through it the scan, reports that records were lost.
        if (int rc = WriteBuffer(); rc != kOk && lostRecordsError_ == kOk) lostRecordsError_ = rc;
    }
    if (buffer_.size() < kAppendBufferBytes) buffer_.assign(kAppendBufferBytes, 0);
    ++counter_;
    bytesAppended_ += kScanRecordBytes;
    auto* slot = reinterpret_cast<ScanRecord*>(buffer_.data() + bufferUsed_);
    std::memset(slot, 0, kScanRecordBytes);
    slot->recordId = counter_;
    bufferUsed_ += kScanRecordBytes;
    return *slot;
}

uint32_t ScanLogFile::AppendCopy(const ScanRecord& record) {
    ScanRecord& slot = AppendRecord();
    const uint32_t recordId = slot.recordId;
    slot = record;
    slot.recordId = recordId;
    return recordId;
}

int ScanLogFile::RewriteRecord(const ScanRecord& record) {
    const uint32_t id = record.recordId;
    if (id == 0 || id > counter_) return kErrInvalidParameter;
    if (readOnly_) return kErrAccessDenied;
    const uint32_t buffered = static_cast<uint32_t>(bufferUsed_ / kScanRecordBytes);
    if (id > counter_ - buffered) {
        std::memcpy(buffer_.data() + size_t{id - (counter_ - buffered) - 1} * kScanRecordBytes, &record, kScanRecordBytes);
        return kOk;
    }
    return mainFd_ < 0 ? kErrInvalidHandle : WriteAt(mainFd_, &record, kScanRecordBytes, uint64_t{id - 1} * kScanRecordBytes);
}

int ScanLogFile::WriteBuffer() {
    if (bufferUsed_ == 0) return kOk;
    if (readOnly_) return kErrAccessDenied;
    // Records go to their own positions, so a batch lost to a failed write leaves a gap
    // instead of shifting every later record away from its number.
    const uint64_t firstId = counter_ - bufferUsed_ / kScanRecordBytes + 1;
    const int rc = mainFd_ < 0 ? kErrInvalidHandle
                               : WriteAt(mainFd_, buffer_.data(), bufferUsed_,
                                         (firstId - 1) * kScanRecordBytes);
    bufferUsed_ = 0;
    return rc;
}

void ScanLogFile::LinkRecord(uint32_t parentFsId, uint32_t parentLevel, uint32_t recordId,
                             uint32_t fsId, const std::string* folderName) {
    const ParentKey key = MakeParentKey(parentLevel, parentFsId);
    sideFilesChanged_ = true;
    links_[key].push_back(recordId);
    IndexParent(recordId, key);
    if (folderName) {
        FolderInfoEntry entry{};
        entry.fsId = fsId;
        entry.recordId = recordId;
        CopyNameField(entry.name, kRecordNameBytes, *folderName);
        folderByFsId_.emplace(fsId, folders_.size());
        folders_.push_back(entry);
    }
}

void ScanLogFile::IndexParent(uint32_t recordId, ParentKey key) {
    if (recordId == 0 || recordId > counter_) return;  // no such record in the main file
    if (parentOf_.size() <= recordId) parentOf_.resize(size_t{counter_} + 1, kNoParent);
    if (key < parentOf_[recordId]) parentOf_[recordId] = key;
}

bool ScanLogFile::ParentKeyOf(uint32_t recordId, ParentKey& key) const {
    if (recordId >= parentOf_.size() || parentOf_[recordId] == kNoParent) return false;
    key = parentOf_[recordId];
    return true;
}

int ScanLogFile::Flush() { return FlushFiles(false); }

int ScanLogFile::FlushFiles(bool durable) {
    if (readOnly_) return kOk;
    if (int rc = WriteBuffer(); rc != kOk) {
        if (lostRecordsError_ == kOk) lostRecordsError_ = rc;
        return rc;
    }
    const int sideResult = sideFilesChanged_ ? RewriteSideFiles(durable) : kOk;
    return lostRecordsError_ != kOk ? lostRecordsError_ : sideResult;
}

int ScanLogFile::RewriteRelationFile(bool durable) {
    // The text shifts whenever a link is added in the middle, so it is never rewritten
    // in place: a kill during the write would leave the start of the new text over the
    // end of the old one, and links of records long written would be lost.
    const std::string text = FormatRelationText(links_);
    const fs::path temp = relationPath_.parent_path() / ("." + relationPath_.filename().string() + ".tmp");
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return FromErrno(errno);
    int rc = WriteAt(fd, text.data(), text.size(), 0);
    if (rc == kOk && durable && ::fsync(fd) != 0) rc = FromErrno(errno);
    if (rc == kOk && ::rename(temp.c_str(), relationPath_.c_str()) != 0) rc = FromErrno(errno);
    if (rc != kOk) {
        ::close(fd);
        ::unlink(temp.c_str());
        return rc;
    }
    CloseFd(relationFd_);
    relationFd_ = fd;
    return kOk;
}

int ScanLogFile::RewriteSideFiles(bool durable) {
    int result = relationFd_ >= 0 ? RewriteRelationFile(durable) : kOk;
    if (folderFd_ >= 0) {
        // Entries only ever join at the end or leave from it, so writing them in place
        // rewrites the entries already there with the same bytes.
        for (size_t i = 0; i < folders_.size(); ++i) {
            const int rc = WriteAt(folderFd_, &folders_[i], kFolderInfoBytes, i * kFolderInfoBytes);
            if (rc != kOk) result = rc;
        }
        if (result == kOk) (void)::ftruncate(folderFd_, static_cast<off_t>(folders_.size() * kFolderInfoBytes));
    }
    if (result == kOk) sideFilesChanged_ = false;
    return result;
}

int ScanLogFile::Sync() {
    const int rc = FlushFiles(true);
    for (int fd : {mainFd_, relationFd_, folderFd_})
        if (fd >= 0) ::fsync(fd);
    // The relation file's rename is an entry of the folder: it too must reach the disk.
    if (const int dir = ::open(mainPath_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return rc;
}

int ScanLogFile::TruncateTo(uint32_t count) {
    if (readOnly_ || mainFd_ < 0) return kErrInvalidHandle;
    Flush();
    if (count >= counter_) return kOk;
    counter_ = count;
    bytesAppended_ = uint64_t{count} * kScanRecordBytes;
    if (::ftruncate(mainFd_, static_cast<off_t>(bytesAppended_)) != 0) return FromErrno(errno);
    for (auto it = links_.begin(); it != links_.end();) {
        auto& ids = it->second;
        ids.erase(std::remove_if(ids.begin(), ids.end(), [count](uint32_t id) { return id > count; }), ids.end());
        it = ids.empty() ? links_.erase(it) : std::next(it);
    }
    if (parentOf_.size() > size_t{count} + 1) parentOf_.resize(size_t{count} + 1);
    folders_.erase(std::remove_if(folders_.begin(), folders_.end(),
                                  [count](const FolderInfoEntry& e) { return e.recordId > count; }),
                   folders_.end());
    folderByFsId_.clear();
    for (size_t i = 0; i < folders_.size(); ++i) folderByFsId_.emplace(folders_[i].fsId, i);
    sideFilesChanged_ = true;
    return RewriteSideFiles(false);
}

void ScanLogFile::CloseLog() {
    if (mainFd_ >= 0) Flush();
    CloseFd(mainFd_);
    CloseFd(relationFd_);
    CloseFd(folderFd_);
    links_.clear();
    parentOf_.clear();
    folders_.clear();
    folderByFsId_.clear();
    bufferUsed_ = 0;
    counter_ = 0;
    bytesAppended_ = 0;
    lostRecordsError_ = kOk;
    sideFilesChanged_ = false;
}

int ScanLogFile::ReadRecord(uint32_t recordId, ScanRecord& out) const {
    if (recordId == 0 || recordId > counter_ || mainFd_ < 0) return kErrInvalidParameter;
    const uint32_t buffered = static_cast<uint32_t>(bufferUsed_ / kScanRecordBytes);
    if (recordId > counter_ - buffered) {
        std::memcpy(&out, buffer_.data() + size_t{recordId - (counter_ - buffered) - 1} * kScanRecordBytes,
                    kScanRecordBytes);
        return kOk;
    }
    size_t got = 0;
    if (int rc = ReadAt(mainFd_, &out, kScanRecordBytes, uint64_t{recordId - 1} * kScanRecordBytes, got);
        rc != kOk)
        return rc;
    return got == kScanRecordBytes ? kOk : kErrReadFault;
}

int ScanLogFile::ForEachRecord(const std::function<void(const ScanRecord&)>& visit) const {
    if (mainFd_ < 0) return kErrInvalidHandle;
    const uint32_t buffered = static_cast<uint32_t>(bufferUsed_ / kScanRecordBytes);
    const uint64_t storedBytes = uint64_t{counter_ - buffered} * kScanRecordBytes;
    std::vector<uint8_t> chunk(kAppendBufferBytes);
    ScanRecord record;
    for (uint64_t offset = 0; offset < storedBytes;) {
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), storedBytes - offset));
        if (int rc = ReadAt(mainFd_, chunk.data(), want, offset, got); rc != kOk) return rc;
        if (got < kScanRecordBytes) return kErrReadFault;
        for (size_t at = 0; at + kScanRecordBytes <= got; at += kScanRecordBytes) {
            std::memcpy(&record, chunk.data() + at, kScanRecordBytes);
            visit(record);
        }
        offset += got / kScanRecordBytes * kScanRecordBytes;
    }
    for (uint32_t i = 0; i < buffered; ++i) {
        std::memcpy(&record, buffer_.data() + size_t{i} * kScanRecordBytes, kScanRecordBytes);
        visit(record);
    }
    return kOk;
}

const std::vector<uint32_t>* ScanLogFile::ChildrenOf(ParentKey key) const {
    if (links_.empty()) return nullptr;
    if (key == 0) return &links_.begin()->second;  // 0 stands for the top level
    const auto it = links_.find(key);
    return it == links_.end() ? nullptr : &it->second;
}

int ScanLogFile::ListUnderKey(ParentKey key, std::vector<ScanRecord>& out) {
    const std::vector<uint32_t>* children = ChildrenOf(key);
    if (!children) return kOk;
    int result = kOk;
    for (uint32_t id : *children) {
        ScanRecord record;
        if (result = ReadRecord(id, record); result != kOk) break;
        if (!IsHiddenPhoto(record)) out.push_back(record);
    }
    if (out.size() > 1) SortResultList(out);
    return result;
}

int ScanLogFile::CountFilesUnderKey(ParentKey key, int& count) {
    count = 0;
    std::deque<ParentKey> queue{key};
    // Each folder key is walked once: a damaged log whose folders share identities must
    // not make the count revisit (and multiply) the same subtree.
    std::set<ParentKey> walked;
    while (!queue.empty()) {
        const ParentKey current = queue.front();
        queue.pop_front();
        if (!walked.insert(current).second) continue;
        const std::vector<uint32_t>* children = ChildrenOf(current);
        if (!children) continue;
        const uint64_t childLevel = (current >> 32) + 1;
        for (uint32_t id : *children) {
            ScanRecord record;
            if (int rc = ReadRecord(id, record); rc != kOk) return rc;
            if (record.isFolder)
                queue.push_back(MakeParentKey(static_cast<uint32_t>(childLevel), record.fsId));
            else
                ++count;
        }
    }
    return kOk;
}

int ScanLogFile::FindFolderRecord(uint32_t fsId, ScanRecord& out) const {
    const int fd = ::open(mainPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    std::vector<uint8_t> chunk(kAppendBufferBytes);
    uint64_t offset = 0;
    int result = kErrInvalidParameter;
    for (;;) {
        size_t got = 0;
        if (ReadAt(fd, chunk.data(), chunk.size(), offset, got) != kOk || got < kScanRecordBytes) break;
        for (size_t at = 0; at + kScanRecordBytes <= got; at += kScanRecordBytes) {
            ScanRecord record;
            std::memcpy(&record, chunk.data() + at, kScanRecordBytes);
            if (record.fsId == fsId && record.isFolder != 0) {
                out = record;
                result = kOk;
                break;
            }
        }
        if (result == kOk) break;
        offset += got;
    }
    ::close(fd);
    return result;
}

int ScanLogFile::CollectAncestors(const ScanRecord& record, std::vector<ScanRecord>& out) {
    if (links_.empty()) return kOk;
    const ParentKey topLevel = links_.begin()->first;
    uint32_t current = record.recordId;
    std::set<uint32_t> visited{current};
    ParentKey key = 0;
    while (ParentKeyOf(current, key) && key != topLevel) {
        const uint32_t parentFsId = static_cast<uint32_t>(key);
        ScanRecord parent{};
        const auto indexed = folderByFsId_.find(parentFsId);
        if (indexed != folderByFsId_.end()) {
            const FolderInfoEntry* entry = &folders_[indexed->second];
            parent.recordId = entry->recordId;
            std::memcpy(parent.name, entry->name, kRecordNameBytes);
            parent.name[kRecordNameBytes - 1] = 0;
        } else {
            Flush();
            if (int rc = FindFolderRecord(parentFsId, parent); rc != kOk) return rc;
        }
        // A folder met again means the chain loops (possibly through several folders).
        if (parent.recordId == current || !visited.insert(uint32_t{parent.recordId}).second) break;
        out.push_back(parent);
        current = parent.recordId;
    }
    return kOk;
}

bool ScanLogFile::ChildKeyOf(const ScanRecord& folder, ParentKey& key) const {
    ParentKey parent = 0;
    if (!ParentKeyOf(folder.recordId, parent)) return false;
    key = MakeParentKey(static_cast<uint32_t>((parent >> 32) + 1), folder.fsId);
    return true;
}

int ScanLogFile::GetRecordPath(const ScanRecord& record, std::string& out, PathUse use) {
    out.clear();
    std::vector<ScanRecord> ancestors;
    const int rc = CollectAncestors(record, ancestors);
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        // The folder index keeps only names: a name that may hold a placeholder has its
        // whole record read to tell.
        ScanRecord whole;
        if (use == PathUse::OnDisk && it->name[0] == '!' && ReadRecord(it->recordId, whole) == kOk &&
            whole.recordId == it->recordId) {
            out += RecordNameOnDisk(whole);
        } else {
            out += RecordName(*it);
        }
        out += '/';
    }
    return rc;
}

int ScanLogFile::ForEachMatch(std::string_view pattern, const std::function<void(const ScanRecord&)>& visit) {
    constexpr size_t kPatternLimit = 4096;
    pattern = CutUtf8(pattern, kPatternLimit);
    Flush();
    bool other = pattern.find(".other") != std::string_view::npos;
    const int fd = ::open(mainPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    uint64_t size = 0;
    SizeOf(fd, size);
    if (size >= kOtherSearchLimitBytes) other = false;
    const std::string& known = KnownExtensionText();

    std::vector<uint8_t> chunk(kAppendBufferBytes);
    uint64_t offset = 0;
    int result = kOk;
    // ".ext" in lower case, built in place: a search of a million records makes no string.
    std::array<char, kRecordNameBytes + 1> dotted{};
    while (true) {
        size_t got = 0;
        if (ReadAt(fd, chunk.data(), chunk.size(), offset, got) != kOk || got == 0) break;
        for (size_t at = 0; at + kScanRecordBytes <= got; at += kScanRecordBytes) {
            const auto* record = reinterpret_cast<const ScanRecord*>(chunk.data() + at);
            if (record->isFolder || IsHiddenPhoto(*record)) continue;
            const std::string_view extension = ExtensionOf(RecordName(*record));
            bool matches = other;
            if (!extension.empty()) {
                dotted[0] = '.';
                for (size_t i = 0; i < extension.size(); ++i) {
                    const char c = extension[i];
                    dotted[i + 1] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
                }
                const std::string_view key(dotted.data(), extension.size() + 1);
                matches = pattern.find(key) != std::string_view::npos || (other && known.find(key) == std::string::npos);
            }
            if (matches) visit(*record);
        }
        offset += got;
        if (size > 0) {
            RunProgress progress;
            progress.stage = RunStage::Searching;
            progress.percent = static_cast<int>(std::min<uint64_t>(offset, size) * 100 / size);
            if (int stop = searchReporter_.Report(progress); stop != 0) {
                result = stop;
                break;
            }
        }
    }
    ::close(fd);
    return result;
}

int ScanLogFile::SearchLog(std::string_view pattern, std::vector<ScanRecord>& out) {
    // Most searches match most records: room for them is made once, up to a bound.
    out.reserve(out.size() + std::min<uint64_t>(RecordCount(), 1 << 16));
    const int result = ForEachMatch(pattern, [&out](const ScanRecord& record) { out.push_back(record); });
    SortResultList(out);
    return result;
}

int ScanLogFile::CountMatches(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep,
                              uint64_t& count) {
    count = 0;
    return ForEachMatch(pattern, [&](const ScanRecord& record) { count += keep(record) ? 1 : 0; });
}

}  // namespace kestrune
