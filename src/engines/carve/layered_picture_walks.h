// Walks of pictures made of several images: a Photoshop document's sections and image
// data, and an icon's directory of images of several sizes. Each answers the exact
// length, or nothing when the structure cannot be followed.
#pragma once

#include "engines/carve/file_reader.h"

namespace kestrune::carve {

// PSD and PSB: header, colour mode data, image resources, layer and mask information,
// then the merged image, raw or run-length coded.
std::optional<uint64_t> WalkPsd(FileReader& file);
// ICO and CUR: the end of the image that reaches furthest, every image checked to be a bitmap
// header or a PNG lying after the directory.
std::optional<uint64_t> WalkIco(FileReader& file);

}  // namespace kestrune::carve
