// SHA-256 of a byte string, as lowercase hex: to compare recovered files with the
// manifests the fixture scripts wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::test {

std::string Sha256Hex(const std::vector<uint8_t>& data);

}  // namespace kestrune::test
