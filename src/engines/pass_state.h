// PassState: the working state of a formatted pass, written into its checkpoint.
//
// A pass killed outright loses what its engines held in memory: the former volumes they
// worked out and the folders they met but report only at the end. The checkpoint keeps
// that state beside the logs' record counts, so a resumed pass goes on as if it had
// never stopped. The bytes are our own, but they are read back from a file a crash may
// have cut short, so the reader checks every length against what is there.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "disk/byte_view.h"
#include "scanlog/scan_record.h"

namespace kestrune {

class PassStateWriter {
public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U32(uint32_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void I64(int64_t v) { Le(static_cast<uint64_t>(v), 8); }
    void Bytes(const void* data, size_t length);
    // A length-prefixed block of bytes.
    void Blob(const std::vector<uint8_t>& bytes);
    void Record(const ScanRecord& record) { Bytes(&record, kScanRecordBytes); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    void Le(uint64_t v, int width);
    std::vector<uint8_t> bytes_;
};

class PassStateReader {
public:
    explicit PassStateReader(ByteView bytes) : bytes_(bytes) {}
    uint8_t U8();
    uint32_t U32();
    uint64_t U64();
    int64_t I64() { return static_cast<int64_t>(U64()); }
    // A count of items each at least itemBytes long: more than the bytes left can hold
    // fails the reader instead of letting a damaged file ask for a huge allocation.
    uint32_t Count(size_t itemBytes);
    std::vector<uint8_t> Blob();
    ScanRecord Record();
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    ByteView Take(size_t length);
    ByteView bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace kestrune
