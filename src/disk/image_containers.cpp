#include "disk/image_containers.h"

#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "base/result_codes.h"
#include "disk/bad_areas.h"
#include "disk/block_devices.h"
#include "disk/byte_view.h"
#include "disk/container_libraries.h"
#include "disk/encrypted_volumes.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kEwfMark[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Mark[] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr uint8_t kQcowMark[] = {'Q', 'F', 'I', 0xFB};

bool Starts(ByteView head, const uint8_t* mark, size_t length) {
    return head.has(0, length) && std::memcmp(head.data(), mark, length) == 0;
}

// The name of the piece after this one, for the two ways of numbering raw pieces: ".001"
// (three digits or more) and ".aa" (two letters); empty when the name is neither.
std::string NextPieceName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return {};
    std::string suffix = name.substr(dot + 1);
    const bool digits = suffix.size() >= 3 && suffix.find_first_not_of("0123456789") == std::string::npos;
    const bool letters = suffix.size() == 2 && suffix.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
    if (!digits && !letters) return {};
    for (size_t i = suffix.size(); i-- > 0;) {
        const char last = digits ? '9' : 'z', first = digits ? '0' : 'a';
        if (suffix[i] != last) {
            ++suffix[i];
            return name.substr(0, dot + 1) + suffix;
        }
        suffix[i] = first;
    }
    return {};
}

bool IsFirstPiece(const fs::path& path) {
    const std::string name = path.filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string suffix = name.substr(dot + 1);
    const size_t n = suffix.size();
    const bool first = suffix == "aa" || (n >= 3 && (suffix == std::string(n, '0') || suffix == std::string(n - 1, '0') + "1"));
    std::error_code ec;
    return first && fs::is_regular_file(path.parent_path() / NextPieceName(name), ec);
}

// A raw image cut into pieces read as one: the pieces in order, each with where it begins.
class SplitRawMedium final : public Medium {
public:
    struct Piece {
        std::unique_ptr<FileMedium> file;
        uint64_t start = 0;
        uint64_t size = 0;
    };
    explicit SplitRawMedium(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {
        for (const Piece& p : pieces_) size_ = p.start + p.size;
    }
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        got = 0;
        for (const Piece& p : pieces_) {
            if (offset >= p.start + p.size) continue;
            if (offset < p.start) break;
            // One piece a call: a read across a cut comes back short, and is read on.
            const size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, p.start + p.size - offset));
            return p.file->ReadAt(offset - p.start, buffer, wanted, got);
        }
        return kOk;
    }
    uint64_t SizeBytes() const override { return size_; }

private:
    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
};

int OpenSplitRaw(const fs::path& first, std::unique_ptr<Medium>& out, std::string* error) {
    std::vector<SplitRawMedium::Piece> pieces;
    uint64_t start = 0;
    std::error_code ec;
    for (fs::path piece = first; !piece.filename().empty() && fs::is_regular_file(piece, ec);
         piece = piece.parent_path() / NextPieceName(piece.filename().string())) {
        int fd = -1;
        uint64_t size = 0;
        if (int rc = OpenReadOnly(piece, fd, size); rc != kOk) {
            if (error) *error = "cannot open the piece " + piece.string() + ": " + ResultText(rc);
            return rc;
        }
        pieces.push_back({std::make_unique<FileMedium>(fd, size), start, size});
        start += size;
        if (NextPieceName(piece.filename().string()).empty()) break;
    }
    out = std::make_unique<SplitRawMedium>(std::move(pieces));
    return kOk;
}

}  // namespace

const char* ImageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Raw: return "raw";
        case ImageFormat::SplitRaw: return "split raw";
        case ImageFormat::Ewf: return "EnCase";
        case ImageFormat::Vhd: return "VHD";
        case ImageFormat::Vhdx: return "VHDX";
        case ImageFormat::Vmdk: return "VMDK";
        case ImageFormat::Qcow: return "QCOW2";
    }
    return "raw";
}

ImageFormat DetectImageFormat(const fs::path& path) {
    int fd = -1;
    uint64_t size = 0;
    if (OpenReadOnly(path, fd, size) != kOk) return ImageFormat::Raw;
    std::vector<uint8_t> head(512, 0), tail(512, 0);
    const ssize_t gotHead = ::pread(fd, head.data(), head.size(), 0);
    const ssize_t gotTail = size >= 1024 ? ::pread(fd, tail.data(), tail.size(), static_cast<off_t>(size - 512)) : 0;
    ::close(fd);
    const ByteView first(head.data(), gotHead > 0 ? static_cast<size_t>(gotHead) : 0);
    if (Starts(first, kEwfMark, sizeof kEwfMark) || Starts(first, kEwf2Mark, sizeof kEwf2Mark)) return ImageFormat::Ewf;
    if (first.matches(0, "vhdxfile")) return ImageFormat::Vhdx;
    if (Starts(first, kQcowMark, sizeof kQcowMark)) return ImageFormat::Qcow;
    if (first.matches(0, "KDMV") || first.matches(0, "COWD") || first.matches(0, "# Disk DescriptorFile"))
        return ImageFormat::Vmdk;
    // A dynamic VHD begins with a copy of its footer; a fixed one is the disk's bytes with
    // the footer after them.
    if (first.matches(0, "conectix") || (gotTail == 512 && ByteView(tail).matches(0, "conectix"))) return ImageFormat::Vhd;
    if (IsFirstPiece(path)) return ImageFormat::SplitRaw;
    return ImageFormat::Raw;
}

namespace {

// Another reader of a medium that stays open elsewhere (an unlocked volume).
class SharedMedium final : public Medium {
public:
    explicit SharedMedium(std::shared_ptr<Medium> inner) : inner_(std::move(inner)) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        return inner_->ReadAt(offset, buffer, length, got);
    }
    uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
    void WillRead(uint64_t offset, uint64_t length) override { inner_->WillRead(offset, length); }

private:
    std::shared_ptr<Medium> inner_;
};

}  // namespace

int OpenImageMedium(const fs::path& path, std::unique_ptr<Medium>& out, std::string* error) {
    out.reset();
    if (std::shared_ptr<Medium> unlocked = UnlockedVolumeAt(path)) {
        out = std::make_unique<SharedMedium>(std::move(unlocked));
        return kOk;
    }
    const ImageFormat format = DetectImageFormat(path);
    if (format == ImageFormat::Raw) {
        int fd = -1;
        uint64_t size = 0;
        if (int rc = OpenReadOnly(path, fd, size); rc != kOk) return rc;
        // A block device given by path is a disk like any other.
        out = WatchForBadAreas(std::make_unique<FileMedium>(fd, size), kImageSectorBytes, path, true);
        return kOk;
    }
    if (format == ImageFormat::SplitRaw) return OpenSplitRaw(path, out, error);
    std::string why;
    const int rc = OpenContainer(format, path, out, why);
    if (rc != kOk && error) *error = std::string("cannot read the ") + ImageFormatName(format) + " image " +
                                     path.filename().string() + (why.empty() ? "" : ": " + why);
    return rc;
}

}  // namespace kestrune
