// Bounds-checked reads from untrusted binary frames, shared by every connector's decoder.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Reads fixed-width integers at explicit offsets with explicit byte order. Every read says
// whether the bytes were there; nothing ever reads past the end.
class BinaryReader {
public:
    BinaryReader(const char* data, std::size_t size) : p(reinterpret_cast<const unsigned char*>(data)), n(size) {}
    explicit BinaryReader(const QByteArray& bytes) : BinaryReader(bytes.constData(), std::size_t(bytes.size())) {}

    std::size_t size() const { return n; }
    const char* data() const { return reinterpret_cast<const char*>(p); }
    // True when [offset, offset + width) lies inside the data (no overflow for huge values).
    bool has(std::size_t offset, std::size_t width) const { return offset <= n && width <= n - offset; }

    bool u8(std::size_t offset, std::uint8_t& out) const
    {
        if (!has(offset, 1))
            return false;
        out = p[offset];
        return true;
    }
    bool u16le(std::size_t offset, std::uint16_t& out) const
    {
        if (!has(offset, 2))
            return false;
        out = std::uint16_t(p[offset] | (p[offset + 1] << 8));
        return true;
    }
    bool i16le(std::size_t offset, std::int16_t& out) const
    {
        std::uint16_t u;
        if (!u16le(offset, u))
            return false;
        out = std::int16_t(u);
        return true;
    }
    bool u32le(std::size_t offset, std::uint32_t& out) const
    {
        if (!has(offset, 4))
            return false;
        out = std::uint32_t(p[offset]) | (std::uint32_t(p[offset + 1]) << 8) | (std::uint32_t(p[offset + 2]) << 16)
            | (std::uint32_t(p[offset + 3]) << 24);
        return true;
    }
    bool i32le(std::size_t offset, std::int32_t& out) const
    {
        std::uint32_t u;
        if (!u32le(offset, u))
            return false;
        out = std::int32_t(u);
        return true;
    }
    bool u16be(std::size_t offset, std::uint16_t& out) const
    {
        if (!has(offset, 2))
            return false;
        out = std::uint16_t((p[offset] << 8) | p[offset + 1]);
        return true;
    }
    bool u32be(std::size_t offset, std::uint32_t& out) const
    {
        if (!has(offset, 4))
            return false;
        out = (std::uint32_t(p[offset]) << 24) | (std::uint32_t(p[offset + 1]) << 16)
            | (std::uint32_t(p[offset + 2]) << 8) | std::uint32_t(p[offset + 3]);
        return true;
    }
    bool u64le(std::size_t offset, std::uint64_t& out) const
    {
        std::uint32_t lo, hi;
        if (!u32le(offset, lo) || !u32le(offset + 4, hi))
            return false;
        out = (std::uint64_t(hi) << 32) | lo;
        return true;
    }

private:
    const unsigned char* p;
    std::size_t n;
};
