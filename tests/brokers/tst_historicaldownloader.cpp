// History queue: validation, one-at-a-time pacing, reply matching, failures, cancel and time-out.
#include "backtest/HistoryCandleWriter.h"
#include "backtest/SQLiteOHLCStore.h"
#include "brokers/BrokerAPI.h"
#include "brokers/HistoricalDownloader.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "support/BrokerTestSetup.h"
#include "support/ListLookups.h"
#include "support/RecordingBroker.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

class FakeSymbols : public QObject, public ISymbolLookup {
public:
    QMap<QString, QString> tokens;                 // upper-cased symbol -> token
    QMap<QString, IndianSymbolData> instruments;   // token -> record
    QString findSymbol(const QString& text) const override { return tokens.value(text.trimmed().toUpper()); }
    IndianSymbolData symbolByToken(const QString& token) const override { return instruments.value(token); }
};

QList<OHLCData> bars(const QString& symbol, int n)
{
    QList<OHLCData> out;
    for (int i = 0; i < n; ++i) {
        OHLCData b;
        b.symbol = symbol;
        b.timestamp = QDateTime(QDate(2024, 1, 1).addDays(i), QTime(0, 0));
        b.open = b.high = b.low = b.close = 10 + i;
        out << b;
    }
    return out;
}

// `n` one-minute bars of one morning, from 09:15 on the exchange's clock.
QList<OHLCData> minuteBars(const QString& symbol, int n)
{
    QList<OHLCData> out = bars(symbol, n);
    for (int i = 0; i < n; ++i)
        out[i].timestamp = QDateTime(QDate(2024, 1, 2), QTime(9, 15 + i), Qt::OffsetFromUTC, 19800);
    return out;
}

const QDate kFrom(2024, 1, 1);
const QDate kTo(2024, 1, 31);

}  // namespace

class TestHistoricalDownloader : public QObject {
    Q_OBJECT

    struct Rig {
        BrokerAPI api;
        RecordingBroker broker;
        DataManager store;
        SettingsManager settings;
        HistoricalDownloader dl;
        explicit Rig(ISymbolLookup* provider = nullptr) : dl(&api, &store, &settings, provider)
        {
            api.setImplementation(&broker);
            dl.setPacingInterval(5);
        }
    };

private slots:
    void initTestCase() { setUpBrokerTest("tst_historicaldownloader"); }

    void refusedRequests_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty symbol") << "" << kFrom << kTo << false;
        QTest::newRow("invalid from") << "A" << QDate() << kTo << false;
        QTest::newRow("invalid to") << "A" << kFrom << QDate(2024, 2, 30) << false;
        QTest::newRow("to before from") << "A" << kFrom << kFrom.addDays(-1) << false;
        QTest::newRow("single day") << "A" << kFrom << kFrom << true;
    }

    void refusedRequests()
    {
        QFETCH(QString, symbol);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(bool, accepted);
        Rig rig;
        QSignalSpy started(&rig.dl, &HistoricalDownloader::downloadStarted);
        const QString id = rig.dl.downloadHistoricalData(symbol, from, to, "day");
        QCOMPARE(!id.isEmpty(), accepted);
        QCOMPARE(started.count(), accepted ? 1 : 0);
        QCOMPARE(rig.broker.history.size(), accepted ? 1 : 0);
        QCOMPARE(rig.dl.isDownloading(), accepted);
    }

    void idsAndDateWrappers()
    {
        Rig rig;
        const QDate today = QDate::currentDate();
        const QString first = rig.dl.downloadLastDays("A", 0, "5minute");
        QVERIFY2(QRegularExpression("^req_1_[0-9a-f]{8}$").match(first).hasMatch(), qPrintable(first));
        QCOMPARE(rig.broker.history.at(0).from, today);
        QCOMPARE(rig.broker.history.at(0).interval, QString("5minute"));
        QVERIFY(rig.dl.downloadLastDays("A", -1, "day").isEmpty());

        rig.dl.cancelAllDownloads();
        const QString second = rig.dl.downloadLastWeeks("B", 2, "");
        QVERIFY(second.startsWith("req_2_"));
        QCOMPARE(rig.broker.history.at(1).from, today.addDays(-14));
        QCOMPARE(rig.broker.history.at(1).interval, QString());  // passed on exactly as given

        rig.dl.cancelAllDownloads();
        rig.settings.setMaxHistoricalDays(30);
        rig.dl.downloadLastMonths("C", 3, "day");
        QCOMPARE(rig.broker.history.at(2).from, today.addDays(-30));
        rig.dl.cancelAllDownloads();
        rig.settings.setMaxHistoricalDays(400);
        rig.dl.downloadLastMonths("D", 3, "day");
        QCOMPARE(rig.broker.history.at(3).from, today.addMonths(-3));
    }

    void queueRunsOneAtATimeWithPacing()
    {
        Rig rig;
        QSignalSpy started(&rig.dl, &HistoricalDownloader::downloadStarted);
        QSignalSpy progress(&rig.dl, &HistoricalDownloader::downloadProgress);
        QSignalSpy done(&rig.dl, &HistoricalDownloader::downloadCompleted);
        QSignalSpy all(&rig.dl, &HistoricalDownloader::allDownloadsCompleted);
        const QString a = rig.dl.downloadHistoricalData("AAA", kFrom, kTo, "day");
        const QString b = rig.dl.downloadHistoricalData("BBB", kFrom, kTo, "day");
        const QString c = rig.dl.downloadHistoricalData("CCC", kFrom, kTo, "day");
        QCOMPARE(rig.broker.history.size(), 1);  // only the first goes out
        QCOMPARE(rig.dl.pendingCount(), 3);
        QCOMPARE(rig.dl.activeSymbols(), QStringList{"AAA"});

        const QStringList symbols{"AAA", "BBB", "CCC"};
        for (int i = 0; i < 3; ++i) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), i + 1, 5000);
            QCOMPARE(rig.broker.history.last().symbol, symbols.at(i));
            QCOMPARE(rig.broker.history.size(), i + 1);  // never a second one while one runs
            rig.broker.sendHistory(symbols.at(i), bars(symbols.at(i), i + 1));
            QCOMPARE(progress.last().at(0).toInt(), i + 1);
            QCOMPARE(progress.last().at(1).toInt(), 3);
        }
        QTRY_COMPARE_WITH_TIMEOUT(all.count(), 1, 5000);
        QVERIFY(!rig.dl.isDownloading());
        QCOMPARE(started.count(), 3);
        QCOMPARE(done.count(), 3);
        QCOMPARE(done.at(0).at(0).toString(), a);
        QCOMPARE(done.at(1).at(0).toString(), b);
        QCOMPARE(done.at(2).at(0).toString(), c);
        QCOMPARE(done.at(2).at(2).toInt(), 3);
        QCOMPARE(rig.store.barCount("CCC"), 3);

        // The completed count carries on into the next batch.
        rig.dl.downloadHistoricalData("DDD", kFrom, kTo, "day");
        rig.broker.sendHistory("DDD", bars("DDD", 1));
        QCOMPARE(progress.last().at(0).toInt(), 4);
        QCOMPARE(progress.last().at(1).toInt(), 4);
    }

    void matching_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("provider");  // 0: none, 1: given, 2: given and destroyed before the request
        QTest::addColumn<QString>("storedUnder");  // empty: not matched
        QTest::newRow("plain to qualified") << "RELIANCE" << "NSE:RELIANCE-EQ" << 0 << "RELIANCE";
        QTest::newRow("qualified to plain") << "NSE:RELIANCE-EQ" << "RELIANCE" << 0 << "NSE:RELIANCE-EQ";
        QTest::newRow("punctuation ignored") << "M&M" << "NSE:M&M-EQ" << 0 << "M&M";
        QTest::newRow("text pass keeps reply name") << "RELIANCE" << "RELIANCE INDUSTRIES" << 0 << "RELIANCE INDUSTRIES";
        QTest::newRow("scrip inside reply") << "BAJAJ AUTO" << "NSE:BAJAJ-EQ" << 0 << "NSE:BAJAJ-EQ";
        QTest::newRow("different instrument") << "TCS" << "INFY" << 0 << "";
        // What precedes the first '-' is the key: nothing, for a leading dash.
        QTest::newRow("leading dash keys nothing") << "-X" << "X" << 0 << "";
        QTest::newRow("token request via instrument") << "2885" << "RELIANCE" << 1 << "2885";
        QTest::newRow("assisted by token") << "RELIND" << "RIL.NS" << 1 << "RIL.NS";
        QTest::newRow("assisted needs provider") << "RELIND" << "RIL.NS" << 0 << "";
        QTest::newRow("a destroyed provider is not used") << "RELIND" << "RIL.NS" << 2 << "";
    }

    void matching()
    {
        QFETCH(QString, request);
        QFETCH(QString, reply);
        QFETCH(int, provider);
        QFETCH(QString, storedUnder);
        auto symbols = std::make_unique<FakeSymbols>();
        symbols->tokens = {{"RELIND", "2885"}, {"RIL.NS", "2885"}};
        symbols->instruments.insert("2885", instrument("RELIANCE", "NSE", "2885"));
        Rig rig(provider ? symbols.get() : nullptr);
        if (provider == 2)
            symbols.reset();
        QSignalSpy done(&rig.dl, &HistoricalDownloader::downloadCompleted);
        const QString id = rig.dl.downloadHistoricalData(request, kFrom, kTo, "day");
        rig.broker.sendHistory(reply, bars(reply, 2));
        if (storedUnder.isEmpty()) {
            QCOMPARE(done.count(), 0);
            QCOMPARE(rig.dl.pendingCount(), 1);  // still waiting for its own reply
            QVERIFY(rig.store.availableSymbols().isEmpty());
            return;
        }
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toString(), id);
        QCOMPARE(done.at(0).at(1).toString(), storedUnder);
        QCOMPARE(rig.store.availableSymbols(), QStringList{storedUnder});
        QCOMPARE(rig.dl.pendingCount(), 0);
    }

    void errorsFailOnlyTheRunningRequest()
    {
        Rig rig;
        QSignalSpy failed(&rig.dl, &HistoricalDownloader::downloadFailed);
        QSignalSpy progress(&rig.dl, &HistoricalDownloader::downloadProgress);
        rig.broker.sendError("idle error");
        QCOMPARE(failed.count(), 0);

        const QString a = rig.dl.downloadHistoricalData("AAA", kFrom, kTo, "day");
        rig.dl.downloadHistoricalData("BBB", kFrom, kTo, "day");
        rig.broker.sendError("Connection refused");
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), a);
        QCOMPARE(failed.at(0).at(1).toString(), QString("AAA"));
        QCOMPARE(failed.at(0).at(2).toString(), QString("Connection refused"));
        QCOMPARE(progress.last().at(0).toInt(), 1);
        QCOMPARE(progress.last().at(1).toInt(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), 2, 5000);
        QCOMPARE(rig.broker.history.last().symbol, QString("BBB"));
    }

    void cancellingRunningRequestMovesOn()
    {
        Rig rig;
        QSignalSpy done(&rig.dl, &HistoricalDownloader::downloadCompleted);
        QSignalSpy failed(&rig.dl, &HistoricalDownloader::downloadFailed);
        const QString a = rig.dl.downloadHistoricalData("AAA", kFrom, kTo, "day");
        const QString b = rig.dl.downloadHistoricalData("BBB", kFrom, kTo, "day");
        const QString c = rig.dl.downloadHistoricalData("CCC", kFrom, kTo, "day");
        rig.dl.cancelDownload(c);  // queued: simply gone
        rig.dl.cancelDownload(a);  // running: the queue must still move on
        QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), 2, 5000);
        QCOMPARE(rig.broker.history.last().symbol, QString("BBB"));

        // A late reply for the cancelled request matches nothing and is stored nowhere.
        rig.broker.sendHistory("AAA", bars("AAA", 1));
        QCOMPARE(done.count(), 0);
        QVERIFY(rig.store.availableSymbols().isEmpty());
        rig.broker.sendHistory("BBB", bars("BBB", 1));
        QCOMPARE(done.count(), 1);
        QCOMPARE(done.at(0).at(0).toString(), b);
        QCOMPARE(failed.count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dl.isDownloading(), 5000);
        QCOMPARE(rig.broker.history.size(), 2);  // CCC never went out

        rig.dl.cancelAllDownloads();
        rig.dl.downloadHistoricalData("DDD", kFrom, kTo, "day");
        QCOMPARE(rig.broker.history.size(), 3);  // idle again: starts at once
    }

    void lateAnswerGoesToItsOwnRequest_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("no answer in time") << "timeout";
        QTest::newRow("an error of the feed meanwhile") << "error";
        QTest::newRow("cancelled") << "cancel";
    }

    // The first request ends while its connector still works on it; its minute bars come while the
    // daily request for the same symbol runs. They answer nothing now: the daily request keeps
    // waiting for its own bars and the day table gets no minute bar.
    void lateAnswerGoesToItsOwnRequest()
    {
        QFETCH(QString, ending);
        QTemporaryDir dir;
        SQLiteOHLCStore candles;
        QVERIFY(candles.open(dir.path()));
        Rig rig;
        HistoryCandleWriter writer(&candles);
        connect(&rig.dl, &HistoricalDownloader::historyDownloaded, &writer, &HistoryCandleWriter::write);
        QSignalSpy written(&writer, &HistoryCandleWriter::written);
        QSignalSpy done(&rig.dl, &HistoricalDownloader::downloadCompleted);
        QSignalSpy downloaded(&rig.dl, &HistoricalDownloader::historyDownloaded);
        QSignalSpy failed(&rig.dl, &HistoricalDownloader::downloadFailed);
        QSignalSpy timedOut(&rig.dl, &HistoricalDownloader::downloadTimedOut);
        QSignalSpy facadeAnswers(&rig.api, &BrokerAPI::historicalDataReceived);

        rig.dl.setRequestTimeout(ending == "timeout" ? 30 : 60000);
        const QString minute = rig.dl.downloadHistoricalData("SBIN", kFrom, kFrom.addDays(2), "minute");
        const QString daily = rig.dl.downloadHistoricalData("SBIN", kFrom, kTo, "day");
        if (ending == "timeout")
            QVERIFY(failed.wait(5000));
        else if (ending == "error")
            rig.broker.sendError("WebSocket error: remote closed");
        else
            rig.dl.cancelDownload(minute);
        QCOMPARE(failed.size(), ending == "cancel" ? 0 : 1);
        // Only the queue knows of its own time-out; an error was told by whoever reported it.
        QCOMPARE(timedOut.size(), ending == "timeout" ? 1 : 0);
        rig.dl.setRequestTimeout(60000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), 2, 5000);
        QCOMPARE(rig.broker.history.at(1).interval, QString("day"));

        rig.broker.answerRequest(0, minuteBars("SBIN", 3));
        QCOMPARE(done.size(), 0);
        QCOMPARE(downloaded.size(), 0);
        QCOMPARE(rig.dl.activeSymbols(), QStringList{"SBIN"});
        QVERIFY(rig.store.availableSymbols().isEmpty());
        QCOMPARE(facadeAnswers.size(), 0);  // nor to any other listener of the facade

        rig.broker.answerRequest(1, bars("SBIN", 2));
        QCOMPARE(facadeAnswers.size(), 1);
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.at(0).at(0).toString(), daily);
        QCOMPARE(downloaded.size(), 1);
        QCOMPARE(downloaded.at(0).at(1).toString(), QString("day"));
        QTRY_COMPARE_WITH_TIMEOUT(written.size(), 1, 10000);
        QCOMPARE(written.last().mid(1, 3), (QList<QVariant>{"day", 2, 2}));
        QCOMPARE(candles.loadDayCandles("SBIN", "2024-01-01", "2024-01-31").size(), 2);
        QCOMPARE(candles.minuteCandleCount(), qint64(0));
    }

    void failureOfAnEndedRequestFailsNothing_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("no answer in time") << "timeout";
        QTest::newRow("an error of the feed meanwhile") << "error";
        QTest::newRow("cancelled") << "cancel";
    }

    // The daily request ends while its connector still works on it; the connector's refusal of it
    // comes while the minute request runs. It fails nothing: the minute request goes on and ends
    // with its own failure, told with its own text, once.
    void failureOfAnEndedRequestFailsNothing()
    {
        QFETCH(QString, ending);
        Rig rig;
        QSignalSpy failed(&rig.dl, &HistoricalDownloader::downloadFailed);
        QSignalSpy done(&rig.dl, &HistoricalDownloader::downloadCompleted);
        QSignalSpy told(&rig.api, &BrokerAPI::errorOccurred);
        rig.dl.setRequestTimeout(ending == "timeout" ? 30 : 60000);
        const QString daily = rig.dl.downloadHistoricalData("SBIN", kFrom, kTo, "day");
        const QString minute = rig.dl.downloadHistoricalData("SBIN", kTo, kTo, "minute");
        if (ending == "timeout")
            QVERIFY(failed.wait(5000));
        else if (ending == "error")
            rig.broker.sendError("WebSocket error: remote closed");
        else
            rig.dl.cancelDownload(daily);
        rig.dl.setRequestTimeout(60000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), 2, 5000);
        const int failedBefore = failed.size();
        const int toldBefore = told.size();

        rig.broker.failRequest(0, "Zerodha history error for SBIN: Internal server error");
        QCOMPARE(failed.size(), failedBefore);
        QCOMPARE(told.size(), toldBefore);
        QCOMPARE(rig.dl.activeSymbols(), QStringList{"SBIN"});

        // A failed request of someone else's, open at the facade, is not the queue's either.
        rig.api.requestHistoricalData("INFY", kFrom, kTo, "day", rig.api.newHistoryTag());
        rig.broker.failRequest(2, "Zerodha history error for INFY: no instrument token");
        QCOMPARE(failed.size(), failedBefore);
        QCOMPARE(told.size(), toldBefore + 1);
        QCOMPARE(rig.dl.activeSymbols(), QStringList{"SBIN"});

        rig.broker.failRequest(1, "Zerodha history error for SBIN: Too many requests");
        QCOMPARE(failed.size(), failedBefore + 1);
        QCOMPARE(failed.last(), (QList<QVariant>{minute, "SBIN", "Zerodha history error for SBIN: Too many requests"}));
        QCOMPARE(told.size(), toldBefore + 2);
        QCOMPARE(done.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dl.isDownloading(), 5000);
        QCOMPARE(failed.size(), failedBefore + 1);
    }

    void lostReplyTimesOut()
    {
        Rig rig;
        rig.dl.setRequestTimeout(30);
        QSignalSpy failed(&rig.dl, &HistoricalDownloader::downloadFailed);
        const QString a = rig.dl.downloadHistoricalData("AAA", kFrom, kTo, "day");
        rig.dl.downloadHistoricalData("BBB", kFrom, kTo, "day");
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.at(0).at(0).toString(), a);
        QVERIFY(failed.at(0).at(2).toString().contains("timed out"));
        rig.dl.setRequestTimeout(60000);  // the next request starts after the pause, with this limit
        QTRY_COMPARE_WITH_TIMEOUT(rig.broker.history.size(), 2, 5000);
        rig.broker.sendHistory("BBB", bars("BBB", 1));  // answered in time: no second failure
        QVERIFY(!failed.wait(100));
        QCOMPARE(failed.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestHistoricalDownloader)
#include "tst_historicaldownloader.moc"
