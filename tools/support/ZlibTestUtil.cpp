// gzip and zlib compression for building test payloads.
#include "support/ZlibTestUtil.h"

#include <zlib.h>

namespace ZlibTestUtil {

QByteArray gzip(const QByteArray& data)
{
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(int(deflateBound(&zs, uLong(data.size()))) + 32, Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QByteArray zlibCompress(const QByteArray& data)
{
    uLongf len = compressBound(uLong(data.size()));
    QByteArray out(int(len), Qt::Uninitialized);
    if (compress(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(data.constData()),
                 uLong(data.size())) != Z_OK)
        return {};
    out.resize(int(len));
    return out;
}

}  // namespace ZlibTestUtil
