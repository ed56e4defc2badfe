// Owner-only folder creation and the ownership check (POSIX); plain creation elsewhere.
#include "platform/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

void setReason(QString* reason, const char* text)
{
    if (reason)
        *reason = QString::fromLatin1(text);
}

#ifdef Q_OS_UNIX
// Checks an existing entry without following a symbolic link.
PrivateDirectoryState checkExisting(const QByteArray& native, const struct stat& st, QString* reason)
{
    if (S_ISLNK(st.st_mode)) {
        setReason(reason, "it is a symbolic link");
        return PrivateDirectoryState::Refused;
    }
    if (!S_ISDIR(st.st_mode)) {
        setReason(reason, "it is not a folder");
        return PrivateDirectoryState::Refused;
    }
    if (st.st_uid != geteuid()) {
        setReason(reason, "it belongs to another user");
        return PrivateDirectoryState::Refused;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        setReason(reason, "its permissions cannot be restricted to the owner");
        return PrivateDirectoryState::Refused;
    }
    return PrivateDirectoryState::Ready;
}
#endif

} // namespace

PrivateDirectoryState ensurePrivateDirectory(const QString& path, QString* reason)
{
    if (path.isEmpty())
        return PrivateDirectoryState::CreateFailed;
#ifdef Q_OS_UNIX
    const QString clean = QDir::cleanPath(path);
    const QByteArray native = QFile::encodeName(clean);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0)
        return checkExisting(native, st, reason);
    if (errno != ENOENT)
        return PrivateDirectoryState::CreateFailed;

    // Parents are ordinary folders; only the last one is ours alone.
    const QString parent = QFileInfo(clean).absolutePath();
    if (!QDir().mkpath(parent))
        return PrivateDirectoryState::CreateFailed;
    if (::mkdir(native.constData(), 0700) == 0) {
        // mkdir honours the umask, which can only remove bits; check what we really got.
        if (::lstat(native.constData(), &st) != 0)
            return PrivateDirectoryState::CreateFailed;
        const PrivateDirectoryState state = checkExisting(native, st, reason);
        return state == PrivateDirectoryState::Ready ? PrivateDirectoryState::Created : state;
    }
    if (errno == EEXIST && ::lstat(native.constData(), &st) == 0) {
        // Someone created it between our look and our mkdir: judge what is there now.
        return checkExisting(native, st, reason);
    }
    return PrivateDirectoryState::CreateFailed;
#else
    Q_UNUSED(reason)
    // The temporary folder is per user on this platform.
    if (QFileInfo(path).isDir())
        return PrivateDirectoryState::Ready;
    return QDir().mkpath(path) ? PrivateDirectoryState::Created : PrivateDirectoryState::CreateFailed;
#endif
}
