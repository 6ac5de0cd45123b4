#include "engines/professional_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "disk/boot_marks.h"
#include "engines/carve/structure_tests.h"
#include "engines/engine_factory.h"
#include "engines/fat/fat_volume.h"
#include "engines/ntfs/ntfs_structures.h"
#include "engines/pass_checkpoint.h"
#include "scanlog/file_types.h"
#include "scanlog/log_names.h"

namespace kestrune {

namespace {

std::string LogIn(const std::string& folder, const char* prefix) {
    std::string name;
    FindLogByPrefix(prefix, folder, name);
    return name;
}

}  // namespace

CProfessionalRecovery::CProfessionalRecovery(ScanCatalogue& catalogue) : catalogue_(catalogue) {}

CProfessionalRecovery::~CProfessionalRecovery() = default;

int CProfessionalRecovery::OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
    disk_ = disk;
    imagePath_.clear();
    volumeDevice_ = PartitionDeviceAt(disk, startSector);
    catalogue_.DiscardStaleVolumeScan(disk, startSector, sectorCount, volumeDevice_);
    resume_ = catalogue_.FindForVolume(disk, startSector, sectorCount, volumeDevice_, stored_);
    SectorSource source;
    const int rc = OpenDiskSource(source, disk);
    return rc != kOk ? rc : OpenArea(std::move(source), {startSector, sectorCount, SectorBytesOf(disk)}, driveLetter);
}

int CProfessionalRecovery::OpenImage(const std::filesystem::path& image, uint16_t driveLetter) {
    disk_ = kImageDisk;
    imagePath_ = image;
    volumeDevice_.clear();
    catalogue_.DiscardStaleImageScan(image);
    resume_ = catalogue_.FindForImage(image, stored_);
    SectorSource source;
    const int rc = OpenImageSource(image, source);
    const uint64_t sectors = source.totalSectors;
    return rc != kOk ? rc : OpenArea(std::move(source), {0, sectors, kImageSectorBytes}, driveLetter);
}

int CProfessionalRecovery::OpenArea(SectorSource source, const EngineArea& area, uint16_t driveLetter) {
    startSector_ = area.start;
    sectorCount_ = area.sectors;
    sectorSize_ = area.sectorBytes;
    driveLetter_ = driveLetter;
    areaSource_ = std::move(source);
    source_ = areaSource_;
    // Every engine of the pass reads the one medium opened here.
    fat_.Open(areaSource_, area, driveLetter);
    exfat_.Open(areaSource_, area, driveLetter);
    const int rc = ntfs_.Open(areaSource_, area, driveLetter);
    quick_ = EngineFactory::OpenQuickEngine(areaSource_, area, driveLetter);
    formerExt_.reset();
    if (quick_ && quick_->Kind() == FsKind::Ext) {
        formerExt_ = std::make_unique<CFastExtRecovery>();
        formerExt_->SetFormerVolume();
        formerExt_->Open(areaSource_, area, driveLetter);
    }
    return rc;
}

void CProfessionalRecovery::SetReporter(Reporter reporter) {
    reporter_ = std::move(reporter);
    sweep_ = reporter_.Within(kQuickShare, kSweepShare);
    const Reporter quick = reporter_.Within(0, kQuickShare, Reporter::Estimate::Dropped);
    // The quick engines (the area's, or the found volumes') report within the quick share;
    // the sweep's engines within the sweep's.
    for (IFileRecoveryParse* engine : ListedEngines()) {
        const bool sweeps = engine == &fat_ || engine == &exfat_ || engine == &ntfs_ || engine == &deep_;
        engine->SetReporter(sweeps ? sweep_ : quick);
    }
}

void CProfessionalRecovery::SetCopyProgress(CopyProgress progress) {
    for (IFileRecoveryParse* engine : ListedEngines()) engine->SetCopyProgress(progress);
}

void CProfessionalRecovery::SetUnreadableNotice(UnreadableNotice notice) {
    for (IFileRecoveryParse* engine : ListedEngines()) engine->SetUnreadableNotice(notice);
}

IStoredPass::Progress CProfessionalRecovery::StoredProgress() const {
    return {stored_.resumeState.sectorsDone, stored_.resumeState.filesFound, stored_.scanFolder,
            stored_.resumeState.Finished()};
}

void CProfessionalRecovery::DeclineStoredPass() {
    if (!resume_) return;
    catalogue_.DiscardRunFolder(stored_.scanFolder);
    resume_ = false;
}

void CProfessionalRecovery::HandFolderToEngines() {
    for (IFileRecoveryParse* engine : ListedEngines()) engine->SetRunFolder(runFolder_);
}

int CProfessionalRecovery::OpenInnerLogs(bool reopen) {
    const std::string& folder = runFolder_;
    int rc = kOk;
    if (reopen) {
        const std::string carved = LogIn(folder, kSignatureLogPrefix);
        rc = deep_.OpenForPass(areaSource_, sectorSize_, carved, driveLetter_);
        const std::string fatLog = LogIn(folder, kFatFormattedLogPrefix);
        const std::string ntfsLog = LogIn(folder, kNtfsFormattedLogPrefix);
        const std::string exfatLog = LogIn(folder, kExfatFormattedLogPrefix);
        fat_.StartPass(&fatLog);
        // A pass stored before exFAT leftovers were looked for has no log of them: a new one.
        exfat_.StartPass(&exfatLog);
        ntfs_.StartFormattedLog(&ntfsLog);
    } else {
        rc = deep_.Open(areaSource_, {startSector_, sectorCount_, sectorSize_}, driveLetter_);
        fat_.StartPass(nullptr);
        exfat_.StartPass(nullptr);
        ntfs_.StartFormattedLog(nullptr);
    }
    deep_.SetReporter(sweep_);
    return rc;
}

PassCheckpoint CProfessionalRecovery::Checkpoint(uint64_t extentStart, uint64_t extentLength, uint64_t offset,
                                                 bool finished) {
    PassCheckpoint checkpoint;
    ScanLogFile* logs[4] = {fat_.Log(), ntfs_.Log(), deep_.Log(), exfat_.Log()};
    uint64_t* counts[4] = {&checkpoint.fatRecords, &checkpoint.ntfsRecords, &checkpoint.deepRecords,
                           &checkpoint.exfatRecords};
    for (int i = 0; i < 4; ++i) {
        if (!logs[i]) continue;
        logs[i]->Sync();
        *counts[i] = logs[i]->RecordCount();
    }
    checkpoint.extentStart = extentStart;
    checkpoint.extentLength = finished ? 0 : extentLength;
    checkpoint.offset = offset;
    checkpoint.sectorsDone = sectorsDone_;
    if (!finished) {
        // The folders met so far are written only when the pass ends; without their
        // state a resumed pass would leave every file below them at the top level.
        PassStateWriter fat, ntfs, exfat;
        fat_.SavePassState(fat);
        ntfs_.SavePassState(ntfs);
        exfat_.SavePassState(exfat);
        checkpoint.fatState = fat.bytes();
        checkpoint.ntfsState = ntfs.bytes();
        checkpoint.exfatState = exfat.bytes();
    }
    // Counts, position and state go into one file replaced whole, so that a kill at any
    // moment leaves a checkpoint that belongs with the logs it counts.
    WritePassCheckpoint(runFolder_, checkpoint);
    StorePass(extentStart, extentLength, offset, finished);
    return checkpoint;
}

void CProfessionalRecovery::ReportFoldersSoFar() {
    // The engines report the folders they met as at a pass's end, so that the findings
    // of a pass that stops here are shown in their folders.
    fat_.Finish();
    exfat_.Finish();
    ntfs_.ReportQueuedFolders();
    for (ScanLogFile* log : {fat_.Log(), ntfs_.Log(), exfat_.Log()})
        if (log) log->Sync();
}

void CProfessionalRecovery::RestoreCheckpoint(const PassCheckpoint& checkpoint) {
    ScanLogFile* logs[4] = {fat_.Log(), ntfs_.Log(), deep_.Log(), exfat_.Log()};
    const uint64_t counts[4] = {checkpoint.fatRecords, checkpoint.ntfsRecords, checkpoint.deepRecords,
                                checkpoint.exfatRecords};
    for (int i = 0; i < 4; ++i)
        if (logs[i] && counts[i] <= UINT32_MAX) logs[i]->TruncateTo(static_cast<uint32_t>(counts[i]));
    if (!checkpoint.fatState.empty()) {
        PassStateReader in{ByteView(checkpoint.fatState)};
        fat_.LoadPassState(in);
    }
    if (!checkpoint.ntfsState.empty()) {
        PassStateReader in{ByteView(checkpoint.ntfsState)};
        ntfs_.LoadPassState(in);
    }
    if (!checkpoint.exfatState.empty()) {
        PassStateReader in{ByteView(checkpoint.exfatState)};
        exfat_.LoadPassState(in);
    }
}

void CProfessionalRecovery::RollBackToCheckpoint() {
    PassCheckpoint checkpoint;
    if (!ReadPassCheckpoint(runFolder_, checkpoint)) return;
    // Records appended after the checkpoint (found again from its position) and the
    // folders written when the pass stopped are dropped; the engines take up their state.
    RestoreCheckpoint(checkpoint);
    // The checkpoint's position may be newer than the catalogue's if a kill came in between.
    stored_.resumeState.extentStart = checkpoint.extentStart;
    stored_.resumeState.extentLength = checkpoint.extentLength;
    stored_.resumeState.offset = checkpoint.offset;
    stored_.resumeState.sectorsDone = checkpoint.sectorsDone;
}

int CProfessionalRecovery::OpenStoredLogs() {
    if (!resume_) return kErrFileNotFound;
    runFolder_ = stored_.scanFolder;
    HandFolderToEngines();
    if (quick_) {
        const std::string quickLog = LogIn(runFolder_, kQuickLogPrefix);
        if (!quickLog.empty()) quick_->Scan(&quickLog);
    }
    if (formerExt_) {
        const std::string formerLog = LogIn(runFolder_, kExtFormattedLogPrefix);
        if (!formerLog.empty()) formerExt_->Scan(&formerLog);
    }
    if (!quick_) found_.Reopen(areaSource_, {startSector_, sectorCount_, sectorSize_}, driveLetter_, runFolder_);
    const int rc = OpenInnerLogs(true);
    // A pass killed outright left its folders only in its checkpoint: they are written
    // from there, as if the pass had stopped at that point, so that every file shows in
    // its folder. A resume later cuts these records off again.
    PassCheckpoint checkpoint;
    if (ReadPassCheckpoint(runFolder_, checkpoint) && (!checkpoint.fatState.empty() || !checkpoint.ntfsState.empty() ||
                                                  !checkpoint.exfatState.empty())) {
        RestoreCheckpoint(checkpoint);
        ReportFoldersSoFar();
    }
    return rc;
}

int CProfessionalRecovery::Scan(const std::string*) {
    const bool resuming = resume_;
    // A folder taken here is given back when the pass stops before it began; one handed in
    // belongs to whoever handed it.
    const bool ownFolder = !resuming && newPassFolder_.empty();
    runFolder_ = resuming ? stored_.scanFolder : ownFolder ? catalogue_.NewRunFolder() : newPassFolder_;
    HandFolderToEngines();

    freeSpaceOnly_ = false;
    // A stop before the pass began: a stored pass stays as it was, a new one gives its
    // folder back.
    auto stopBeforePass = [&](int rc) {
        if (resuming) {
            StorePass(stored_.resumeState.extentStart, stored_.resumeState.extentLength,
                      stored_.resumeState.offset, false);
        } else if (ownFolder) {
            catalogue_.TakeBackRunNumber(runFolder_);
        }
        return rc;
    };
    if (quick_) {
        freeSpaceOnly_ = quick_->BuildAllocationMap() == kOk;
        const std::string quickLog = resuming ? LogIn(runFolder_, kQuickLogPrefix) : std::string();
        const int rc = quick_->Scan(resuming && !quickLog.empty() ? &quickLog : nullptr);
        quickScanResult_ = rc;
        if (rc != kOk && rc != CancelCode) {
            // A file system that cannot be read whole (an image cut short, a damaged MFT)
            // gives no map of what is free: every sector is read and carved instead.
            freeSpaceOnly_ = false;
        } else if (rc != kOk) {
            return stopBeforePass(rc);
        }
    }
    if (formerExt_) {
        const std::string formerLog = resuming ? LogIn(runFolder_, kExtFormattedLogPrefix) : std::string();
        // Only a stop counts: a volume whose inode tables cannot be read has no former files.
        if (const int rc = formerExt_->Scan(formerLog.empty() ? nullptr : &formerLog); rc == CancelCode)
            return stopBeforePass(rc);
    }
    if (!quick_) {
        // No file system at the area's start: a whole disk, or a gap between partitions,
        // whose volumes may still be there though no table names them. A pass stored
        // before volumes were searched for goes on without them, as it began.
        const EngineArea area{startSector_, sectorCount_, sectorSize_};
        if (!resuming) {
            const Reporter quick = reporter_.Within(0, kQuickShare, Reporter::Estimate::Dropped);
            if (const int rc = found_.FindAndScan(areaSource_, area, driveLetter_, runFolder_, DevicePath(), quick);
                rc == CancelCode)
                return stopBeforePass(rc);
        } else if (FoundVolumeScans::Searched(runFolder_)) {
            found_.Reopen(areaSource_, area, driveLetter_, runFolder_);
        }
    }
    sweepsStretches_ = freeSpaceOnly_ || !found_.empty();
    OpenInnerLogs(resuming);
    fat_.Prepare();
    exfat_.Prepare();
    if (resuming) RollBackToCheckpoint();
    // The quick scan's folders lie in free clusters too: listed once, by the quick scan.
    if (quick_ && quick_->Kind() == FsKind::Fat) fat_.SetListedFolderSectors(quick_->WalkedFolderSectors(sectorSize_));
    if (quick_ && quick_->Kind() == FsKind::Exfat)
        exfat_.SetListedFolderSectors(quick_->WalkedFolderSectors(sectorSize_));
    return RunPass();
}

int CProfessionalRecovery::RunPass() {
    const uint64_t blockSectors = std::max<uint64_t>(1, kReadPieceBytes / sectorSize_);
    std::vector<uint8_t> block(static_cast<size_t>(blockSectors) * sectorSize_);

    sectorsTotal_ = 0;
    if (sweepsStretches_) {
        uint64_t position = 0, length = 0;
        for (NextSweepExtent(position, length); length != 0; NextSweepExtent(position, length)) {
            sectorsTotal_ += length;
            position += length;
        }
    } else {
        sectorsTotal_ = sectorCount_;
    }
    uint64_t extentStart = 0, extentLength = sectorCount_, offset = 0;
    if (sweepsStretches_) {
        extentStart = 0;
        extentLength = 0;
        NextSweepExtent(extentStart, extentLength);
    }
    sectorsDone_ = 0;
    secondsRemaining_ = -1;
    if (resume_) {
        extentStart = stored_.resumeState.extentStart;
        extentLength = stored_.resumeState.extentLength;
        offset = stored_.resumeState.offset;
        sectorsDone_ = stored_.resumeState.sectorsDone;
        resume_ = false;
    }
    const uint64_t started = SteadyMilliseconds();
    uint64_t lastEstimate = started, lastCheckpoint = started;
    // Sweeps up to most sectors from sector at (of the area), or fewer where a carved file
    // runs on past them; step says how far the sweep moved on, read how many sectors came
    // before a read failed (wanted, when none did).
    const auto sweepBlock = [&](uint64_t at, uint64_t length, uint64_t most, uint64_t& step, uint32_t& read) {
        const uint32_t wanted = static_cast<uint32_t>(std::min(most, length));
        const uint64_t first = startSector_ + at;
        read = 0;
        ReadSectors(wanted, source_, block.data(), first, static_cast<int>(sectorSize_), read);
        uint64_t overshoot = 0;
        int stop = 0;
        uint32_t stoppedAt = 0;
        // A block that could not be read is passed over; what did arrive is examined.
        if (read > 0) overshoot = DispatchBlock(block.data(), read, first, stop, stoppedAt);
        // A stop while a file's length was being worked out leaves the pass at that
        // file's first sector, so that a resumed pass finds it whole.
        step = stop != 0 ? stoppedAt : wanted + overshoot;
        sectorsDone_ += std::min(step, length);
        const uint64_t now = SteadyMilliseconds();
        if (now - lastEstimate >= 5000) {
            const uint64_t elapsed = std::max<uint64_t>(1, (now - started) / 1000);
            const uint64_t speed = std::max<uint64_t>(1, sectorsDone_ * sectorSize_ / elapsed);
            secondsRemaining_ = static_cast<int>(std::min<uint64_t>(
                (sectorsTotal_ > sectorsDone_ ? sectorsTotal_ - sectorsDone_ : 0) * sectorSize_ / speed, INT32_MAX));
            lastEstimate = now;
        }
        const int percent = static_cast<int>(std::min(sectorsDone_, sectorsTotal_) * 100 / std::max<uint64_t>(1, sectorsTotal_));
        const int rc = sweep_.Scanned(percent, secondsRemaining_, sectorsDone_, sectorsTotal_, FilesFound());
        return rc != kOk ? rc : stop;
    };
    // On a failing disk the sweep reads what reads first, as a copy of one does: after a
    // failed read it skips ahead, further after each failure in a row, and comes back to
    // what it skipped once the rest is swept; a dead stretch costs a few failed reads, not
    // one per block, before the good data after it.
    std::vector<std::pair<uint64_t, uint64_t>> skipped;
    uint64_t skip = 0;
    const uint64_t mostSkip = std::max<uint64_t>(16 * blockSectors, sectorCount_ / 100);
    int result = kOk;
    while (extentLength != 0 && result == kOk) {
        while (offset < extentLength) {
            uint64_t step = 0;
            uint32_t read = 0;
            const uint64_t left = extentLength - offset;
            result = sweepBlock(extentStart + offset, left, blockSectors, step, read);
            const bool failed = read < std::min(blockSectors, left);
            if (result == kOk && failed && step > read) {
                // The rest of the block after the failure, and a stretch after it, wait.
                skip = std::min(skip ? skip * 2 : blockSectors, mostSkip);
                const uint64_t jump = std::min(step + skip, left) - read;
                skipped.emplace_back(extentStart + offset + read, jump);
                step = read + jump;
            } else if (!failed) {
                skip = 0;
            }
            offset += step;
            if (result != kOk) break;
            if (SteadyMilliseconds() - lastCheckpoint >= checkpointMs_) {
                Checkpoint(extentStart, extentLength, offset, false);
                lastCheckpoint = SteadyMilliseconds();
            }
        }
        if (result != kOk) break;
        if (!sweepsStretches_) {
            extentLength = 0;
            break;
        }
        extentStart += extentLength;
        offset = 0;
        NextSweepExtent(extentStart, extentLength);
    }
    // What was skipped, last, as a copy of a failing disk goes back to it: forward in blocks
    // where it reads, after a failure a sector at a time to the end of the block, so that
    // one bad sector costs only itself. Two failed disk blocks in a row are a dead stretch:
    // the rest is read backward from its end, up to the stretch's far edge, and only what
    // lies between the two edges is given up.
    const uint64_t failureUnit = std::max<uint64_t>(source_.medium ? source_.medium->FailureUnitBytes() : 0, sectorSize_);
    const uint64_t deadSectors = 2 * ((failureUnit + sectorSize_ - 1) / sectorSize_);
    for (const auto& [from, length] : skipped) {
        const uint64_t to = from + length;
        uint64_t at = from, most = blockSectors, failedInRow = 0;
        while (at < to && failedInRow < deadSectors && result == kOk) {
            uint64_t step = 0;
            uint32_t read = 0;
            result = sweepBlock(at, to - at, most, step, read);
            if (read == std::min(most, to - at)) {
                failedInRow = 0;
                at += step;
                if (at % blockSectors == 0) most = blockSectors;
                continue;
            }
            at += read;
            if (most > 1) {
                most = read == 0 ? 1 : most;  // the failing sector again, on its own
                continue;
            }
            ++at;
            ++failedInRow;
        }
        for (uint64_t end = to; end > at && result == kOk;) {
            const uint64_t begin = std::max(at, end > blockSectors ? end - blockSectors : 0);
            uint64_t step = 0;
            uint32_t read = 0;
            result = sweepBlock(begin, end - begin, blockSectors, step, read);
            if (read == end - begin) {
                end = begin;
                continue;
            }
            // The block's end, a sector at a time, back to the dead stretch.
            for (uint64_t sector = end, failed = 0; sector > begin + read && failed < deadSectors && result == kOk;) {
                --sector;
                result = sweepBlock(sector, 1, 1, step, read);
                failed = read ? 0 : failed + 1;
            }
            break;
        }
        if (result != kOk) break;
    }
    if (result == kOk) {
        fat_.Finish();
        exfat_.Finish();
        ntfs_.ReportQueuedFolders();
        if (ScanLogFile* log = deep_.Log()) log->Flush();
        reporter_.Scanned(100, 0, sectorsDone_, sectorsTotal_, FilesFound());
        Checkpoint(extentStart, 0, offset, true);
    } else {
        // Stopped: the checkpoint keeps what the engines hold, then they report their
        // folders; a resume drops those records and takes up the state.
        Checkpoint(extentStart, extentLength, offset, false);
        ReportFoldersSoFar();
    }
    imagePath_.clear();
    return result;
}

int CProfessionalRecovery::BuildAllocationMap() {
    // Known where volumes were found and each one's free space could be mapped: what lies
    // between them is claimed by no volume, and free.
    if (found_.empty()) return kErrNotSupported;
    for (const FoundVolumeScans::Volume& v : found_.volumes())
        if (!v.mapped) return kErrNotSupported;
    return kOk;
}

int CProfessionalRecovery::NextFreeExtent(uint64_t& position, uint64_t& length) {
    length = 0;
    if (BuildAllocationMap() != kOk) return 0;
    found_.NextSweepExtent(position, length);
    return 1;
}

void CProfessionalRecovery::NextSweepExtent(uint64_t& position, uint64_t& length) {
    if (!found_.empty()) {
        found_.NextSweepExtent(position, length);
    } else if (quick_->NextFreeExtent(position, length) == 0) {
        length = 0;
    }
}

std::filesystem::path CProfessionalRecovery::DevicePath() const {
    if (!imagePath_.empty()) return imagePath_;
    DiskLocation location;
    return ResolveDisk(disk_, location) == kOk ? location.path : std::filesystem::path();
}

// What the pass offers each sector to, in this order; the first that takes a sector ends
// its turn, and a sector none takes goes to the carver. Metadata comes first: a folder's
// entries or an MFT record may look like the start of some file type to the carver.
const CProfessionalRecovery::SectorRecogniser CProfessionalRecovery::kRecognisers[] = {
    {"NTFS file record", &CProfessionalRecovery::TakeMftRecord},
    {"first cluster of a FAT folder", &CProfessionalRecovery::TakeFatFolderStart},
    {"exFAT folder entries", &CProfessionalRecovery::TakeExfatEntries},
    {"exFAT boot sector", &CProfessionalRecovery::TakeExfatBoot},
    {"FAT folder entries", &CProfessionalRecovery::TakeFatEntries},
};

bool CProfessionalRecovery::TakeMftRecord(const SectorAt& at) {
    const uint32_t s = sectorSize_;
    const uint32_t recordSize = s > 512 ? s : 2 * s;
    if (!LooksLikeMftRecord(at.sector, recordSize)) return false;
    // A folder's record is known from its children's records; only files are read here.
    if (at.sector.u8(0x16) & 0x02) return true;
    if (recordSize <= at.rest.size()) {
        ntfs_.ProcessFoundRecord(at.rest.sub(0, recordSize).span(), at.absolute);
        return true;
    }
    // The record runs past the block: read it whole.
    recordScratch_.assign(8192, 0);
    uint32_t read = 0;
    ReadSectors(8192 / s, source_, recordScratch_.data(), at.absolute, static_cast<int>(s), read);
    if (read * s >= recordSize) ntfs_.ProcessFoundRecord(std::span<const uint8_t>(recordScratch_.data(), recordSize), at.absolute);
    return true;
}

bool CProfessionalRecovery::TakeFatFolderStart(const SectorAt& at) {
    if (!BeginsFolderCluster(at.sector)) return false;
    fat_.DirectoryCluster(at.sector, at.absolute);
    return true;
}

bool CProfessionalRecovery::TakeExfatEntries(const SectorAt& at) { return exfat_.OfferSector(at.sector, at.absolute); }

bool CProfessionalRecovery::TakeExfatBoot(const SectorAt& at) {
    if (!kExfatMark.In(at.sector)) return false;
    exfat_.BootSector(at.sector, at.absolute);
    return true;
}

bool CProfessionalRecovery::TakeFatEntries(const SectorAt& at) {
    if (!carve::IsFatDirectorySector(at.sector)) return false;
    fat_.DirectorySector(at.sector, at.absolute);
    return true;
}

uint64_t CProfessionalRecovery::DispatchBlock(const uint8_t* block, uint32_t sectors, uint64_t firstSector,
                                              int& stop, uint32_t& stoppedAt) {
    const uint32_t s = sectorSize_;
    carve::PassProgress totals{sectorsDone_, sectorsTotal_, FilesFound(), secondsRemaining_};
    uint64_t found = 0;
    uint64_t i = 0;
    const ByteView whole(block, size_t{sectors} * s);
    deep_.SetPassBlock(whole, firstSector);
    while (i < sectors) {
        const SectorAt at{whole.sub(i * s, s), firstSector + i, whole.from(i * s)};
        uint32_t skip = 1;
        const bool taken = std::any_of(std::begin(kRecognisers), std::end(kRecognisers),
                                       [&](const SectorRecogniser& r) { return (this->*r.take)(at); });
        if (!taken) {
            totals.sectorsDone = sectorsDone_ + i;
            const int rc = deep_.CarveAt(at.sector, at.absolute, totals, skip, found);
            if (rc != kOk && rc != kErrInvalidParameter && rc != kErrInvalidHandle) {
                stop = rc;
                stoppedAt = static_cast<uint32_t>(i);
                break;
            }
        }
        i += skip;
    }
    deep_.SetPassBlock({}, 0);
    return i > sectors ? i - sectors : 0;
}

void CProfessionalRecovery::StorePass(uint64_t extentStart, uint64_t extentLength, uint64_t offset, bool finished) {
    const ResumeState state{extentStart, finished ? 0 : extentLength, offset, sectorsDone_, FilesFound()};
    catalogue_.Store(volumeDevice_, disk_, startSector_, sectorCount_, state, runFolder_, imagePath_);
}

uint64_t CProfessionalRecovery::FilesFound() {
    return fat_.GetRecordCount() + exfat_.GetRecordCount() + ntfs_.GetRecordCount() + deep_.GetRecordCount();
}

RecoveryEngineBase* CProfessionalRecovery::QuickEngineOf(const ScanRecord& record) {
    if (quick_) return quick_.get();
    FoundVolumeScans::Volume* volume = found_.VolumeOf(record);
    return volume ? volume->engine.get() : nullptr;
}

IFileRecoveryParse* CProfessionalRecovery::EngineFor(const ScanRecord& record) {
    switch (record.engineKind) {
        case NtfsQuick:
        case FatQuick:
        case ExfatQuick:
        case ExtQuick: return QuickEngineOf(record);
        case ExtFormatted: return formerExt_.get();
        case NtfsFormatted: return &ntfs_;
        case FatFormatted: return &fat_;
        case ExfatFormatted: return &exfat_;
        case Signature: return &deep_;
        default: return nullptr;
    }
}

int CProfessionalRecovery::ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) {
    if (folder) {
        IFileRecoveryParse* engine = folder->engineKind == Signature ? nullptr : EngineFor(*folder);
        return engine ? engine->ListChildren(folder, depth, out) : kOk;
    }
    if (depth != 0) return kErrInvalidParameter;
    for (IFileRecoveryParse* engine : ListedEngines()) engine->ListChildren(nullptr, 0, out);
    if (out.size() > 1) SortResultList(out);
    return kOk;
}

int CProfessionalRecovery::CountFiles(const ScanRecord* folder, int depth, int& count) {
    count = 0;
    if (folder) {
        IFileRecoveryParse* engine = folder->engineKind == Signature ? nullptr : EngineFor(*folder);
        return engine ? engine->CountFiles(folder, depth, count) : kOk;
    }
    if (depth != 0) return kErrInvalidParameter;
    for (IFileRecoveryParse* engine : ListedEngines()) {
        int n = 0;
        if (engine->CountFiles(nullptr, 0, n) == kOk) count += n;
    }
    return kOk;
}

uint64_t CProfessionalRecovery::GetRecordCount() {
    uint64_t count = (quick_ ? quick_->GetRecordCount() : 0) + (formerExt_ ? formerExt_->GetRecordCount() : 0);
    for (const FoundVolumeScans::Volume& v : found_.volumes()) count += v.engine->GetRecordCount();
    return count + FilesFound();
}

std::vector<IFileRecoveryParse*> CProfessionalRecovery::ListedEngines() {
    std::vector<IFileRecoveryParse*> engines;
    if (quick_) engines.push_back(quick_.get());
    if (formerExt_) engines.push_back(formerExt_.get());
    for (const FoundVolumeScans::Volume& v : found_.volumes()) engines.push_back(v.engine.get());
    for (IFileRecoveryParse* engine : {static_cast<IFileRecoveryParse*>(&fat_), static_cast<IFileRecoveryParse*>(&exfat_),
                                       static_cast<IFileRecoveryParse*>(&ntfs_), static_cast<IFileRecoveryParse*>(&deep_)})
        engines.push_back(engine);
    return engines;
}

int CProfessionalRecovery::GetRecordPath(const ScanRecord& record, std::string& out) {
    out.clear();
    if (record.engineKind == Signature) return kOk;
    IFileRecoveryParse* engine = EngineFor(record);
    const int rc = engine ? engine->GetRecordPath(record, out) : kOk;
    if (const FoundVolumeScans::Volume* volume = found_.VolumeOf(record)) out.insert(0, volume->folder + "/");
    return rc;
}

int CProfessionalRecovery::GetRecordPathOnDisk(const ScanRecord& record, std::string& out) {
    out.clear();
    if (record.engineKind == Signature) return kOk;
    IFileRecoveryParse* engine = EngineFor(record);
    const int rc = engine ? engine->GetRecordPathOnDisk(record, out) : kOk;
    if (const FoundVolumeScans::Volume* volume = found_.VolumeOf(record)) out.insert(0, volume->folder + "/");
    return rc;
}

int CProfessionalRecovery::Recover(const ScanRecord& record, const std::filesystem::path& destination, int baseDepth) {
    IFileRecoveryParse* engine = EngineFor(record);
    return engine ? engine->Recover(record, destination, baseDepth) : kOk;
}

int CProfessionalRecovery::ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                                             uint32_t& delivered, const CopyProgress& progress) {
    delivered = 0;
    if (!record) return kErrInvalidParameter;
    IFileRecoveryParse* engine = EngineFor(*record);
    return engine ? engine->ExtractForPreview(record, tempPath, buffer, delivered, progress) : kOk;
}

int CProfessionalRecovery::SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) {
    std::vector<ScanRecord> found;
    if (quick_) quick_->SearchByExtension(pattern, found);
    if (formerExt_) formerExt_->SearchByExtension(pattern, found);
    for (const FoundVolumeScans::Volume& v : found_.volumes()) v.engine->SearchByExtension(pattern, found);
    fat_.SearchByExtension(pattern, found);
    exfat_.SearchByExtension(pattern, found);
    ntfs_.SearchByExtension(pattern, found);
    // Where each file the file-system engines found begins, with its extension, and where
    // one whose content checked out begins: a carved file starting at the same sector is
    // the same file and is not listed again, whatever extension the name gives it (a photo
    // kept as ".hmm"). Only a named file whose content failed its check may have been
    // written over by the file carved there.
    std::set<std::pair<uint64_t, std::string>> starts;
    std::set<uint64_t> intactStarts;
    for (const ScanRecord& r : found) {
        uint64_t sector = 0;
        if (r.engineKind == FatQuick || r.engineKind == FatFormatted || r.engineKind == ExfatQuick ||
            r.engineKind == ExfatFormatted) {
            const uint64_t spc = r.clusterBytes ? r.clusterBytes / sectorSize_ : 1;
            if (r.fsId >= 2) sector = r.partitionStart + r.dataAreaSector + (r.fsId - 2) * spc;
            else if (r.fsId == 0 && r.dataAreaSector >= fat::kTraditionalRootSectors)
                sector = r.partitionStart + r.dataAreaSector - fat::kTraditionalRootSectors;
        } else if (r.engineKind == ExtQuick || r.engineKind == ExtFormatted) {
            sector = r.dataAreaSector != 0 ? r.partitionStart + r.dataAreaSector : 0;
        } else if (r.engineKind == NtfsFormatted) {
            sector = ntfs_.DataStartSector(r);
        } else if (r.engineKind == NtfsQuick) {
            if (RecoveryEngineBase* quick = QuickEngineOf(r)) sector = quick->DataStartSector(r);
        }
        if (sector != 0) starts.emplace(sector, AsciiLower(ExtensionOf(RecordName(r))));
        if (sector != 0 && r.contentOk != 0) intactStarts.insert(sector);
    }
    std::vector<ScanRecord> carved;
    const int rc = deep_.SearchByExtension(pattern, carved);
    const bool carvedText = std::any_of(carved.begin(), carved.end(), [](const ScanRecord& r) {
        return AsciiLower(ExtensionOf(RecordName(r))) == "txt";
    });
    const std::vector<std::pair<uint64_t, uint64_t>> covered = carvedText ? BytesOfFound(found) : decltype(covered){};
    for (const ScanRecord& r : carved) {
        const std::string extension = AsciiLower(ExtensionOf(RecordName(r)));
        const bool same = intactStarts.count(r.entrySector) || starts.count({uint64_t{r.entrySector}, extension}) ||
                          (extension == "jpg" && starts.count({uint64_t{r.entrySector}, "thm"}));
        // Text is found wherever a sector holds it, so also in the later pieces of a named
        // file: those are that file's, not files of their own.
        const bool inside = extension == "txt" && Inside(covered, uint64_t{r.entrySector} * sectorSize_);
        if (!same && !inside) found.push_back(r);
    }
    out.insert(out.end(), found.begin(), found.end());
    return rc == CancelCode ? rc : kOk;
}

std::vector<std::pair<uint64_t, uint64_t>> CProfessionalRecovery::BytesOfFound(const std::vector<ScanRecord>& found) {
    // Mapping every file costs a walk of its metadata: on a volume of millions of files
    // the later pieces of named text files are listed as carved text too.
    constexpr size_t kMostMappedFiles = 200000;
    std::vector<std::pair<uint64_t, uint64_t>> bytes;
    if (found.size() > kMostMappedFiles) return bytes;
    for (const ScanRecord& r : found) {
        DataMap map;
        if (r.isFolder || r.fileSize == 0 || r.contentOk == 0 || MapData(r, map) != kOk || map.layoutGuessed) continue;
        for (const ByteRun& run : map.runs) bytes.emplace_back(run.sourceOffset, run.sourceOffset + run.length);
    }
    // Sorted and merged, so that a look-up is one search.
    std::sort(bytes.begin(), bytes.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& range : bytes) {
        if (!merged.empty() && range.first <= merged.back().second) merged.back().second = std::max(merged.back().second, range.second);
        else merged.push_back(range);
    }
    return merged;
}

bool CProfessionalRecovery::Inside(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t offset) {
    auto at = std::upper_bound(ranges.begin(), ranges.end(), std::pair{offset, UINT64_MAX});
    return at != ranges.begin() && std::prev(at)->second > offset;
}

int CProfessionalRecovery::MapData(const ScanRecord& record, DataMap& map) {
    IFileRecoveryParse* engine = EngineFor(record);
    return engine ? engine->MapData(record, map) : kErrNotSupported;
}

uint64_t CProfessionalRecovery::UnreadableBytes(const ScanRecord& record, const DataMap& map) {
    IFileRecoveryParse* engine = EngineFor(record);
    return engine ? engine->UnreadableBytes(record, map) : 0;
}

int CProfessionalRecovery::ReadData(const ScanRecord& record, uint64_t limit, std::vector<uint8_t>& out) {
    IFileRecoveryParse* engine = EngineFor(record);
    out.clear();
    return engine ? engine->ReadData(record, limit, out) : kErrNotSupported;
}

}  // namespace kestrune
