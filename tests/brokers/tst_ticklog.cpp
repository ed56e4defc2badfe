// The lines the connectors and the live-feed controller write on the tick path: each appears as
// written while the per-tick category is on, and switching that category off silences exactly
// those lines, not the connectors' other ones.
#include "brokers/BrokerAPI.h"
#include "brokers/LiveFeeder.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/upstox/UpstoxBroker.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "support/DhanFrames.h"
#include "support/RecordingBroker.h"
#include "support/LogCapture.h"
#include "support/TradeJiniFrames.h"
#include "support/UpstoxFrames.h"

#include <QLoggingCategory>
#include <QStandardPaths>
#include <QtTest>

class TestTickLog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { QLoggingCategory::setFilterRules(QString()); }
    void linesOnTheTickPath_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("perTick");  // the start of each line the category carries
        QTest::addColumn<QStringList>("others");   // lines that stay whatever the category

        // Trade time 0 is implausible: the time of receipt replaces it.
        QTest::newRow("dhan packet") << "dhan" << DhanFrames::quote(1333, 1500.5f, 0)
                                     << QStringList{"[DhanBroker] Header - ResponseCode: 8 MsgLen: 162 ExchSeg: 1 SecurityID: 1333",
                                                    "[DhanBroker] Invalid timestamp from LTT epoch: 0 resulted in: 19",
                                                    "[DhanBroker] Full packet - SecurityID: 1333 Symbol: \"1333\" LTP: 1500.5",
                                                    "[DhanBroker] Emitting tickReceived signal for \"1333\" token: \"1333\" price: 1500.5"}
                                     << QStringList{};
        QTest::newRow("dhan short frame") << "dhan" << DhanFrames::quote(1333, 1500.5f, 0).left(61) << QStringList{}
                                          << QStringList{"[DhanBroker] Binary message too short: 61 bytes, expected at least 62"};

        using namespace TradeJiniFrames;
        const QByteArray l1 = packet(10, u8Tag(26, 1) + u32Tag(27, 2885) + i32Tag(29, 150000) + u32Tag(39, 10)
                                             + skipTag(33, 4) + skipTag(33, 4) + skipTag(33, 4));
        QTest::newRow("tradejini large packet") << "tradejini" << frame(l1, false)
                                                << QStringList{"[TradeJiniBroker] Parsing L1 packet, size: 35",
                                                               "[TradeJiniBroker] Large packet ( 35 bytes) - HEX DUMP:",
                                                               "23 00 0a 1a 01 1b 45 0b 00 00 1d f0 49 02 00 27 \n0a 00 "}
                                                << QStringList{};

        using namespace UpstoxFrames;
        UpstoxFrames::Trade trade;
        trade.ltp = 2500.5;
        trade.ltq = 10;
        trade.cp = 2490;
        trade.ltt = 1710474300000;
        QTest::newRow("upstox protobuf") << "upstox" << entry("NSE_EQ|INE1", fullFeed(trade)) + entry("NSE_EQ|INE2", ltpcFeed({}))
                                         << QStringList{"[UpstoxBroker] Starting manual protobuf parse, size:",
                                                        "[UpstoxBroker] Field: 2 WireType: 2 Pos: 1",
                                                        "[UpstoxBroker] Feed entry length:",
                                                        "[UpstoxBroker] Instrument key: \"NSE_EQ|INE1\"",
                                                        "[UpstoxBroker]   Feed field: 2 wireType: 2",
                                                        "[UpstoxBroker]     FullFeed field: 1 wireType: 2",
                                                        "[UpstoxBroker]       MarketFF field: 1 wireType: 2",
                                                        "[UpstoxBroker]         CP (previous close): 2490",
                                                        "[UpstoxBroker] \u2713 Parsed tick # 1 : \"NSE_EQ|INE1\" LTP: 2500.5 Open(CP): 2490 "
                                                        "Change: 10.5 ( 0.42 %) Vol: 10 (LTQ: 10 /LotSize: 1 ) OI: 0 Time: \"2024-03-1",
                                                        "[UpstoxBroker] Parsing complete. Total feeds parsed: 1"}
                                         << QStringList{"[UpstoxBroker] Invalid tick data - key: \"NSE_EQ|INE2\" ltp: 0"};
        QTest::newRow("upstox json feed")
            << "upstox" << QByteArray(R"({"type":"live_feed","feeds":{"NSE_EQ|A":{"ltpc":{"ltp":12.5,"ltq":3,"ltt":"0"}}}})")
            << QStringList{"[UpstoxBroker] Tick: \"NSE_EQ|A\" LTP: 12.5 Volume: 3 Time:"} << QStringList{};
        QTest::newRow("live feed") << "feeder" << QByteArray() << QStringList{"Tick received for \"A\" Price: 101"}
                                   << QStringList{};
    }
    void linesOnTheTickPath()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, perTick);
        QFETCH(QStringList, others);

        for (const bool on : {true, false}) {
            QLoggingCategory::setFilterRules(on ? QString() : QStringLiteral("tickvane.ticks.debug=false"));
            LogCapture log(false);
            if (source == "dhan") {
                DhanBroker broker;
                broker.parseBinaryPacket(frame);
            } else if (source == "tradejini") {
                TradeJiniBroker broker;
                QVERIFY(QMetaObject::invokeMethod(&broker, "onWsBinaryMessage", Q_ARG(QByteArray, frame)));
            } else if (source == "upstox") {
                UpstoxBroker broker;
                QVERIFY(QMetaObject::invokeMethod(&broker, "onWsBinaryMessage", Q_ARG(QByteArray, frame)));
            } else {
                BrokerAPI api;
                RecordingBroker broker;
                api.setImplementation(&broker);
                DataManager store;
                SettingsManager settings;
                settings.setWatchlist({"A"});
                settings.setApiKey("key12345");
                LiveFeeder feeder(&api, &store, &settings);
                feeder.start();
                broker.sendTick(RecordingBroker::makeTick("A", 101));
            }
            const QStringList messages = log.messages();
            for (const QString& line : perTick) {
                const bool seen =
                    std::any_of(messages.cbegin(), messages.cend(), [&](const QString& m) { return m.startsWith(line); });
                QVERIFY2(seen == on, qPrintable((on ? "missing: " : "not silenced: ") + line));
            }
            for (const QString& line : others)
                QVERIFY2(messages.contains(line), qPrintable("missing: " + line));
        }
    }

    // The live feed writes its per-tick line by hand; it must read exactly as the debug stream
    // would have written it, whatever the symbol and the price's magnitude.
    void liveFeedLineReadsAsTheDebugStream()
    {
        BrokerAPI api;
        RecordingBroker broker;
        api.setImplementation(&broker);
        DataManager store;
        SettingsManager settings;
        const QStringList symbols{"NSE:NIFTY24DEC24500CE", "M&M", "BAJAJ-AUTO", "odd\"name", "back\\slash",
                                  QString::fromUtf8("\xe0\xa4\xa8\xe0\xa4\xbf"), "tab\tin"};
        settings.setWatchlist(symbols);
        settings.setApiKey("key12345");
        LiveFeeder feeder(&api, &store, &settings);
        feeder.start();
        const QList<double> prices{101, 122845.55, 1234567.5, 0.05, 0.000012345, 1e-7, 24500.25, 99999.95};
        for (const QString& symbol : symbols) {
            for (const double price : prices) {
                LogCapture log(false);
                broker.sendTick(RecordingBroker::makeTick(symbol, price));
                QString expected;
                QDebug(&expected) << "Tick received for" << symbol << "Price:" << price;
                QVERIFY2(log.messages().contains(expected.trimmed()), qPrintable(expected + " | " + log.messages().join(" | ")));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTickLog)
#include "tst_ticklog.moc"
