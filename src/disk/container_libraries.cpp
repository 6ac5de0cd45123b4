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

// What the libraries that chain an image to its parent (VHD and VHDX, VMDK, QCOW2) have
// in common, each under its own names.
template <typename Handle, typename Error>
struct ChainLibrary {
    int (*initialize)(Handle**, Error**);
    // Opens the file, and whatever lies beside it that it needs (VMDK's extents).
    int (*open)(Handle*, const fs::path&, Error**);
    int (*close)(Handle*, Error**);
    int (*release)(Handle**, Error**);
    int (*setParent)(Handle*, Handle*, Error**);
    // The name the image gives its parent; empty when it has none.
    std::string (*parentName)(Handle*);
    ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**);
    int (*mediaSize)(Handle*, size64_t*, Error**);
    int (*sprint)(Error*, char*, size_t);
    void (*errorFree)(Error**);
    const char* parentWord;  // how the format calls a parent: "parent image", "backing file"
};

// Opens the image and the chain of parents it names, each beside the one before.
template <typename Handle, typename Error>
int OpenChain(const ChainLibrary<Handle, Error>& lib, const fs::path& path, std::unique_ptr<Medium>& out,
              std::string& why) {
    std::vector<Handle*> chain;  // the image, then its parents
    auto closeAll = [close = lib.close, release = lib.release](std::vector<Handle*>& handles) {
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
            close(*it, nullptr);
            release(&*it, nullptr);
        }
        handles.clear();
    };
    Error* error = nullptr;
    fs::path current = path;
    for (int depth = 0;; ++depth) {
        Handle* handle = nullptr;
        if (lib.initialize(&handle, &error) != 1 || lib.open(handle, current, &error) != 1) {
            why = TakeError(error, lib.sprint, lib.errorFree);
            if (handle) {
                lib.close(handle, nullptr);
                lib.release(&handle, nullptr);
            }
            closeAll(chain);
            return kErrFileCorrupt;
        }
        chain.push_back(handle);
        if (chain.size() > 1 && lib.setParent(chain[chain.size() - 2], handle, &error) != 1) {
            why = TakeError(error, lib.sprint, lib.errorFree);
            closeAll(chain);
            return kErrFileCorrupt;
        }
        const std::string named = lib.parentName(handle);
        if (named.empty()) break;
        const fs::path parent = ParentOf(current, named);
        if (parent.empty() || depth >= kMostParents) {
            why = std::string("its ") + lib.parentWord + " " + named + " is not beside it";
            closeAll(chain);
            return kErrFileNotFound;
        }
        current = parent;
    }
    size64_t size = 0;
    lib.mediaSize(chain.front(), &size, nullptr);
    out = std::make_unique<ContainerMedium>(
        size,
        [top = chain.front(), read = lib.read](void* buffer, size_t length, uint64_t offset) {
            return read(top, buffer, length, static_cast<off64_t>(offset), nullptr);
        },
        [chain, closeAll]() mutable { closeAll(chain); });
    return kOk;
}

// A parent name the library writes into a buffer.
template <typename Handle, typename Error>
std::string NameFrom(Handle* handle, int (*get)(Handle*, uint8_t*, size_t, Error**)) {
    std::vector<uint8_t> name(4096, 0);
    return get(handle, name.data(), name.size(), nullptr) == 1 ? Utf8Name(name) : std::string();
}

const ChainLibrary<libvhdi_file_t, libvhdi_error_t> kVhdi{
    libvhdi_file_initialize,
    [](libvhdi_file_t* file, const fs::path& path, libvhdi_error_t** error) {
        return libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, error);
    },
    libvhdi_file_close,
    libvhdi_file_free,
    libvhdi_file_set_parent_file,
    [](libvhdi_file_t* file) {
        uint32_t type = 0;
        if (libvhdi_file_get_disk_type(file, &type, nullptr) != 1 || type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return std::string();
        const std::string name = NameFrom(file, libvhdi_file_get_utf8_parent_filename);
        return name.empty() ? std::string("(not named)") : name;
    },
    libvhdi_file_read_buffer_at_offset,
    libvhdi_file_get_media_size,
    libvhdi_error_sprint,
    libvhdi_error_free,
    "parent image",
};

const ChainLibrary<libvmdk_handle_t, libvmdk_error_t> kVmdk{
    libvmdk_handle_initialize,
    [](libvmdk_handle_t* handle, const fs::path& path, libvmdk_error_t** error) {
        // The extents (a flat file, the pieces of a split disk) lie beside the descriptor.
        const std::string folder = path.parent_path().empty() ? "." : path.parent_path().string();
        return libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, error) == 1 &&
                       libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), error) == 1 &&
                       libvmdk_handle_open_extent_data_files(handle, error) == 1
                   ? 1
                   : -1;
    },
    libvmdk_handle_close,
    libvmdk_handle_free,
    libvmdk_handle_set_parent_handle,
    [](libvmdk_handle_t* handle) { return NameFrom(handle, libvmdk_handle_get_utf8_parent_filename); },
    libvmdk_handle_read_buffer_at_offset,
    libvmdk_handle_get_media_size,
    libvmdk_error_sprint,
    libvmdk_error_free,
    "parent image",
};

const ChainLibrary<libqcow_file_t, libqcow_error_t> kQcow{
    libqcow_file_initialize,
    [](libqcow_file_t* file, const fs::path& path, libqcow_error_t** error) {
        return libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, error);
    },
    libqcow_file_close,
    libqcow_file_free,
    libqcow_file_set_parent_file,
    [](libqcow_file_t* file) { return NameFrom(file, libqcow_file_get_utf8_backing_filename); },
    libqcow_file_read_buffer_at_offset,
    libqcow_file_get_media_size,
    libqcow_error_sprint,
    libqcow_error_free,
    "backing file",
};

}  // namespace

int OpenContainer(ImageFormat format, const fs::path& path, std::unique_ptr<Medium>& out, std::string& why) {
    switch (format) {
        case ImageFormat::Ewf: return OpenEwf(path, out, why);
        case ImageFormat::Vhd:
        case ImageFormat::Vhdx: return OpenChain(kVhdi, path, out, why);
        case ImageFormat::Vmdk: return OpenChain(kVmdk, path, out, why);
        case ImageFormat::Qcow: return OpenChain(kQcow, path, out, why);
        default: return kErrNotSupported;
    }
}

}  // namespace kestrune
