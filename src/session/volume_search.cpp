#include "session/volume_search.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "disk/disk_inventory.h"
#include "disk/sector_source.h"
#include "engines/lost_volumes.h"
#include "session/scan_source.h"

namespace kestrune {

namespace {

constexpr uint64_t kGptReservedSectors = 34;  // the protective MBR, the header and 32 sectors of entries

// Whether a GPT's remains are on the disk: a header at its start or its end.
bool GptRemains(SectorSource& source, uint32_t sectorSize, uint64_t totalSectors) {
    std::vector<uint8_t> sector(sectorSize);
    for (const uint64_t at : {uint64_t{1}, totalSectors - 1}) {
        uint32_t read = 0;
        if (at < totalSectors && ReadSectors(1, source, sector.data(), at, static_cast<int>(sectorSize), read) == kOk &&
            ByteView(sector).matches(0, "EFI PART"))
            return true;
    }
    return false;
}

const char* GptType(const std::string& fileSystem) {
    if (fileSystem.rfind("ext", 0) == 0) return "0FC63DAF-8483-4772-8E79-3D69D8477DE4";  // Linux file system
    if (fileSystem == "swap") return "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
    return "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";  // Microsoft basic data
}

const char* MbrType(const std::string& fileSystem) {
    if (fileSystem.rfind("ext", 0) == 0) return "83";
    if (fileSystem == "swap") return "82";
    if (fileSystem == "FAT32") return "c";
    if (fileSystem == "FAT") return "e";
    return "7";  // NTFS and exFAT
}

std::string Describe(const VolumeFinding& v, uint32_t sectorSize) {
    std::ostringstream text;
    text << "sectors " << v.startSector << "-" << v.startSector + v.sectorCount - 1 << " ("
         << FormatSize(v.sectorCount * sectorSize) << ") " << v.fileSystem;
    if (!v.label.empty()) text << " \"" << v.label << "\"";
    text << (v.sure ? ", sure" : ", likely") << (v.partition ? ", in the table now" : ", lost from the table");
    return text.str();
}

}  // namespace

int SearchDiskVolumes(const std::string& text, DiskSearch& out, const std::function<bool(int percent)>& progress,
                      std::string& error) {
    out = DiskSearch{};
    out.name = text;
    ScanSource source;
    if (int rc = ResolveScanSource(text, 0, source, error); rc != kOk) return rc;
    // The search reads a whole disk: an image is opened as one, partitioned or not.
    int disk = source.disk;
    if (source.isImage) disk = RegisterVirtualDisk(source.image);
    DiskLocation location;
    if (disk < 0 || ResolveDisk(disk, location) != kOk) {
        error = "cannot open " + text + " as a disk";
        return kErrNotReady;
    }
    if (!source.isImage && source.startSector != 0) {
        error = text + " is a partition; the search reads a whole disk";
        return kErrInvalidParameter;
    }
    SectorSource diskSource;
    if (int rc = OpenDiskSource(diskSource, disk); rc != kOk) {
        error = "cannot open " + text + ": " + ResultText(rc);
        return rc;
    }
    out.sectorSize = SectorBytesOf(disk);
    out.totalSectors = diskSource.totalSectors;
    out.hasTable = ReadPartitionTable(diskSource, out.sectorSize, out.totalSectors, out.table);
    out.gptTable = out.hasTable && std::any_of(out.table.begin(), out.table.end(), [](const auto& e) { return e.gpt; });
    out.gptRemains = !out.hasTable && GptRemains(diskSource, out.sectorSize, out.totalSectors);
    const auto found = FindVolumes(diskSource, out.sectorSize, out.totalSectors, [&](const VolumeSearchProgress& p) {
        return !progress || progress(p.sectorsTotal ? static_cast<int>(p.sectorsDone * 100 / p.sectorsTotal) : 100);
    });
    for (const FoundVolume& f : found) {
        VolumeFinding v;
        v.startSector = f.startSector;
        v.sectorCount = f.sectorCount;
        v.fileSystem = f.fileSystem;
        v.sure = f.sure;
        v.fromBackup = f.fromBackup;
        v.cutShort = f.cutShort;
        for (const PartitionEntry& e : out.table)
            if (e.startSector == f.startSector) v.partition = static_cast<int>(e.number);
        VolumeRecord probed;
        ProbeVolume(location.path, f.startSector * out.sectorSize, f.sectorCount * out.sectorSize, probed);
        v.label = probed.volumeLabel;
        out.volumes.push_back(std::move(v));
    }
    if (source.isImage && !source.partitioned) UnregisterVirtualDisk(disk);
    return kOk;
}

std::string SfdiskScript(const DiskSearch& search, const std::string& label) {
    // The volumes the table will hold: no two overlapping, a sure one before a likely one.
    std::vector<const VolumeFinding*> chosen;
    std::vector<const VolumeFinding*> order;
    for (const VolumeFinding& v : search.volumes) order.push_back(&v);
    std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) { return a->sure > b->sure; });
    for (const VolumeFinding* v : order) {
        const bool overlaps = std::any_of(chosen.begin(), chosen.end(), [v](const VolumeFinding* c) {
            return v->startSector < c->startSector + c->sectorCount && c->startSector < v->startSector + v->sectorCount;
        });
        if (!overlaps && v->startSector != 0) chosen.push_back(v);
    }
    std::sort(chosen.begin(), chosen.end(), [](const auto* a, const auto* b) { return a->startSector < b->startSector; });

    std::string kind = label;
    if (kind.empty()) {
        // As the disk had it; with no table left, GPT where a GPT's remains are or an MBR
        // cannot hold the volumes (more than four, or past 2 TiB).
        const uint64_t mbrLimit = uint64_t{0xFFFFFFFF};
        const bool beyondMbr = chosen.size() > 4 || std::any_of(chosen.begin(), chosen.end(), [&](const auto* v) {
                                   return v->startSector + v->sectorCount > mbrLimit;
                               });
        kind = search.hasTable ? (search.gptTable ? "gpt" : "dos") : (beyondMbr || search.gptRemains ? "gpt" : "dos");
    }
    if (kind == "gpt")
        std::erase_if(chosen, [&](const VolumeFinding* v) {
            return v->startSector < kGptReservedSectors ||
                   v->startSector + v->sectorCount > search.totalSectors - kGptReservedSectors + 1;
        });

    std::ostringstream script;
    const std::time_t now = std::time(nullptr);
    char date[32] = "";
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    script << "# Written by kestrune partitions from the volumes found on " << search.name << " on " << date << ",\n"
           << "# a disk of " << search.totalSectors << " sectors of " << search.sectorSize << " bytes.\n"
           << "#\n# `sfdisk DEVICE < THIS-FILE` replaces the partition table of DEVICE: make sure it is\n"
           << "# that disk. It changes the table only; no volume's contents are touched.\n#\n";
    if (!search.hasTable) {
        script << "# The table now: none (or none that reads).\n";
    } else {
        script << "# The table now (" << (search.gptTable ? "GPT" : "MBR") << "), replaced:\n";
        for (const PartitionEntry& e : search.table)
            script << "#   partition " << e.number << ": sectors " << e.startSector << "-"
                   << e.startSector + e.sectorCount - 1 << "\n";
    }
    script << "# The table it writes (" << (kind == "gpt" ? "GPT" : "MBR") << "):\n";
    for (size_t i = 0; i < chosen.size(); ++i)
        script << "#   partition " << i + 1 << ": " << Describe(*chosen[i], search.sectorSize) << "\n";
    for (const VolumeFinding& v : search.volumes)
        if (std::find(chosen.begin(), chosen.end(), &v) == chosen.end())
            script << "#   left out (it overlaps another, or lies where the table itself goes): "
                   << Describe(v, search.sectorSize) << "\n";
    script << "\nlabel: " << kind << "\nunit: sectors\n";
    if (search.sectorSize != 512) script << "sector-size: " << search.sectorSize << "\n";
    script << "\n";
    for (const VolumeFinding* v : chosen) {
        script << "start=" << v->startSector << ", size=" << v->sectorCount << ", type="
               << (kind == "gpt" ? GptType(v->fileSystem) : MbrType(v->fileSystem));
        if (kind == "gpt" && !v->label.empty()) {
            std::string name;
            for (char c : v->label)
                if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) name += c;
            script << ", name=\"" << name << "\"";
        }
        script << "\n";
    }
    return script.str();
}

}  // namespace kestrune
