// Downloaded history into the candle store: a loopback Custom API download lands in a real SQLite store
// with its prices and exchange times, and a repeated download adds nothing.
#include "amibroker/CSVExporter.h"
#include "backtest/HistoryCandleWriter.h"
#include "backtest/SQLiteOHLCStore.h"
#include "brokers/BrokerAPI.h"
#include "brokers/CustomApiParser.h"
#include "brokers/HistoricalDownloader.h"
#include "brokers/angelone/AngelOneHistory.h"
#include "brokers/dhan/DhanHistory.h"
#include "brokers/flattrade/FlatTradeHistory.h"
#include "brokers/tradejini/TradeJiniHistory.h"
#include "brokers/upstox/UpstoxHistory.h"
#include "brokers/zerodha/ZerodhaHistory.h"
#include "core/TickClock.h"
#include "support/CandleFixture.h"
#include "support/FakeAutomation.h"
#include "support/HttpTestServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTime>
#include <QtTest>

#include <limits>

using namespace CandleFixture;

namespace {

QJsonObject bar(const QString& when, double open, double high, double low, double close, double volume = 10)
{
    return QJsonObject{{"symbol", "SYM"}, {"open", open}, {"high", high}, {"low", low},
                       {"close", close}, {"volume", volume}, {"date", when}};
}

// Two days of minute bars on the exchange clock, flat at 100 but for Monday 10:00, which closes at 102.
QByteArray minuteHistory()
{
    QJsonArray rows;
    for (const QString& day : {QString("2024-03-04"), QString("2024-03-05")}) {
        for (int m = 0; m < 375; ++m) {
            const double close = day.endsWith("04") && m == 45 ? 102 : 100;
            rows.append(bar(day + "T" + minuteTime(m) + "+05:30", 100, close + 0.05, 99.95, close));
        }
    }
    return QJsonDocument(QJsonObject{{"data", rows}}).toJson(QJsonDocument::Compact);
}

// The bars one connector's history parser makes of `body`.
QList<OHLCData> parsed(const QString& source, const QByteArray& body)
{
    if (source == "zerodha")
        return ZerodhaHistory::parseReply(200, body, "SYM").bars;
    if (source == "upstox")
        return UpstoxHistory::parseCandles(body, "SYM").bars;
    if (source == "angelone")
        return AngelOneHistory::parseCandles(body, "SYM").bars;
    if (source == "dhan")
        return DhanHistory::parseReply(body, "SYM").bars;
    if (source == "tradejini")
        return TradeJiniHistory::parseReply(body, "SYM").bars;
    if (source.startsWith("flattrade"))
        return FlatTradeHistory::parse(body, source.endsWith("day"), "SYM").bars;
    return parseHistoricalResponse(body, "SYM");
}

// 2024-06-03 09:15 on the exchange's clock.
constexpr qint64 kMorning = 1717386300;

}  // namespace

class TestHistoryCandleWriter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The CSV exporter's default folder lies under the temporary folder: keep it out of the real one.
        QVERIFY(home.isValid());
        qputenv("TMPDIR", QFile::encodeName(home.path()));
    }

    void intervalsChooseTheTable()
    {
        using T = HistoryCandleWriter::Table;
        const std::pair<QString, T> rows[] = {{"minute", T::Minute}, {"1minute", T::Minute}, {"day", T::Day},
                                              {"5minute", T::None},  {"60minute", T::None},  {"Day", T::None}};
        for (const auto& [interval, table] : rows)
            QCOMPARE(int(HistoryCandleWriter::tableFor(interval)), int(table));
    }

    void barsBecomeCandles()
    {
        auto ohlc = [](const QDateTime& when, double price, double volume) {
            OHLCData b;
            b.symbol = "SYM";
            b.timestamp = when;
            b.open = b.high = b.low = b.close = price;
            b.volume = volume;
            return b;
        };
        const QList<OHLCData> bars{
            ohlc(QDateTime(QDate(2024, 3, 4), QTime(3, 45), Qt::UTC), 100, 5),  // 09:15 on the exchange clock
            ohlc(QDateTime(QDate(2024, 3, 4), QTime(20, 0), Qt::UTC), 101, 1e12),  // past midnight there
            ohlc(QDateTime(QDate(2024, 3, 4), QTime(9, 16), Qt::LocalTime), 102, -1),
            ohlc(QDateTime(), 103, 1),  // no time
            ohlc(QDateTime(QDate(2024, 3, 4), QTime(9, 17), Qt::UTC), std::numeric_limits<double>::quiet_NaN(), 1),
            ohlc(QDateTime(QDate(2024, 3, 4), QTime(9, 18), Qt::UTC), 0, 1),
        };
        const QVector<StoredCandle> minutes = HistoryCandleWriter::toCandles(bars, HistoryCandleWriter::Table::Minute);
        QCOMPARE(minutes.size(), 3);
        QCOMPARE(minutes[0].date + " " + minutes[0].time, QString("2024-03-04 09:15:00"));
        QCOMPARE(minutes[0].volume, 5);
        QCOMPARE(minutes[1].date + " " + minutes[1].time, QString("2024-03-05 01:30:00"));
        QCOMPARE(minutes[1].volume, std::numeric_limits<qint32>::max());
        QCOMPARE(minutes[2].date + " " + minutes[2].time, QString("2024-03-04 09:16:00"));
        QCOMPARE(minutes[2].close, 102.0);
        const QVector<StoredCandle> days = HistoryCandleWriter::toCandles(bars, HistoryCandleWriter::Table::Day);
        QCOMPARE(days.size(), 3);
        QCOMPARE(days[1].time, QString("00:00:00"));
        QVERIFY(HistoryCandleWriter::toCandles(bars, HistoryCandleWriter::Table::None).isEmpty());
    }

    void everySourceMeetsOnBothClocks_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("daily");
        const QByteArray flat = R"([{"stat":"Ok","time":"03-06-2024 09:15:00","ssboe":"1717386300","into":"100","inth":"101","intl":"99","intc":"100.5","intv":"10"}])";
        QTest::newRow("Zerodha") << "zerodha" << QByteArray(R"({"status":"success","data":{"candles":[["2024-06-03T09:15:00+0530",100,101,99,100.5,10]]}})") << false;
        QTest::newRow("Zerodha daily") << "zerodha" << QByteArray(R"({"status":"success","data":{"candles":[["2024-06-03T00:00:00+0530",100,101,99,100.5,10]]}})") << true;
        QTest::newRow("Upstox") << "upstox" << QByteArray(R"({"status":"success","data":{"candles":[["2024-06-03T09:15:00+05:30",100,101,99,100.5,10,0]]}})") << false;
        QTest::newRow("AngelOne") << "angelone" << QByteArray(R"({"status":true,"data":[["2024-06-03T09:15:00+05:30",100,101,99,100.5,10]]})") << false;
        QTest::newRow("Dhan") << "dhan" << QByteArray(R"({"timestamp":[1717386300],"open":[100],"high":[101],"low":[99],"close":[100.5],"volume":[10]})") << false;
        QTest::newRow("Dhan daily") << "dhan" << QByteArray(R"({"timestamp":[1717353000],"open":[100],"high":[101],"low":[99],"close":[100.5],"volume":[10]})") << true;
        QTest::newRow("TradeJini") << "tradejini" << QByteArray(R"({"s":"ok","d":{"bars":[[1717386300000,100,101,99,100.5,10]]}})") << false;
        QTest::newRow("FlatTrade") << "flattrade" << flat << false;
        QTest::newRow("FlatTrade daily") << "flattrade day" << QByteArray(flat).replace("03-06-2024 09:15:00", "03-JUN-2024") << true;
        QTest::newRow("Custom API epoch rows") << "custom" << QByteArray(R"({"candles":[[1717386300,100,101,99,100.5,10]]})") << false;
        QTest::newRow("Custom API UTC rows") << "custom" << QByteArray(R"({"status":"success","data":[["2024-06-03T03:45:00Z",100,101,99,100.5,10]]})") << false;
        QTest::newRow("Custom API daily at midnight UTC") << "custom" << QByteArray(R"({"candles":[[1717372800,100,101,99,100.5,10]]})") << true;
        QTest::newRow("Custom API daily") << "custom" << QByteArray(R"({"data":[{"symbol":"SYM","date":"2024-06-03","open":100,"high":101,"low":99,"close":100.5}]})") << true;
    }

    // The store holds the exchange's wall-clock time, one row per minute from every source; in the CSV files
    // a bar reads like a live tick of the same moment (a daily bar, like its date), on a machine in any zone.
    void everySourceMeetsOnBothClocks()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, body);
        QFETCH(bool, daily);
        const QList<OHLCData> bars = parsed(source, body);
        QCOMPARE(bars.size(), 1);
        const auto table = daily ? HistoryCandleWriter::Table::Day : HistoryCandleWriter::Table::Minute;
        const QVector<StoredCandle> candles = HistoryCandleWriter::toCandles(bars, table);
        QCOMPARE(candles.size(), 1);
        QCOMPARE(candles[0].date + " " + candles[0].time, QString(daily ? "2024-06-03 00:00:00" : "2024-06-03 09:15:00"));

        QTemporaryDir dir;
        CSVExporter exporter(nullptr);
        exporter.setAutomationBackend(std::make_shared<FakeAutomationBackend>());
        exporter.setExportDir(dir.filePath("export"));
        exporter.setFormatFileCandidates({});
        exporter.setAutoImportEnabled(false);
        exporter.setExportFormat("tick");
        TickData tick;
        tick.symbol = "SYM";
        tick.ltp = 100.5;
        tick.timestamp = TickClock::fromSecs(kMorning);
        exporter.onTickReceived("SYM", tick);
        exporter.writeHistoricalData("SYM", {TickData{"SYM", {}, {}, 100.5, 100, 101, 99, 10, 0, 0, bars[0].timestamp}});
        QFile file(exporter.dataFilePathFor("SYM"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4);  // header, tick, bar, and the empty rest
        const QByteArray barTime = lines[2].split(',').value(1);
        QCOMPARE(barTime, daily ? QByteArray("2024-06-03 00:00:00") : lines[1].split(',').value(1));
    }

    void downloadsFillTheStore()
    {
        registerMarketDataTypes();
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        HttpTestServer server;
        QVERIFY(server.listen());
        BrokerAPI api;
        api.setProvider(6);
        api.setCustomUrl(server.baseUrl());
        HistoricalDownloader downloader(&api, nullptr, nullptr, nullptr);
        downloader.setPacingInterval(5);
        HistoryCandleWriter writer(&store);
        connect(&downloader, &HistoricalDownloader::historyDownloaded, &writer, &HistoryCandleWriter::write);
        QSignalSpy written(&writer, &HistoryCandleWriter::written);

        server.setReply("GET", "/", HttpTestServer::Reply::json(minuteHistory()));
        QVERIFY(!downloader.downloadHistoricalData("SYM", QDate(2024, 3, 4), QDate(2024, 3, 5), "minute").isEmpty());
        QVERIFY(written.wait(10000));
        QCOMPARE(written.last(), (QList<QVariant>{"SYM", "minute", 750, 750, 0, ""}));
        QCOMPARE(store.minuteCandleCount(), qint64(750));
        const StoredCandle ten = store.loadMinuteCandles("SYM", "2024-03-04").value(45);
        QCOMPARE(QString("%1 %2 %3 %4 %5 %6").arg(ten.time).arg(ten.open).arg(ten.high).arg(ten.low).arg(ten.close).arg(ten.volume),
                 QString("10:00:00 100 102.05 99.95 102 10"));

        // The same range again adds no row; daily bars go to the day table; a 5-minute download is not stored.
        QVERIFY(!downloader.downloadHistoricalData("SYM", QDate(2024, 3, 4), QDate(2024, 3, 5), "minute").isEmpty());
        QVERIFY(written.wait(10000));
        QCOMPARE(written.last(), (QList<QVariant>{"SYM", "minute", 750, 0, 0, ""}));
        server.setReply("GET", "/", HttpTestServer::Reply::json(QJsonDocument(QJsonObject{{"data", QJsonArray{
            bar("2024-03-04", 100, 102.05, 97.95, 100, 3750), bar("2024-03-05", 100, 101.55, 99.95, 100, 3750)}}})
            .toJson(QJsonDocument::Compact)));
        QSignalSpy completed(&downloader, &HistoricalDownloader::downloadCompleted);
        downloader.downloadHistoricalData("SYM", QDate(2024, 3, 4), QDate(2024, 3, 5), "5minute");
        QVERIFY(completed.wait(10000));
        downloader.downloadHistoricalData("SYM", QDate(2024, 3, 4), QDate(2024, 3, 5), "day");
        QVERIFY(written.wait(10000));
        QCOMPARE(written.size(), 3);
        QCOMPARE(written.last(), (QList<QVariant>{"SYM", "day", 2, 2, 0, ""}));
        QCOMPARE(store.loadDayCandles("SYM", "2024-03-01", "2024-03-08").size(), 2);
        QCOMPARE(store.minuteCandleCount(), qint64(750));
    }

    void aLockedStoreIsWaitedForThenReported()
    {
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        const QList<OHLCData> bars = parsed("dhan", R"({"timestamp":[1717386300,1717386360],"open":[1,2],"high":[1,2],"low":[1,2],"close":[1,2]})");
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other program");
        other.setDatabaseName(dir.filePath("1min.db"));
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec("BEGIN IMMEDIATE"));  // another program holds the write lock
        auto* writer = new HistoryCandleWriter(&store);
        writer->setBusyWait(300);
        QSignalSpy written(writer, &HistoryCandleWriter::written);
        writer->write("SYM", "minute", bars);
        QVERIFY(written.wait(10000));
        // A store that stays locked holds neither the queued batches nor exit: they are reported too.
        writer->setBusyWait(std::numeric_limits<int>::max());
        writer->write("SYM", "minute", bars);
        writer->write("SYM", "minute", bars);
        delete writer;
        QCOMPARE(written.size(), 3);
        for (const QList<QVariant>& w : qAsConst(written))
            QCOMPARE(w.mid(2), (QList<QVariant>{2, 0, 2, "the candle store stayed locked by another connection"}));
        // Released while the batch is queued or waiting: the whole batch goes in.
        HistoryCandleWriter again(&store);
        QSignalSpy stored(&again, &HistoryCandleWriter::written);
        again.write("SYM", "minute", bars);
        QVERIFY(lock.exec("ROLLBACK"));
        QVERIFY(stored.wait(10000));
        QCOMPARE(stored.last().mid(2), (QList<QVariant>{2, 2, 0, ""}));
    }

    void receivedCountsEveryBar_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<int>("unusable");  // 0 none, 1 no time, 2 price not a number, 3 zero price
        for (const QString& interval : {QString("minute"), QString("day")}) {
            QTest::addRow("%s, all usable", qPrintable(interval)) << interval << 0;
            QTest::addRow("%s, a bar without time", qPrintable(interval)) << interval << 1;
            QTest::addRow("%s, a close that is not a number", qPrintable(interval)) << interval << 2;
            QTest::addRow("%s, a zero open", qPrintable(interval)) << interval << 3;
        }
    }
    void receivedCountsEveryBar()
    {
        // The report counts the bars the broker sent; the unusable one is received but not added.
        QFETCH(QString, interval);
        QFETCH(int, unusable);
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        QList<OHLCData> bars = parsed("dhan", R"({"timestamp":[1717386300,1717472700,1717559100],)"
                                              R"("open":[1,2,3],"high":[1,2,3],"low":[1,2,3],"close":[1,2,3]})");
        QCOMPARE(bars.size(), 3);
        if (unusable == 1)
            bars[1].timestamp = QDateTime();
        else if (unusable == 2)
            bars[1].close = std::numeric_limits<double>::quiet_NaN();
        else if (unusable == 3)
            bars[1].open = 0;
        HistoryCandleWriter writer(&store);
        QSignalSpy written(&writer, &HistoryCandleWriter::written);
        writer.write("SYM", interval, bars);
        QTRY_COMPARE_WITH_TIMEOUT(written.size(), 1, 10000);
        const int usable = unusable ? 2 : 3;
        QCOMPARE(written.last(), (QList<QVariant>{"SYM", interval, 3, usable, 0, ""}));
    }

    void queuedBatchesAreStoredWhenTheWriterStops()
    {
        // Stopping the writer right after queueing: every batch still waiting goes into the free store.
        QTemporaryDir dir;
        SQLiteOHLCStore store;
        QVERIFY(store.open(dir.path()));
        const QList<OHLCData> bars = parsed("dhan", R"({"timestamp":[1717386300,1717386360],"open":[1,2],"high":[1,2],"low":[1,2],"close":[1,2]})");
        const int batches = 8;
        auto* writer = new HistoryCandleWriter(&store);
        QSignalSpy written(writer, &HistoryCandleWriter::written);
        for (int i = 0; i < batches; ++i)
            writer->write(QStringLiteral("SYM%1").arg(i), "minute", bars);
        delete writer;
        QCOMPARE(written.size(), batches);
        for (const QList<QVariant>& r : qAsConst(written))
            QCOMPARE(r.mid(2), (QList<QVariant>{2, 2, 0, ""}));
        QCOMPARE(store.minuteCandleCount(), qint64(batches * 2));
    }

private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(TestHistoryCandleWriter)
#include "tst_historycandlewriter.moc"
