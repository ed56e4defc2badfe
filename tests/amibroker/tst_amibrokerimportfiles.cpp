// The import format file and the auto-import script, byte for byte, and where they are looked for.
#include "amibroker/CSVExporter.h"

#include "support/MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Text-mode files end their lines as the platform does.
QByteArray platformLines(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

const QByteArray kDefaultFormat = "$FORMAT Ticker,Date_YMD,Time,Open,High,Low,Close,Volume,OpenInt\n"
                                  "$SEPARATOR ,\n"
                                  "$CONT 1\n"
                                  "$GROUP 255\n"
                                  "$AUTOADD 1\n";

QByteArray expectedScript(const QByteArray& exportPath)
{
    return "// Tickvane Auto-Import Script\n"
           "// This script uses COM to import CSV files automatically\n"
           "\n"
           "exportPath = \"" + exportPath + "\";\n"
           "\n"
           "// Enable COM automation\n"
           "ab = CreateObject(\"Broker.Application\");\n"
           "\n"
           "// Get file system object\n"
           "fso = CreateObject(\"Scripting.FileSystemObject\");\n"
           "folder = fso.GetFolder(exportPath);\n"
           "\n"
           "// Import all CSV files\n"
           "for(file in folder.Files) {\n"
           "    if(Right(file.Name, 4) == \".csv\") {\n"
           "        symbol = Left(file.Name, Len(file.Name) - 4);\n"
           "        _TRACE(\"Auto-importing: \" + symbol);\n"
           "        \n"
           "        // Import using COM\n"
           "        ab.Import(0, file.Path, symbol);\n"
           "    }\n"
           "}\n"
           "\n"
           "// Refresh the interface\n"
           "ab.RefreshAll();\n"
           "_TRACE(\"Auto-import completed\");\n";
}

} // namespace

class TestAmiBrokerImportFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaultCandidates();
    void firstExistingCandidateWins_data();
    void firstExistingCandidateWins();
    void defaultFileCreatedOnceThenFound();
    void unwritableLocationStillReturnsItsPath();
    void scriptIsByteExact();
    void scriptUsesForwardSlashes();

private:
    QTemporaryDir tmp;
};

void TestAmiBrokerImportFiles::initTestCase()
{
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
}

void TestAmiBrokerImportFiles::defaultCandidates()
{
    CSVExporter exporter(nullptr);
    const QStringList candidates = exporter.formatFileCandidates();
    QVERIFY(candidates.size() >= 2);
    QCOMPARE(candidates.at(0), QCoreApplication::applicationDirPath() + QStringLiteral("/dataFormat.dll"));
    QCOMPARE(candidates.at(1), QDir::homePath() + QStringLiteral("/Tickvane/dataFormat.dll"));
#ifdef Q_OS_WIN
    QCOMPARE(candidates.value(2), QStringLiteral("C:/Vanewire/Amibroker/dataFormat.dll"));
#endif
}

void TestAmiBrokerImportFiles::firstExistingCandidateWins_data()
{
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<int>("chosen");
    QTest::newRow("only the third") << QList<int>{2} << 2;
    QTest::newRow("second before third") << QList<int>{1, 2} << 1;
    QTest::newRow("first before all") << QList<int>{0, 1, 2} << 0;
}

void TestAmiBrokerImportFiles::firstExistingCandidateWins()
{
    QFETCH(QList<int>, present);
    QFETCH(int, chosen);
    QTemporaryDir dir;
    const QStringList candidates{dir.filePath(QStringLiteral("app/dataFormat.dll")),
                                 dir.filePath(QStringLiteral("home/Tickvane/dataFormat.dll")),
                                 dir.filePath(QStringLiteral("fixed/dataFormat.dll"))};
    for (int i : present)
        writeBytes(candidates.at(i), "$FORMAT user's own\n");

    MessageCapture log;
    CSVExporter exporter(nullptr);
    exporter.setFormatFileCandidates(candidates);
    QCOMPARE(exporter.ensureFormatFile(), candidates.at(chosen));
    // A user's file is used as it is, and nothing else is created.
    QCOMPARE(readBytes(candidates.at(chosen)), QByteArray("$FORMAT user's own\n"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QFile::exists(candidates.at(i)), present.contains(i));
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] Found dataFormat.dll at: \"%1\"").arg(candidates.at(chosen))));
}

void TestAmiBrokerImportFiles::defaultFileCreatedOnceThenFound()
{
    QTemporaryDir dir;
    const QStringList candidates{dir.filePath(QStringLiteral("dataFormat.dll")),
                                 dir.filePath(QStringLiteral("home/Tickvane/dataFormat.dll"))};
    MessageCapture log;
    CSVExporter exporter(nullptr);
    exporter.setFormatFileCandidates(candidates);

    QCOMPARE(exporter.ensureFormatFile(), candidates.at(0));
    QCOMPARE(readBytes(candidates.at(0)), platformLines(kDefaultFormat));
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] Created default dataFormat.dll at:")));
    // Only the first location is ever created; the others are only looked at.
    QVERIFY(!QDir(dir.filePath(QStringLiteral("home"))).exists());

    log.clear();
    QCOMPARE(exporter.ensureFormatFile(), candidates.at(0));
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] Found dataFormat.dll at:")));
}

void TestAmiBrokerImportFiles::unwritableLocationStillReturnsItsPath()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing-folder/dataFormat.dll"));
    MessageCapture log;
    CSVExporter exporter(nullptr);
    exporter.setFormatFileCandidates({path});
    QCOMPARE(exporter.ensureFormatFile(), path);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(log.count(QStringLiteral("[CSVExporter] Failed to create default dataFormat.dll at:"), QtWarningMsg), 1);
}

void TestAmiBrokerImportFiles::scriptIsByteExact()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("export"));
    MessageCapture log;
    CSVExporter exporter(nullptr);
    exporter.setExportDir(folder);
    const QString script = folder + QStringLiteral("/auto_import.afl");

    exporter.setAutoImportEnabled(false);
    QVERIFY(!QFile::exists(script)); // switching off writes nothing
    exporter.setAutoImportEnabled(true);
    const QByteArray expected = platformLines(expectedScript(QFile::encodeName(folder)));
    QCOMPARE(readBytes(script), expected);
    QVERIFY(log.contains(QStringLiteral("Created AmiBroker auto-import script:")));

    // Switched on again: the script is rewritten whole, not appended to.
    writeBytes(script, "stale contents that are longer than nothing at all");
    exporter.setAutoImportEnabled(true);
    QCOMPARE(readBytes(script), expected);
    // Switching off deletes nothing.
    exporter.setAutoImportEnabled(false);
    QVERIFY(QFile::exists(script));
}

void TestAmiBrokerImportFiles::scriptUsesForwardSlashes()
{
    QTemporaryDir dir;
    // A folder name with backslashes in it (as on Windows) is written with forward slashes.
    const QString folder = dir.filePath(QStringLiteral("a\\b\\c"));
    CSVExporter exporter(nullptr);
    exporter.setExportDir(folder);
    exporter.setAutoImportEnabled(true);
    const QByteArray script = readBytes(folder + QStringLiteral("/auto_import.afl"));
    const QByteArray forward = QFile::encodeName(dir.path()) + "/a/b/c";
    QVERIFY2(script.contains("exportPath = \"" + forward + "\";\n"), script.constData());
}

QTEST_GUILESS_MAIN(TestAmiBrokerImportFiles)
#include "tst_amibrokerimportfiles.moc"
