// Temporary XDG folders and a redirected QSettings store for tests.
#include "support/TestEnvironment.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char* const kVariables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TMPDIR"};

QString subfolder(const QTemporaryDir& dir, const char* variable)
{
    const QString name = QString::fromLatin1(variable).toLower();
    return dir.path() + QLatin1Char('/') + name;
}

} // namespace

TestEnvironment::TestEnvironment()
{
    if (!dir.isValid())
        return;
    for (const char* variable : kVariables) {
        const QString path = subfolder(dir, variable);
        QDir().mkpath(path);
        saved.insert(variable, qEnvironmentVariableIsSet(variable) ? qgetenv(variable) : QByteArray());
        qputenv(variable, QFile::encodeName(path));
    }
    // QSettings reads XDG_CONFIG_HOME once per process; set its folder explicitly as well.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configHome());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configHome());
}

TestEnvironment::~TestEnvironment()
{
    for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
        if (it.value().isNull())
            qunsetenv(it.key().constData());
        else
            qputenv(it.key().constData(), it.value());
    }
    if (!saved.isEmpty()) {
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);
    }
}

QString TestEnvironment::configHome() const
{
    return subfolder(dir, "XDG_CONFIG_HOME");
}

QString TestEnvironment::dataHome() const
{
    return subfolder(dir, "XDG_DATA_HOME");
}

QString TestEnvironment::tempPath() const
{
    return subfolder(dir, "TMPDIR");
}

QString TestEnvironment::appDataPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString TestEnvironment::programDataPath() const
{
    return dataHome() + QStringLiteral("/Tickvane/Tickvane");
}

QProcessEnvironment TestEnvironment::processEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* variable : kVariables)
        env.insert(QString::fromLatin1(variable), subfolder(dir, variable));
    return env;
}
