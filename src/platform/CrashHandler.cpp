// Crash handler for POSIX systems. Everything the handler needs (folders, log path, version, the
// local-time offset) is prepared in advance as plain bytes, because inside a signal handler only
// async-signal-safe calls (open, write, close, mkdir, stat, time, sigaction, abort) may be made:
// no Qt, no allocation, no stdio, no localtime.
#include "platform/CrashHandler.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMutex>
#include <QStandardPaths>

// AddressSanitizer puts a call to __asan_handle_no_return before every call that does not return
// (abort, _exit, dieBy, the handler itself), and that call may allocate while it
// looks up the thread's stack. A signal that lands while the interrupted thread holds the
// sanitizer's allocator lock then waits on that lock for ever, and the process never ends. So the
// whole path the handler runs is built without address instrumentation. GCC does not inline a
// function into one with other sanitizer settings, so every function on the path carries it.
#if defined(__SANITIZE_ADDRESS__)
#define TV_NO_ASAN __attribute__((no_sanitize_address))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TV_NO_ASAN __attribute__((no_sanitize_address))
#endif
#endif
#ifndef TV_NO_ASAN
#define TV_NO_ASAN
#endif

namespace {

const int kHandledSignals[] = {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGTERM};

const char kBoxTitle[] = "Tickvane - Fatal Error";
const char kBoxText[] = "Tickvane has encountered a fatal error and needs to close.\n\nError Type: ";
const char kBoxTail[] = "\n\nA crash report has been saved.";

// One consistent set of what the handler needs. Two slots: an update fills the idle slot and then
// publishes it, so a handler running meanwhile never reads a half-written path.
struct Prepared {
    char logPath[PATH_MAX];
    char crashDir[PATH_MAX];     // application-data folder + "/crashes/"
    char fallbackDir[PATH_MAX];  // executable's folder + "/crashes/"
    char version[64];
    long utcOffsetSeconds;  // local time minus UTC, taken when prepared
};

Prepared g_slots[2];
std::atomic<int> g_active{0};
QMutex g_updateMutex;  // serialises updates (never taken by the handler)

std::atomic<int> g_crashing{0};
std::atomic<long> g_writerThread{0};

// Scratch space for the handler; only the one thread that won g_crashing uses it.
char g_chosenDir[PATH_MAX];
char g_pathBuffer[PATH_MAX + 64];
char g_block[3 * 1024];

// ---- helpers usable inside the handler ---------------------------------------------------------

// Appends to a fixed buffer, silently cutting what does not fit; always NUL-terminated.
struct Text {
    char* buf;
    size_t cap;
    size_t len = 0;

    TV_NO_ASAN Text(char* b, size_t c) : buf(b), cap(c) { buf[0] = '\0'; }

    TV_NO_ASAN Text& add(const char* s)
    {
        while (*s && len + 1 < cap)
            buf[len++] = *s++;
        buf[len] = '\0';
        return *this;
    }
    TV_NO_ASAN Text& addNumber(long long value, int minDigits = 1)
    {
        char digits[24];
        int n = 0;
        unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                         : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 && n < 23);
        while (n < minDigits && n < 23)
            digits[n++] = '0';
        if (value < 0)
            add("-");
        char out[25];
        int k = 0;
        while (n > 0)
            out[k++] = digits[--n];
        out[k] = '\0';
        return add(out);
    }
};

struct CivilTime {
    long long year;
    int month, day, hour, minute, second;
};

// Calendar date from seconds since the epoch already shifted to local time (proleptic Gregorian;
// days-to-civil conversion after H. Hinnant's public-domain algorithm).
TV_NO_ASAN CivilTime civilFromLocalSeconds(long long t)
{
    long long days = t / 86400;
    long long rest = t % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60),
            static_cast<int>(rest % 60)};
}

TV_NO_ASAN void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

TV_NO_ASAN void closeFd(int fd)
{
    while (::close(fd) < 0 && errno == EINTR) {
    }
}

TV_NO_ASAN bool isDirectory(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p on a copy of path; true when the folder exists afterwards.
TV_NO_ASAN bool makePath(const char* path)
{
    if (path[0] == '\0')
        return false;
    char work[PATH_MAX];
    Text(work, sizeof work).add(path);
    for (size_t i = 1; work[i] != '\0'; ++i) {
        if (work[i] == '/') {
            work[i] = '\0';
            ::mkdir(work, 0777);
            work[i] = '/';
        }
    }
    ::mkdir(work, 0777);
    return isDirectory(work);
}

TV_NO_ASAN void formatSignalType(int signal, Text& out)
{
    switch (signal) {
    case SIGILL: out.add("Illegal Instruction (SIGILL)"); return;
    case SIGFPE: out.add("Floating Point Exception (SIGFPE)"); return;
    case SIGSEGV: out.add("Segmentation Fault (SIGSEGV)"); return;
    case SIGTERM: out.add("Termination Request (SIGTERM)"); return;
    case SIGABRT: out.add("Abort Signal (SIGABRT)"); return;
    default: out.add("Unknown Signal (").addNumber(signal).add(")"); return;
    }
}

// Writes the crash block to the log file (if any) and to a new crash file; puts the folder chosen
// for the crash file into g_chosenDir. Async-signal-safe; uses the global scratch buffers, so the
// caller must be the only writer (the handler's re-entry guard, or the update mutex).
TV_NO_ASAN void writeRecord(const Prepared& p, const char* logPath, const char* type, const char* details)
{
    // clock_gettime is async-signal-safe and, unlike time(), not read from the coarse clock that
    // can lag the wall clock into the previous second.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime t = civilFromLocalSeconds(static_cast<long long>(now.tv_sec) + p.utcOffsetSeconds);

    Text block(g_block, sizeof g_block);
    block.add("\n\n========== APPLICATION CRASH ==========\nTimestamp: ")
        .addNumber(t.year, 4).add("-").addNumber(t.month, 2).add("-").addNumber(t.day, 2).add(" ")
        .addNumber(t.hour, 2).add(":").addNumber(t.minute, 2).add(":").addNumber(t.second, 2)
        .add("\nType: ").add(type)
        .add("\nDetails: ").add(details)
        .add("\nVersion: ").add(p.version)
        .add("\n=======================================\n\n");

    if (logPath[0] != '\0') {
        const int fd = ::open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) {
            writeAll(fd, block.buf, block.len);
            closeFd(fd);
        }
    }

    Text chosen(g_chosenDir, sizeof g_chosenDir);
    if (makePath(p.crashDir)) {
        chosen.add(p.crashDir);
    } else {
        chosen.add(p.fallbackDir);
        makePath(p.fallbackDir);
    }

    Text file(g_pathBuffer, sizeof g_pathBuffer);
    file.add(g_chosenDir).add("crash_")
        .addNumber(t.year, 4).addNumber(t.month, 2).addNumber(t.day, 2).add("_")
        .addNumber(t.hour, 2).addNumber(t.minute, 2).addNumber(t.second, 2).add(".txt");
    if (g_chosenDir[0] != '\0') {
        const int fd = ::open(g_pathBuffer, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) {
            writeAll(fd, block.buf, block.len);
            closeFd(fd);
        }
    }
}

TV_NO_ASAN long currentThreadId()
{
    return static_cast<long>(::syscall(SYS_gettid));
}

TV_NO_ASAN void restoreDefault(int signal)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signal, &dfl, nullptr);
}

// Ends the process with the default action of the signal, which for our five signals terminates.
[[noreturn]] TV_NO_ASAN void dieBy(int signal)
{
    restoreDefault(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

extern "C" TV_NO_ASAN void tickvaneCrashSignal(int signal)
{
    CrashHandler::signalHandler(signal);
}

// ---- preparation (normal context) ---------------------------------------------------------------

void copyPath(char* dst, size_t cap, const QString& value)
{
    const QByteArray bytes = value.toUtf8();
    // A path that does not fit is left out rather than cut short into some other path.
    if (static_cast<size_t>(bytes.size()) + 1 > cap) {
        dst[0] = '\0';
        return;
    }
    std::memcpy(dst, bytes.constData(), static_cast<size_t>(bytes.size()) + 1);
}

long localUtcOffset()
{
    const time_t now = ::time(nullptr);
    struct tm local;
    if (!::localtime_r(&now, &local))
        return 0;
    return local.tm_gmtoff;
}

// Rebuilds the prepared state; `logPath` null keeps the current one. Caller holds g_updateMutex.
void prepare(const QString* logPath)
{
    const Prepared& current = g_slots[g_active.load()];
    const int idle = 1 - g_active.load();
    Prepared& next = g_slots[idle];

    if (logPath)
        copyPath(next.logPath, sizeof next.logPath, *logPath);
    else
        std::memcpy(next.logPath, current.logPath, sizeof next.logPath);

    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (appData.isEmpty())
        next.crashDir[0] = '\0';
    else
        copyPath(next.crashDir, sizeof next.crashDir, appData + QStringLiteral("/crashes/"));
    const QString appDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    copyPath(next.fallbackDir, sizeof next.fallbackDir, appDir + QStringLiteral("/crashes/"));
    copyPath(next.version, sizeof next.version, QCoreApplication::applicationVersion());
    next.utcOffsetSeconds = localUtcOffset();

    g_active.store(idle);
}

// The handler may run on a stack that has overflowed; give the installing thread a spare one.
void installAlternateStack()
{
    static char* stack = nullptr;
    if (stack)
        return;
    const size_t size = 64 * 1024;
    stack = static_cast<char*>(std::malloc(size));
    if (!stack)
        return;
    stack_t ss = {};
    ss.ss_sp = stack;
    ss.ss_size = size;
    ::sigaltstack(&ss, nullptr);
}

} // namespace

namespace CrashHandler {

void install()
{
    {
        QMutexLocker lock(&g_updateMutex);
        prepare(nullptr);
    }
    installAlternateStack();

    struct sigaction action = {};
    action.sa_handler = tickvaneCrashSignal;
    // The writing thread blocks all five while it writes: a fault of its own inside the handler then
    // ends the process at once (the kernel does not queue a blocked synchronous fault). The handler
    // stays installed (no SA_RESETHAND), because a reset disposition would let a second SIGTERM to
    // another thread kill the process half-way through the record; the re-entry guard parks such a
    // thread instead.
    sigemptyset(&action.sa_mask);
    for (int s : kHandledSignals)
        sigaddset(&action.sa_mask, s);
    action.sa_flags = SA_ONSTACK;
    for (int s : kHandledSignals)
        ::sigaction(s, &action, nullptr);
}

void refreshLocations()
{
    QMutexLocker lock(&g_updateMutex);
    prepare(nullptr);
}

void setLogFilePath(const QString& path)
{
    QMutexLocker lock(&g_updateMutex);
    prepare(&path);
}

QString writeCrashLog(const QString& logPath, const QString& type, const QString& details)
{
    QMutexLocker lock(&g_updateMutex);
    prepare(nullptr);  // the time offset and folders as of now
    char log[PATH_MAX];
    copyPath(log, sizeof log, logPath);
    const QByteArray typeBytes = type.toUtf8();
    const QByteArray detailBytes = details.toUtf8();
    writeRecord(g_slots[g_active.load()], log, typeBytes.constData(), detailBytes.constData());
    return QString::fromUtf8(g_chosenDir);
}

QString signalTypeText(int signal)
{
    char buf[64];
    Text text(buf, sizeof buf);
    formatSignalType(signal, text);
    return QString::fromLatin1(buf);
}

TV_NO_ASAN void signalHandler(int signal)
{
    if (g_crashing.exchange(1) != 0) {
        // A second signal while the record is being written. On the writing thread itself there is
        // nothing sane left to do; on another thread, wait for the writer, which ends the process.
        if (g_writerThread.load() != currentThreadId()) {
            for (int i = 0; i < 30; ++i)
                ::sleep(1);
        }
        dieBy(signal);
    }
    g_writerThread.store(currentThreadId());

    const Prepared& p = g_slots[g_active.load()];
    char type[64];
    Text typeText(type, sizeof type);
    formatSignalType(signal, typeText);
    char details[48];
    Text(details, sizeof details).add("Signal Number: ").addNumber(signal);

    writeRecord(p, p.logPath, type, details);

    char box[512];
    Text message(box, sizeof box);
    message.add(kBoxTitle).add("\n").add(kBoxText).add(type).add(kBoxTail).add("\n");
    writeAll(STDERR_FILENO, message.buf, message.len);

    // abort() raises SIGABRT, which must now take its default action rather than come back here.
    restoreDefault(SIGABRT);
    std::abort();
}

} // namespace CrashHandler
