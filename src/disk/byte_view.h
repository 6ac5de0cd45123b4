// ByteView: the one checked reader for every structure read from a medium or a file.
//
// A view over bytes that cannot read outside them. Reads of integers past the end
// answer 0 and sub-views past the end are empty, so a parser that forgot a check
// reads zeros instead of memory it does not own; parsers still test has() before
// trusting a field, because a zero may be a legal value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

namespace kestrune {

class ByteView {
public:
    constexpr ByteView() = default;
    constexpr ByteView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    ByteView(const void* data, size_t size)
        : bytes_(static_cast<const uint8_t*>(data), data ? size : 0) {}

    constexpr size_t size() const { return bytes_.size(); }
    constexpr bool empty() const { return bytes_.empty(); }
    constexpr const uint8_t* data() const { return bytes_.data(); }
    constexpr std::span<const uint8_t> span() const { return bytes_; }

    // True when [offset, offset + length) lies inside the view; safe against overflow.
    constexpr bool has(size_t offset, size_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

    // The bytes [offset, offset + length), or an empty view when they are not all here.
    constexpr ByteView sub(size_t offset, size_t length) const {
        if (!has(offset, length)) return {};
        return ByteView(bytes_.subspan(offset, length));
    }
    // Everything from offset to the end (empty when offset is past the end).
    constexpr ByteView from(size_t offset) const {
        if (offset > bytes_.size()) return {};
        return ByteView(bytes_.subspan(offset));
    }

    constexpr uint8_t u8(size_t offset) const { return has(offset, 1) ? bytes_[offset] : 0; }
    // The fixed widths are read in one load where the host is little-endian: parsers read
    // them for every word of a tail or a table.
    constexpr uint16_t le16(size_t offset) const { return Fixed<uint16_t>(offset); }
    constexpr uint32_t le32(size_t offset) const { return Fixed<uint32_t>(offset); }
    constexpr uint64_t le64(size_t offset) const { return Fixed<uint64_t>(offset); }
    constexpr uint16_t be16(size_t offset) const { return static_cast<uint16_t>(be(offset, 2)); }
    constexpr uint32_t be32(size_t offset) const { return static_cast<uint32_t>(be(offset, 4)); }
    constexpr uint64_t be64(size_t offset) const { return be(offset, 8); }

    // Little-endian unsigned value of 1 to 8 bytes (NTFS run lists use odd widths).
    constexpr uint64_t le(size_t offset, size_t width) const {
        if (width > 8 || !has(offset, width)) return 0;
        uint64_t v = 0;
        for (size_t i = width; i-- > 0;) v = (v << 8) | bytes_[offset + i];
        return v;
    }
    constexpr uint64_t be(size_t offset, size_t width) const {
        if (width > 8 || !has(offset, width)) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = (v << 8) | bytes_[offset + i];
        return v;
    }

    // True when the bytes at offset equal text exactly.
    constexpr bool matches(size_t offset, std::string_view text) const {
        if (!has(offset, text.size())) return false;
        for (size_t i = 0; i < text.size(); ++i)
            if (bytes_[offset + i] != static_cast<uint8_t>(text[i])) return false;
        return true;
    }
    // True when length bytes at offset all equal value.
    constexpr bool all(size_t offset, size_t length, uint8_t value) const {
        if (!has(offset, length)) return false;
        for (size_t i = 0; i < length; ++i)
            if (bytes_[offset + i] != value) return false;
        return true;
    }

private:
    template <typename T>
    constexpr T Fixed(size_t offset) const {
        if (std::is_constant_evaluated() || std::endian::native != std::endian::little)
            return static_cast<T>(le(offset, sizeof(T)));
        if (!has(offset, sizeof(T))) return 0;
        T v;
        std::memcpy(&v, bytes_.data() + offset, sizeof(T));
        return v;
    }
    std::span<const uint8_t> bytes_;
};

}  // namespace kestrune
