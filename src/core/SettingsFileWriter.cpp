// The settings writer thread: syncs the shared settings values to disk and keeps the file
// owner-only.
#include "core/SettingsFileWriter.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

// The file holds broker credentials in clear (its format is kept for stored files), so it must not
// be readable by other local users.
void restrictToOwner(const QString& path)
{
    if (!QFileInfo::exists(path))
        return;
    if (!QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        qWarning() << "[SettingsManager] Could not make the settings file owner-only:" << path;
}

} // namespace

SettingsFileWriter::SettingsFileWriter(const QString& fileName, int format)
    : fileName(fileName), format(format), thread([this] { run(); })
{
}

SettingsFileWriter::~SettingsFileWriter()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

void SettingsFileWriter::requestWrite()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++requested;
    }
    wake.notify_all();
}

void SettingsFileWriter::waitForWrites()
{
    std::unique_lock<std::mutex> lock(mutex);
    const quint64 target = requested;
    done.wait(lock, [&] { return written >= target; });
}

void SettingsFileWriter::run()
{
    // Made on this thread and used only here; it shares the values the GUI thread's object set.
    QSettings settings(fileName, QSettings::Format(format));
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return requested > written || stopping; });
        if (requested == written)
            return;  // stopping, with nothing left to write
        const quint64 target = requested;
        lock.unlock();
        settings.sync();
        if (settings.status() == QSettings::AccessError)
            qWarning() << "[SettingsManager] Could not write the settings file:" << fileName;
        restrictToOwner(fileName);
        lock.lock();
        written = target;
        done.notify_all();
    }
}
