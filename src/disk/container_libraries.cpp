#include "disk/container_libraries.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "base/result_codes.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// A differencing image names its parent, which may name its own: a chain longer than
// this is a loop or a damaged image.
constexpr int kMostParents = 16;

// One open container, read through its library under a lock: a library handle keeps a
// cache and a position, which two readers at once would tangle.
class ContainerMedium final : public Medium {
public:
    using Reader = std::function<ssize_t(void* buffer, size_t length, uint64_t offset)>;
    ContainerMedium(uint64_t size, Reader read, std::function<void()> close)
        : size_(size), read_(std::move(read)), close_(std::move(close)) {}
    ~ContainerMedium() override { close_(); }
    ContainerMedium(const ContainerMedium&) = delete;
    ContainerMedium& operator=(const ContainerMedium&) = delete;

    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        got = 0;
        if (offset >= size_) return kOk;
        length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
        std::lock_guard lock(mutex_);
        const ssize_t n = read_(buffer, length, offset);
        // A chunk the library cannot read (its data damaged, a segment cut short) is a read
        // fault there, as a bad sector on a disk is.
        if (n < 0) return kErrReadFault;
        got = static_cast<size_t>(n);
        return kOk;
    }
    uint64_t SizeBytes() const override { return size_; }

private:
    uint64_t size_;
    Reader read_;
    std::function<void()> close_;
    std::mutex mutex_;
};

// The text of a library's error, which is then freed.
template <typename Error>
std::string TakeError(Error*& error, int (*sprint)(Error*, char*, size_t), void (*release)(Error**)) {
    if (!error) return {};
    char text[512] = {};
    sprint(error, text, sizeof text);
    release(&error);
    std::string why(text);
    // The libraries stack their messages one a line, innermost last: the first says what failed.
    if (const size_t end = why.find('\n'); end != std::string::npos) why.resize(end);
    return why;
}

// Where a differencing image's parent lies: as it names it (relative to the child's
// folder when it is relative), else by its file name beside the child, as images are
// copied together from machine to machine (a Windows path names a folder that is not here).
fs::path ParentOf(const fs::path& child, std::string named) {
    std::error_code ec;
    const fs::path folder = child.parent_path();
    if (named.empty()) return {};
    const fs::path asNamed = fs::path(named).is_absolute() ? fs::path(named) : folder / named;
    if (fs::is_regular_file(asNamed, ec)) return asNamed;
    const size_t cut = named.find_last_of("/\\");
    const fs::path beside = folder / named.substr(cut == std::string::npos ? 0 : cut + 1);
    return fs::is_regular_file(beside, ec) ? beside : fs::path();
}

std::string Utf8Name(const std::vector<uint8_t>& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), ::strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int OpenEwf(const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    const std::string file = path.string();
    // The segments after the first (.E02, .E03...) are found by their names.
    if (libewf_glob(file.c_str(), file.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1) {
        why = TakeError(error, libewf_error_sprint, libewf_error_free);
        return kErrFileCorrupt;
    }
    libewf_handle_t* handle = nullptr;
    int rc = kOk;
    size64_t size = 0;
    if (libewf_handle_initialize(&handle, &error) != 1 || libewf_handle_open(handle, names, count, LIBEWF_OPEN_READ, &error) != 1 ||
        libewf_handle_get_media_size(handle, &size, &error) != 1) {
        why = TakeError(error, libewf_error_sprint, libewf_error_free);
        rc = kErrFileCorrupt;
    }
    libewf_glob_free(names, count, nullptr);
    // A segment missing or cut short: libewf would read its chunks as zeros, which would
    // pass for the disk's own empty space.
    if (rc == kOk && libewf_handle_segment_files_corrupted(handle, nullptr) != 0) {
        why = "a segment file is missing or cut short (copy every .E01, .E02... file whole)";
        rc = kErrFileCorrupt;
    }
    // A chunk whose checksum fails is a read fault there, not zeros.
    if (rc == kOk) libewf_handle_set_read_zero_chunk_on_error(handle, 0, nullptr);
    if (rc != kOk) {
        if (handle) libewf_handle_free(&handle, nullptr);
        return rc;
    }
    out = std::make_unique<ContainerMedium>(
        size,
        [handle](void* buffer, size_t length, uint64_t offset) {
            return libewf_handle_read_random(handle, buffer, length, static_cast<off64_t>(offset), nullptr);
        },
        [handle]() mutable {
            libewf_handle_close(handle, nullptr);
            libewf_handle_free(&handle, nullptr);
        });
    return kOk;
}

int OpenVhd(const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    std::vector<libvhdi_file_t*> chain;  // the image, then its parents
    auto closeAll = [](std::vector<libvhdi_file_t*>& files) {
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            libvhdi_file_close(*it, nullptr);
            libvhdi_file_free(&*it, nullptr);
        }
        files.clear();
    };
    libvhdi_error_t* error = nullptr;
    fs::path current = path;
    for (int depth = 0;; ++depth) {
        libvhdi_file_t* file = nullptr;
        if (libvhdi_file_initialize(&file, &error) != 1 ||
            libvhdi_file_open(file, current.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
            why = TakeError(error, libvhdi_error_sprint, libvhdi_error_free);
            if (file) libvhdi_file_free(&file, nullptr);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        if (!chain.empty() && libvhdi_file_set_parent_file(chain.back(), file, &error) != 1) {
            why = TakeError(error, libvhdi_error_sprint, libvhdi_error_free);
            chain.push_back(file);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        chain.push_back(file);
        uint32_t type = 0;
        if (libvhdi_file_get_disk_type(file, &type, nullptr) != 1 || type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) break;
        std::vector<uint8_t> name(4096, 0);
        const fs::path parent = libvhdi_file_get_utf8_parent_filename(file, name.data(), name.size(), nullptr) == 1
                                    ? ParentOf(current, Utf8Name(name))
                                    : fs::path();
        if (parent.empty() || depth >= kMostParents) {
            why = "its parent image " + (Utf8Name(name).empty() ? std::string("is not named") : Utf8Name(name) + " is not beside it");
            closeAll(chain);
            return kErrFileNotFound;
        }
        current = parent;
    }
    size64_t size = 0;
    libvhdi_file_get_media_size(chain.front(), &size, nullptr);
    libvhdi_file_t* top = chain.front();
    out = std::make_unique<ContainerMedium>(
        size,
        [top](void* buffer, size_t length, uint64_t offset) {
            return libvhdi_file_read_buffer_at_offset(top, buffer, length, static_cast<off64_t>(offset), nullptr);
        },
        [chain, closeAll]() mutable { closeAll(chain); });
    return kOk;
}

int OpenVmdk(const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    std::vector<libvmdk_handle_t*> chain;
    auto closeAll = [](std::vector<libvmdk_handle_t*>& handles) {
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
            libvmdk_handle_close(*it, nullptr);
            libvmdk_handle_free(&*it, nullptr);
        }
        handles.clear();
    };
    libvmdk_error_t* error = nullptr;
    fs::path current = path;
    for (int depth = 0;; ++depth) {
        libvmdk_handle_t* handle = nullptr;
        // The extents (a flat file, the pieces of a split disk) lie beside the descriptor.
        const std::string folder = current.parent_path().empty() ? "." : current.parent_path().string();
        if (libvmdk_handle_initialize(&handle, &error) != 1 ||
            libvmdk_handle_open(handle, current.c_str(), LIBVMDK_OPEN_READ, &error) != 1 ||
            libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &error) != 1 ||
            libvmdk_handle_open_extent_data_files(handle, &error) != 1) {
            why = TakeError(error, libvmdk_error_sprint, libvmdk_error_free);
            if (handle) {
                libvmdk_handle_close(handle, nullptr);
                libvmdk_handle_free(&handle, nullptr);
            }
            closeAll(chain);
            return kErrFileCorrupt;
        }
        if (!chain.empty() && libvmdk_handle_set_parent_handle(chain.back(), handle, &error) != 1) {
            why = TakeError(error, libvmdk_error_sprint, libvmdk_error_free);
            chain.push_back(handle);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        chain.push_back(handle);
        std::vector<uint8_t> name(4096, 0);
        if (libvmdk_handle_get_utf8_parent_filename(handle, name.data(), name.size(), nullptr) != 1 ||
            Utf8Name(name).empty())
            break;
        const fs::path parent = ParentOf(current, Utf8Name(name));
        if (parent.empty() || depth >= kMostParents) {
            why = "its parent image " + Utf8Name(name) + " is not beside it";
            closeAll(chain);
            return kErrFileNotFound;
        }
        current = parent;
    }
    size64_t size = 0;
    libvmdk_handle_get_media_size(chain.front(), &size, nullptr);
    libvmdk_handle_t* top = chain.front();
    out = std::make_unique<ContainerMedium>(
        size,
        [top](void* buffer, size_t length, uint64_t offset) {
            return libvmdk_handle_read_buffer_at_offset(top, buffer, length, static_cast<off64_t>(offset), nullptr);
        },
        [chain, closeAll]() mutable { closeAll(chain); });
    return kOk;
}

int OpenQcow(const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    std::vector<libqcow_file_t*> chain;
    auto closeAll = [](std::vector<libqcow_file_t*>& files) {
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            libqcow_file_close(*it, nullptr);
            libqcow_file_free(&*it, nullptr);
        }
        files.clear();
    };
    libqcow_error_t* error = nullptr;
    fs::path current = path;
    for (int depth = 0;; ++depth) {
        libqcow_file_t* file = nullptr;
        if (libqcow_file_initialize(&file, &error) != 1 ||
            libqcow_file_open(file, current.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
            why = TakeError(error, libqcow_error_sprint, libqcow_error_free);
            if (file) libqcow_file_free(&file, nullptr);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        if (!chain.empty() && libqcow_file_set_parent_file(chain.back(), file, &error) != 1) {
            why = TakeError(error, libqcow_error_sprint, libqcow_error_free);
            chain.push_back(file);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        chain.push_back(file);
        std::vector<uint8_t> name(4096, 0);
        if (libqcow_file_get_utf8_backing_filename(file, name.data(), name.size(), nullptr) != 1 ||
            Utf8Name(name).empty())
            break;
        const fs::path parent = ParentOf(current, Utf8Name(name));
        if (parent.empty() || depth >= kMostParents) {
            why = "its backing file " + Utf8Name(name) + " is not beside it";
            closeAll(chain);
            return kErrFileNotFound;
        }
        current = parent;
    }
    size64_t size = 0;
    libqcow_file_get_media_size(chain.front(), &size, nullptr);
    libqcow_file_t* top = chain.front();
    out = std::make_unique<ContainerMedium>(
        size,
        [top](void* buffer, size_t length, uint64_t offset) {
            return libqcow_file_read_buffer_at_offset(top, buffer, length, static_cast<off64_t>(offset), nullptr);
        },
        [chain, closeAll]() mutable { closeAll(chain); });
    return kOk;
}

}  // namespace

int OpenContainer(ImageFormat format, const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    switch (format) {
        case ImageFormat::Ewf: return OpenEwf(path, out, why);
        case ImageFormat::Vhd:
        case ImageFormat::Vhdx: return OpenVhd(path, out, why);
        case ImageFormat::Vmdk: return OpenVmdk(path, out, why);
        case ImageFormat::Qcow: return OpenQcow(path, out, why);
        default: return kErrNotSupported;
    }
}

}  // namespace kestrune
