// The texts of the two files that tell AmiBroker how to read our CSV files: the import format
// file "dataFormat.dll" and the auto-import script "auto_import.afl". Pure text, no I/O.
#pragma once

#include <QString>
#include <QStringList>

namespace AmiBrokerImportFiles {

inline constexpr const char* kFormatFileName = "dataFormat.dll";
inline constexpr const char* kScriptFileName = "auto_import.afl";

// The default import format file, one entry per line (no line ends). The "$FORMAT" columns are
// those of the live CSV line.
QStringList formatFileLines();

// The auto-import script for exportDir, one entry per line (no line ends). Backslashes in the
// folder become forward slashes, as AmiBroker's script strings need.
QStringList autoImportScriptLines(const QString& exportDir);

} // namespace AmiBrokerImportFiles
