// Disk images kept in a container rather than as the disk's raw bytes: EnCase images (.E01
// and the segments after it), VHD and VHDX (fixed, dynamic, differencing with the parent
// beside them), VMDK (sparse, flat, in extents), QCOW2 (with its backing file), and raw
// images cut into numbered pieces (.001, .002... or .aa, .ab...). Each is read through its
// own library as the bytes of the disk it holds, behind the one Medium interface that
// every source uses, so that nothing above knows the difference. Nothing is ever written.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "disk/sector_source.h"

namespace kestrune {

enum class ImageFormat { Raw, SplitRaw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// As a user knows it: "raw", "EnCase", "VHD", "VHDX", "VMDK", "QCOW2", "split raw".
const char* ImageFormatName(ImageFormat format);

// What the file holds, told by its content (its first bytes, a VHD's footer), not by its
// name; only a raw image's numbered piece is known by its name, when the next piece lies
// beside it. A file that cannot be read is Raw: opening it then says why.
ImageFormat DetectImageFormat(const std::filesystem::path& path);

// Opens the image read-only as the disk it holds. A container that is damaged, cut short
// or missing a segment or a parent gives an error, with why in error when asked.
int OpenImageMedium(const std::filesystem::path& path, std::unique_ptr<Medium>& out, std::string* error = nullptr);

}  // namespace kestrune
