// Isolated settings, application-data, cache and temporary folders for one test: everything the
// program would write under the user's home goes into a fresh temporary folder instead.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

class TestEnvironment
{
public:
    // Points XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and TMPDIR at subfolders of a new
    // temporary folder and redirects QSettings' user scope there. The previous values come back on
    // destruction. Not for use from several threads at once.
    TestEnvironment();
    ~TestEnvironment();

    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

    bool isValid() const { return dir.isValid(); }
    QString rootPath() const { return dir.path(); }
    QString configHome() const;
    QString dataHome() const;
    QString tempPath() const;

    // The application-data folder for the current organization and application names.
    static QString appDataPath();
    // The program's own application-data folder under dataHome(): where a child process started
    // with processEnvironment() writes its logs and crash reports.
    QString programDataPath() const;

    // The variables above, on top of the current environment, for a child process.
    QProcessEnvironment processEnvironment() const;

private:
    QTemporaryDir dir;
    QMap<QByteArray, QByteArray> saved;  // previous values; null when unset
};
