// The data-plugin entry points, called through their C linkage against a filled store.
#include "amibroker/PluginEntryPoints.h"
#include "core/DataManager.h"

#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

std::int32_t packed(const QDate& d)
{
    return d.year() * 10000 + d.month() * 100 + d.day();
}

OHLCData bar(const QString& symbol, const QDateTime& when, double close)
{
    OHLCData b;
    b.symbol = symbol;
    b.timestamp = when;
    b.open = close - 1;
    b.high = close + 2;
    b.low = close - 3;
    b.close = close;
    b.volume = close * 100;
    b.adjustedClose = close - 0.5;
    return b;
}

// Bars for 1 January onwards with closes 100, 101, ..., given newest first so the store sorts them.
QList<OHLCData> bars(const QString& symbol, int count)
{
    QList<OHLCData> list;
    for (int i = count - 1; i >= 0; --i)
        list << bar(symbol, QDateTime(QDate(2024, 1, 1 + i), QTime(15, 30)), 100 + i);
    return list;
}

PluginQuote poisoned()
{
    PluginQuote q;
    std::memset(&q, 0xAB, sizeof q);
    return q;
}

bool untouched(const PluginQuote& q)
{
    const PluginQuote p = poisoned();
    return std::memcmp(&q, &p, sizeof q) == 0;
}

// Price, open, high, low, quantity, volume, adjusted price: compared exactly, as the host reads them.
QVector<float> prices(const PluginQuote& q)
{
    return {q.price, q.open, q.high, q.low, q.quantity, q.volume, q.adjustedPrice};
}

} // namespace

class TestAmiBrokerPlugin : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        store = new DataManager;
    }

    void cleanup()
    {
        delete plugin; // unregisters itself
        plugin = nullptr;
        delete store;
        QCOMPARE(AmiBrokerPlugin::instance(), nullptr);
    }

    void entryPointsWithoutPlugin()
    {
        store->storeHistoricalData(QStringLiteral("X"), bars(QStringLiteral("X"), 3));
        PluginInfo info{};
        PluginQuote q[2] = {poisoned(), poisoned()};
        QCOMPARE(GetPluginInfo(&info), 0);
        QCOMPARE(info.structSize, 0);
        QCOMPARE(GetStatus(nullptr), 0);
        QCOMPARE(GetQuote("X", q), 0);
        QCOMPARE(GetQuoteEx("X", 0, 0, 2, q, nullptr), 0);
        QVERIFY(untouched(q[0]) && untouched(q[1]));
        QCOMPARE(Notify(nullptr), 0);
        QCOMPARE(SetTimeBase(60), 0);
        Release();

        // Once registered, the plugin answers; a destroyed one is unregistered.
        registerPlugin();
        QCOMPARE(Notify(nullptr), 1);
        { AmiBrokerPlugin other(store); } // not the registered one: leaves the registration alone
        QCOMPARE(Notify(nullptr), 1);
        delete plugin;
        plugin = nullptr;
        QCOMPARE(Notify(nullptr), 0);
    }

    void infoAndStatus()
    {
        AmiBrokerPlugin storeless(nullptr);
        AmiBrokerPlugin::setInstance(&storeless);
        QCOMPARE(GetStatus(nullptr), 0);
        AmiBrokerPlugin::setInstance(nullptr);

        registerPlugin();
        QCOMPARE(GetPluginInfo(nullptr), 0);
        for (int round = 0; round < 2; ++round) { // the texts stay readable between calls
            PluginInfo info;
            std::memset(&info, 0xCD, sizeof info);
            QCOMPARE(GetPluginInfo(&info), 1);
            QCOMPARE((QVector<int>{info.structSize, info.type, info.version, info.idCode, info.reserved,
                                   info.minHostVersion}),
                     (QVector<int>{int(sizeof(PluginInfo)), 3, 10000, 12345, 0, 5000000}));
            QCOMPARE(QByteArray(info.name) + "|" + info.vendor, QByteArray("Tickvane|Tickvane Team"));
        }
        QCOMPARE(GetStatus(nullptr), 2);
        store->storeHistoricalData(QStringLiteral("X"), bars(QStringLiteral("X"), 1));
        QCOMPARE(GetStatus(nullptr), 3);
        Release(); // marks the plugin shut down; it keeps answering
        QVERIFY(!plugin->isInitialized());
        QCOMPARE(GetStatus(nullptr), 3);
    }

    void quoteFromTick()
    {
        registerPlugin();
        TickData t;
        t.symbol = QString::fromLatin1("NSE:\xC9SBIN"); // the host's text is Latin-1
        t.timestamp = QDateTime(QDate(2024, 3, 15), QTime(9, 15));
        t.ltp = 761.45;
        t.open = 760.1;
        t.high = 762;
        t.low = 758.25;
        t.volume = 345678;
        t.lastTradedQty = -1; // its 32 bits read as an unsigned count
        store->storeTick(t);
        store->storeHistoricalData(t.symbol, bars(t.symbol, 3)); // the tick wins over bars

        PluginQuote q = poisoned();
        QCOMPARE(GetQuote("NSE:\xC9SBIN", &q), 1);
        QCOMPARE(prices(q), (QVector<float>{761.45f, 760.1f, 762, 758.25f, 4294967295.0f, 345678, 761.45f}));
        QCOMPARE(q.reserved, 0);
        QCOMPARE(q.dataDate, 20240315); // the date only, no time part
        QCOMPARE(q.queryDate, packed(QDate::currentDate()));

        PluginQuote unknown = poisoned();
        QCOMPARE(GetQuote("NSE:NONE", &unknown), 0);
        QCOMPARE(GetQuote(nullptr, &unknown), 0);
        QVERIFY(untouched(unknown));
        QCOMPARE(GetQuote("NSE:\xC9SBIN", nullptr), 0);
    }

    void quoteFromTodaysBar()
    {
        registerPlugin();
        const QDateTime now = QDateTime::currentDateTime();
        store->storeHistoricalData(QStringLiteral("NIFTY"), {bar(QStringLiteral("NIFTY"), now.addDays(-3), 50),
                                                             bar(QStringLiteral("NIFTY"), QDateTime(now.date(), QTime(0, 0)), 60)});
        PluginQuote q = poisoned();
        QCOMPARE(GetQuote("NIFTY", &q), 1);
        // A bar's volume goes to the quantity word.
        QCOMPARE(prices(q), (QVector<float>{60, 59, 62, 57, 6000, 0, 59.5f}));
        QCOMPARE(q.dataDate, packed(now.date()));
    }

    void quoteEx_data()
    {
        QTest::addColumn<QByteArray>("symbol");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("expected");
        QTest::newRow("3 of 10: the three oldest") << QByteArray("TEN") << 3 << 3;
        QTest::newRow("10 asked, 3 stored") << QByteArray("THREE") << 10 << 3;
        QTest::newRow("size 0") << QByteArray("TEN") << 0 << 0;
        QTest::newRow("size -1") << QByteArray("TEN") << -1 << 0;
        QTest::newRow("unknown symbol") << QByteArray("NONE") << 5 << 0;
    }

    void quoteEx()
    {
        QFETCH(QByteArray, symbol);
        QFETCH(int, size);
        QFETCH(int, expected);
        registerPlugin();
        store->storeHistoricalData(QStringLiteral("TEN"), bars(QStringLiteral("TEN"), 10));
        store->storeHistoricalData(QStringLiteral("THREE"), bars(QStringLiteral("THREE"), 3));

        // Two spare records past the given size must stay untouched.
        std::vector<PluginQuote> buffer(std::max(size, 0) + 2, poisoned());
        QCOMPARE(GetQuoteEx(symbol.constData(), 0, 0, size, buffer.data(), nullptr), expected);
        for (int i = 0; i < expected; ++i) {
            QCOMPARE(buffer[i].dataDate, 20240101 + i);
            QCOMPARE(buffer[i].price, float(100 + i));
            QCOMPARE(buffer[i].quantity, float((100 + i) * 100));
        }
        for (size_t i = expected; i < buffer.size(); ++i)
            QVERIFY(untouched(buffer[i]));
        QCOMPARE(GetQuoteEx(symbol.constData(), 0, 0, size, nullptr, nullptr), 0);
        QCOMPARE(GetQuoteEx(nullptr, 0, 0, size, buffer.data(), nullptr), 0);
    }

    void timeBase()
    {
        registerPlugin();
        QCOMPARE(SetTimeBase(60), 1);
        QCOMPARE(plugin->timeBase(), 60);
        store->storeHistoricalData(QStringLiteral("X"), {bar(QStringLiteral("X"), QDateTime(QDate(2031, 12, 31), QTime(23, 59)), 10),
                                                         bar(QStringLiteral("X"), QDateTime(), 11)});
        PluginQuote q[2];
        QCOMPARE(GetQuoteEx("X", 0, 0, 2, q, nullptr), 2);
        // Always the date-only form: a minute-resolution form would not fit the 32-bit word.
        QCOMPARE(q[0].dataDate, 0); // the undated bar sorts first
        QCOMPARE(q[1].dataDate, 20311231);
    }

    void hostThreadsDuringShutdown()
    {
        registerPlugin();
        store->storeHistoricalData(QStringLiteral("X"), bars(QStringLiteral("X"), 10));
        std::atomic<bool> stop{false}, shutDown{false};
        std::atomic<int> calls{0}, answeredAfterShutdown{0};
        QList<QThread*> host;
        for (int i = 0; i < 3; ++i) {
            host << QThread::create([&] {
                PluginQuote quotes[10];
                while (!stop) {
                    const bool after = shutDown;
                    const int n = GetQuoteEx("X", 0, 0, 10, quotes, nullptr) + GetStatus(nullptr) + GetQuote("X", quotes);
                    answeredAfterShutdown += (after && n) ? 1 : 0;
                    ++calls;
                }
            });
            host.last()->start();
        }
        QTRY_VERIFY(calls > 300);
        // The main window's order: the plugin goes (waiting for calls in flight), then the store.
        delete plugin;
        plugin = nullptr;
        shutDown = true;
        delete store;
        store = nullptr;
        const int before = calls;
        QTRY_VERIFY(calls > before + 300);
        stop = true;
        for (QThread* t : host) {
            QVERIFY(t->wait(5000));
            delete t;
        }
        QCOMPARE(answeredAfterShutdown.load(), 0);
    }

    void quitUnregistersBeforeTheStoreGoes()
    {
        registerPlugin();
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec();
        // The store is still alive, but the host can no longer reach it.
        QCOMPARE(GetStatus(nullptr), 0);
    }

private:
    DataManager* store = nullptr;
    AmiBrokerPlugin* plugin = nullptr;

    void registerPlugin()
    {
        plugin = new AmiBrokerPlugin(store);
        AmiBrokerPlugin::setInstance(plugin);
    }
};

QTEST_GUILESS_MAIN(TestAmiBrokerPlugin)
#include "tst_amibrokerplugin.moc"
