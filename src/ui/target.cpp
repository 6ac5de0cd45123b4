#include "ui/target.h"

#include <QFileInfo>

namespace kestrune::ui {

QString Target::DisplayName() const {
    if (isImage) {
        const QString name = QFileInfo(imagePath).fileName();
        return source.partition ? name + " (" + QString::number(source.partition) + ")" : name;
    }
    QString name = QString::number(volume.letter);
    if (!volume.volumeLabel.empty()) name += ": " + QString::fromStdString(volume.volumeLabel);
    return name;
}

std::string EncryptionOf(const Target& target) {
    const std::string& name = target.volume.fileSystemName;
    return name == "LUKS1" || name == "LUKS2" || name == "BitLocker" ? name : std::string();
}

ScanSource SourceOfVolume(const VolumeRecord& volume) {
    ScanSource source;
    source.disk = volume.diskNumber;
    source.startSector = volume.startSector;
    source.sectorCount = volume.sectorCount;
    if (volume.sectorCount && volume.totalBytes) {
        source.bytesPerSector = static_cast<uint32_t>(volume.totalBytes / volume.sectorCount);
        if (source.bytesPerSector < 512) source.bytesPerSector = 512;
    }
    source.text = volume.volumePath.empty()
                      ? "disk:" + std::to_string(volume.diskNumber) + ":" + std::to_string(volume.startSector) + ":" +
                            std::to_string(volume.sectorCount)
                      : volume.volumePath;
    return source;
}

}  // namespace kestrune::ui
