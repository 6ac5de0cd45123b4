// Arbitrary volume heads opened as LUKS volumes: loading the header copy, checking the key
// slots' costs and trying the passphrase must end with an answer, never a crash.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/byte_view.h"
#include "disk/encrypted_volumes.h"

namespace {

// The replay runs every input: a LUKS1 header whose key derivation asks for many rounds is
// bounded by the program (50 million), but even a bounded count costs seconds per input.
bool CheapToTry(kestrune::ByteView head) {
    if (kestrune::EncryptionOf(head) != "LUKS1") return true;
    if (head.be32(164) > 10000) return false;  // the key digest's rounds
    for (size_t slot = 0; slot < 8; ++slot)
        if (head.be32(208 + slot * 48 + 4) > 10000) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    if (!CheapToTry(kestrune::ByteView(bytes))) return 0;
    bytes.resize(std::max<size_t>(bytes.size(), 1 << 20), 0);
    auto volume = std::make_shared<kestrune::MemoryMedium>(std::move(bytes));
    std::unique_ptr<kestrune::Medium> plain;
    std::string error;
    if (kestrune::UnlockLuks(volume, "correct horse battery staple", plain, error) == 0) {
        std::vector<uint8_t> sector(4096);
        size_t got = 0;
        plain->ReadAt(0, sector.data(), sector.size(), got);
        if (got > sector.size()) __builtin_trap();
    }
    return 0;
}
