#include "engines/found_volume_scans.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/result_codes.h"
#include "disk/disk_inventory.h"
#include "engines/engine_factory.h"
#include "engines/lost_volumes.h"
#include "scanlog/log_names.h"

namespace kestrune {

namespace {

// The note of what the search found, one volume a line: start, sectors, file system,
// whether read from its backup boot sectors (0 or 1), label (the rest of the line).
// Written once the volumes are scanned.
constexpr const char* kNoteFile = "volumes";

// A medium whose bytes at one place are replaced by others, in memory: a volume whose
// boot sectors were written over reads as its backup gives them. Nothing is written.
class PatchedMedium final : public Medium {
public:
    PatchedMedium(std::shared_ptr<Medium> inner, uint64_t at, std::vector<uint8_t> bytes)
        : inner_(std::move(inner)), at_(at), bytes_(std::move(bytes)) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        const int rc = inner_->ReadAt(offset, buffer, length, got);
        if (rc != kOk) return rc;
        const uint64_t from = std::max(offset, at_), to = std::min(offset + got, at_ + bytes_.size());
        if (from < to) std::memcpy(static_cast<uint8_t*>(buffer) + (from - offset), bytes_.data() + (from - at_), to - from);
        return kOk;
    }
    uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
    void WillRead(uint64_t offset, uint64_t length) override { inner_->WillRead(offset, length); }

private:
    std::shared_ptr<Medium> inner_;
    uint64_t at_;
    std::vector<uint8_t> bytes_;
};

// The source with the volume's boot sectors put back from their backup: FAT32's copy six
// sectors in, exFAT's boot region copy twelve sectors in. The source as it is when there is
// none to put back or it cannot be read.
SectorSource WithBootFromBackup(const SectorSource& source, const FoundVolumeScans::Volume& volume,
                                uint32_t sectorBytes) {
    const uint64_t backupSectors = volume.fileSystem == "FAT32" ? 6 : volume.fileSystem == "exFAT" ? 12 : 0;
    const uint64_t bootSectors = volume.fileSystem == "FAT32" ? 1 : 12;
    if (!volume.fromBackup || backupSectors == 0 || sectorBytes != 512) return source;
    std::vector<uint8_t> boot(static_cast<size_t>(bootSectors * sectorBytes));
    SectorSource read = source;
    uint32_t got = 0;
    if (ReadSectors(static_cast<uint32_t>(bootSectors), read, boot.data(), volume.start + backupSectors,
                    static_cast<int>(sectorBytes), got) != kOk ||
        got != bootSectors)
        return source;
    SectorSource patched = source;
    patched.medium = std::make_shared<PatchedMedium>(source.medium, volume.start * sectorBytes, std::move(boot));
    return patched;
}

std::string FolderOf(const FoundVolumeScans::Volume& volume) {
    // Named first by what the user knows it by, its label, then by what it was and where
    // it lay, which tells two volumes of one label apart. No character that a
    // destination's file system refuses.
    std::string label;
    for (const char c : volume.label)
        if (static_cast<unsigned char>(c) >= 0x20 && std::string_view("/\\:*?\"<>|").find(c) == std::string_view::npos)
            label += c;
    const std::string where = volume.fileSystem + " at sector " + std::to_string(volume.start);
    return label.empty() ? where : label + " (" + where + ")";
}

std::string LogPrefixOf(uint64_t start) { return std::string(kQuickLogPrefix) + std::to_string(start) + "_"; }

}  // namespace

bool FoundVolumeScans::Searched(const std::string& runFolder) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(runFolder) / kNoteFile, ec);
}

int FoundVolumeScans::OpenEngine(Volume& volume, const SectorSource& source, uint32_t sectorBytes,
                                 uint16_t driveLetter, const std::string& runFolder) {
    volume.engine = EngineFactory::OpenQuickEngine(WithBootFromBackup(source, volume, sectorBytes),
                                                   {volume.start, volume.sectors, sectorBytes}, driveLetter);
    if (!volume.engine) return kErrNotSupported;
    volume.engine->SetRunFolder(runFolder);
    // Every file of a volume whose partition is gone is lost to its owner, not only the
    // deleted ones.
    volume.engine->SetListExisting(true);
    volume.folder = FolderOf(volume);
    return kOk;
}

int FoundVolumeScans::FindAndScan(const SectorSource& source, const EngineArea& area, uint16_t driveLetter,
                                  const std::string& runFolder, const std::filesystem::path& device,
                                  const Reporter& reporter) {
    area_ = area;
    volumes_.clear();
    SectorSource searched = source;
    bool stopped = false;
    const std::vector<FoundVolume> found =
        FindVolumesIn(searched, area.sectorBytes, source.totalSectors, area.start, area.start + area.sectors,
                      [&](const VolumeSearchProgress& p) {
                          const int percent = static_cast<int>(p.sectorsDone * 50 / std::max<uint64_t>(1, p.sectorsTotal));
                          stopped = reporter.Scanned(percent) != kOk;
                          return !stopped;
                      });
    if (stopped) return CancelCode;
    uint64_t end = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        const FoundVolume& f = found[i];
        // A volume likely only (one boot sector, nothing to confirm it) that lies over one
        // found before it is the inside of that one: a copy of a boot sector kept in a file.
        if (f.fileSystem == "swap" || f.startSector < end || f.sectorCount == 0) continue;
        Volume volume;
        volume.start = f.startSector;
        volume.sectors = f.sectorCount;
        volume.fileSystem = f.fileSystem;
        volume.fromBackup = f.fromBackup;
        VolumeRecord probed;
        if (!device.empty())
            ProbeVolume(device, f.startSector * area.sectorBytes, f.sectorCount * area.sectorBytes, probed);
        volume.label = probed.volumeLabel;
        if (OpenEngine(volume, source, area.sectorBytes, driveLetter, runFolder) != kOk) continue;
        const Reporter part = reporter.Within(50 + static_cast<int>(i * 50 / found.size()),
                                              static_cast<int>(50 / found.size()), Reporter::Estimate::Dropped);
        volume.engine->SetReporter(part);
        const int rc = volume.engine->Scan(nullptr);
        if (rc == CancelCode) return rc;
        // A volume whose own structures cannot be read (its first sector is gone, its MFT
        // damaged) is left to the sweep, which finds what is left of it as on any area.
        if (rc != kOk) continue;
        volume.mapped = volume.engine->BuildAllocationMap() == kOk;
        end = volume.start + volume.sectors;
        volumes_.push_back(std::move(volume));
    }
    Note(runFolder);
    return kOk;
}

void FoundVolumeScans::Note(const std::string& runFolder) const {
    std::ofstream out(std::filesystem::path(runFolder) / kNoteFile, std::ios::trunc);
    for (const Volume& v : volumes_) {
        out << v.start << ' ' << v.sectors << ' ' << v.fileSystem << ' ' << (v.fromBackup ? 1 : 0) << ' ';
        for (const char c : v.label) out << (c == '\n' || c == '\r' ? ' ' : c);
        out << '\n';
    }
}

bool FoundVolumeScans::Reopen(const SectorSource& source, const EngineArea& area, uint16_t driveLetter,
                              const std::string& runFolder) {
    area_ = area;
    volumes_.clear();
    std::ifstream in(std::filesystem::path(runFolder) / kNoteFile);
    std::string line;
    uint64_t end = area.start;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Volume volume;
        int fromBackup = 0;
        if (!(fields >> volume.start >> volume.sectors >> volume.fileSystem >> fromBackup)) continue;
        volume.fromBackup = fromBackup == 1;
        // A note that does not fit the area (the store was tampered with) is not followed.
        if (volume.start < end || volume.sectors == 0 || volume.start - area.start > area.sectors ||
            volume.sectors > area.start + area.sectors - volume.start)
            continue;
        fields.get();
        std::getline(fields, volume.label);
        std::string log;
        FindLogByPrefix(LogPrefixOf(volume.start), runFolder, log);
        if (log.empty() || OpenEngine(volume, source, area.sectorBytes, driveLetter, runFolder) != kOk ||
            volume.engine->Scan(&log) != kOk)
            continue;
        volume.mapped = volume.engine->BuildAllocationMap() == kOk;
        end = volume.start + volume.sectors;
        volumes_.push_back(std::move(volume));
    }
    return !volumes_.empty();
}

void FoundVolumeScans::NextSweepExtent(uint64_t& position, uint64_t& length) const {
    length = 0;
    while (position < area_.sectors) {
        const uint64_t at = area_.start + position;
        const auto next = std::find_if(volumes_.begin(), volumes_.end(),
                                       [at](const Volume& v) { return v.start + v.sectors > at; });
        if (next == volumes_.end() || at < next->start) {
            // Between volumes: read whole.
            length = (next == volumes_.end() ? area_.start + area_.sectors : next->start) - at;
            return;
        }
        const uint64_t volumeEnd = next->start + next->sectors;
        if (!next->mapped) {
            length = volumeEnd - at;
            return;
        }
        uint64_t inside = at - next->start, free = 0;
        next->engine->NextFreeExtent(inside, free);
        // Never back: a stretch before the one asked for was read already.
        inside = std::max(inside, at - next->start);
        if (free != 0 && next->start + inside < volumeEnd) {
            position = next->start + inside - area_.start;
            length = std::min(free, volumeEnd - (next->start + inside));
            return;
        }
        // No free space left in this volume: on past its end.
        position = volumeEnd - area_.start;
    }
    position = area_.sectors;
}

FoundVolumeScans::Volume* FoundVolumeScans::VolumeOf(const ScanRecord& record) {
    if (record.engineKind != NtfsQuick && record.engineKind != FatQuick && record.engineKind != ExfatQuick &&
        record.engineKind != ExtQuick)
        return nullptr;
    for (Volume& v : volumes_)
        if (v.start == record.partitionStart) return &v;
    return nullptr;
}

}  // namespace kestrune
