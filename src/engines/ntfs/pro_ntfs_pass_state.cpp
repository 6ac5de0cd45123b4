// What a formatted NTFS pass keeps between checkpoints: the former MFTs it met, its
// cluster size estimate and the folders it will report when the pass ends.
#include "engines/ntfs/pro_ntfs_recovery.h"

namespace kestrune {

namespace {

constexpr uint32_t kStateVersion = 1;

void SaveRuns(PassStateWriter& out, const std::vector<FileRun>& runs) {
    out.U32(static_cast<uint32_t>(runs.size()));
    for (const FileRun& run : runs) {
        out.U64(run.clusterCount);
        out.I64(run.lcnDelta);
    }
}

std::vector<FileRun> LoadRuns(PassStateReader& in) {
    std::vector<FileRun> runs;
    for (uint32_t n = in.Count(16); n > 0 && in.ok(); --n) {
        FileRun run;
        run.clusterCount = in.U64();
        run.lcnDelta = in.I64();
        runs.push_back(run);
    }
    return runs;
}

}  // namespace

void CProfessionalNtfsRecovery::SavePassState(PassStateWriter& out) const {
    out.U32(kStateVersion);
    out.U32(clusterGuess_);
    out.U32(static_cast<uint32_t>(mftCatalogue_.size()));
    for (const auto& [sector, runs] : mftCatalogue_) {
        out.U64(sector);
        SaveRuns(out, runs);
    }
    out.U32(static_cast<uint32_t>(folderQueue_.size()));
    for (const FolderEntry& folder : folderQueue_) {
        out.U32(folder.number);
        out.U32(folder.sectorsPerCluster);
        out.U64(folder.base);
        SaveRuns(out, folder.runs);
    }
}

bool CProfessionalNtfsRecovery::LoadPassState(PassStateReader& in) {
    folderQueue_.clear();
    queued_.clear();
    if (in.U32() != kStateVersion) return false;
    const uint32_t guess = in.U32();
    std::map<uint64_t, std::vector<FileRun>> catalogue;
    for (uint32_t n = in.Count(12); n > 0 && in.ok(); --n) {
        const uint64_t sector = in.U64();
        catalogue[sector] = LoadRuns(in);
    }
    std::vector<FolderEntry> queue;
    for (uint32_t n = in.Count(20); n > 0 && in.ok(); --n) {
        FolderEntry folder;
        folder.number = in.U32();
        folder.sectorsPerCluster = in.U32();
        folder.base = in.U64();
        folder.runs = LoadRuns(in);
        queue.push_back(std::move(folder));
    }
    // A cluster size no volume has means the bytes are not what was written.
    if (!in.ok() || guess == 0 || (guess & (guess - 1)) != 0) return false;
    clusterGuess_ = guess;
    mftCatalogue_ = std::move(catalogue);
    for (FolderEntry& folder : queue)
        if (folder.sectorsPerCluster != 0 && queued_.insert(folder.number).second) folderQueue_.push_back(std::move(folder));
    return true;
}

}  // namespace kestrune
