// Machine-wide registry lookup; answers empty where there is no registry.
#include "platform/RegistryLookup.h"

#ifdef Q_OS_WIN
#include <QSettings>
#endif

QString readMachineRegistryString(const QString& key, const QString& valueName)
{
#ifdef Q_OS_WIN
    QSettings registry(key, QSettings::NativeFormat);
    return registry.value(valueName, QString()).toString();
#else
    // QSettings' native format is an INI file on this platform; reading it would invent
    // answers from a file no installer writes.
    Q_UNUSED(key)
    Q_UNUSED(valueName)
    return QString();
#endif
}
