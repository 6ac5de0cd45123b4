#include "disk/device_stack.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "disk/block_devices.h"
#include "disk/link_free_paths.h"

namespace fs = std::filesystem;

namespace kestrune {

namespace {

// Stacks deeper than this are not followed (a loop device over a file on a loop device...).
constexpr int kMaxDepth = 8;

fs::path SysDirOf(dev_t device) {
    std::error_code ec;
    const fs::path dir = fs::canonical(GetDeviceRoots().sys / "dev" / "block" /
                                           (std::to_string(major(device)) + ":" + std::to_string(minor(device))),
                                       ec);
    return ec ? fs::path() : dir;
}

// The device a mount of device number device names as its source, when sysfs knows no
// block device by that number (btrfs, FUSE): "/dev/sdb1", or an image file mounted as it is.
std::string MountSourceOf(dev_t device) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        if (numbers != wanted) continue;
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type, source;
        tail >> type >> source;
        return source;
    }
    return {};
}

class Walk {
public:
    MediaBelow found;

    void FileSystemOn(dev_t device, int depth) {
        if (depth > kMaxDepth) return;
        if (const fs::path dir = SysDirOf(device); !dir.empty()) return BlockDevice(dir, true, depth);
        const std::string source = MountSourceOf(device);
        struct stat st {};
        if (source.empty() || source.front() != '/' || ::stat(source.c_str(), &st) != 0) return;
        if (S_ISBLK(st.st_mode)) {
            if (const fs::path dir = SysDirOf(st.st_rdev); !dir.empty()) BlockDevice(dir, true, depth);
        } else if (S_ISREG(st.st_mode)) {
            File({st.st_dev, st.st_ino}, depth);
        }
    }

private:
    void File(std::pair<dev_t, ino_t> id, int depth) {
        if (std::find(found.files.begin(), found.files.end(), id) != found.files.end()) return;
        found.files.push_back(id);
        // The file's own bytes lie on the file system that holds it.
        FileSystemOn(id.first, depth + 1);
    }

    // dir: the device's folder in sysfs. written: a write reaches its sectors (false for
    // the whole disk above a partition, followed only for what that disk is built from).
    void BlockDevice(const fs::path& dir, bool written, int depth) {
        if (depth > kMaxDepth) return;
        const std::string name = dir.filename().string();
        if (written) {
            if (std::find(found.blockDevices.begin(), found.blockDevices.end(), name) != found.blockDevices.end())
                return;
            found.blockDevices.push_back(name);
        }
        std::error_code ec;
        if (fs::exists(dir / "partition", ec)) BlockDevice(dir.parent_path(), false, depth + 1);
        for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path slave = fs::canonical(it->path(), ec);
            if (!ec) BlockDevice(slave, true, depth + 1);
            ec.clear();
        }
        if (std::pair<dev_t, ino_t> backing; LoopBackingFile(name, backing)) File(backing, depth + 1);
    }
};

}  // namespace

bool LoopBackingFile(const std::string& name, std::pair<dev_t, ino_t>& file) {
    if (name.rfind("loop", 0) != 0) return false;
    const fs::path sys = GetDeviceRoots().sys / "block" / name / "loop";
    std::error_code ec;
    if (!fs::exists(sys / "backing_file", ec)) return false;
    // The kernel's own record of the file, which a rename or a mount namespace cannot hide.
    const int fd = ::open((GetDeviceRoots().dev / name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        loop_info64 info{};
        const bool known = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        ::close(fd);
        if (known) {
            file = {static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)};
            return true;
        }
    }
    const std::string path = ReadSysText(sys / "backing_file").value_or("");
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
    file = {st.st_dev, st.st_ino};
    return true;
}

MediaBelow MediaBelowPath(const fs::path& path) {
    const fs::path existing = NearestExistingPath(path);
    struct stat st {};
    if (existing.empty() || ::stat(existing.c_str(), &st) != 0) return {};
    Walk walk;
    walk.FileSystemOn(st.st_dev, 0);
    return walk.found;
}

}  // namespace kestrune
