// Bounded zlib/gzip inflation.
#include "symbols/ZlibInflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace ZlibInflate {

Inflater::Inflater(int bits) : stream(std::make_unique<z_stream_s>()), windowBits(bits)
{
}

Inflater::~Inflater()
{
    if (ready)
        inflateEnd(stream.get());
}

Status Inflater::inflate(const char* data, qsizetype size, qint64 maxOutput, QByteArray& out, int* zlibCode,
                         qint64 sizeHint)
{
    if (zlibCode)
        *zlibCode = Z_OK;
    if (!data || size <= 4) {
        out.clear();
        return Status::InputTooShort;
    }
    // zlib's avail_in is 32 bits; nothing we inflate comes near that, refuse rather than wrap.
    if (size > qsizetype(std::numeric_limits<uInt>::max())) {
        out.clear();
        return Status::TooLarge;
    }

    z_stream& zs = *stream;
    if (ready) {
        inflateReset(&zs);
    } else {
        zs = z_stream{};
        if (inflateInit2(&zs, windowBits) != Z_OK) {
            out.clear();
            return Status::InitFailed;
        }
        ready = true;
    }
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs.avail_in = uInt(size);

    // QByteArray holds at most INT_MAX bytes in Qt 5.
    const qint64 cap = std::min<qint64>(maxOutput, std::numeric_limits<int>::max() - 64);
    constexpr qint64 kChunk = 32768;
    qint64 produced = 0;
    // Guess from the input size so the common case needs no regrowth; the cap still rules.
    // Deflate never compresses better than about 1032:1, so a larger hint is a lie.
    const qint64 plausible = qint64(size) * 1032;
    const qint64 guess = (sizeHint > 0 && sizeHint <= plausible) ? sizeHint + 1 : qint64(size) * 4;
    // A buffer reused from the previous call keeps its allocation (resize(0) would free it).
    qint64 capacity = std::min<qint64>(cap + 1, std::max<qint64>({kChunk, guess, qint64(out.capacity())}));
    out.resize(int(capacity));

    Status status = Status::Ok;
    for (;;) {
        if (produced == capacity) {
            if (capacity > cap) {  // one byte past the cap was produced
                status = Status::TooLarge;
                break;
            }
            capacity = std::min<qint64>(cap + 1, capacity * 2);
            out.resize(int(capacity));
        }
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        const qint64 room = capacity - produced;
        zs.avail_out = uInt(room);
        const int rc = ::inflate(&zs, Z_NO_FLUSH);
        produced += room - zs.avail_out;
        if (zlibCode)
            *zlibCode = rc;
        if (produced > cap) {
            status = Status::TooLarge;
            break;
        }
        if (rc == Z_STREAM_END)
            break;
        if (rc == Z_OK)
            continue;
        if (rc == Z_BUF_ERROR && zs.avail_out == 0)
            continue;  // only out of room; grow and go on
        status = rc == Z_BUF_ERROR ? Status::Truncated : Status::DataError;
        break;
    }
    // The input is the caller's: nothing may point into it once this call is over.
    zs.next_in = nullptr;
    zs.avail_in = 0;
    if (status == Status::Ok)
        out.resize(int(produced));
    else
        out.clear();
    return status;
}

Status inflate(const char* data, qsizetype size, int windowBits, qint64 maxOutput, QByteArray& out,
               int* zlibCode, qint64 sizeHint)
{
    return Inflater(windowBits).inflate(data, size, maxOutput, out, zlibCode, sizeHint);
}

const char* statusText(Status s)
{
    switch (s) {
    case Status::Ok: return "ok";
    case Status::InputTooShort: return "input too short";
    case Status::InitFailed: return "inflate initialisation failed";
    case Status::DataError: return "corrupt compressed data";
    case Status::Truncated: return "compressed data ends early";
    case Status::TooLarge: return "inflated size over limit";
    }
    return "unknown";
}

}  // namespace ZlibInflate

QByteArray gunzipData(const QByteArray& data)
{
    // The gzip trailer's last four bytes hold the inflated size modulo 2^32 (little-endian): a
    // good first guess for a single-member file, nothing more.
    qint64 hint = 0;
    if (data.size() >= 18) {
        const auto* p = reinterpret_cast<const uchar*>(data.constData() + data.size() - 4);
        hint = qint64(p[0]) | (qint64(p[1]) << 8) | (qint64(p[2]) << 16) | (qint64(p[3]) << 24);
    }
    QByteArray out;
    ZlibInflate::inflate(data.constData(), data.size(), ZlibInflate::kGzip, ZlibInflate::kGunzipCap, out,
                         nullptr, hint);
    return out;
}
