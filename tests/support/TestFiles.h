// Whole-file reads and writes for tests that check what the program left on disk.
#pragma once

#include <QByteArray>
#include <QString>

namespace TestFiles {

// The file's bytes, or "<missing>" when it cannot be opened, so that a failed comparison tells a
// missing file from an empty one.
QByteArray readAll(const QString& path);
// True when every byte was written.
bool writeFile(const QString& path, const QByteArray& data);

}  // namespace TestFiles
