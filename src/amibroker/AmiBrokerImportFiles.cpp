// Texts of AmiBroker's import format file and auto-import script.
#include "amibroker/AmiBrokerImportFiles.h"

namespace AmiBrokerImportFiles {

QStringList formatFileLines()
{
    return {
        QStringLiteral("$FORMAT Ticker,Date_YMD,Time,Open,High,Low,Close,Volume,OpenInt"),
        QStringLiteral("$SEPARATOR ,"),
        QStringLiteral("$CONT 1"),
        QStringLiteral("$GROUP 255"),
        QStringLiteral("$AUTOADD 1"),
    };
}

QStringList autoImportScriptLines(const QString& exportDir)
{
    QString folder = exportDir;
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return {
        QStringLiteral("// Tickvane Auto-Import Script"),
        QStringLiteral("// This script uses COM to import CSV files automatically"),
        QString(),
        QStringLiteral("exportPath = \"") + folder + QStringLiteral("\";"),
        QString(),
        QStringLiteral("// Enable COM automation"),
        QStringLiteral("ab = CreateObject(\"Broker.Application\");"),
        QString(),
        QStringLiteral("// Get file system object"),
        QStringLiteral("fso = CreateObject(\"Scripting.FileSystemObject\");"),
        QStringLiteral("folder = fso.GetFolder(exportPath);"),
        QString(),
        QStringLiteral("// Import all CSV files"),
        QStringLiteral("for(file in folder.Files) {"),
        QStringLiteral("    if(Right(file.Name, 4) == \".csv\") {"),
        QStringLiteral("        symbol = Left(file.Name, Len(file.Name) - 4);"),
        QStringLiteral("        _TRACE(\"Auto-importing: \" + symbol);"),
        QStringLiteral("        "),
        QStringLiteral("        // Import using COM"),
        QStringLiteral("        ab.Import(0, file.Path, symbol);"),
        QStringLiteral("    }"),
        QStringLiteral("}"),
        QString(),
        QStringLiteral("// Refresh the interface"),
        QStringLiteral("ab.RefreshAll();"),
        QStringLiteral("_TRACE(\"Auto-import completed\");"),
    };
}

} // namespace AmiBrokerImportFiles
