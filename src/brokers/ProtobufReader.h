// Bounds-checked reading of the protocol-buffers wire format, for the connectors whose streams
// speak it. Pure: no allocation, no schema; the caller walks the fields it knows and skips the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Wire format: every field is a varint tag (field number << 3 | wire type) and a value:
//   0 varint (7 bits a byte, least significant group first, at most 10 bytes)
//   1 8 bytes little-endian       2 varint length, then that many bytes       5 4 bytes little-endian
// Wire types 3, 4 (groups), 6 and 7 are not accepted: they end the message being read.
class ProtobufReader {
public:
    enum WireType { Varint = 0, Fixed64 = 1, LengthDelimited = 2, Fixed32 = 5 };

    struct Field {
        std::uint32_t number = 0;
        int wireType = 0;
        std::uint64_t value = 0;  // varint, 64-bit or 32-bit value
        std::size_t offset = 0;   // length-delimited: first byte of the contents in this reader's data
        std::size_t length = 0;   // length-delimited: bytes of the contents actually present
        // Length-delimited field whose declared length ran past the end of the message: `length`
        // holds what is there and the reader has reached the end.
        bool truncated = false;
    };

    ProtobufReader(const char* data, std::size_t size)
        : p(reinterpret_cast<const unsigned char*>(data)), n(size)
    {
    }

    // Reads the next field. False at the end of the message and when the next field is malformed
    // (bad tag, unknown wire type, varint or fixed value cut off); failed() tells the two apart.
    // After a false return the reader stays at the end.
    bool next(Field& f)
    {
        if (pos >= n)
            return false;
        std::uint64_t tag = 0;
        if (!readVarint(tag) || (tag >> 3) == 0 || (tag >> 3) > 0x1fffffffu)
            return fail();
        f = Field();
        f.number = std::uint32_t(tag >> 3);
        f.wireType = int(tag & 7);
        switch (f.wireType) {
        case Varint:
            if (!readVarint(f.value))
                return fail();
            return true;
        case Fixed64:
            if (n - pos < 8)
                return fail();
            f.value = fixed(8);
            return true;
        case Fixed32:
            if (n - pos < 4)
                return fail();
            f.value = fixed(4);
            return true;
        case LengthDelimited: {
            std::uint64_t len = 0;
            if (!readVarint(len))
                return fail();
            f.offset = pos;
            const std::size_t left = n - pos;
            if (len > left) {
                f.length = left;
                f.truncated = true;
                pos = n;
            } else {
                f.length = std::size_t(len);
                pos += f.length;
            }
            return true;
        }
        default:
            return fail();
        }
    }

    bool failed() const { return bad; }
    bool atEnd() const { return pos >= n; }
    std::size_t position() const { return pos; }
    std::size_t size() const { return n; }

    const char* bytes(const Field& f) const { return reinterpret_cast<const char*>(p + f.offset); }
    // A reader over the contents of a length-delimited field (an embedded message).
    ProtobufReader message(const Field& f) const { return ProtobufReader(bytes(f), f.length); }

    // Value of a wrapper message (Int64Value, UInt64Value, UInt32Value...: one varint in field 1)
    // held in the length-delimited field `f`, where "absent" and "0" differ: an empty wrapper is
    // present and holds 0. Other fields inside are skipped; field 1 met twice keeps the later
    // value. False when `f` is not length-delimited, was cut off, or its contents cannot be read
    // (field 1 of another wire type included).
    bool wrappedVarint(const Field& f, std::uint64_t& value) const
    {
        if (f.wireType != LengthDelimited || f.truncated)
            return false;
        // Nearly every wrapper is exactly "08 <varint>": read that in place, without a reader.
        if (f.length >= 2 && f.length <= 11 && p[f.offset] == 0x08) {
            std::uint64_t v = 0;
            for (std::size_t i = 1; i < f.length; ++i) {
                const unsigned char b = p[f.offset + i];
                if (i == 10 && b > 1)
                    break;
                v |= std::uint64_t(b & 0x7f) << (7 * (i - 1));
                if (!(b & 0x80)) {
                    if (i + 1 != f.length)
                        break;
                    value = v;
                    return true;
                }
            }
        }
        return wrappedVarintFields(f, value);
    }

    // The next field read whole when it is a wrapper in its plainest form: a one-byte tag (field
    // 1 to 15, length-delimited), a one-byte length and "08 <varint>" filling that length, of a
    // field whose bit (1 << number) is set in `accepted`. Gives what next() and wrappedVarint()
    // would and moves past the field; false, with nothing read, for anything else, which the
    // caller then reads with next(). Saves the Field and a second look at the bytes on streams
    // made mostly of wrappers.
    bool nextWrapper(std::uint32_t accepted, std::uint32_t& number, std::uint64_t& value)
    {
        const std::size_t left = n - pos;
        if (left < 4)
            return false;
        const unsigned char* q = p + pos;
        const unsigned tag = q[0];
        const std::size_t len = q[1];
        // Bit 0 cleared: field 0 is never a field.
        if ((tag & 0x87) != LengthDelimited || !(((accepted & ~1u) >> (tag >> 3)) & 1) || len - 2 > 9
            || len + 2 > left || q[2] != 0x08)
            return false;
        // The varint fills the rest of the wrapper: its last byte ends it, every other one goes on.
        const unsigned char* b = q + 3;
        const std::size_t last = len - 2;  // index of the varint's last byte, 0 to 9
        if ((b[last] & 0x80) || (last == 9 && b[last] > 1))
            return false;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < last; ++i) {
            if (!(b[i] & 0x80))
                return false;
            v |= std::uint64_t(b[i] & 0x7f) << (7 * i);
        }
        number = tag >> 3;
        value = v | (std::uint64_t(b[last]) << (7 * last));
        pos += 2 + len;
        return true;
    }

    static double asDouble(std::uint64_t bits)
    {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    static float asFloat(std::uint64_t bits)
    {
        const std::uint32_t b = std::uint32_t(bits);
        float f;
        std::memcpy(&f, &b, sizeof f);
        return f;
    }

private:
    // The general form of wrappedVarint: field by field.
    bool wrappedVarintFields(const Field& f, std::uint64_t& value) const
    {
        ProtobufReader inner = message(f);
        std::uint64_t v = 0;
        Field g;
        while (inner.next(g)) {
            if (g.truncated)
                return false;
            if (g.number != 1)
                continue;
            if (g.wireType != Varint)
                return false;
            v = g.value;
        }
        if (inner.failed())
            return false;
        value = v;
        return true;
    }

    bool fail()
    {
        bad = true;
        pos = n;
        return false;
    }

    bool readVarint(std::uint64_t& out)
    {
        std::uint64_t v = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos >= n)
                return false;
            const unsigned char b = p[pos++];
            // The tenth byte can only carry the top bit of a 64-bit value.
            if (i == 9 && b > 1)
                return false;
            v |= std::uint64_t(b & 0x7f) << (7 * i);
            if (!(b & 0x80)) {
                out = v;
                return true;
            }
        }
        return false;
    }

    std::uint64_t fixed(int width)
    {
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= std::uint64_t(p[pos + std::size_t(i)]) << (8 * i);
        pos += std::size_t(width);
        return v;
    }

    const unsigned char* p;
    std::size_t n;
    std::size_t pos = 0;
    bool bad = false;
};
