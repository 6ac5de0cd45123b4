#include "support/sha256.h"

#include "output/sha256.h"

namespace kestrune::test {

std::string Sha256Hex(const std::vector<uint8_t>& data) {
    Sha256 digest;
    digest.Update(data);
    return digest.HexDigest();
}

}  // namespace kestrune::test
