// The exporter's files: live data file and its flushes, history files, export folder, format file
// and auto-import script.
#include "amibroker/CSVExporter.h"

#include "amibroker/CSVLineFormatter.h"
#include "support/FakeAutomation.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using TestFiles::readAll;

namespace {

TickData tick(double ltp)
{
    TickData t;
    t.symbol = QStringLiteral("own");
    t.ltp = ltp;
    t.open = ltp + 0.25;
    t.high = ltp + 1;
    t.low = ltp - 0.5;
    t.volume = 100;
    t.timestamp = QDateTime(QDate(2024, 3, 15), QTime(9, 15, 3));
    return t;
}

// The live line of tick(ltp) for a symbol.
QByteArray liveLine(const char* symbol, double ltp)
{
    return CSVLineFormatter::amiBrokerLine(QString::fromLatin1(symbol), tick(ltp)).toUtf8();
}

void flushNow(CSVExporter& exporter)
{
    QVERIFY(QMetaObject::invokeMethod(&exporter, "flushPendingLines", Qt::DirectConnection));
}

QRegularExpression logLine(const QString& start)
{
    return QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(start));
}

} // namespace

class TestCSVExporter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The default export folder lies under the temporary folder: keep it out of the real one.
        qputenv("TMPDIR", QFile::encodeName(home.path()));
    }
    void init()
    {
        work = new QTemporaryDir;
        backend = std::make_shared<FakeAutomationBackend>();
        backend->availability = {false};
        exporter = std::make_unique<CSVExporter>(nullptr);
        exporter->setAutomationBackend(backend);
        exporter->setExportDir(work->filePath(QStringLiteral("export")));
        exporter->setFormatFileCandidates({work->filePath(QStringLiteral("dataFormat.dll"))});
        exporter->setAutoImportEnabled(false);
        live = exporter->liveDataFilePath();
    }
    void cleanup()
    {
        exporter.reset();
        delete work;
    }

    void liveLinesReachTheFileOnFlush()
    {
        QCOMPARE(live, work->filePath(QStringLiteral("export/tickvane_live_data.csv")));
        TickData undated = tick(3000);
        undated.timestamp = QDateTime();
        QTest::ignoreMessage(QtWarningMsg, logLine(QStringLiteral("[CSVExporter] Invalid timestamp for symbol: \"NSE:TCS\"")));
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(761.45));
        exporter->onTickReceived(QStringLiteral("NSE:INFY"), tick(1500));
        exporter->onTickReceived(QStringLiteral("NSE:TCS"), undated);
        QVERIFY(!QFile::exists(live)); // collected in memory until the flush timer fires

        // The export timer later writes the latest ticks again; the first flush holds each line once.
        const QString expected = QStringLiteral("NSE:SBIN,2024-03-15,09:15:03,761.70,762.45,760.95,761.45,100,0\n") + QStringLiteral("NSE:INFY,2024-03-15,09:15:03,1500.25,1501.00,1499.50,1500.00,100,0\n")
            + QStringLiteral("NSE:TCS,,,3000.25,3001.00,2999.50,3000.00,100,0\n");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(live).startsWith(expected.toUtf8()), 3000);
    }
    void flushReportedAtInfoLevel()
    {
        // A support log kept at info level still shows that ticks reach AmiBroker's file.
        LogCapture log(false);
        exporter->onTickReceived(QStringLiteral("A"), tick(1));
        exporter->onTickReceived(QStringLiteral("B"), tick(2));
        flushNow(*exporter);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[CSVExporter] Flushed 2 lines to")), 1);
    }
    void tornLastLineCutBeforeFirstAppend_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("kept");
        const QByteArray whole = liveLine("Z", 9);
        QTest::newRow("whole lines") << whole << whole;
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("torn last line") << whole + "Y,2024-03-15,09:1" << whole;
        QTest::newRow("no whole line") << QByteArray("Y,2024") << QByteArray();
        QTest::newRow("zeros after a power cut") << whole + QByteArray(3, '\0') << whole;
        QTest::newRow("torn line longer than a block") << whole + QByteArray(5000, 'y') << whole;
    }
    void tornLastLineCutBeforeFirstAppend()
    {
        // A crash or power cut during the last run left the file as `before`.
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, kept);
        QFile file(live);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
        file.close();
        exporter->onTickReceived(QStringLiteral("A"), tick(1));
        flushNow(*exporter);
        QCOMPARE(readAll(live), kept + liveLine("A", 1));
    }
    void liveFileTakesNoLines_data()
    {
        QTest::addColumn<bool>("fullDisk"); // else a folder in the file's place makes every open fail
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("room");  // bytes of C that still fit behind B
        QTest::newRow("open fails") << false << "[CSVExporter] Failed to open shared CSV file for appending:"
                                    << "Is a directory" << 0;
        QTest::newRow("disk full") << true << "[CSVExporter] Failed to write shared CSV file:" << "File too large"
                                   << 10;
        // The write stops exactly behind B: B counts as written and is not written again.
        QTest::newRow("disk full at a line end") << true << "[CSVExporter] Failed to write shared CSV file:"
                                                 << "File too large" << 0;
    }
    void liveFileTakesNoLines()
    {
        QFETCH(bool, fullDisk);
        QFETCH(QString, warning);
        QFETCH(QString, reason);
        QFETCH(int, room);
        exporter->onTickReceived(QStringLiteral("A"), tick(1));
        flushNow(*exporter);
        const QByteArray a = liveLine("A", 1), b = liveLine("B", 2), c = liveLine("C", 3), d = liveLine("D", 4);
        QCOMPARE(readAll(live), a);
        QSignalSpy status(exporter.get(), &CSVExporter::liveFileStatus);
        LogCapture log(false);

        // A file size limit stops a write part-way as a full disk does: here room for B and `room` bytes of C.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (fullDisk) {
            rlimit tight = old;
            tight.rlim_cur = rlim_t(a.size() + b.size() + room);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        } else {
            QVERIFY(QFile::remove(live) && QDir().mkpath(live));
        }
        exporter->onTickReceived(QStringLiteral("B"), tick(2));
        exporter->onTickReceived(QStringLiteral("C"), tick(3));
        flushNow(*exporter);
        flushNow(*exporter);
        const QByteArray during = fullDisk ? readAll(live) : QByteArray();
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        std::signal(SIGXFSZ, oldHandler);
        // The whole lines that fit are written; the trouble is told once, with the system's reason.
        QCOMPARE(during, fullDisk ? a + b : QByteArray());
        QCOMPARE(log.count(QtWarningMsg, warning), 1);
        QVERIFY2(log.contains(QtWarningMsg, reason), qPrintable(log.messages().join('\n')));
        QCOMPARE(status.size(), 1);
        QVERIFY(status.at(0).at(0).toString().contains(reason));

        // Memory stays bounded: lines past the cap are dropped, counted, and the drop is logged once.
        const int waiting = fullDisk ? 1 : 2;
        exporter->writeHistoricalData(QStringLiteral("D"), QVector<TickData>(CSVExporter::kMaxPendingLines, tick(4)).toList());
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("newer lines are dropped")), 1);

        if (!fullDisk)
            QVERIFY(QDir(live).removeRecursively());
        flushNow(*exporter);
        QCOMPARE(readAll(live), (fullDisk ? a + b : QByteArray()) + (fullDisk ? QByteArray() : b) + c
                                    + d.repeated(CSVExporter::kMaxPendingLines - waiting));
        const QString resumed = QStringLiteral("resumed; %1 lines could not be written").arg(waiting);
        QCOMPARE(status.size(), 2);
        QVERIFY2(status.at(1).at(0).toString().contains(resumed), qPrintable(status.at(1).at(0).toString()));
        QVERIFY(log.contains(QtInfoMsg, resumed));
    }
    void pendingLinesWrittenOnDestruction()
    {
        exporter->setAutoImportEnabled(true);
        exporter->onTickReceived(QStringLiteral("A"), tick(1));
        exporter.reset();
        QCOMPARE(readAll(live), QStringLiteral("A,2024-03-15,09:15:03,1.25,2.00,0.50,1.00,100,0\n").toUtf8());
        QCoreApplication::processEvents();
        QCOMPARE(backend->createCount, 0); // the write only, no import
    }
    void exportDisabledRecordsButWritesNothing()
    {
        exporter->setExportEnabled(false);
        QVERIFY(!exporter->isExportActive());
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(10));
        exporter->exportCurrentData();
        flushNow(*exporter);
        QVERIFY(!QFile::exists(live));

        // History is written whatever the export state.
        exporter->writeHistoricalData(QStringLiteral("NSE:INFY"), {tick(5)});
        flushNow(*exporter);
        QCOMPARE(readAll(live), QStringLiteral("NSE:INFY,2024-03-15,09:15:03,5.25,6.00,4.50,5.00,100,0\n").toUtf8());

        // The tick given while disabled was recorded as the latest one.
        QVERIFY(QFile::remove(live));
        exporter->setExportEnabled(true);
        exporter->exportCurrentData();
        flushNow(*exporter);
        QCOMPARE(readAll(live), QStringLiteral("NSE:SBIN,2024-03-15,09:15:03,10.25,11.00,9.50,10.00,100,0\n").toUtf8());
    }
    void flushAloneRequestsImport()
    {
        exporter->setAutoImportEnabled(true);
        exporter->onTickReceived(QStringLiteral("X"), tick(1)); // far from the tenth tick
        flushNow(*exporter);
        QTRY_VERIFY(backend->createCount > 0);
    }
    void withoutAutomationNothingIsImportedOrRewritten()
    {
        backend->supported = false;
        exporter->setAutoImportEnabled(true);
        for (int i = 0; i < 10; ++i)
            exporter->onTickReceived(QStringLiteral("X"), tick(1));
        exporter->onTickReceived(QStringLiteral("Y"), tick(2));
        flushNow(*exporter);
        exporter->writeHistoricalData(QStringLiteral("Z"), {tick(3)});

        // The export writes each changed symbol once, then nothing until a new tick comes.
        exporter->exportCurrentData();
        flushNow(*exporter);
        const QByteArray once = readAll(live);
        exporter->exportCurrentData();
        flushNow(*exporter);
        QCOMPARE(readAll(live), once);
        exporter->onTickReceived(QStringLiteral("Y"), tick(4));
        exporter->exportCurrentData();
        flushNow(*exporter);
        QCOMPARE(readAll(live), once + (QStringLiteral("Y,2024-03-15,09:15:03,4.25,5.00,3.50,4.00,100,0\n") + QStringLiteral("Y,2024-03-15,09:15:03,4.25,5.00,3.50,4.00,100,0\n")).toUtf8());
        QCOMPARE(once.count('\n'), 10 + 1 + 1 + 2);

        QCoreApplication::processEvents();
        QCOMPARE(backend->createCount, 0);
    }
    void historyFileHeaders_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("preexisting");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray metastock = "NSE:M&M-EQ,20240315,10.00,10.00,10.00,10.00,100\n"
                                     "NSE:M&M-EQ,20240315,11.00,11.00,11.00,11.00,100\n";
        const QByteArray ticks = "NSE:M&M-EQ,2024-03-15 09:15:03,10.00,10.25,11.00,9.50,100\n"
                                 "NSE:M&M-EQ,2024-03-15 09:15:03,11.00,11.25,12.00,10.50,100\n";
        QTest::newRow("metastock, new file") << "MetaStock" << false
                                             << "Symbol,Date,Open,High,Low,Close,Volume\n" + metastock;
        QTest::newRow("metastock, existing empty file") << "metastock" << true << metastock;
        QTest::newRow("tick format, new file") << "ticks" << false
                                               << "Symbol,Timestamp,Price,Open,High,Low,Volume\n" + ticks;
    }
    void historyFileHeaders()
    {
        QFETCH(QString, format);
        QFETCH(bool, preexisting);
        exporter->setExportFormat(format);
        const QString path = work->filePath(QStringLiteral("export/NSE_M&M_EQ_history.csv"));
        if (preexisting)
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        exporter->writeHistoricalData(QStringLiteral("NSE:M&M-EQ"), {tick(10), tick(11)});
        QTEST(readAll(path), "expected");
    }
    void hostileSymbolsStayInsideTheFolder()
    {
        exporter->setExportFormat(QStringLiteral("metastock"));
        // A path is flattened into the folder; ".." and the empty symbol (which would name the live
        // data file) are refused.
        for (int i = 0; i < 2; ++i)
            QTest::ignoreMessage(QtCriticalMsg, logLine(QStringLiteral("[CSVExporter] Refusing unsafe history file name")));
        for (const char* s : {"../../escape", "..", ""})
            exporter->writeHistoricalData(QString::fromLatin1(s), {tick(1)});

        QCOMPARE(QDir(work->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"export"});
        QCOMPARE(QDir(work->filePath(QStringLiteral("export"))).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList{".._.._escape_history.csv"});
    }
    void exportFolderIsOwnerOnly()
    {
        // The default folder is created owner-only under the temporary folder.
        QDir(home.filePath(QStringLiteral("Tickvane"))).removeRecursively();
        {
            CSVExporter byDefault(nullptr);
            QCOMPARE(byDefault.exportDir(), home.filePath(QStringLiteral("Tickvane")));
            struct stat st {};
            QCOMPARE(::lstat(QFile::encodeName(byDefault.exportDir()).constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0700);
        }
        // A symbolic link in its place is refused: logged once, export off, nothing written through it.
        const QString target = work->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QFile::link(target, work->filePath(QStringLiteral("link"))));
        QTest::ignoreMessage(QtCriticalMsg, logLine(QStringLiteral("[CSVExporter] Refusing export folder")));
        exporter->setExportDir(work->filePath(QStringLiteral("link")));
        QVERIFY(!exporter->isExportActive());
        exporter->setExportEnabled(true);
        QVERIFY(!exporter->isExportActive());
        exporter->onTickReceived(QStringLiteral("X"), tick(1));
        exporter->writeHistoricalData(QStringLiteral("Y"), {tick(1)});
        exporter->setAutoImportEnabled(true);
        flushNow(*exporter);
        QCOMPARE(QDir(target).entryList(QDir::Files), QStringList());
    }
    void formatFileLookup()
    {
        exporter->setFormatFileCandidates({});
        QCOMPARE(exporter->formatFileCandidates().mid(0, 2),
                 (QStringList{QCoreApplication::applicationDirPath() + "/dataFormat.dll",
                              QDir::homePath() + "/Tickvane/dataFormat.dll"}));

        const QStringList candidates{work->filePath(QStringLiteral("app/dataFormat.dll")),
                                     work->filePath(QStringLiteral("home/Tickvane/dataFormat.dll"))};
        exporter->setFormatFileCandidates(candidates);
        // None exists: only the first location is created, with the default lines.
        QTest::ignoreMessage(QtWarningMsg, logLine(QStringLiteral("[CSVExporter] Failed to create default dataFormat.dll at:")));
        QCOMPARE(exporter->ensureFormatFile(), candidates[0]); // its folder is missing: path returned all the same
        QVERIFY(QDir().mkpath(work->filePath(QStringLiteral("app"))));
        QCOMPARE(exporter->ensureFormatFile(), candidates[0]);
        QCOMPARE(readAll(candidates[0]), QByteArray("$FORMAT Ticker,Date_YMD,Time,Open,High,Low,Close,Volume,OpenInt\n"
                                                    "$SEPARATOR ,\n$CONT 1\n$GROUP 255\n$AUTOADD 1\n"));
        QVERIFY(!QDir(work->filePath(QStringLiteral("home"))).exists());

        // A user's own file wins in search order and is never rewritten.
        QVERIFY(QFile::remove(candidates[0]));
        QVERIFY(QDir().mkpath(work->filePath(QStringLiteral("home/Tickvane"))));
        QFile own(candidates[1]);
        QVERIFY(own.open(QIODevice::WriteOnly));
        own.write("$FORMAT mine\n");
        own.close();
        QCOMPARE(exporter->ensureFormatFile(), candidates[1]);
        QCOMPARE(readAll(candidates[1]), QByteArray("$FORMAT mine\n"));
        QVERIFY(!QFile::exists(candidates[0]));
    }
    void autoImportScript()
    {
        // A folder name with backslashes (as on Windows) goes into the script with forward slashes.
        const QString folder = work->filePath(QStringLiteral("ex\\port"));
        exporter->setExportDir(folder);
        const QString script = folder + QStringLiteral("/auto_import.afl");
        {
            QFile stale(script);
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write("an older, longer script that must be replaced whole");
        }
        exporter->setAutoImportEnabled(true);
        // Replaced whole; the folder with forward slashes; every CSV file imported through COM.
        const QByteArray expected = readAll(script);
        QVERIFY(expected.startsWith("// Tickvane Auto-Import Script\n"));
        QVERIFY(!expected.contains("longer script"));
        QVERIFY(expected.contains("\nexportPath = \"" + QFile::encodeName(work->path()) + "/ex/port\";\n"));
        QVERIFY(expected.contains("\n        ab.Import(0, file.Path, symbol);\n"));
        exporter->setAutoImportEnabled(false); // switching off deletes nothing
        QCOMPARE(readAll(script), expected);
    }

private:
    QTemporaryDir home;
    QTemporaryDir* work = nullptr;
    std::shared_ptr<FakeAutomationBackend> backend;
    std::unique_ptr<CSVExporter> exporter;
    QString live;
};

QTEST_GUILESS_MAIN(TestCSVExporter)
#include "tst_csvexporter.moc"
