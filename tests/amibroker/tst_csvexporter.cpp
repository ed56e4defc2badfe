// The exporter's files: the live data file and its flushes, history files, the export folder.
#include "amibroker/CSVExporter.h"
#include "core/SettingsManager.h"

#include "support/FakeAutomation.h"
#include "support/MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TickData tick(const QString& symbol, double ltp, const QDateTime& when = QDateTime(QDate(2024, 3, 15), QTime(9, 15, 3)))
{
    TickData t;
    t.symbol = symbol;
    t.ltp = ltp;
    t.open = ltp + 0.25;
    t.high = ltp + 1;
    t.low = ltp - 0.5;
    t.volume = 100;
    t.timestamp = when;
    return t;
}

QString line(const QString& symbol, double ltp)
{
    return QStringLiteral("%1,2024-03-15,09:15:03,%2,%3,%4,%5,100,0\n")
        .arg(symbol, QString::number(ltp + 0.25, 'f', 2), QString::number(ltp + 1, 'f', 2),
             QString::number(ltp - 0.5, 'f', 2), QString::number(ltp, 'f', 2));
}

QString readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing>");
    return QString::fromUtf8(f.readAll());
}

bool flushNow(CSVExporter& exporter)
{
    return QMetaObject::invokeMethod(&exporter, "flushPendingLines", Qt::DirectConnection);
}

} // namespace

class TestCSVExporter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void liveLinesReachTheFileOnFlush();
    void failedOpenKeepsLinesInOrder();
    void pendingLinesWrittenOnDestruction();
    void emptyFlushTouchesNothing();
    void exportDisabledRecordsButWritesNothing();
    void exportTimerRewritesLatestTicks();
    void exportInterval_data();
    void exportInterval();
    void tenthTickRequestsImport();
    void historyFiles_data();
    void historyFiles();
    void hostileSymbolsStayInsideTheFolder();
    void emptyHistoryListDoesNothing();
    void defaultFolderIsOwnerOnly();
    void symlinkedFolderIsRefused();
    void amiBrokerPathGoesToSettings();

private:
    QTemporaryDir home;
    QTemporaryDir* work = nullptr;
    std::shared_ptr<FakeAutomationBackend> backend;

    std::unique_ptr<CSVExporter> makeExporter(bool autoImport = false)
    {
        auto exporter = std::make_unique<CSVExporter>(nullptr);
        exporter->setAutomationBackend(backend);
        exporter->setExportDir(work->filePath(QStringLiteral("export")));
        exporter->setFormatFileCandidates({work->filePath(QStringLiteral("dataFormat.dll"))});
        if (!autoImport)
            exporter->setAutoImportEnabled(false);
        return exporter;
    }
};

void TestCSVExporter::initTestCase()
{
    // Keep the default export folder and the settings file out of the real locations.
    qputenv("TMPDIR", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    QCoreApplication::setOrganizationName(QStringLiteral("TickvaneTest"));
    QCoreApplication::setApplicationName(QStringLiteral("ExporterTest"));
}

void TestCSVExporter::init()
{
    work = new QTemporaryDir;
    backend = std::make_shared<FakeAutomationBackend>();
    backend->availability = {false};
}

void TestCSVExporter::cleanup()
{
    delete work;
    work = nullptr;
}

void TestCSVExporter::liveLinesReachTheFileOnFlush()
{
    MessageCapture log;
    auto exporter = makeExporter();
    const QString path = exporter->liveDataFilePath();
    QCOMPARE(path, work->filePath(QStringLiteral("export/tickvane_live_data.csv")));

    exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(QStringLiteral("SBIN"), 761.45));
    exporter->onTickReceived(QStringLiteral("NSE:INFY"), tick(QStringLiteral("INFY"), 1500));
    TickData undated = tick(QStringLiteral("TCS"), 3000, QDateTime());
    exporter->onTickReceived(QStringLiteral("NSE:TCS"), undated);
    // Lines are collected in memory; the file is written by the flush timer.
    QVERIFY(!QFile::exists(path));

    // The export timer later writes the latest ticks again; the first flush holds each line once.
    const QString expected = line(QStringLiteral("NSE:SBIN"), 761.45) + line(QStringLiteral("NSE:INFY"), 1500)
        + QStringLiteral("NSE:TCS,,,3000.25,3001.00,2999.50,3000.00,100,0\n");
    QTRY_VERIFY_WITH_TIMEOUT(readAll(path).startsWith(expected), 3000);
    QCOMPARE(log.count(QStringLiteral("[CSVExporter] Invalid timestamp for symbol: \"NSE:TCS\""), QtWarningMsg), 1);
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] Flushed 3 lines to")));
    // Auto-import is off: the flush requests no import.
    QCOMPARE(log.count(QStringLiteral("Auto-import not enabled; skipping import scheduling")), 1);
}

void TestCSVExporter::failedOpenKeepsLinesInOrder()
{
    MessageCapture log;
    auto exporter = makeExporter();
    const QString path = exporter->liveDataFilePath();
    // A folder where the file should be makes every open fail.
    QVERIFY(QDir().mkpath(path));

    exporter->onTickReceived(QStringLiteral("A"), tick(QStringLiteral("A"), 1));
    exporter->onTickReceived(QStringLiteral("B"), tick(QStringLiteral("B"), 2));
    QVERIFY(flushNow(*exporter));
    QCOMPARE(log.count(QStringLiteral("[CSVExporter] Failed to open shared CSV file for appending:"), QtWarningMsg), 1);

    exporter->onTickReceived(QStringLiteral("C"), tick(QStringLiteral("C"), 3));
    QVERIFY(flushNow(*exporter));
    QCOMPARE(log.count(QStringLiteral("Failed to open shared CSV file for appending:")), 2);
    exporter->onTickReceived(QStringLiteral("D"), tick(QStringLiteral("D"), 4));

    QVERIFY(QDir(path).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(readAll(path),
                              line(QStringLiteral("A"), 1) + line(QStringLiteral("B"), 2)
                                  + line(QStringLiteral("C"), 3) + line(QStringLiteral("D"), 4),
                              3000);
}

void TestCSVExporter::pendingLinesWrittenOnDestruction()
{
    MessageCapture log;
    auto exporter = makeExporter(true);
    const QString path = exporter->liveDataFilePath();
    exporter->onTickReceived(QStringLiteral("A"), tick(QStringLiteral("A"), 1));
    exporter->onTickReceived(QStringLiteral("B"), tick(QStringLiteral("B"), 2));
    exporter.reset();

    QCOMPARE(readAll(path), line(QStringLiteral("A"), 1) + line(QStringLiteral("B"), 2));
    // The write only: no import at shutdown.
    QCoreApplication::processEvents();
    QCOMPARE(backend->createCount, 0);
    QVERIFY(!log.contains(QStringLiteral("Starting batch import")));
}

void TestCSVExporter::emptyFlushTouchesNothing()
{
    MessageCapture log;
    auto exporter = makeExporter(true);
    QVERIFY(flushNow(*exporter));
    QVERIFY(!QFile::exists(exporter->liveDataFilePath()));
    QVERIFY(!log.contains(QStringLiteral("scheduling batch import")));
}

void TestCSVExporter::exportDisabledRecordsButWritesNothing()
{
    auto exporter = makeExporter();
    const QString path = exporter->liveDataFilePath();
    exporter->setExportEnabled(false);
    QVERIFY(!exporter->isExportActive());

    exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(QStringLiteral("SBIN"), 10));
    exporter->exportCurrentData();
    QVERIFY(flushNow(*exporter));
    QVERIFY(!QFile::exists(path));

    // History is written whatever the export state.
    exporter->writeHistoricalData(QStringLiteral("NSE:INFY"), {tick(QStringLiteral("INFY"), 5)});
    QVERIFY(flushNow(*exporter));
    QCOMPARE(readAll(path), line(QStringLiteral("NSE:INFY"), 5));

    // The tick given while disabled was still recorded as the latest one.
    QVERIFY(QFile::remove(path));
    exporter->setExportEnabled(true);
    QVERIFY(exporter->isExportActive());
    exporter->exportCurrentData();
    QVERIFY(flushNow(*exporter));
    QCOMPARE(readAll(path), line(QStringLiteral("NSE:SBIN"), 10));
}

void TestCSVExporter::exportTimerRewritesLatestTicks()
{
    auto exporter = makeExporter();
    const QString path = exporter->liveDataFilePath();
    exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 1));
    exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 2));
    // Only the latest tick of the symbol is written again, unchanged, once a second.
    const QString once = line(QStringLiteral("X"), 1) + line(QStringLiteral("X"), 2);
    QTRY_VERIFY_WITH_TIMEOUT(readAll(path).startsWith(once + line(QStringLiteral("X"), 2)), 5000);
    QVERIFY(!readAll(path).mid(once.size()).contains(line(QStringLiteral("X"), 1)));
}

void TestCSVExporter::exportInterval_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("expectedMs");
    QTest::newRow("3 s") << 3 << 3000;
    QTest::newRow("0 becomes 1") << 0 << 1000;
    QTest::newRow("negative becomes 1") << -5 << 1000;
}

void TestCSVExporter::exportInterval()
{
    QFETCH(int, seconds);
    QFETCH(int, expectedMs);
    MessageCapture log;
    auto exporter = makeExporter();
    exporter->setExportEnabled(false);
    exporter->setExportInterval(seconds);
    QVERIFY(!exporter->isExportActive());
    exporter->setExportEnabled(true);
    QVERIFY(log.contains(QStringLiteral("Starting CSV export with interval: %1 seconds").arg(expectedMs / 1000)));
    // A running export takes a new interval at once.
    log.clear();
    exporter->setExportInterval(2);
    QVERIFY(exporter->isExportActive());
    exporter->setExportEnabled(false);
    exporter->setExportEnabled(true);
    QVERIFY(log.contains(QStringLiteral("Starting CSV export with interval: 2 seconds")));
}

void TestCSVExporter::tenthTickRequestsImport()
{
    MessageCapture log;
    auto exporter = makeExporter();
    const QString trigger = QStringLiteral("[CSVExporter] Triggering batch import to AmiBroker...");
    // Auto-import off: the counter does not move.
    for (int i = 0; i < 5; ++i)
        exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 1 + i));
    QCOMPARE(log.count(QStringLiteral("Auto-import disabled, skipping")), 5);

    exporter->setAutoImportEnabled(true);
    for (int i = 0; i < 9; ++i)
        exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 1 + i));
    QCOMPARE(log.count(trigger), 0);
    exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 10));
    QCOMPARE(log.count(trigger), 1);
    for (int i = 0; i < 10; ++i)
        exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 1 + i));
    QCOMPARE(log.count(trigger), 2);
    // The request is queued, never run inside the tick path.
    QCOMPARE(backend->createCount, 0);
    QTRY_VERIFY(backend->createCount > 0);
}

void TestCSVExporter::historyFiles_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("preexisting");
    QTest::addColumn<QString>("expected");
    const QString metastock = QStringLiteral("NSE:M&M-EQ,20240315,10.00,10.00,10.00,10.00,100\n"
                                             "NSE:M&M-EQ,20240315,11.00,11.00,11.00,11.00,100\n");
    const QString ticks = QStringLiteral("NSE:M&M-EQ,2024-03-15 09:15:03,10.00,10.25,11.00,9.50,100\n"
                                         "NSE:M&M-EQ,2024-03-15 09:15:03,11.00,11.25,12.00,10.50,100\n");
    QTest::newRow("metastock, new file gets the header")
        << "MetaStock" << false << QStringLiteral("Symbol,Date,Open,High,Low,Close,Volume\n") + metastock;
    QTest::newRow("metastock, existing empty file gets none") << "metastock" << true << metastock;
    QTest::newRow("tick format, new file gets the header")
        << "ticks" << false << QStringLiteral("Symbol,Timestamp,Price,Open,High,Low,Volume\n") + ticks;
    QTest::newRow("tick format, existing empty file gets none") << "csv" << true << ticks;
}

void TestCSVExporter::historyFiles()
{
    QFETCH(QString, format);
    QFETCH(bool, preexisting);
    QFETCH(QString, expected);
    auto exporter = makeExporter();
    exporter->setExportFormat(format);
    const QString path = work->filePath(QStringLiteral("export/NSE_M&M_EQ_history.csv"));
    if (preexisting) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    exporter->writeHistoricalData(QStringLiteral("NSE:M&M-EQ"),
                                  {tick(QStringLiteral("MM"), 10), tick(QStringLiteral("MM"), 11)});
    QCOMPARE(readAll(path), expected);
    // History formats write at once; the live data file stays untouched.
    QVERIFY(flushNow(*exporter));
    QVERIFY(!QFile::exists(exporter->liveDataFilePath()));
}

void TestCSVExporter::hostileSymbolsStayInsideTheFolder()
{
    MessageCapture log;
    auto exporter = makeExporter();
    exporter->setExportFormat(QStringLiteral("metastock"));
    const QStringList symbols{QStringLiteral("../../escape"), QStringLiteral("..\\..\\escape"),
                              QStringLiteral("/etc/passwd"), QStringLiteral(".."), QStringLiteral("."),
                              QString(), QStringLiteral("a\nb")};
    for (const QString& s : symbols)
        exporter->writeHistoricalData(s, {tick(QStringLiteral("X"), 1)});

    // Nothing lands beside or above the export folder.
    const QStringList outside = QDir(work->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(outside, QStringList{QStringLiteral("export")});
    QStringList inside =
        QDir(work->filePath(QStringLiteral("export"))).entryList(QDir::Files | QDir::Hidden);
    inside.sort();
    QCOMPARE(inside, (QStringList{QStringLiteral(".._.._escape_history.csv"),
                                  QStringLiteral("_etc_passwd_history.csv"),
                                  QStringLiteral("a_b_history.csv")}));
    // "..", "." and the empty symbol (which would name the live data file) are refused.
    QCOMPARE(log.count(QStringLiteral("Refusing unsafe history file name"), QtCriticalMsg), 3);
    QVERIFY(!QFile::exists(exporter->liveDataFilePath()));
}

void TestCSVExporter::emptyHistoryListDoesNothing()
{
    MessageCapture log;
    auto exporter = makeExporter(true);
    exporter->writeHistoricalData(QStringLiteral("X"), {});
    QCoreApplication::processEvents();
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] No historical ticks to write for \"X\"")));
    QVERIFY(!log.contains(QStringLiteral("Scheduling batch import")));
    QCOMPARE(backend->createCount, 0);
}

void TestCSVExporter::defaultFolderIsOwnerOnly()
{
    MessageCapture log;
    const QString folder = home.filePath(QStringLiteral("Tickvane"));
    QDir(folder).removeRecursively();
    CSVExporter exporter(nullptr);
    QCOMPARE(exporter.exportDir(), folder);
    QVERIFY(exporter.isExportActive());
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0700);
    QVERIFY(log.contains(QStringLiteral("Created export directory:")));
}

void TestCSVExporter::symlinkedFolderIsRefused()
{
    MessageCapture log;
    const QString target = work->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(target));
    const QString link = work->filePath(QStringLiteral("export"));
    QVERIFY(QFile::link(target, link));

    auto exporter = makeExporter();
    QCOMPARE(log.count(QStringLiteral("Refusing export folder"), QtCriticalMsg), 1);
    QVERIFY(!exporter->isExportActive());
    // Switching the export on again cannot override the refusal.
    exporter->setExportEnabled(true);
    QVERIFY(!exporter->isExportActive());

    exporter->onTickReceived(QStringLiteral("X"), tick(QStringLiteral("X"), 1));
    exporter->writeHistoricalData(QStringLiteral("Y"), {tick(QStringLiteral("Y"), 1)});
    exporter->setAutoImportEnabled(true);
    QVERIFY(flushNow(*exporter));
    QCOMPARE(QDir(target).entryList(QDir::Files), QStringList());
    QCOMPARE(log.count(QStringLiteral("Refusing export folder")), 1); // said once, not per write
}

void TestCSVExporter::amiBrokerPathGoesToSettings()
{
    SettingsManager settings;
    settings.setAmiBrokerPath(QStringLiteral("/opt/ab/Broker.exe"));
    CSVExporter exporter(&settings);
    QCOMPARE(exporter.amiBrokerPath(), QStringLiteral("/opt/ab/Broker.exe"));

    exporter.setAmiBrokerPath(QStringLiteral("/other/Broker.exe"));
    QCOMPARE(settings.amiBrokerPath(), QStringLiteral("/other/Broker.exe"));
    // Saved, not only changed in memory.
    SettingsManager reloaded;
    QCOMPARE(reloaded.amiBrokerPath(), QStringLiteral("/other/Broker.exe"));
}

QTEST_GUILESS_MAIN(TestCSVExporter)
#include "tst_csvexporter.moc"
