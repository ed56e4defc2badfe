// gzip and zlib compression for building test payloads with the real library.
#pragma once

#include <QByteArray>

namespace ZlibTestUtil {
QByteArray gzip(const QByteArray& data);
// A zlib stream (as zlib's compress() writes it).
QByteArray zlibCompress(const QByteArray& data);
}  // namespace ZlibTestUtil
