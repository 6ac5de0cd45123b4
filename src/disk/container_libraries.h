// The libraries that read container images (libewf, libvhdi, libvmdk, libqcow), each
// opened on a file and handed out as a Medium. Only image_containers.cpp uses this.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "disk/image_containers.h"

namespace kestrune {

// Opens path, of a format other than raw, through its library; why says what the library
// found wrong.
int OpenContainer(ImageFormat format, const std::filesystem::path& path, std::unique_ptr<Medium>& out,
                  std::string& why);

}  // namespace kestrune
