#include "disk/encrypted_volumes.h"

#include <libcryptsetup.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "base/result_codes.h"

namespace kestrune {

namespace {

constexpr uint8_t kLuksMagic[] = {'L', 'U', 'K', 'S', 0xBA, 0xBE};
// What is copied of a volume for libcryptsetup to read its header and key slots from:
// LUKS2's default header is 16 MiB, and a payload never begins later than this.
constexpr uint64_t kMostHeaderBytes = 256ull << 20;
constexpr uint64_t kFirstHeaderCopy = 16ull << 20;
// PBKDF2 rounds beyond what any machine's cryptsetup would choose (a few million).
constexpr uint32_t kMostRounds = 50'000'000;
constexpr size_t kLuks1DigestRounds = 164;

// Key bytes kept out of swap where the system allows, and wiped when they go.
class SecretBytes {
public:
    explicit SecretBytes(size_t size) : bytes_(size) { locked_ = size && ::mlock(bytes_.data(), size) == 0; }
    ~SecretBytes() {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
        if (locked_) ::munlock(bytes_.data(), bytes_.size());
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    uint8_t* data() { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    void resize(size_t size) { bytes_.resize(std::min(size, bytes_.size())); }

private:
    std::vector<uint8_t> bytes_;
    bool locked_ = false;
};

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

// How the sector's number becomes its IV.
enum class IvKind { Plain, Plain64, Essiv };

// The payload of an unlocked LUKS volume: each read decrypts the whole encryption sectors
// it touches, with the IV of each sector's number.
class LuksMedium final : public Medium {
public:
    LuksMedium(std::shared_ptr<Medium> volume, uint64_t dataOffset, uint64_t size, uint32_t sectorBytes,
               uint32_t ivUnit, uint64_t ivOffset, bool xts, IvKind iv, SecretBytes& key)
        : volume_(std::move(volume)), dataOffset_(dataOffset), size_(size), sectorBytes_(sectorBytes), ivUnit_(ivUnit),
          ivOffset_(ivOffset), iv_(iv) {
        const EVP_CIPHER* cipher =
            xts ? (key.size() == 64 ? EVP_aes_256_xts() : EVP_aes_128_xts())
                : (key.size() == 32 ? EVP_aes_256_cbc() : key.size() == 24 ? EVP_aes_192_cbc() : EVP_aes_128_cbc());
        EVP_DecryptInit_ex(data_.ctx, cipher, nullptr, key.data(), nullptr);
        EVP_CIPHER_CTX_set_padding(data_.ctx, 0);
        if (iv_ == IvKind::Essiv) {
            // ESSIV: the IV is the sector number encrypted with the hash of the volume key.
            SecretBytes salt(32);
            unsigned int length = 0;
            EVP_Digest(key.data(), key.size(), salt.data(), &length, EVP_sha256(), nullptr);
            EVP_EncryptInit_ex(essiv_.ctx, EVP_aes_256_ecb(), nullptr, salt.data(), nullptr);
            EVP_CIPHER_CTX_set_padding(essiv_.ctx, 0);
        }
    }

    int ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
        got = 0;
        if (offset >= size_) return kOk;
        length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
        const uint64_t first = offset / sectorBytes_;
        const uint64_t end = (offset + length + sectorBytes_ - 1) / sectorBytes_;
        std::lock_guard lock(mutex_);
        sealed_.resize(static_cast<size_t>((end - first) * sectorBytes_));
        size_t read = 0;
        const int rc = ReadExactly(*volume_, dataOffset_ + first * sectorBytes_, sealed_.data(), sealed_.size(), read);
        const size_t whole = read / sectorBytes_ * sectorBytes_;
        for (size_t at = 0; at < whole; at += sectorBytes_)
            if (!Decrypt(sealed_.data() + at, first + at / sectorBytes_)) return kErrReadFault;
        const size_t skip = static_cast<size_t>(offset - first * sectorBytes_);
        got = whole > skip ? std::min(length, whole - skip) : 0;
        std::memcpy(buffer, sealed_.data() + skip, got);
        OPENSSL_cleanse(sealed_.data(), sealed_.size());
        return got == 0 && rc != kOk ? rc : kOk;
    }
    uint64_t SizeBytes() const override { return size_; }
    void WillRead(uint64_t offset, uint64_t length) override { volume_->WillRead(dataOffset_ + offset, length); }

private:
    bool Decrypt(uint8_t* sector, uint64_t number) {
        // The IV counts sectors of ivUnit_ bytes from the payload's start (and iv_offset).
        const uint64_t ivNumber = number * (sectorBytes_ / ivUnit_) + ivOffset_;
        uint8_t iv[16] = {};
        for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(ivNumber >> (8 * i));
        if (iv_ == IvKind::Plain) std::memset(iv + 4, 0, 4);
        if (iv_ == IvKind::Essiv) {
            int out = 0;
            uint8_t plain[16];
            std::memcpy(plain, iv, sizeof plain);
            if (EVP_EncryptUpdate(essiv_.ctx, iv, &out, plain, sizeof plain) != 1) return false;
        }
        int out = 0;
        return EVP_DecryptInit_ex(data_.ctx, nullptr, nullptr, nullptr, iv) == 1 &&
               EVP_DecryptUpdate(data_.ctx, sector, &out, sector, static_cast<int>(sectorBytes_)) == 1 &&
               out == static_cast<int>(sectorBytes_);
    }

    std::shared_ptr<Medium> volume_;
    uint64_t dataOffset_;
    uint64_t size_;
    uint32_t sectorBytes_;
    uint32_t ivUnit_;
    uint64_t ivOffset_;
    IvKind iv_;
    CipherContext data_, essiv_;
    std::vector<uint8_t> sealed_;
    std::mutex mutex_;
};

// A key slot whose key derivation asks for more than any sound volume's (a damaged or
// crafted header) is not tried: it could hold the program for hours or take all memory.
bool SlotCostBounded(const crypt_pbkdf_type& pbkdf) {
    if (pbkdf.type && std::strcmp(pbkdf.type, "pbkdf2") == 0) return pbkdf.iterations <= kMostRounds;
    // Argon2: iterations is its time cost.
    return pbkdf.max_memory_kb <= (4u << 20) && pbkdf.iterations <= 1000 && pbkdf.parallel_threads <= 64;
}

enum class SlotOutcome { Opened, WrongPassphrase, TooCostly, Unreadable };

// Tries the passphrase on each key slot in use, one at a time so that each one's cost is
// checked first; the volume key goes into key.
SlotOutcome OpenSomeSlot(struct crypt_device* device, const std::string& passphrase, SecretBytes& key, size_t& keyBytes) {
    bool costly = false, refused = false;
    const int slots = crypt_keyslot_max(crypt_get_type(device));
    for (int slot = 0; slot < slots && key.size() > 0; ++slot) {
        const crypt_keyslot_info status = crypt_keyslot_status(device, slot);
        if (status != CRYPT_SLOT_ACTIVE && status != CRYPT_SLOT_ACTIVE_LAST) continue;
        crypt_pbkdf_type pbkdf{};
        if (crypt_keyslot_get_pbkdf(device, slot, &pbkdf) != 0 || !SlotCostBounded(pbkdf)) {
            costly = true;
            continue;
        }
        keyBytes = key.size();
        const int rc = crypt_volume_key_get(device, slot, reinterpret_cast<char*>(key.data()), &keyBytes,
                                            passphrase.data(), passphrase.size());
        if (rc >= 0) return SlotOutcome::Opened;
        refused = refused || rc == -EPERM;
    }
    return refused ? SlotOutcome::WrongPassphrase : costly ? SlotOutcome::TooCostly : SlotOutcome::Unreadable;
}

// libcryptsetup speaks to the terminal unless told otherwise; what it says reaches the
// user as this program's own message instead.
void Quiet(int, const char*, void*) {}

// A copy of the volume's first bytes, in memory, for libcryptsetup to read the header
// from: it is never given the volume itself, so it cannot write to it.
int HeaderCopy(Medium& volume, uint64_t bytes) {
    const int fd = ::memfd_create("kestrune-luks-header", MFD_CLOEXEC);
    if (fd < 0) return -1;
    std::vector<uint8_t> buffer(1 << 20);
    bool made = ::ftruncate(fd, static_cast<off_t>(volume.SizeBytes())) == 0;
    for (uint64_t at = 0; made && at < bytes; at += buffer.size()) {
        size_t got = 0;
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes - at));
        ReadExactly(volume, at, buffer.data(), piece, got);
        made = got == piece && ::pwrite(fd, buffer.data(), got, static_cast<off_t>(at)) == static_cast<ssize_t>(got);
    }
    if (!made) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct UnlockedVolume {
    std::shared_ptr<Medium> plain;
    std::filesystem::path origin;
};

struct UnlockedVolumes {
    std::mutex mutex;
    std::map<std::string, UnlockedVolume> byName;

    // The entry path names: its own name, or that name made absolute against some folder.
    const UnlockedVolume* Find(const std::filesystem::path& path) const {
        const std::string text = path.string();
        for (const auto& [name, volume] : byName)
            if (text == name || (text.ends_with(name) && text[text.size() - name.size() - 1] == '/')) return &volume;
        return nullptr;
    }
};

UnlockedVolumes& Unlocked() {
    static UnlockedVolumes volumes;
    return volumes;
}

}  // namespace

std::filesystem::path RegisterUnlockedVolume(std::shared_ptr<Medium> plain, const std::string& description,
                                             const std::filesystem::path& origin) {
    UnlockedVolumes& volumes = Unlocked();
    std::lock_guard lock(volumes.mutex);
    std::string name = "[unlocked " + description + "]";
    for (int n = 2; volumes.byName.count(name); ++n) name = "[unlocked " + description + " #" + std::to_string(n) + "]";
    volumes.byName[name] = {std::move(plain), origin};
    return name;
}

void ForgetUnlockedVolume(const std::filesystem::path& name) {
    UnlockedVolumes& volumes = Unlocked();
    std::lock_guard lock(volumes.mutex);
    volumes.byName.erase(name.string());
}

std::shared_ptr<Medium> UnlockedVolumeAt(const std::filesystem::path& path) {
    if (path.string().find("[unlocked ") == std::string::npos) return nullptr;
    UnlockedVolumes& volumes = Unlocked();
    std::lock_guard lock(volumes.mutex);
    const UnlockedVolume* volume = volumes.Find(path);
    return volume ? volume->plain : nullptr;
}

std::filesystem::path UnlockedVolumeOrigin(const std::filesystem::path& path) {
    if (path.string().find("[unlocked ") == std::string::npos) return {};
    UnlockedVolumes& volumes = Unlocked();
    std::lock_guard lock(volumes.mutex);
    const UnlockedVolume* volume = volumes.Find(path);
    return volume ? volume->origin : std::filesystem::path();
}

void WipeSecret(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

std::string EncryptionOf(ByteView head) {
    if (head.has(0, 8) && std::memcmp(head.data(), kLuksMagic, sizeof kLuksMagic) == 0) {
        const uint16_t version = head.be16(6);
        if (version == 1) return "LUKS1";
        if (version == 2) return "LUKS2";
    }
    if (head.matches(3, "-FVE-FS-")) return "BitLocker";
    return {};
}

int AreaMedium::ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) {
    got = 0;
    if (offset >= size_) return kOk;
    return inner_->ReadAt(offset_ + offset, buffer, static_cast<size_t>(std::min<uint64_t>(length, size_ - offset)), got);
}

int UnlockLuks(std::shared_ptr<Medium> volume, const std::string& passphrase, std::unique_ptr<Medium>& plain,
               std::string& error) {
    plain.reset();
    const uint64_t volumeBytes = volume->SizeBytes();
    // LUKS1 derives its key's digest with as many rounds as the header says, whatever the
    // slot: a damaged count would hold the program for hours on every try.
    std::vector<uint8_t> head(512);
    size_t headBytes = 0;
    ReadExactly(*volume, 0, head.data(), head.size(), headBytes);
    if (EncryptionOf(ByteView(head.data(), headBytes)) == "LUKS1" && ByteView(head).be32(kLuks1DigestRounds) > kMostRounds) {
        error = "its LUKS header asks for far more work than any sound volume's (a damaged header?)";
        return kErrFileCorrupt;
    }
    crypt_set_log_callback(nullptr, Quiet, nullptr);
    // No lock files: the header read is a copy in this process's memory.
    crypt_metadata_locking(nullptr, 0);
    uint64_t copied = std::min(volumeBytes, kFirstHeaderCopy);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = HeaderCopy(*volume, copied);
        if (fd < 0) {
            error = "cannot read the volume's header";
            return kErrReadFault;
        }
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        struct crypt_device* device = nullptr;
        int rc = crypt_init(&device, path.c_str());
        if (rc == 0) crypt_set_log_callback(device, Quiet, nullptr);
        if (rc == 0) rc = crypt_load(device, CRYPT_LUKS, nullptr);
        if (rc < 0) {
            if (device) crypt_free(device);
            ::close(fd);
            error = "its LUKS header cannot be read (damaged, or of a version this program does not know)";
            return kErrFileCorrupt;
        }
        const uint64_t dataOffset = crypt_get_data_offset(device) * 512;
        // A payload that begins past what was copied: its key slots may lie there too.
        if (dataOffset > copied && attempt == 0 && dataOffset <= std::min(volumeBytes, kMostHeaderBytes)) {
            crypt_free(device);
            ::close(fd);
            copied = dataOffset;
            continue;
        }
        const std::string cipher = crypt_get_cipher(device) ? crypt_get_cipher(device) : "";
        const std::string mode = crypt_get_cipher_mode(device) ? crypt_get_cipher_mode(device) : "";
        const int sectorBytes = std::max(512, crypt_get_sector_size(device));
        const bool luks2 = crypt_get_type(device) && std::strcmp(crypt_get_type(device), CRYPT_LUKS2) == 0;
        const uint64_t ivOffset = crypt_get_iv_offset(device);
        const int keySize = crypt_get_volume_key_size(device);
        SecretBytes key(keySize > 0 ? static_cast<size_t>(keySize) : 0);
        size_t keyBytes = key.size();
        const SlotOutcome outcome = OpenSomeSlot(device, passphrase, key, keyBytes);
        crypt_free(device);
        ::close(fd);
        if (outcome != SlotOutcome::Opened) {
            error = outcome == SlotOutcome::WrongPassphrase ? "the passphrase opens none of its key slots"
                    : outcome == SlotOutcome::TooCostly
                        ? "its key slots ask for far more work than any sound volume's (a damaged header?)"
                        : "it has no key slot that can be read";
            return outcome == SlotOutcome::WrongPassphrase ? kErrAccessDenied : kErrFileCorrupt;
        }
        key.resize(keyBytes);
        const bool xts = mode == "xts-plain64" || mode == "xts-plain";
        const IvKind iv = mode == "cbc-essiv:sha256" ? IvKind::Essiv
                          : mode == "xts-plain" || mode == "cbc-plain" ? IvKind::Plain
                                                                       : IvKind::Plain64;
        const bool known = (xts && (keyBytes == 32 || keyBytes == 64)) ||
                           ((mode == "cbc-essiv:sha256" || mode == "cbc-plain64" || mode == "cbc-plain") &&
                            (keyBytes == 16 || keyBytes == 24 || keyBytes == 32));
        if (cipher != "aes" || !known) {
            error = "its cipher " + cipher + "-" + mode + " is not one this program reads";
            return kErrNotSupported;
        }
        if (dataOffset >= volumeBytes) {
            error = "its payload lies past the end of the volume";
            return kErrFileCorrupt;
        }
        // LUKS2 counts IVs in its own sectors; LUKS1, and dm-crypt by default, in 512 bytes.
        const uint32_t ivUnit = luks2 ? static_cast<uint32_t>(sectorBytes) : 512;
        const uint64_t size = (volumeBytes - dataOffset) / static_cast<uint64_t>(sectorBytes) * sectorBytes;
        plain = std::make_unique<LuksMedium>(volume, dataOffset, size, static_cast<uint32_t>(sectorBytes), ivUnit,
                                             ivOffset * 512 / ivUnit, xts, iv, key);
        return kOk;
    }
    error = "its LUKS header cannot be read";
    return kErrFileCorrupt;
}

}  // namespace kestrune
