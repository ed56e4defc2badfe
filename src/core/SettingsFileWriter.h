// Writes the settings file out on a thread of its own.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include <QString>
#include <QtGlobal>

// Every QSettings object of one file in this process shares its values in memory, so the GUI
// thread sets them at once and they are visible to every reader at once. Writing them out waits
// for the disk (the file is replaced and synced to disk), tens of milliseconds and over a
// hundred on a busy disk: that wait happens here, not on the window's thread. Requests made
// while a write runs are joined into one more write.
class SettingsFileWriter
{
public:
    // The file and format of the QSettings whose values are written out.
    SettingsFileWriter(const QString& fileName, int format);
    // Finishes every requested write, then ends the thread: nothing saved before is lost on quit.
    ~SettingsFileWriter();

    SettingsFileWriter(const SettingsFileWriter&) = delete;
    SettingsFileWriter& operator=(const SettingsFileWriter&) = delete;

    // Returns at once; everything set so far reaches the disk soon after.
    void requestWrite();
    // Blocks until every write requested so far is on disk and the file is owner-only.
    void waitForWrites();

private:
    void run();

    const QString fileName;
    const int format;

    std::mutex mutex;
    std::condition_variable wake;  // a request, or the end
    std::condition_variable done;  // a write finished
    quint64 requested = 0;         // guarded by mutex, as are the two below
    quint64 written = 0;
    bool stopping = false;
    std::thread thread;  // last: starts once the members above exist
};
