// What recoveries into one destination folder wrote, kept beside the scan folders, so that
// a later recovery into the same folder (after a crash, a kill or a cancel) knows which
// files are already there whole, which hidden work files an interrupted run left, and
// which partial files a whole copy now replaces.
//
// One recovery at a time per destination: the journal is locked while a job holds it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "scanlog/scan_record.h"

namespace kestrune {

class RecoveryJournal {
public:
    RecoveryJournal() = default;
    ~RecoveryJournal();
    RecoveryJournal(const RecoveryJournal&) = delete;
    RecoveryJournal& operator=(const RecoveryJournal&) = delete;

    // Opens (creating) the journal of destination (a resolved folder) in journalFolder,
    // takes its lock and removes the work files an interrupted run left below
    // destination. Returns 0; kErrSharingViolation when another recovery into the same
    // folder is running; another code when the journal cannot be kept (the caller may
    // recover without one).
    int Open(const std::filesystem::path& journalFolder, const std::filesystem::path& destination);
    bool IsOpen() const { return fd_ >= 0; }
    // The journal file of destination in journalFolder.
    static std::filesystem::path FileFor(const std::filesystem::path& journalFolder,
                                         const std::filesystem::path& destination);

    // The identity of a found file: its source (as sourceId names it), where its metadata
    // lies, its name and size. Two scans of one source give one file the same key.
    static std::string KeyOf(const std::string& sourceId, const ScanRecord& record);

    // Where an earlier run wrote the file of key whole, when that file is still there,
    // unchanged in size.
    bool WrittenWhole(const std::string& key, std::filesystem::path& where) const;

    // A work file is about to be written for key; the file of key was published whole (of
    // bytes); what could be written was kept as partial. Each is noted at once, so that
    // a kill at any moment leaves a journal that says what is on disk.
    void Writing(const std::string& key, const std::filesystem::path& work);
    // The work file of key is about to take the name published: when a kill lands right
    // after, the next Open finds it there, whole (it was synced first).
    void Publishing(const std::string& key, const std::filesystem::path& published);
    void Written(const std::string& key, const std::filesystem::path& published, uint64_t bytes);
    void KeptPartial(const std::string& key, const std::filesystem::path& partial);
    // Removes the partial copy an earlier run kept of key (once the whole file is written);
    // true when there was one.
    bool RemoveEarlierPartial(const std::string& key);

    // Work files of interrupted runs removed by Open.
    uint64_t leftoversRemoved() const { return leftoversRemoved_; }

private:
    struct Entry {
        std::string written;  // path below the destination of the whole file
        uint64_t bytes = 0;
        std::string partial;  // path below the destination of a kept partial file
        std::string work;     // a work file being written, not yet settled
        std::string publishing;  // the name the work file was about to take
    };
    void Load(const std::string& text);
    void Append(const std::string& line);
    int Compact();
    std::string Below(const std::filesystem::path& path) const;
    // The size of the plain file at path (not through a link); none when it is not one.
    static std::optional<uint64_t> PlainFileBytes(const std::filesystem::path& path);

    std::filesystem::path destination_, file_;
    int fd_ = -1, lockFd_ = -1;
    std::map<std::string, Entry> entries_;
    uint64_t leftoversRemoved_ = 0;
};

}  // namespace kestrune
