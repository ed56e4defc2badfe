// Bounded zlib/gzip inflation into a growing buffer, shared by the master download and the stream decoders.
#pragma once

#include <QByteArray>

#include <memory>

struct z_stream_s;

namespace ZlibInflate {

enum class Status {
    Ok,
    InputTooShort,  // nothing that could be a stream
    InitFailed,
    DataError,      // corrupt stream, wrong wrapper, dictionary needed, out of memory
    Truncated,      // the input ended before the end of the stream
    TooLarge        // the output would pass the caller's cap
};

// Window bits as zlib takes them: 15 for a zlib stream, 31 for gzip only, 47 for either.
constexpr int kZlib = 15;
constexpr int kGzip = 31;

constexpr qint64 kGunzipCap = qint64(1) << 30;  // 1 GiB: no real master comes near it

// Inflates the first stream of the input into out (replacing its content and reusing its
// capacity). On any status other than Ok, out is left empty. Bytes after the end of the
// first stream are ignored. zlibCode, when given, receives zlib's last return code. sizeHint
// only sizes the first allocation (it is clamped to what the input can possibly inflate to and
// to the cap); the output still grows and the cap still rules.
Status inflate(const char* data, qsizetype size, int windowBits, qint64 maxOutput, QByteArray& out,
               int* zlibCode = nullptr, qint64 sizeHint = 0);

const char* statusText(Status s);

// The same inflation for one stream after another through one zlib state, reset between streams
// rather than set up and torn down (with its 32 KB window) for each: for a feed that inflates
// every small frame on its own.
class Inflater {
public:
    explicit Inflater(int windowBits);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    Status inflate(const char* data, qsizetype size, qint64 maxOutput, QByteArray& out, int* zlibCode = nullptr,
                   qint64 sizeHint = 0);

private:
    std::unique_ptr<z_stream_s> stream;
    const int windowBits;
    bool ready = false;  // the state is set up and can be reset
};

}  // namespace ZlibInflate

// Inflates one gzip member; empty bytes on any failure, including output beyond 1 GiB.
QByteArray gunzipData(const QByteArray& data);
