#include "engines/pass_state.h"

#include <cstring>

namespace kestrune {

void PassStateWriter::Le(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PassStateWriter::Bytes(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + length);
}

void PassStateWriter::Blob(const std::vector<uint8_t>& bytes) {
    U64(bytes.size());
    Bytes(bytes.data(), bytes.size());
}

ByteView PassStateReader::Take(size_t length) {
    if (!ok_ || !bytes_.has(at_, length)) {
        ok_ = false;
        return {};
    }
    const ByteView taken = bytes_.sub(at_, length);
    at_ += length;
    return taken;
}

uint8_t PassStateReader::U8() { return Take(1).u8(0); }
uint32_t PassStateReader::U32() { return Take(4).le32(0); }
uint64_t PassStateReader::U64() { return Take(8).le64(0); }

uint32_t PassStateReader::Count(size_t itemBytes) {
    const uint32_t count = U32();
    if (ok_ && itemBytes != 0 && count > (bytes_.size() - at_) / itemBytes) ok_ = false;
    return ok_ ? count : 0;
}

std::vector<uint8_t> PassStateReader::Blob() {
    const uint64_t length = U64();
    if (!ok_ || length > bytes_.size() - at_) {
        ok_ = false;
        return {};
    }
    const ByteView taken = Take(static_cast<size_t>(length));
    return std::vector<uint8_t>(taken.data(), taken.data() + taken.size());
}

ScanRecord PassStateReader::Record() {
    ScanRecord record{};
    const ByteView taken = Take(kScanRecordBytes);
    if (ok_) std::memcpy(&record, taken.data(), kScanRecordBytes);
    return record;
}

}  // namespace kestrune
