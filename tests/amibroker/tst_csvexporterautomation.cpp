// The exporter's automation of AmiBroker against a scripted server: batch import with its success
// test and fallback, the application object, the accessibility test and the direct import.
#include "amibroker/CSVExporter.h"
#include "core/SettingsManager.h"

#include "support/FakeAutomation.h"
#include "support/MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <stdexcept>

namespace {

TickData tick(double ltp)
{
    TickData t;
    t.symbol = QStringLiteral("SBIN");
    t.ltp = t.open = t.high = t.low = ltp;
    t.volume = 7;
    t.timestamp = QDateTime(QDate(2024, 3, 15), QTime(9, 15, 3));
    return t;
}

QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("<missing>");
}

struct Throw {
};

} // namespace

Q_DECLARE_METATYPE(Throw)

class TestCSVExporterAutomation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void batchImport_data();
    void batchImport();
    void successClearsInOrder();
    void batchImportSkipsWithoutAutoImport();
    void missingFileIsNotImported();
    void linesDuringImportAreKept();
    void applicationObject_data();
    void applicationObject();
    void applicationObjectRefusedOffThread();
    void platformBackendKeepsTheFile();
    void accessibilityFindsPath_data();
    void accessibilityFindsPath();
    void accessibilityLaunch_data();
    void accessibilityLaunch();
    void directImport();
    void directImportFailures_data();
    void directImportFailures();
    void directImportHandedToOwnThread();

private:
    QTemporaryDir home;
    QTemporaryDir* work = nullptr;
    std::shared_ptr<FakeAutomationBackend> backend;
    std::unique_ptr<CSVExporter> exporter;

    // An exporter whose live data file already holds two lines, ready to import.
    void fillLiveFile()
    {
        const bool wasEnabled = exporter->isExportActive();
        exporter->setExportEnabled(true);
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(1));
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(2));
        QVERIFY(QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection));
        exporter->setExportEnabled(wasEnabled);
        QVERIFY(QFile::exists(exporter->liveDataFilePath()));
    }
    QString formatPath() const { return QDir::toNativeSeparators(work->filePath(QStringLiteral("dataFormat.dll"))); }
};

void TestCSVExporterAutomation::initTestCase()
{
    qputenv("TMPDIR", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    QCoreApplication::setOrganizationName(QStringLiteral("TickvaneTest"));
    QCoreApplication::setApplicationName(QStringLiteral("AutomationTest"));
}

void TestCSVExporterAutomation::init()
{
    work = new QTemporaryDir;
    backend = std::make_shared<FakeAutomationBackend>();
    exporter = std::make_unique<CSVExporter>(nullptr);
    exporter->setAutomationBackend(backend);
    exporter->setExportDir(work->filePath(QStringLiteral("export")));
    exporter->setFormatFileCandidates({work->filePath(QStringLiteral("dataFormat.dll"))});
    // Imports are run by hand below; the exporter's own queued requests stay out of the way.
    exporter->setAutoImportEnabled(false);
    exporter->setExportEnabled(false);
}

void TestCSVExporterAutomation::cleanup()
{
    exporter.reset();
    backend.reset();
    delete work;
    work = nullptr;
}

void TestCSVExporterAutomation::batchImport_data()
{
    QTest::addColumn<QVariant>("first");    // result of Import(&v1,&v2,&v3); Throw = it throws
    QTest::addColumn<QVariant>("fallback"); // result of the fallback Import; Throw = it throws
    QTest::addColumn<bool>("fallbackCalled");
    QTest::addColumn<bool>("imported");
    const QVariant invalid;
    const QVariant thrown = QVariant::fromValue(Throw{});

    QTest::newRow("int 1") << QVariant(1) << invalid << false << true;
    QTest::newRow("int 0 passes (its text is not empty)") << QVariant(0) << invalid << false << true;
    QTest::newRow("false passes (its text is not empty)") << QVariant(false) << invalid << false << true;
    QTest::newRow("true") << QVariant(true) << invalid << false << true;
    QTest::newRow("text") << QVariant(QStringLiteral("done")) << invalid << false << true;
    QTest::newRow("invalid, fallback passes") << invalid << QVariant(1) << true << true;
    QTest::newRow("empty text, fallback 0 passes") << QVariant(QString()) << QVariant(0) << true << true;
    QTest::newRow("map, fallback invalid") << QVariant(QVariantMap{{QStringLiteral("a"), 1}}) << invalid << true << false;
    QTest::newRow("invalid, fallback empty") << invalid << QVariant(QString()) << true << false;
    QTest::newRow("invalid, fallback throws") << invalid << thrown << true << false;
    QTest::newRow("first call throws") << thrown << QVariant(1) << false << false;
}

void TestCSVExporterAutomation::batchImport()
{
    QFETCH(QVariant, first);
    QFETCH(QVariant, fallback);
    QFETCH(bool, fallbackCalled);
    QFETCH(bool, imported);

    exporter->setAutoImportEnabled(true);
    fillLiveFile();
    const QString csv = exporter->liveDataFilePath();
    const QString lines = readAll(csv);
    backend->setupApplication = [&](FakeAutomationObject& app) {
        app.onCall = [&](const QString& function, const QVariantList&) -> QVariant {
            const QVariant& result = function == QLatin1String("Import(&v1,&v2,&v3)") ? first
                : function == QLatin1String("Import(int, QString, QString)")        ? fallback
                                                                                     : QVariant();
            if (result.canConvert<Throw>() && result.userType() == qMetaTypeId<Throw>())
                throw std::runtime_error("server error");
            return result;
        };
    };
    QSignalSpy completed(exporter.get(), &CSVExporter::importCompleted);
    MessageCapture log;
    exporter->batchImportToAmiBroker();

    const QStringList& calls = *backend->log;
    QVERIFY2(calls.contains(QStringLiteral("app.Import(&v1,&v2,&v3) [0|%1|%2]").arg(csv, formatPath())),
             qPrintable(calls.join('\n')));
    QCOMPARE(calls.contains(QStringLiteral("app.Import(int, QString, QString) [0|%1|]").arg(csv)), fallbackCalled);
    QCOMPARE(completed.count(), imported ? 1 : 0);
    QCOMPARE(calls.contains(QStringLiteral("app.RefreshAll()")), imported);
    if (imported) {
        QVERIFY(!QFile::exists(csv));
    } else {
        // Nothing is lost: the next import sends these lines again.
        QCOMPARE(readAll(csv), lines);
        QVERIFY(log.contains(first.userType() == qMetaTypeId<Throw>()
                                 ? QStringLiteral("Exception during batch import: server error")
                                 : QStringLiteral("[CSVImporter] Batch import to AmiBroker failed - importSuccess=false")));
    }
}

void TestCSVExporterAutomation::successClearsInOrder()
{
    exporter->setAutoImportEnabled(true);
    exporter->setExportEnabled(true);
    fillLiveFile();
    const QString csv = exporter->liveDataFilePath();
    backend->setupApplication = [](FakeAutomationObject& app) {
        app.results.insert(QStringLiteral("Import(&v1,&v2,&v3)"), 1);
    };
    bool fileGoneAtSignal = false;
    connect(exporter.get(), &CSVExporter::importCompleted, this, [&] {
        fileGoneAtSignal = !QFile::exists(csv);
        backend->log->append(QStringLiteral("importCompleted"));
    });
    exporter->batchImportToAmiBroker();

    QVERIFY(fileGoneAtSignal);
    const QStringList& calls = *backend->log;
    QCOMPARE(calls.indexOf(QStringLiteral("importCompleted")) + 1, calls.indexOf(QStringLiteral("app.RefreshAll()")));
    // The latest ticks went with the import: the export timer has nothing to write again.
    exporter->exportCurrentData();
    QVERIFY(QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection));
    QVERIFY(!QFile::exists(csv));
}

void TestCSVExporterAutomation::batchImportSkipsWithoutAutoImport()
{
    fillLiveFile();
    MessageCapture log;
    exporter->batchImportToAmiBroker();
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] Auto-import disabled, skipping batch import")));
    QCOMPARE(backend->createCount, 0);
    QVERIFY(QFile::exists(exporter->liveDataFilePath()));
}

void TestCSVExporterAutomation::missingFileIsNotImported()
{
    exporter->setAutoImportEnabled(true);
    MessageCapture log;
    exporter->batchImportToAmiBroker();
    QCOMPARE(log.count(QStringLiteral("[CSVImporter] CSV file missing or empty, skipping import:"), QtWarningMsg), 1);
    QVERIFY(log.contains(QStringLiteral("exists: false size: 0")));
    QCOMPARE(backend->createCount, 0);
}

void TestCSVExporterAutomation::linesDuringImportAreKept()
{
    exporter->setAutoImportEnabled(true);
    exporter->setExportEnabled(true);
    fillLiveFile();
    const QString csv = exporter->liveDataFilePath();
    // AmiBroker pumps events while it imports: a tick arrives and the flush timer fires.
    backend->setupApplication = [&](FakeAutomationObject& app) {
        app.onCall = [&](const QString& function, const QVariantList&) -> QVariant {
            if (function.startsWith(QLatin1String("Import"))) {
                exporter->onTickReceived(QStringLiteral("NSE:LATE"), tick(3));
                QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection);
                exporter->batchImportToAmiBroker(); // a nested request is covered by this import
                return 1;
            }
            return QVariant();
        };
    };
    exporter->batchImportToAmiBroker();
    QVERIFY(!QFile::exists(csv)); // the imported lines are gone
    QCOMPARE(backend->log->count(QStringLiteral("app.Import(&v1,&v2,&v3) [0|%1|%2]").arg(csv, formatPath())), 1);

    // ... but the late line was kept and reaches the next file.
    QVERIFY(QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection));
    QCOMPARE(readAll(csv), QStringLiteral("NSE:LATE,2024-03-15,09:15:03,3.00,3.00,3.00,3.00,7,0\n"));
}

void TestCSVExporterAutomation::applicationObject_data()
{
    QTest::addColumn<QList<bool>>("availability");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QStringList>("started");
    QTest::newRow("running") << QList<bool>{true} << "/opt/Broker.exe" << true << QStringList{};
    QTest::newRow("started once, then answers") << QList<bool>{false, true} << "/opt/Broker.exe" << true
                                               << QStringList{QStringLiteral("/opt/Broker.exe")};
    QTest::newRow("started once, never answers") << QList<bool>{false} << "/opt/Broker.exe" << false
                                                << QStringList{QStringLiteral("/opt/Broker.exe")};
    QTest::newRow("no path, nothing started") << QList<bool>{false} << "" << false << QStringList{};
}

void TestCSVExporterAutomation::applicationObject()
{
    QFETCH(QList<bool>, availability);
    QFETCH(QString, path);
    QFETCH(bool, connected);
    QFETCH(QStringList, started);
    backend->availability = availability;
    exporter->setAmiBrokerPath(path);
    MessageCapture log;

    QCOMPARE(exporter->getAmiBrokerApplication() != nullptr, connected);
    QCOMPARE(backend->startedPrograms, started);
    QCOMPARE(backend->pauses, started.isEmpty() ? QList<int>{} : QList<int>{3000});
    QCOMPARE(backend->createCount, started.isEmpty() ? 1 : 2);
    QVERIFY(backend->initializeCount >= 1);
    QVERIFY(log.contains(connected ? QStringLiteral("Connected to AmiBroker via COM")
                                   : QStringLiteral("Failed to connect to AmiBroker")));
    // A usable object is kept; a missing one is looked for again (and started again) next time.
    exporter->getAmiBrokerApplication();
    QCOMPARE(backend->createCount, (started.isEmpty() ? 1 : 2) * (connected ? 1 : 2));
}

void TestCSVExporterAutomation::applicationObjectRefusedOffThread()
{
    MessageCapture log;
    AutomationObject* result = reinterpret_cast<AutomationObject*>(1);
    QThread* worker = QThread::create([&] { result = exporter->getAmiBrokerApplication(); });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    QCOMPARE(result, nullptr);
    QCOMPARE(backend->createCount, 0);
    QVERIFY(log.contains(QStringLiteral("[CSVExporter] getAmiBrokerApplication called from wrong thread!")));
}

void TestCSVExporterAutomation::platformBackendKeepsTheFile()
{
    // This platform has no automation server: the import fails with the usual lines and the
    // file stays for a later import.
    exporter->setAutomationBackend(nullptr);
    exporter->setAutoImportEnabled(true);
    fillLiveFile();
    const QString lines = readAll(exporter->liveDataFilePath());
    QSignalSpy completed(exporter.get(), &CSVExporter::importCompleted);
    MessageCapture log;
    exporter->batchImportToAmiBroker();
    QCOMPARE(log.count(QStringLiteral("Failed to connect to AmiBroker"), QtWarningMsg), 1);
    QCOMPARE(log.count(QStringLiteral("Cannot batch import to AmiBroker: Application not available"), QtWarningMsg), 1);
    QCOMPARE(completed.count(), 0);
    QCOMPARE(readAll(exporter->liveDataFilePath()), lines);
    QVERIFY(!exporter->isAmiBrokerAvailable());
    QVERIFY(!exporter->connectToAmiBroker());
}

void TestCSVExporterAutomation::accessibilityFindsPath_data()
{
    QTest::addColumn<QVariant>("pathProperty"); // Throw = reading it throws
    QTest::addColumn<QVariant>("fullName");
    QTest::addColumn<QString>("installDir");
    QTest::addColumn<QString>("expected"); // empty: none found, the test fails
    const QVariant none;
    QTest::newRow("Path, folder") << QVariant(QStringLiteral("C:/AmiBroker")) << none << "" << "C:/AmiBroker\\Broker.exe";
    QTest::newRow("Path, folder with slash") << QVariant(QStringLiteral("C:/AmiBroker/")) << none << ""
                                             << "C:/AmiBroker/Broker.exe";
    QTest::newRow("Path, executable in other case") << QVariant(QStringLiteral("C:\\AB\\broker.EXE")) << none << ""
                                                    << "C:\\AB\\broker.EXE";
    QTest::newRow("FullName when Path is empty") << QVariant(QString()) << QVariant(QStringLiteral("D:\\AB\\Broker.exe"))
                                                 << "" << "D:\\AB\\Broker.exe";
    QTest::newRow("FullName when Path throws") << QVariant::fromValue(Throw{})
                                               << QVariant(QStringLiteral("D:\\AB\\Broker.exe")) << ""
                                               << "D:\\AB\\Broker.exe";
    QTest::newRow("registry folder joined as it is") << none << none << "C:\\Program Files\\AmiBroker\\"
                                                     << "C:\\Program Files\\AmiBroker\\\\Broker.exe";
    QTest::newRow("nothing found") << none << none << "" << "";
}

void TestCSVExporterAutomation::accessibilityFindsPath()
{
    QFETCH(QVariant, pathProperty);
    QFETCH(QVariant, fullName);
    QFETCH(QString, installDir);
    QFETCH(QString, expected);
    SettingsManager settings;
    settings.setAmiBrokerPath(QStringLiteral("C:/old/Broker.exe"));
    CSVExporter tester(&settings);
    tester.setAutomationBackend(backend);
    backend->installDir = installDir;
    backend->setupApplication = [&](FakeAutomationObject& app) {
        app.onProperty = [&](const QString& name) -> QVariant {
            const QVariant& v = name == QLatin1String("Path") ? pathProperty : fullName;
            if (v.userType() == qMetaTypeId<Throw>())
                throw std::runtime_error("no such property");
            return v;
        };
    };
    MessageCapture log;
    const bool ok = tester.testAmiBroker();

    QCOMPARE(ok, !expected.isEmpty());
    const QString stored = expected.isEmpty() ? QStringLiteral("C:/old/Broker.exe") : expected;
    QCOMPARE(tester.amiBrokerPath(), stored);
    QCOMPARE(settings.amiBrokerPath(), stored);
    QVERIFY(backend->startedPrograms.isEmpty());
    QCOMPARE(backend->log->contains(QStringLiteral("app.Documents")), ok);
    QVERIFY(log.contains(ok ? QStringLiteral("✓ AmiBroker test successful")
                            : QStringLiteral("⚠ AmiBroker accessible but limited functionality")));
}

void TestCSVExporterAutomation::accessibilityLaunch_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("startSucceeds");
    QTest::addColumn<int>("answersAfter"); // attempts before the server answers; -1 never
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("pauses");
    QTest::addColumn<QString>("message");
    QTest::newRow("answers on the third attempt") << "/opt/Broker.exe" << true << 3 << true << 3
                                                  << "AmiBroker COM interface is now available";
    QTest::newRow("never answers") << "/opt/Broker.exe" << true << -1 << false << 20
                                   << "AmiBroker started but COM interface not available";
    QTest::newRow("does not start") << "/opt/Broker.exe" << false << 1 << false << 0
                                    << "Failed to start AmiBroker from path:";
    QTest::newRow("no path") << "" << true << 1 << false << 0 << "AmiBroker path not configured";
}

void TestCSVExporterAutomation::accessibilityLaunch()
{
    QFETCH(QString, path);
    QFETCH(bool, startSucceeds);
    QFETCH(int, answersAfter);
    QFETCH(bool, ok);
    QFETCH(int, pauses);
    QFETCH(QString, message);
    exporter->setAmiBrokerPath(path);
    backend->startSucceeds = startSucceeds;
    backend->availability = {false};
    if (answersAfter > 0) {
        // The probe before the launch finds nothing, then answersAfter attempts fail.
        backend->availability.clear();
        for (int i = 0; i < answersAfter; ++i)
            backend->availability << false;
        backend->availability << true;
    }
    MessageCapture log;
    QCOMPARE(exporter->testAmiBroker(), ok);
    QCOMPARE(backend->pauses.size(), pauses);
    QCOMPARE(backend->pauses.count(500), pauses);
    QVERIFY(log.contains(message));
    // The launch road neither looks for the executable nor changes the stored path.
    QCOMPARE(exporter->amiBrokerPath(), path);
    QVERIFY(!backend->log->contains(QStringLiteral("app.get Path")));
}

void TestCSVExporterAutomation::directImport()
{
    const QString csv = work->filePath(QStringLiteral("quotes.csv"));
    {
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Text));
        f.write("Symbol,Date,Open,High,Low,Close,Volume\n"          // 7 fields: skipped
                "X,2024-03-14,09:15:00,10.5,11,10,10.75,1200\n"
                "X,2024-03-14,09:16:00,10.75,11.5,10.5,11.25,99999999999\n" // volume beyond 32 bits
                "X,2024-03-15,09:15:00,abc,12,11,11.5,12x\n");
    }
    backend->setupApplication = [&](FakeAutomationObject& app) {
        const AutomationLog log = app.log;
        app.onSubObject = [log](const QString& name, const QVariantList&) -> std::unique_ptr<AutomationObject> {
            if (name != QLatin1String("Stocks"))
                return nullptr;
            auto stocks = std::make_unique<FakeAutomationObject>(QStringLiteral("stocks"), log);
            stocks->onSubObject = [log](const QString& name, const QVariantList&) -> std::unique_ptr<AutomationObject> {
                if (name != QLatin1String("Item(QString)")) // Add gives nothing: an existing stock
                    return nullptr;
                auto stock = std::make_unique<FakeAutomationObject>(QStringLiteral("stock"), log);
                stock->onSubObject = [log](const QString&, const QVariantList&) -> std::unique_ptr<AutomationObject> {
                    auto quotes = std::make_unique<FakeAutomationObject>(QStringLiteral("quotes"), log);
                    quotes->onSubObject = [log](const QString&, const QVariantList&) {
                        return std::make_unique<FakeAutomationObject>(QStringLiteral("quote"), log);
                    };
                    return quotes;
                };
                return stock;
            };
            return stocks;
        };
    };
    MessageCapture log;
    exporter->importCSVToAmiBroker(QStringLiteral("NSE:X"), csv);

    const QStringList expected{
        QStringLiteral("create Broker.Application"),
        QStringLiteral("app.Stocks"),
        QStringLiteral("stocks.Add(QString) [NSE:X]"),
        QStringLiteral("stocks.Item(QString) [NSE:X]"),
        QStringLiteral("stock.Quotations"),
        QStringLiteral("quotes.Add(QString) [2024-03-14]"),
        QStringLiteral("quote.Open=10.5"), QStringLiteral("quote.High=11"), QStringLiteral("quote.Low=10"),
        QStringLiteral("quote.Close=10.75"), QStringLiteral("quote.Volume=1200"),
        QStringLiteral("quotes.Add(QString) [2024-03-14]"),
        QStringLiteral("quote.Open=10.75"), QStringLiteral("quote.High=11.5"), QStringLiteral("quote.Low=10.5"),
        QStringLiteral("quote.Close=11.25"), QStringLiteral("quote.Volume=0"),
        QStringLiteral("quotes.Add(QString) [2024-03-15]"),
        QStringLiteral("quote.Open=0"), QStringLiteral("quote.High=12"), QStringLiteral("quote.Low=11"),
        QStringLiteral("quote.Close=11.5"), QStringLiteral("quote.Volume=0"),
        QStringLiteral("app.RefreshAll()"),
    };
    QCOMPARE(*backend->log, expected);
    QVERIFY(log.contains(QStringLiteral("[CSVImporter] Successfully imported \"NSE:X\" - inserted 3 quotes")));
    QVERIFY(QFile::exists(csv)); // the direct import clears nothing
}

void TestCSVExporterAutomation::directImportFailures_data()
{
    QTest::addColumn<QString>("content"); // "<none>": no file
    QTest::addColumn<bool>("stocksThrow");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << "<none>" << false << "CSV file does not exist:";
    QTest::newRow("empty file") << "" << false << "[CSVImporter] All import methods failed for \"NSE:X\"";
    QTest::newRow("no stocks collection") << "X,2024-03-14,09:15:00,1,1,1,1,1\n" << false
                                          << "[CSVImporter] Failed to get Stocks collection";
    QTest::newRow("server throws") << "X,2024-03-14,09:15:00,1,1,1,1,1\n" << true
                                   << "[CSVImporter] Programmatic insertion exception: collection gone";
}

void TestCSVExporterAutomation::directImportFailures()
{
    QFETCH(QString, content);
    QFETCH(bool, stocksThrow);
    QFETCH(QString, message);
    const QString csv = work->filePath(QStringLiteral("quotes.csv"));
    if (content != QLatin1String("<none>")) {
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content.toUtf8());
    }
    backend->setupApplication = [&](FakeAutomationObject& app) {
        app.onSubObject = [&](const QString&, const QVariantList&) -> std::unique_ptr<AutomationObject> {
            if (stocksThrow)
                throw std::runtime_error("collection gone");
            return nullptr;
        };
    };
    MessageCapture log;
    exporter->importCSVToAmiBroker(QStringLiteral("NSE:X"), csv);
    QVERIFY2(log.contains(message), qPrintable(log.messages().join('\n')));
    QVERIFY(!backend->log->contains(QStringLiteral("app.RefreshAll()")));
}

void TestCSVExporterAutomation::directImportHandedToOwnThread()
{
    const QString csv = work->filePath(QStringLiteral("quotes.csv"));
    QThread* caller = nullptr;
    QThread* ranOn = nullptr;
    backend->setupApplication = [&](FakeAutomationObject& app) {
        app.onSubObject = [&](const QString&, const QVariantList&) -> std::unique_ptr<AutomationObject> {
            ranOn = QThread::currentThread();
            return nullptr;
        };
    };
    {
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("X,2024-03-14,09:15:00,1,1,1,1,1\n");
    }
    QThread* worker = QThread::create([&] {
        caller = QThread::currentThread();
        exporter->importCSVToAmiBroker(QStringLiteral("NSE:X"), csv);
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    QCOMPARE(backend->createCount, 0); // nothing ran on the calling thread
    QTRY_VERIFY(ranOn != nullptr);
    QCOMPARE(ranOn, QThread::currentThread());
    QVERIFY(ranOn != caller);
    delete worker;
}

QTEST_GUILESS_MAIN(TestCSVExporterAutomation)
#include "tst_csvexporterautomation.moc"
