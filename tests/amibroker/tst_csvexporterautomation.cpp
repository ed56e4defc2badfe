// The exporter's automation of AmiBroker against a scripted server: batch import with its success
// test and fallback, the application object, the accessibility test and the direct import.
#include "amibroker/CSVExporter.h"
#include "core/SettingsManager.h"

#include "support/FakeAutomation.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <stdexcept>

using TestFiles::readAll;

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

// A scripted result that makes the call throw instead of answering.
const QVariant kThrows = QVariant(QStringLiteral("<throws>"));

QVariant answer(const QVariant& scripted)
{
    if (scripted == kThrows)
        throw std::runtime_error("server error");
    return scripted;
}

} // namespace

class TestCSVExporterAutomation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TMPDIR", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    }

    void init()
    {
        work = new QTemporaryDir;
        backend = std::make_shared<FakeAutomationBackend>();
        exporter = std::make_unique<CSVExporter>(nullptr);
        exporter->setAutomationBackend(backend);
        exporter->setExportDir(work->filePath(QStringLiteral("export")));
        exporter->setFormatFileCandidates({work->filePath(QStringLiteral("dataFormat.dll"))});
        exporter->setAutoImportEnabled(false); // imports are run by hand below
    }

    void cleanup()
    {
        exporter.reset();
        delete work;
    }

    void batchImport_data()
    {
        QTest::addColumn<QVariant>("first");    // result of "Import(&v1,&v2,&v3)"
        QTest::addColumn<QVariant>("fallback"); // result of "Import(int, QString, QString)"
        QTest::addColumn<bool>("fallbackCalled");
        QTest::addColumn<bool>("imported");
        const QVariant invalid;
        QTest::newRow("int 1") << QVariant(1) << invalid << false << true;
        // 0 passes, as false would: their texts are not empty.
        QTest::newRow("int 0") << QVariant(0) << invalid << false << true;
        QTest::newRow("invalid, fallback 1") << invalid << QVariant(1) << true << true;
        QTest::newRow("empty text, fallback 0") << QVariant(QString()) << QVariant(0) << true << true;
        QTest::newRow("map, fallback invalid") << QVariant(QVariantMap{{"a", 1}}) << invalid << true << false;
        QTest::newRow("invalid, fallback empty") << invalid << QVariant(QString()) << true << false;
        QTest::newRow("invalid, fallback throws") << invalid << kThrows << true << false;
        QTest::newRow("first call throws") << kThrows << QVariant(1) << false << false;
    }

    void batchImport()
    {
        QFETCH(QVariant, first);
        QFETCH(QVariant, fallback);
        QFETCH(bool, fallbackCalled);
        QFETCH(bool, imported);
        const QString csv = fillLiveFile();
        const QByteArray lines = readAll(csv);
        backend->setupApplication = [&](FakeAutomationObject& app) {
            app.onCall = [&](const QString& function) -> QVariant {
                if (function == QLatin1String("Import(&v1,&v2,&v3)"))
                    return answer(first);
                return function.startsWith(QLatin1String("Import")) ? answer(fallback) : QVariant();
            };
        };
        bool fileGoneAtSignal = false;
        connect(exporter.get(), &CSVExporter::importCompleted, this, [&] {
            fileGoneAtSignal = !QFile::exists(csv);
            backend->log->append(QStringLiteral("importCompleted"));
        });
        exporter->batchImportToAmiBroker();

        const QString format = work->filePath(QStringLiteral("dataFormat.dll"));
        QStringList expected{QStringLiteral("app.Import(&v1,&v2,&v3) [0|%1|%2]").arg(csv, format)};
        if (fallbackCalled)
            expected << QStringLiteral("app.Import(int, QString, QString) [0|%1|]").arg(csv);
        if (imported)
            expected << QStringLiteral("importCompleted") << QStringLiteral("app.RefreshAll()");
        QCOMPARE(*backend->log, expected);
        if (imported) {
            QVERIFY(fileGoneAtSignal);
            // The latest ticks went with the import: the export timer has nothing left to write.
            exporter->exportCurrentData();
            QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection);
            QVERIFY(!QFile::exists(csv));
        } else {
            QCOMPARE(readAll(csv), lines); // kept: the next import sends these lines again
        }
    }

    void linesDuringImportAreKept()
    {
        const QString csv = fillLiveFile();
        // AmiBroker pumps events while it imports: a tick arrives, the flush timer fires and another
        // import is requested.
        backend->setupApplication = [&](FakeAutomationObject& app) {
            app.onCall = [&](const QString& function) -> QVariant {
                if (!function.startsWith(QLatin1String("Import")))
                    return QVariant();
                exporter->onTickReceived(QStringLiteral("NSE:LATE"), tick(3));
                QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection);
                exporter->batchImportToAmiBroker();
                return 1;
            };
        };
        exporter->batchImportToAmiBroker();
        QCOMPARE(backend->log->filter(QStringLiteral("Import")).size(), 1);
        QVERIFY(!QFile::exists(csv));
        QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection);
        QCOMPARE(readAll(csv), QByteArray("NSE:LATE,2024-03-15,09:15:03,3.00,3.00,3.00,3.00,7,0\n"));
    }

    void importRequestedEveryTenthTick()
    {
        for (int i = 0; i < 5; ++i) // auto-import off: these do not count
            exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(1));
        exporter->setAutoImportEnabled(true);
        LogCapture log(false);
        QList<int> requests;
        for (int i = 1; i <= 20; ++i) {
            exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(i));
            requests << log.count(QStringLiteral("Triggering batch import"));
        }
        QCOMPARE(requests, (QList<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2}));
        // Queued, never run inside the tick path.
        QCOMPARE(backend->createCount, 0);
        QTRY_VERIFY(backend->createCount > 0);
    }

    void applicationObject_data()
    {
        QTest::addColumn<QList<bool>>("availability");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("creates"); // after two calls
        QTest::newRow("running: kept for the next call") << QList<bool>{true} << "/opt/Broker.exe" << true << 1;
        QTest::newRow("started, then answers") << QList<bool>{false, true} << "/opt/Broker.exe" << true << 2;
        QTest::newRow("started, never answers: again next time") << QList<bool>{false} << "/opt/Broker.exe" << false << 4;
        QTest::newRow("no path: nothing started") << QList<bool>{false} << "" << false << 2;
    }

    void applicationObject()
    {
        QFETCH(QList<bool>, availability);
        QFETCH(QString, path);
        QFETCH(int, creates);
        backend->availability = availability;
        exporter->setAmiBrokerPath(path);
        QTEST(exporter->getAmiBrokerApplication() != nullptr, "connected");
        const bool launched = !path.isEmpty() && !availability.first();
        QCOMPARE(backend->startedPrograms, launched ? QStringList{path} : QStringList{});
        QCOMPARE(backend->pauses, launched ? QList<int>{3000} : QList<int>{});
        exporter->getAmiBrokerApplication();
        QCOMPARE(backend->createCount, creates);

        // Never from another thread: automation belongs to the exporter's thread.
        AutomationObject* offThread = reinterpret_cast<AutomationObject*>(1);
        QThread* worker = QThread::create([&] { offThread = exporter->getAmiBrokerApplication(); });
        worker->start();
        QVERIFY(worker->wait(5000));
        delete worker;
        QCOMPARE(offThread, nullptr);
        QCOMPARE(backend->createCount, creates);
    }

    void platformBackendKeepsTheFile()
    {
        // No automation server on this platform: the usual failure lines, and the file stays.
        exporter->setAutomationBackend(nullptr);
        exporter->setAmiBrokerPath(QStringLiteral("/bin/true"));
        const QString csv = fillLiveFile();
        const QByteArray lines = readAll(csv);
        QSignalSpy completed(exporter.get(), &CSVExporter::importCompleted);
        QTest::ignoreMessage(QtWarningMsg, "Failed to connect to AmiBroker");
        QTest::ignoreMessage(QtWarningMsg, "Cannot batch import to AmiBroker: Application not available");
        exporter->batchImportToAmiBroker();
        QCOMPARE(completed.count(), 0);
        QCOMPARE(readAll(csv), lines);
    }

    void accessibilityTest_data()
    {
        QTest::addColumn<QList<bool>>("availability");
        QTest::addColumn<QVariant>("pathProperty");
        QTest::addColumn<QVariant>("fullName");
        QTest::addColumn<QString>("installDir");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("stored"); // the AmiBroker path afterwards, in the exporter and the settings
        const QVariant none;
        const QList<bool> running{true};
        const QString old = QStringLiteral("C:/old/Broker.exe");
        QTest::newRow("Path is a folder") << running << QVariant("C:/AB") << none << "" << true << "C:/AB\\Broker.exe";
        QTest::newRow("Path ends with a slash") << running << QVariant("C:/AB/") << none << "" << true << "C:/AB/Broker.exe";
        QTest::newRow("Path names the program, any case") << running << QVariant("C:\\AB\\broker.EXE") << none << ""
                                                          << true << "C:\\AB\\broker.EXE";
        QTest::newRow("FullName when Path throws") << running << kThrows << QVariant("D:\\Broker.exe") << "" << true
                                                   << "D:\\Broker.exe";
        QTest::newRow("registry folder joined as it is") << running << none << none << "C:\\AmiBroker\\" << true
                                                         << "C:\\AmiBroker\\\\Broker.exe";
        QTest::newRow("answers, but no path anywhere") << running << none << none << "" << false << old;
        QTest::newRow("started, answers on the third try") << QList<bool>{false, false, false, true} << none << none
                                                           << "" << true << old;
        QTest::newRow("started, never answers") << QList<bool>{false} << none << none << "" << false << old;
    }

    void accessibilityTest()
    {
        QFETCH(QList<bool>, availability);
        QFETCH(QVariant, pathProperty);
        QFETCH(QVariant, fullName);
        QFETCH(QString, installDir);
        QFETCH(bool, ok);
        QFETCH(QString, stored);
        SettingsManager settings;
        CSVExporter tester(&settings);
        tester.setAutomationBackend(backend);
        tester.setAmiBrokerPath(QStringLiteral("C:/old/Broker.exe"));
        backend->availability = availability;
        backend->installDir = installDir;
        backend->setupApplication = [&](FakeAutomationObject& app) {
            app.onProperty = [&](const QString& name) { return answer(name == "Path" ? pathProperty : fullName); };
        };
        QCOMPARE(tester.testAmiBroker(), ok);
        QCOMPARE(tester.amiBrokerPath(), stored);
        QCOMPARE(settings.amiBrokerPath(), stored);
        if (availability.first()) {
            QVERIFY(backend->startedPrograms.isEmpty());
            QCOMPARE(backend->log->contains(QStringLiteral("app.Documents")), ok);
        } else {
            // The launch road: up to 20 tries, 500 ms apart; it looks for no path.
            QCOMPARE(backend->startedPrograms, QStringList{QStringLiteral("C:/old/Broker.exe")});
            QCOMPARE(backend->pauses, QVector<int>(ok ? 3 : 20, 500).toList());
        }
    }

    void directImport()
    {
        const QString csv = work->filePath(QStringLiteral("quotes.csv"));
        QVERIFY(TestFiles::writeFile(csv, "Symbol,Date,Open,High,Low,Close,Volume\n"  // 7 fields: skipped
                                          "X,2024-03-14,09:15:00,10.5,11,10,10.75,1200\n"
                                          // beyond the 32-bit long: 0
                                          "X,2024-03-14,09:16:00,abc,11.5,10.5,11.25,99999999999\n"));
        // Add(QString) gives no stock (it exists already), so Item(QString) is asked.
        backend->setupApplication = [](FakeAutomationObject& app) {
            const AutomationLog log = app.log;
            auto make = [log](const char* name, std::function<std::unique_ptr<AutomationObject>(const QString&)> sub) {
                auto object = std::make_unique<FakeAutomationObject>(QString::fromLatin1(name), log);
                object->onSubObject = std::move(sub);
                return object;
            };
            app.onSubObject = [=](const QString&) {
                return make("stocks", [=](const QString& name) -> std::unique_ptr<AutomationObject> {
                    if (name != QLatin1String("Item(QString)"))
                        return nullptr;
                    return make("stock", [=](const QString&) {
                        return make("quotes", [=](const QString&) { return make("quote", nullptr); });
                    });
                });
            };
        };
        exporter->importCSVToAmiBroker(QStringLiteral("NSE:X"), csv);
        QCOMPARE(*backend->log,
                 (QStringList{"app.Stocks", "stocks.Add(QString) [NSE:X]", "stocks.Item(QString) [NSE:X]", "stock.Quotations",
                              "quotes.Add(QString) [2024-03-14]", "quote.Open=10.5", "quote.High=11", "quote.Low=10",
                              "quote.Close=10.75", "quote.Volume=1200", "quotes.Add(QString) [2024-03-14]", "quote.Open=0",
                              "quote.High=11.5", "quote.Low=10.5", "quote.Close=11.25", "quote.Volume=0",
                              "app.RefreshAll()"}));

        // Without a stocks collection nothing is refreshed.
        backend->log->clear();
        backend->setupApplication = nullptr;
        exporter->connectToAmiBroker();
        QTest::ignoreMessage(QtWarningMsg, "[CSVImporter] All import methods failed for \"NSE:X\"");
        exporter->importCSVToAmiBroker(QStringLiteral("NSE:X"), csv);
        QVERIFY(!backend->log->contains(QStringLiteral("app.RefreshAll()")));
    }

private:
    QTemporaryDir home;
    QTemporaryDir* work = nullptr;
    std::shared_ptr<FakeAutomationBackend> backend;
    std::unique_ptr<CSVExporter> exporter;

    // Two lines in the live data file, auto-import on, no import run yet.
    QString fillLiveFile()
    {
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(1));
        exporter->onTickReceived(QStringLiteral("NSE:SBIN"), tick(2));
        QMetaObject::invokeMethod(exporter.get(), "flushPendingLines", Qt::DirectConnection);
        exporter->setAutoImportEnabled(true);
        return exporter->liveDataFilePath();
    }
};

QTEST_GUILESS_MAIN(TestCSVExporterAutomation)
#include "tst_csvexporterautomation.moc"
