// Reading a string value from the machine-wide Windows registry; empty elsewhere.
#pragma once

#include <QString>

// key is the full key path, e.g. "HKEY_LOCAL_MACHINE\\SOFTWARE\\AmiBroker". Returns an empty
// string when the key or the value is missing, and always on platforms without a registry.
QString readMachineRegistryString(const QString& key, const QString& valueName);
