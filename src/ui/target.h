// One row of the disk list that can be scanned: a volume (or a gap, or a whole disk
// without a table) or an image file, and the run of its last scan.
#pragma once

#include <QString>
#include <memory>

#include "disk/disk_inventory.h"
#include "session/scan_run.h"
#include "session/scan_source.h"

namespace kestrune::ui {

struct Target {
    ScanSource source;
    bool isImage = false;
    VolumeRecord volume;         // for a volume
    QString imagePath;           // for an image file
    int imageNumber = 0;         // 1001, 1002, ... for image files
    std::unique_ptr<ScanRun> run;  // the last scan of this target; none before it
    // The passphrase of an encrypted volume, from when the user gives it until the scan
    // has opened the volume with it (then wiped).
    std::string passphrase;

    // "2: Label" for a volume, the file name for an image: how stage texts name it.
    QString DisplayName() const;
};

// "LUKS1", "LUKS2" or "BitLocker" for an encrypted volume; empty otherwise.
std::string EncryptionOf(const Target& target);

// The source of an inventory row: its disk area.
ScanSource SourceOfVolume(const VolumeRecord& volume);

}  // namespace kestrune::ui
