#include "disk/block_devices.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "base/result_codes.h"
#include "disk/image_containers.h"
#include "disk/partition_table.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

std::mutex gMutex;
DeviceRoots gRoots;


std::optional<uint64_t> ReadSysNumber(const fs::path& path) {
    auto text = ReadSysText(path);
    if (!text || text->empty()) return std::nullopt;
    try {
        size_t used = 0;
        const uint64_t value = std::stoull(*text, &used);
        if (used != text->size()) return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool IsListedDisk(const fs::path& sysBlock, const std::string& name) {
    if (StartsWith(name, "ram") || StartsWith(name, "zram")) return false;
    if (StartsWith(name, "loop")) {
        std::error_code ec;
        return fs::exists(sysBlock / name / "loop" / "backing_file", ec);
    }
    return true;
}

uint32_t LogicalBlockSize(const fs::path& sysDisk) {
    const auto value = ReadSysNumber(sysDisk / "queue" / "logical_block_size");
    if (!value || *value < 512 || *value > 65536 || (*value % 512) != 0) return 512;
    return static_cast<uint32_t>(*value);
}

// One line of /proc/self/mountinfo that matters here.
struct MountEntry {
    dev_t device = 0;
    fs::path mountPoint;
    std::string fileSystem;
    std::string source;
};

// mountinfo escapes blanks and a few other bytes as backslash and three octal digits.
std::string UnescapeMountField(const std::string& field) {
    auto octal = [&](size_t i) { return field[i] >= '0' && field[i] <= '7'; };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<MountEntry> ReadMounts() {
    std::vector<MountEntry> mounts;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majorMinor, root, mountPoint;
        if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
        std::string word;
        while (fields >> word && word != "-") {
        }
        MountEntry entry;
        if (!(fields >> entry.fileSystem >> entry.source)) continue;
        unsigned major = 0, minor = 0;
        if (std::sscanf(majorMinor.c_str(), "%u:%u", &major, &minor) != 2) continue;
        entry.device = makedev(major, minor);
        entry.mountPoint = UnescapeMountField(mountPoint);
        entry.source = UnescapeMountField(entry.source);
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::string DisplayFileSystemName(const std::string& type, const std::string& version) {
    if (type == "ntfs" || type == "ntfs3") return "NTFS";
    if (type == "vfat" || type == "msdos" || type == "fat") {
        if (version == "FAT32") return "FAT32";
        return "FAT";
    }
    if (type == "exfat") return "exFAT";
    return type;
}

int ProbeFileSystem(const fs::path& device, std::string& out) {
    blkid_probe probe = blkid_new_probe_from_filename(device.c_str());
    if (!probe) return FromErrno(errno ? errno : EIO);
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    int result = kErrNotSupported;
    if (blkid_do_safeprobe(probe) == 0) {
        const char* type = nullptr;
        const char* version = nullptr;
        if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) == 0 && type) {
            if (blkid_probe_lookup_value(probe, "VERSION", &version, nullptr) != 0) version = "";
            out = DisplayFileSystemName(type, version ? version : "");
            result = kOk;
        }
    }
    blkid_free_probe(probe);
    return result;
}

}  // namespace

std::optional<std::string> ReadSysText(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void SetDeviceRoots(DeviceRoots roots) {
    std::lock_guard lock(gMutex);
    gRoots = std::move(roots);
}

DeviceRoots GetDeviceRoots() {
    std::lock_guard lock(gMutex);
    return gRoots;
}

std::vector<std::string> WholeDiskNames() {
    const fs::path sysBlock = GetDeviceRoots().sys / "block";
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sysBlock, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (IsListedDisk(sysBlock, name)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

int VirtualDiskTable::Register(const fs::path& image) {
    std::error_code ec;
    fs::path key = fs::weakly_canonical(image, ec);
    if (ec) key = fs::absolute(image);
    std::lock_guard lock(mutex_);
    for (const auto& [number, path] : images_)
        if (path == key) return number;
    for (int number = kFirstVirtualDisk; number <= kLastDiskNumber; ++number) {
        if (!images_.count(number)) {
            images_[number] = key;
            return number;
        }
    }
    return -1;
}

void VirtualDiskTable::Unregister(int disk) {
    std::lock_guard lock(mutex_);
    images_.erase(disk);
}

std::optional<fs::path> VirtualDiskTable::ImageOf(int disk) const {
    std::lock_guard lock(mutex_);
    const auto it = images_.find(disk);
    if (it == images_.end()) return std::nullopt;
    return it->second;
}

VirtualDiskTable& VirtualDisks() {
    static VirtualDiskTable table;
    return table;
}

int ResolveDisk(int disk, DiskLocation& out) {
    if (disk < 0 || disk > kLastDiskNumber) return kErrFileNotFound;
    if (disk >= kFirstVirtualDisk) {
        const std::optional<fs::path> image = VirtualDisks().ImageOf(disk);
        if (!image) return kErrFileNotFound;
        out.path = *image;
        out.name = image->filename().string();
        out.isBlockDevice = false;
        return kOk;
    }
    const auto names = WholeDiskNames();
    if (static_cast<size_t>(disk) >= names.size()) return kErrFileNotFound;
    out.name = names[static_cast<size_t>(disk)];
    out.path = GetDeviceRoots().dev / out.name;
    out.isBlockDevice = true;
    return kOk;
}

namespace {

struct AdoptedDescriptors {
    std::mutex mutex;
    std::map<std::string, int> byPath;
};

AdoptedDescriptors& Adopted() {
    static AdoptedDescriptors adopted;
    return adopted;
}

// A copy of the descriptor adopted for path, or -1.
int AdoptedCopy(const fs::path& path) {
    AdoptedDescriptors& adopted = Adopted();
    std::lock_guard lock(adopted.mutex);
    const auto found = adopted.byPath.find(path.lexically_normal().string());
    return found == adopted.byPath.end() ? -1 : ::fcntl(found->second, F_DUPFD_CLOEXEC, 0);
}

}  // namespace

bool AdoptDescriptor(const fs::path& device, int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) return false;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    AdoptedDescriptors& adopted = Adopted();
    std::lock_guard lock(adopted.mutex);
    auto [it, added] = adopted.byPath.emplace(device.lexically_normal().string(), copy);
    if (!added) {
        ::close(it->second);
        it->second = copy;
    }
    return true;
}

bool HasAdoptedDescriptor(const fs::path& device) {
    AdoptedDescriptors& adopted = Adopted();
    std::lock_guard lock(adopted.mutex);
    return adopted.byPath.count(device.lexically_normal().string()) != 0;
}

int OpenReadOnly(const fs::path& path, int& fd, uint64_t& sizeBytes) {
    fd = -1;
    sizeBytes = 0;
    // O_NONBLOCK keeps a FIFO from hanging the open; it is cleared again below.
    int opened = AdoptedCopy(path);
    if (opened < 0) opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (opened < 0) return FromErrno(errno);
    struct stat st {};
    int result = kOk;
    if (::fstat(opened, &st) != 0) {
        result = FromErrno(errno);
    } else if (S_ISDIR(st.st_mode)) {
        result = kErrDirectory;
    } else if (S_ISBLK(st.st_mode)) {
        uint64_t length = 0;
        if (::ioctl(opened, BLKGETSIZE64, &length) != 0) result = FromErrno(errno);
        sizeBytes = length;
    } else if (S_ISREG(st.st_mode)) {
        sizeBytes = static_cast<uint64_t>(st.st_size);
    } else {
        result = kErrNotSupported;
    }
    if (result == kOk) {
        const int flags = ::fcntl(opened, F_GETFL);
        if (flags >= 0) ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK);
        fd = opened;
    } else {
        ::close(opened);
    }
    return result;
}

void GeometryOfImage(Medium& image, DiskGeometry& out) {
    out = DiskGeometry{};
    // An image file has no driver to ask: a GPT laid out for 4096-byte sectors says so.
    std::vector<uint8_t> head(4608);
    size_t got = 0;
    if (image.ReadAt(0, head.data(), head.size(), got) == kOk && got > 0)
        out.bytesPerSector = SectorSizeOfImage(ByteView(head.data(), got));
    out.cylinders = image.SizeBytes() / (uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack * out.bytesPerSector);
}

int QueryGeometry(int fd, uint64_t lengthBytes, DiskGeometry& out) {
    out = DiskGeometry{};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return FromErrno(errno);
    if (!S_ISBLK(st.st_mode)) {
        // An image file has no driver to ask: a GPT laid out for 4096-byte sectors says so.
        std::vector<uint8_t> head(4608);
        const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
        if (got > 0) out.bytesPerSector = SectorSizeOfImage(ByteView(head.data(), static_cast<size_t>(got)));
    } else {
        int sectorBytes = 0;
        if (::ioctl(fd, BLKSSZGET, &sectorBytes) != 0) return FromErrno(errno);
        if (sectorBytes > 0) out.bytesPerSector = static_cast<uint32_t>(sectorBytes);
        struct hd_geometry geo {};
        if (::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
            out.tracksPerCylinder = geo.heads;
            out.sectorsPerTrack = geo.sectors;
        }
    }
    const uint64_t cylinderBytes =
        uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack * out.bytesPerSector;
    out.cylinders = lengthBytes / cylinderBytes;
    return kOk;
}

namespace {

// A block device this user may not open still tells its length and sector size in sysfs,
// which anyone may read: the disk list needs no rights.
int GeometryFromSysfs(const DiskLocation& location, DiskGeometry& out, uint64_t& lengthBytes) {
    const fs::path sys = GetDeviceRoots().sys / "block" / location.name;
    uint64_t units = 0, sectorBytes = 0;
    std::ifstream size(sys / "size"), logical(sys / "queue" / "logical_block_size");
    if (!location.isBlockDevice || !(size >> units) || !(logical >> sectorBytes) || sectorBytes == 0)
        return kErrAccessDenied;
    lengthBytes = units * 512;  // sysfs counts 512-byte units whatever the sector size
    out = DiskGeometry{};
    out.bytesPerSector = static_cast<uint32_t>(sectorBytes);
    out.cylinders = lengthBytes / (uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack * out.bytesPerSector);
    return kOk;
}

}  // namespace

int DiskGeometryOf(int disk, DiskGeometry& out) {
    DiskLocation location;
    if (int rc = ResolveDisk(disk, location); rc != kOk) return rc;
    if (!location.isBlockDevice) {
        std::unique_ptr<Medium> image;
        if (int rc = OpenImageMedium(location.path, image); rc != kOk) return rc;
        GeometryOfImage(*image, out);
        return kOk;
    }
    int fd = -1;
    uint64_t length = 0;
    if (int rc = OpenReadOnly(location.path, fd, length); rc != kOk)
        return rc == kErrAccessDenied ? GeometryFromSysfs(location, out, length) : rc;
    const int rc = QueryGeometry(fd, length, out);
    ::close(fd);
    return rc;
}

uint32_t SectorBytesOf(int disk) {
    DiskGeometry geometry;
    return DiskGeometryOf(disk, geometry) == kOk && geometry.bytesPerSector ? geometry.bytesPerSector : 512;
}

int DiskLengthBytes(uint64_t& out, int disk) {
    out = 0;
    DiskLocation location;
    if (int rc = ResolveDisk(disk, location); rc != kOk) return rc;
    if (!location.isBlockDevice) return FileSizeOf(location.path, out);
    int fd = -1;
    if (int rc = OpenReadOnly(location.path, fd, out); rc != kOk) {
        DiskGeometry unused;
        return rc == kErrAccessDenied ? GeometryFromSysfs(location, unused, out) : rc;
    }
    ::close(fd);
    return kOk;
}

bool IsRemovableDisk(int disk) {
    DiskLocation location;
    if (ResolveDisk(disk, location) != kOk || !location.isBlockDevice) return false;
    const fs::path sysDisk = GetDeviceRoots().sys / "block" / location.name;
    if (ReadSysNumber(sysDisk / "removable").value_or(0) == 1) return true;
    std::error_code ec;
    const std::string devicePath = fs::canonical(sysDisk, ec).string();
    if (ec) return false;
    return devicePath.find("/usb") != std::string::npos ||
           devicePath.find("/mmc") != std::string::npos;
}

int LocateBlockDevice(const fs::path& device, DiskArea& out) {
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return FromErrno(ec.value());
    const std::string name = real.filename().string();
    const fs::path sysBlock = GetDeviceRoots().sys / "block";
    const auto names = WholeDiskNames();
    for (size_t index = 0; index < names.size(); ++index) {
        const fs::path sysDisk = sysBlock / names[index];
        fs::path sysArea;
        if (names[index] == name) {
            sysArea = sysDisk;
        } else if (fs::exists(sysDisk / name / "partition", ec)) {
            sysArea = sysDisk / name;
        } else {
            continue;
        }
        out = DiskArea{};
        out.disk = static_cast<int>(index);
        out.deviceName = name;
        out.bytesPerSector = LogicalBlockSize(sysDisk);
        out.isPartition = sysArea != sysDisk;
        // sysfs counts start and size in 512-byte units whatever the device's sectors.
        const uint64_t unitsPerSector = out.bytesPerSector / 512;
        out.startSector = out.isPartition ? ReadSysNumber(sysArea / "start").value_or(0) / unitsPerSector : 0;
        out.sectorCount = ReadSysNumber(sysArea / "size").value_or(0) / unitsPerSector;
        return kOk;
    }
    return kErrFileNotFound;
}

fs::path PartitionDeviceAt(int disk, uint64_t startSector) {
    DiskLocation location;
    if (ResolveDisk(disk, location) != kOk || !location.isBlockDevice) return {};
    const DeviceRoots roots = GetDeviceRoots();
    const fs::path sysDisk = roots.sys / "block" / location.name;
    const uint64_t unitsPerSector = LogicalBlockSize(sysDisk) / 512;
    std::error_code ec;
    for (fs::directory_iterator it(sysDisk, ec), end; !ec && it != end; it.increment(ec)) {
        if (!fs::exists(it->path() / "partition", ec)) continue;
        if (ReadSysNumber(it->path() / "start").value_or(UINT64_MAX) / unitsPerSector == startSector)
            return roots.dev / it->path().filename();
    }
    return {};
}

fs::path MountPointOf(const fs::path& volumeDevice) {
    struct stat st {};
    if (::stat(volumeDevice.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
    for (const auto& mount : ReadMounts())
        if (mount.device == st.st_rdev) return mount.mountPoint;
    return {};
}

void FlushVolume(const fs::path& volumeDevice) {
    if (volumeDevice.empty()) return;
    const int fd = ::open(volumeDevice.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    const fs::path mountPoint = MountPointOf(volumeDevice);
    if (mountPoint.empty()) return;
    const int dir = ::open(mountPoint.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (dir >= 0) {
        ::syncfs(dir);
        ::close(dir);
    }
}

int VolumeFreeBytes(const fs::path& volume, uint64_t& out) {
    out = 0;
    struct stat st {};
    if (::stat(volume.c_str(), &st) != 0) return FromErrno(errno);
    fs::path folder = volume;
    if (S_ISBLK(st.st_mode)) {
        folder = MountPointOf(volume);
        if (folder.empty()) return kErrNotReady;
    }
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) return FromErrno(errno);
    out = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return kOk;
}

int VolumeFileSystemName(std::string& out, const fs::path& volume) {
    out.clear();
    struct stat st {};
    if (::stat(volume.c_str(), &st) != 0) return FromErrno(errno);
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) return ProbeFileSystem(volume, out);
    for (const auto& mount : ReadMounts()) {
        if (mount.device != st.st_dev) continue;
        struct stat sourceStat {};
        if (::stat(mount.source.c_str(), &sourceStat) == 0 && S_ISBLK(sourceStat.st_mode) &&
            ProbeFileSystem(mount.source, out) == kOk)
            return kOk;
        out = DisplayFileSystemName(mount.fileSystem, "");
        return kOk;
    }
    return kErrNotSupported;
}

}  // namespace kestrune
