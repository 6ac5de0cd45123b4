// Encrypted volumes: LUKS1 and LUKS2 opened with their passphrase and read in user space,
// without device-mapper and without writing a byte (libcryptsetup reads the header from a
// copy in memory and gives the volume key; the sectors are decrypted here with OpenSSL);
// BitLocker volumes are only recognised, so that a user is told to unlock them first
// rather than shown a scan of random bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "disk/byte_view.h"
#include "disk/sector_source.h"

namespace kestrune {

// "LUKS1", "LUKS2", "BitLocker", or empty: what the first sectors of an area say it is.
std::string EncryptionOf(ByteView head);

// The bytes [offset, offset + size) of another medium, as a medium of their own.
class AreaMedium final : public Medium {
public:
    AreaMedium(std::shared_ptr<Medium> inner, uint64_t offset, uint64_t size)
        : inner_(std::move(inner)), offset_(offset), size_(size) {}
    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override;
    uint64_t SizeBytes() const override { return size_; }
    void WillRead(uint64_t offset, uint64_t length) override { inner_->WillRead(offset_ + offset, length); }

private:
    std::shared_ptr<Medium> inner_;
    uint64_t offset_;
    uint64_t size_;
};

// Opens the LUKS volume that volume holds (its header at byte 0) with passphrase: plain
// then reads its decrypted payload. kErrAccessDenied when no key slot takes the
// passphrase; error says why in words. The passphrase is not kept; the volume key stays
// only in plain's memory, locked out of swap where the system allows, and is wiped when
// plain goes.
int UnlockLuks(std::shared_ptr<Medium> volume, const std::string& passphrase, std::unique_ptr<Medium>& plain,
               std::string& error);

// An unlocked volume stands as an image file of its own, under a name no file has ("[unlocked
// LUKS2 volume of /home/ann/disk.img]"), so that every reader that opens an image by its
// path reads it decrypted. origin is what holds it (the image file or the disk). It stays
// open, its key in memory, until it is forgotten or the program ends.
std::filesystem::path RegisterUnlockedVolume(std::shared_ptr<Medium> plain, const std::string& description,
                                             const std::filesystem::path& origin);
void ForgetUnlockedVolume(const std::filesystem::path& name);
// The decrypted medium registered under path (also as a path made absolute); null for any other.
std::shared_ptr<Medium> UnlockedVolumeAt(const std::filesystem::path& path);
// What holds the unlocked volume registered under path; empty for any other path.
std::filesystem::path UnlockedVolumeOrigin(const std::filesystem::path& path);

// Wipes a passphrase before its memory is given back.
void WipeSecret(std::string& secret);

}  // namespace kestrune
