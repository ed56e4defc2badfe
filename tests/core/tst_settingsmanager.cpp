// Tests of the settings store against a real settings file: defaults, round trip, load fixtures,
// write-through keys, the provider-change prompt and the file's mode.
#include <QCoreApplication>
#include <QEventLoop>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>
#include <sys/stat.h>
#include <type_traits>

#include "core/SettingsManager.h"
#include "support/LogCapture.h"

namespace {

// One persisted value: its key, how to read it from the store object and how to set it.
struct Accessor {
    QString key;
    std::function<QVariant(const SettingsManager&)> get;
    std::function<void(SettingsManager&, const QVariant&)> set;
};

// An accessor from a getter and a setter of any value type.
template <typename T, typename A>
Accessor acc(const QString& key, T (SettingsManager::*get)() const, void (SettingsManager::*set)(A))
{
    return {key, [get](const SettingsManager& s) { return QVariant::fromValue((s.*get)()); },
            [set](SettingsManager& s, const QVariant& v) { (s.*set)(v.value<std::decay_t<A>>()); }};
}

const QList<Accessor>& accessors()
{
    static const QList<Accessor> list{
        acc("API/provider", &SettingsManager::provider, &SettingsManager::setProvider),
        acc("API/apiKey", &SettingsManager::apiKey, &SettingsManager::setApiKey),
        acc("API/customUrl", &SettingsManager::customUrl, &SettingsManager::setCustomUrl),
        acc("API/rateLimit", &SettingsManager::rateLimit, &SettingsManager::setRateLimit),
        acc("API/fyersClientId", &SettingsManager::fyersClientId, &SettingsManager::setFyersClientId),
        acc("API/fyersAccessToken", &SettingsManager::fyersAccessToken, &SettingsManager::setFyersAccessToken),
        acc("API/fyersAppId", &SettingsManager::fyersAppId, &SettingsManager::setFyersAppId),
        acc("API/fyersSecretKey", &SettingsManager::fyersSecretKey, &SettingsManager::setFyersSecretKey),
        acc("API/fyersSelectedSymbols", &SettingsManager::fyersSelectedSymbols, &SettingsManager::setFyersSelectedSymbols),
        acc("API/zerodhaApiKey", &SettingsManager::zerodhaApiKey, &SettingsManager::setZerodhaApiKey),
        acc("API/zerodhaApiSecret", &SettingsManager::zerodhaApiSecret, &SettingsManager::setZerodhaApiSecret),
        acc("API/zerodhaAccessToken", &SettingsManager::zerodhaAccessToken, &SettingsManager::setZerodhaAccessToken),
        acc("API/zerodhaTokenExpiry", &SettingsManager::zerodhaTokenExpiry, &SettingsManager::setZerodhaTokenExpiry),
        acc("API/flatTradeApiKey", &SettingsManager::flatTradeApiKey, &SettingsManager::setFlatTradeApiKey),
        acc("API/flatTradeApiSecret", &SettingsManager::flatTradeApiSecret, &SettingsManager::setFlatTradeApiSecret),
        acc("API/flatTradeAccessToken", &SettingsManager::flatTradeAccessToken, &SettingsManager::setFlatTradeAccessToken),
        acc("API/flatTradeClientId", &SettingsManager::flatTradeClientId, &SettingsManager::setFlatTradeClientId),
        acc("API/tradeJiniApiKey", &SettingsManager::tradeJiniApiKey, &SettingsManager::setTradeJiniApiKey),
        acc("API/tradeJiniApiSecret", &SettingsManager::tradeJiniApiSecret, &SettingsManager::setTradeJiniApiSecret),
        acc("API/tradeJiniAccessToken", &SettingsManager::tradeJiniAccessToken, &SettingsManager::setTradeJiniAccessToken),
        acc("API/tradeJiniClientId", &SettingsManager::tradeJiniClientId, &SettingsManager::setTradeJiniClientId),
        acc("API/dhanApiKey", &SettingsManager::dhanApiKey, &SettingsManager::setDhanApiKey),
        acc("API/dhanApiSecret", &SettingsManager::dhanApiSecret, &SettingsManager::setDhanApiSecret),
        acc("API/dhanAccessToken", &SettingsManager::dhanAccessToken, &SettingsManager::setDhanAccessToken),
        acc("API/dhanClientId", &SettingsManager::dhanClientId, &SettingsManager::setDhanClientId),
        acc("API/angelOneApiKey", &SettingsManager::angelOneApiKey, &SettingsManager::setAngelOneApiKey),
        acc("API/angelOneClientCode", &SettingsManager::angelOneClientCode, &SettingsManager::setAngelOneClientCode),
        acc("API/angelOnePassword", &SettingsManager::angelOnePassword, &SettingsManager::setAngelOnePassword),
        acc("API/angelOneTotp", &SettingsManager::angelOneTotp, &SettingsManager::setAngelOneTotp),
        acc("API/angelOneJwtToken", &SettingsManager::angelOneJwtToken, &SettingsManager::setAngelOneJwtToken),
        acc("API/angelOneRefreshToken", &SettingsManager::angelOneRefreshToken, &SettingsManager::setAngelOneRefreshToken),
        acc("API/angelOneFeedToken", &SettingsManager::angelOneFeedToken, &SettingsManager::setAngelOneFeedToken),
        acc("API/upstoxApiKey", &SettingsManager::upstoxApiKey, &SettingsManager::setUpstoxApiKey),
        acc("API/upstoxApiSecret", &SettingsManager::upstoxApiSecret, &SettingsManager::setUpstoxApiSecret),
        acc("API/upstoxAccessToken", &SettingsManager::upstoxAccessToken, &SettingsManager::setUpstoxAccessToken),
        acc("Connection/connectOnStartup", &SettingsManager::connectOnStartup, &SettingsManager::setConnectOnStartup),
        acc("Connection/updateInterval", &SettingsManager::updateInterval, &SettingsManager::setUpdateInterval),
        acc("Data/maxHistoricalDays", &SettingsManager::maxHistoricalDays, &SettingsManager::setMaxHistoricalDays),
        acc("Data/autoDownloadHistorical", &SettingsManager::autoDownloadHistorical, &SettingsManager::setAutoDownloadHistorical),
        acc("Data/watchlist", &SettingsManager::watchlist, &SettingsManager::setWatchlist),
        acc("Data/currentBroker", &SettingsManager::currentBroker, &SettingsManager::setCurrentBroker),
        acc("AmiBroker/path", &SettingsManager::amiBrokerPath, &SettingsManager::setAmiBrokerPath),
        acc("AmiBroker/pluginEnabled", &SettingsManager::pluginEnabled, &SettingsManager::setPluginEnabled),
    };
    return list;
}

// A value read back from the file has the file's own encoding (an int comes back as text, a
// one-item list as a plain string): compare in the expected type.
bool sameValue(QVariant actual, const QVariant& expected)
{
    if (expected.userType() == QMetaType::QStringList)
        return actual.toStringList() == expected.toStringList();
    if (expected.userType() == QMetaType::QDateTime)
        return actual.toDateTime() == expected.toDateTime() && actual.toDateTime().isValid() == expected.toDateTime().isValid();
    if (!actual.convert(expected.userType()))
        return false;
    return actual == expected;
}

QString text(const QVariant& v)
{
    return v.userType() == QMetaType::QStringList ? v.toStringList().join("|") : v.toString();
}

} // namespace

class TestSettingsManager : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Tickvane");
        QCoreApplication::setApplicationName("Tickvane");
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir->path());
    }

    void cleanup()
    {
        m_dir.reset();
    }

    void defaultsInMemoryAndOnDisk()
    {
        // Every credential, the API key, custom URL and AmiBroker path default to empty text.
        QHash<QString, QVariant> expected{{"API/provider", 0},
                                          {"API/rateLimit", 60},
                                          {"API/fyersSelectedSymbols", QStringList()},
                                          {"API/zerodhaTokenExpiry", QDateTime()},
                                          {"Connection/connectOnStartup", false},
                                          {"Connection/updateInterval", 5},
                                          {"Data/maxHistoricalDays", 365},
                                          {"Data/autoDownloadHistorical", true},
                                          {"Data/watchlist", QStringList{"AAPL", "MSFT", "GOOGL", "TSLA"}},
                                          {"Data/currentBroker", QString("Zerodha")},
                                          {"AmiBroker/pluginEnabled", true}};
        for (const Accessor& a : accessors())
            expected.insert(a.key, expected.value(a.key, QString()));
        // With no broker lists yet, the default watchlist is saved as entries of the current broker.
        QStringList entries;
        for (const char* t : {"AAPL", "MSFT", "GOOGL", "TSLA"})
            entries << QString(R"({"broker":"Zerodha","exchange":"","token":"%1"})").arg(t);
        expected.insert("Data/watchlistEntries", entries);
        // Written by every save even when empty, so a later build finds the keys.
        for (const char* k : {"Data/symbolCacheKeys", "Data/symbolCacheValues",
                              "Data/symbolExchangeCacheKeys", "Data/symbolExchangeCacheValues"})
            expected.insert(k, QStringList());
        const QHash<QString, QString> hours{{"NSE", "09:15|15:29"}, {"BSE", "09:15|15:29"}, {"NFO", "09:15|15:29"},
                                            {"MCX", "09:00|23:55"}, {"BFO", "09:15|15:29"}, {"CDS", "09:00|17:00"}};
        for (auto it = hours.cbegin(); it != hours.cend(); ++it) {
            expected.insert("MarketTimings/" + it.key() + "_start", it.value().section('|', 0, 0));
            expected.insert("MarketTimings/" + it.key() + "_end", it.value().section('|', 1, 1));
        }

        SettingsManager sm;
        for (const Accessor& a : accessors())
            QVERIFY2(sameValue(a.get(sm), expected.value(a.key)), qPrintable(a.key + ": " + text(a.get(sm))));
        for (auto it = hours.cbegin(); it != hours.cend(); ++it) {
            QCOMPARE(sm.marketStartTime(it.key()).toString("HH:mm"), expected.value("MarketTimings/" + it.key() + "_start").toString());
            QCOMPARE(sm.marketEndTime(it.key()).toString("HH:mm"), expected.value("MarketTimings/" + it.key() + "_end").toString());
        }

        QVERIFY(!QFileInfo::exists(settingsFile()));  // nothing is written before a save
        sm.saveSettings();
        auto file = raw();
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(file->contains(it.key()), qPrintable(it.key()));  // present even when empty
            QVERIFY2(sameValue(file->value(it.key()), it.value()), qPrintable(it.key() + ": " + text(file->value(it.key()))));
        }
    }

    void everyValueSurvivesSaveAndReload()
    {
        QHash<QString, QVariant> values;
        LogCapture log(false);
        {
            SettingsManager sm;
            int n = 0;
            for (const Accessor& a : accessors()) {
                if (a.key == "Data/watchlist" || a.key == "Data/currentBroker")
                    continue;  // they depend on each other; set below
                const QVariant cur = a.get(sm);
                QVariant v;
                switch (cur.userType()) {
                case QMetaType::Int: v = 1000 + n; break;
                case QMetaType::Bool: v = !cur.toBool(); break;
                case QMetaType::QStringList: v = QStringList{"NSE:" + a.key.section('/', 1) + "-EQ", "BSE:X Y"}; break;
                case QMetaType::QDateTime: v = QDateTime(QDate(2026, 12, 7), QTime(6, 0, 0)); break;
                default: v = a.key.section('/', 1) + QString::fromUtf8("-välue %1 =;\"#").arg(n); break;
                }
                ++n;
                a.set(sm, v);
                values.insert(a.key, a.get(sm));
            }
            sm.setProvider(0);  // no provider change prompt in this test
            values.insert("API/provider", 0);
            sm.setCurrentBroker("Upstox");
            sm.setWatchlist({"NSE:RELIANCE-EQ", "MCX:GOLD24DECFUT", "12345"});
            values.insert("Data/currentBroker", QString("Upstox"));
            values.insert("Data/watchlist", sm.watchlist());
            sm.setMarketStartTime("MCX", QTime(10, 5));
            sm.setMarketEndTime("CDS", QTime(16, 45));
            sm.cacheSymbolName("2885", "RELIANCE");
            sm.cacheSymbolName("NSE:SBIN-EQ", QString::fromUtf8("State Bank — India"));
            sm.cacheSymbolInfo("2885", "RELIANCE", "NSE");
            sm.saveSettings();
            QCOMPARE(raw()->value("Data/symbolExchangeCacheKeys").toStringList(), QStringList{"2885"});
        }
        SettingsManager back;
        // Secrets, tokens, passwords and the TOTP stay out of the log whether set, saved or loaded.
        for (const Accessor& a : accessors()) {
            const QString key = a.key.toLower();
            if (key.contains("secret") || key.contains("token") || key.contains("password") || key.contains("totp"))
                QVERIFY2(!log.contains(a.key.section('/', 1) + "-v"), qPrintable(a.key));  // the value's plain start
        }
        for (const Accessor& a : accessors())
            QVERIFY2(sameValue(a.get(back), values.value(a.key)),
                     qPrintable(a.key + ": " + text(a.get(back)) + " != " + text(values.value(a.key))));
        QCOMPARE(back.marketStartTime("MCX"), QTime(10, 5));
        QCOMPARE(back.marketEndTime("CDS"), QTime(16, 45));
        QCOMPARE(back.marketEndTime("MCX"), QTime(23, 55));
        QCOMPARE(back.symbolDisplayName("2885"), QString("RELIANCE"));
        QCOMPARE(back.symbolDisplayName("NSE:SBIN-EQ"), QString::fromUtf8("State Bank — India"));
        // The current broker's list was mirrored from the watchlist and comes back under its name.
        QCOMPARE(back.watchlistForBroker("Upstox"), back.watchlist());
        // The exchange cache is saved but rebuilt from the watchlist entries, not read back.
        QCOMPARE(back.symbolExchange("MCX:GOLD24DECFUT"), QString("MCX"));
        QCOMPARE(back.symbolExchange("2885"), QString());
    }

    void historicalKeysDefaultAndOutliveUnsavedChanges()
    {
        {
            SettingsManager sm;
            QCOMPARE(sm.historicalTimeframe(), QString("5minute"));
            QCOMPARE(sm.historicalDateRange(), QString("Last 6 Months"));
            // The default dates are taken at the call; allow for the date turning over between the reads.
            const QDate today = QDate::currentDate();
            QVERIFY(sm.historicalToDate() == today || sm.historicalToDate() == today.addDays(1));
            QVERIFY(sm.historicalFromDate() == today.addMonths(-6) || sm.historicalFromDate() == today.addDays(1).addMonths(-6));

            QSignalSpy spy(&sm, &SettingsManager::settingsChanged);
            sm.setApiKey("not-saved-key");
            sm.setHistoricalTimeframe("15minute");
            sm.setHistoricalDateRange("Custom");
            sm.setHistoricalFromDate(QDate(2025, 1, 2));
            sm.setHistoricalToDate(QDate(2025, 2, 3));
            QCOMPARE(spy.count(), 1);  // only setApiKey announces
            // Written through: another reader of the file sees them without a save.
            QSettings other;
            QCOMPARE(other.value("Historical/Timeframe").toString(), QString("15minute"));
        }
        SettingsManager sm;
        QCOMPARE(sm.apiKey(), QString());
        QCOMPARE(sm.historicalTimeframe(), QString("15minute"));
        QCOMPARE(sm.historicalDateRange(), QString("Custom"));
        QCOMPARE(sm.historicalFromDate(), QDate(2025, 1, 2));
        QCOMPARE(sm.historicalToDate(), QDate(2025, 2, 3));
        // A full save neither drops nor overwrites them.
        sm.saveSettings();
        QCOMPARE(raw()->value("Historical/Timeframe").toString(), QString("15minute"));
        QCOMPARE(SettingsManager().historicalToDate(), QDate(2025, 2, 3));
    }

    void fileIsOwnerOnlyAfterSave()
    {
        auto mode = [this] { return fileMode(); };
        {
            // A file left readable by an older build is tightened by the next save.
            auto file = raw();
            file->setValue("API/apiKey", "older");
            file->sync();
        }
        QVERIFY(QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QCOMPARE(mode(), 0644);
        {
            SettingsManager sm;
            sm.setZerodhaApiSecret("secret");
            sm.saveSettings();
            sm.waitForWrites();
            QCOMPARE(mode(), 0600);
            // Later writes that rewrite the file keep it owner-only.
            sm.setHistoricalTimeframe("day");
        }
        QCOMPARE(raw()->value("Historical/Timeframe").toString(), QString("day"));
        QCOMPARE(mode(), 0600);
    }

    // The disk write runs on the writer thread: a save returns before it, and nothing saved or
    // written through is lost when the manager goes away right after, as on quit.
    void writesReachTheDiskWithoutTheEventLoop_data()
    {
        QTest::addColumn<bool>("destroy");  // else wait for the writes
        QTest::newRow("manager destroyed at once") << true;
        QTest::newRow("writes waited for") << false;
    }

    void writesReachTheDiskWithoutTheEventLoop()
    {
        QFETCH(bool, destroy);
        auto sm = std::make_unique<SettingsManager>();
        sm->setZerodhaAccessToken("token-1");
        sm->saveSettings();
        sm->setHistoricalTimeframe("15minute");  // written through, no save
        sm->setZerodhaAccessToken("token-2");
        sm->saveSettings();  // the last save wins
        if (destroy)
            sm.reset();
        else
            sm->waitForWrites();

        const auto disk = fromDisk();
        QVERIFY(disk);
        QCOMPARE(disk->value("API/zerodhaAccessToken").toString(), QString("token-2"));
        QCOMPARE(disk->value("Historical/Timeframe").toString(), QString("15minute"));
        QCOMPARE(disk->value("MarketTimings/CDS_end").toString(), QString("17:00"));
        QCOMPARE(fileMode(), 0600);
    }

    void loadFixtures_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("watchlist");
        QTest::addColumn<QString>("currentBroker");
        QTest::addColumn<QVariantMap>("brokerLists");  // broker -> expected list; only these are checked
        QTest::addColumn<QVariantMap>("exchanges");    // token -> expected exchange

        auto entry = [](const QString& broker, const QString& exchange, const QString& token) {
            return QString(R"({"broker":"%1","exchange":"%2","token":"%3"})").arg(broker, exchange, token);
        };
        const QStringList defaults{"AAPL", "MSFT", "GOOGL", "TSLA"};

        QTest::newRow("empty store") << QVariantMap{} << defaults << "Zerodha" << QVariantMap{{"Zerodha", QStringList{}}}
                                     << QVariantMap{};
        QTest::newRow("only watchlist") << QVariantMap{{"Data/watchlist", QStringList{"NSE:INFY-EQ"}}}
                                        << QStringList{"NSE:INFY-EQ"} << "Zerodha" << QVariantMap{} << QVariantMap{};
        QTest::newRow("one Dhan entry")
            << QVariantMap{{"Data/watchlistEntries", QStringList{entry("Dhan", "NSE", "NSE:RELIANCE-EQ")}}}
            << QStringList{"NSE:RELIANCE-EQ"} << "Zerodha"
            << QVariantMap{{"Dhan", QStringList{"NSE:RELIANCE-EQ"}}, {"Zerodha", QStringList{}}}
            << QVariantMap{{"NSE:RELIANCE-EQ", "NSE"}};
        QTest::newRow("union of entries, repeats dropped")
            << QVariantMap{{"Data/currentBroker", "Fyers"},
                           {"Data/watchlistEntries",
                            QStringList{entry("Dhan", "NSE", "NSE:A"), entry("Upstox", "BSE", "BSE:B"),
                                        entry("Dhan", "NSE", "NSE:A"), entry("Upstox", "", "NSE:A")}}}
            << QStringList{"NSE:A", "BSE:B"} << "Fyers"
            << QVariantMap{{"Dhan", QStringList{"NSE:A"}}, {"Upstox", QStringList{"BSE:B", "NSE:A"}}}
            << QVariantMap{{"NSE:A", "NSE"}, {"BSE:B", "BSE"}};
        QTest::newRow("current broker's list wins")
            << QVariantMap{{"Data/currentBroker", "Upstox"},
                           {"Data/watchlistEntries", QStringList{entry("Dhan", "NSE", "NSE:A"), entry("Upstox", "NSE", "NSE:U")}}}
            << QStringList{"NSE:U"} << "Upstox" << QVariantMap{{"Upstox", QStringList{"NSE:U"}}} << QVariantMap{};
        QTest::newRow("bad entries skipped, missing broker goes to provider")
            << QVariantMap{{"API/provider", 3},
                           {"Data/watchlistEntries",
                            QStringList{"not json", "[1,2]", R"({"exchange":"MCX","token":"MCX:GOLD"})"}}}
            << QStringList{"MCX:GOLD"} << "Zerodha" << QVariantMap{{"Dhan", QStringList{"MCX:GOLD"}}}
            << QVariantMap{{"MCX:GOLD", "MCX"}};
        QTest::newRow("per-broker keys fill gaps only")
            << QVariantMap{{"Data/currentBroker", "Zerodha"},
                           {"Data/brokerNames", QStringList{"Zerodha", "Dhan"}},
                           {"Data/watchlist_Zerodha", QStringList{"NSE:Z1", "NSE:Z2"}},
                           {"Data/watchlist_Dhan", QStringList{"NSE:OLD"}},
                           {"Data/watchlistEntries", QStringList{entry("Dhan", "NSE", "NSE:D")}}}
            << QStringList{"NSE:Z1", "NSE:Z2"} << "Zerodha"
            << QVariantMap{{"Dhan", QStringList{"NSE:D"}}, {"Zerodha", QStringList{"NSE:Z1", "NSE:Z2"}}} << QVariantMap{};
        QTest::newRow("current broker with an empty stored list")
            << QVariantMap{{"Data/currentBroker", "Dhan"}, {"Data/brokerNames", QStringList{"Dhan"}},
                           {"Data/watchlist", QStringList{"NSE:STALE"}}}
            << QStringList{} << "Dhan" << QVariantMap{{"Dhan", QStringList{}}} << QVariantMap{};
        QTest::newRow("name cache lists of different length")
            << QVariantMap{{"Data/symbolCacheKeys", QStringList{"1", "2"}}, {"Data/symbolCacheValues", QStringList{"A"}}}
            << defaults << "Zerodha" << QVariantMap{} << QVariantMap{};
    }

    void loadFixtures()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, watchlist);
        QFETCH(QString, currentBroker);
        QFETCH(QVariantMap, brokerLists);
        QFETCH(QVariantMap, exchanges);
        {
            auto file = raw();
            for (auto it = stored.cbegin(); it != stored.cend(); ++it)
                file->setValue(it.key(), it.value());
        }
        SettingsManager sm;
        QCOMPARE(sm.watchlist(), watchlist);
        QCOMPARE(sm.currentBroker(), currentBroker);
        for (auto it = brokerLists.cbegin(); it != brokerLists.cend(); ++it)
            QCOMPARE(sm.watchlistForBroker(it.key()), it.value().toStringList());
        for (auto it = exchanges.cbegin(); it != exchanges.cend(); ++it)
            QCOMPARE(sm.symbolExchange(it.key()), it.value().toString());
        // Mismatched name-cache lists load as an empty cache.
        QCOMPARE(sm.symbolDisplayName("1"), QString("1"));
    }

    void marketTimingsLoad()
    {
        {
            auto file = raw();
            file->setValue("MarketTimings/NSE_end", "25:00");
            file->setValue("MarketTimings/NSE_start", "");
            file->setValue("MarketTimings/MCX_start", "18:00");
            file->setValue("MarketTimings/MCX_end", "02:30");
            file->setValue("MarketTimings/BSE_end", "3pm");
            file->setValue("MarketTimings/XYZ_start", "01:00");  // unknown codes are not read back
        }
        SettingsManager sm;
        QCOMPARE(sm.marketStartTime("NSE"), QTime(9, 15));
        QCOMPARE(sm.marketEndTime("NSE"), QTime(15, 29));
        QCOMPARE(sm.marketEndTime("BSE"), QTime(15, 29));
        QCOMPARE(sm.marketStartTime("MCX"), QTime(18, 0));
        QCOMPARE(sm.marketEndTime("MCX"), QTime(2, 30));
        QCOMPARE(sm.marketStartTime("XYZ"), QTime(9, 15));
        QVERIFY(sm.isWithinMarketHours("MCX", QDateTime(QDate(2026, 3, 2), QTime(1, 0))));

        // A code set at run time is saved but, outside the six known ones, not loaded back.
        sm.setMarketStartTime("NCDEX", QTime(10, 0));
        sm.saveSettings();
        QCOMPARE(raw()->value("MarketTimings/NCDEX_start").toString(), QString("10:00"));
        QCOMPARE(raw()->value("MarketTimings/NCDEX_end"), QVariant());  // only a start was set
        QCOMPARE(SettingsManager().marketStartTime("NCDEX"), QTime(9, 15));
    }

    void settersAnnounceChanges()
    {
        SettingsManager sm;
        QSignalSpy changed(&sm, &SettingsManager::settingsChanged);
        QSignalSpy upstox(&sm, &SettingsManager::upstoxAccessTokenChanged);
        QStringList order;
        connect(&sm, &SettingsManager::settingsChanged, this, [&] { order << "changed"; });
        connect(&sm, &SettingsManager::upstoxAccessTokenChanged, this, [&](const QString& t) { order << "upstox:" + t; });

        sm.setProvider(sm.provider());  // unchanged value still announces
        QCOMPARE(changed.count(), 1);
        order.clear();
        sm.setUpstoxAccessToken("tok");
        QCOMPARE(order, (QStringList{"changed", "upstox:tok"}));
        QCOMPARE(upstox.count(), 1);

        changed.clear();
        sm.setFyersSelectedSymbols({"NSE:A"});
        sm.setFyersSelectedSymbols({"NSE:A"});
        QCOMPARE(changed.count(), 0);
        QCOMPARE(sm.fyersSelectedSymbols(), QStringList{"NSE:A"});

        sm.setAngelOneTotp("123456");
        QCOMPARE(changed.count(), 1);
    }

    void derivedQueries()
    {
        const QStringList names{"Zerodha", "FlatTrade", "TradeJini", "Dhan", "AngelOne", "Upstox", "Custom API", "Fyers"};
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(SettingsManager::providerName(i), names.at(i));
        QCOMPARE(SettingsManager::providerName(8), QString("Unknown"));
        QCOMPARE(SettingsManager::providerName(-1), QString("Unknown"));

        SettingsManager sm;
        sm.setApiKey("1234567");
        QVERIFY(!sm.hasApiKey());
        sm.setApiKey("12345678");
        QVERIFY(sm.hasApiKey());
        QVERIFY(!sm.isAmiBrokerConfigured());
        sm.setAmiBrokerPath("/opt/ab/Broker.exe");
        QVERIFY(sm.isAmiBrokerConfigured());
        sm.setPluginEnabled(false);
        QVERIFY(!sm.isAmiBrokerConfigured());
    }

    void watchlistOperations()
    {
        SettingsManager sm;
        QSignalSpy changed(&sm, &SettingsManager::settingsChanged);

        // Upper-cased, and a repeat in any case changes nothing and says nothing.
        sm.setCurrentBroker(QString());
        changed.clear();
        sm.addSymbolToWatchlist("nse:reliance-eq");
        QCOMPARE(sm.watchlist().last(), QString("NSE:RELIANCE-EQ"));
        QCOMPARE(changed.count(), 1);
        sm.addSymbolToWatchlist("NSE:Reliance-EQ");
        QCOMPARE(changed.count(), 1);
        QCOMPARE(sm.watchlist().count("NSE:RELIANCE-EQ"), 1);

        // The current broker's list wins over what the watchlist held.
        sm.setCurrentBroker("Dhan");
        QVERIFY(sm.watchlist().isEmpty());
        sm.setWatchlist({"X", "Y"});
        QCOMPARE(sm.watchlistForBroker("Dhan"), (QStringList{"X", "Y"}));
        sm.setWatchlistForBroker("Dhan", {});
        QVERIFY(sm.watchlist().isEmpty());
        sm.setWatchlist({"X", "Y"});
        sm.setWatchlistForBroker("Dhan", {});
        sm.setCurrentBroker("Zerodha");
        sm.setWatchlist({"Z"});
        sm.setCurrentBroker("Dhan");
        changed.clear();
        sm.addSymbolToWatchlist("nse:tcs-eq");
        QCOMPARE(sm.watchlist(), QStringList{"NSE:TCS-EQ"});
        QCOMPARE(sm.watchlistForBroker("Dhan"), QStringList{"NSE:TCS-EQ"});
        QCOMPARE(changed.count(), 2);

        // Same broker again says nothing; a broker without a list empties the watchlist.
        changed.clear();
        sm.setCurrentBroker("Dhan");
        QCOMPARE(changed.count(), 0);
        sm.setCurrentBroker("Fyers");
        QVERIFY(sm.watchlist().isEmpty());
        QCOMPARE(changed.count(), 1);
        QVERIFY(sm.watchlistForBroker("Fyers").isEmpty());
        sm.setCurrentBroker("Dhan");

        // Removal is case-insensitive for the caller and removes every occurrence.
        sm.setWatchlist({"NSE:A", "NSE:B", "NSE:A"});
        changed.clear();
        sm.removeSymbolFromWatchlist("nse:a");
        QCOMPARE(sm.watchlist(), QStringList{"NSE:B"});
        QCOMPARE(sm.watchlistForBroker("Dhan"), QStringList{"NSE:B"});
        QCOMPARE(changed.count(), 2);

        // Removing from a broker without a list creates an empty one, which is saved.
        sm.removeSymbolForBroker("AngelOne", "NSE:B");
        sm.addSymbolForBroker("Upstox", "nse:lower");  // per-broker operations keep the case
        sm.addSymbolForBroker("Upstox", "nse:lower");
        QCOMPARE(sm.watchlistForBroker("Upstox"), QStringList{"nse:lower"});
        sm.saveSettings();
        auto file = raw();
        QVERIFY(file->value("Data/brokerNames").toStringList().contains("AngelOne"));
        QVERIFY(file->contains("Data/watchlist_AngelOne"));
        QCOMPARE(file->value("Data/watchlistEntries").toStringList(),
                 (QStringList{R"({"broker":"Dhan","exchange":"NSE","token":"NSE:B"})",
                              R"({"broker":"Upstox","exchange":"nse","token":"nse:lower"})",
                              R"({"broker":"Zerodha","exchange":"","token":"Z"})"}));
    }

    void symbolCaches_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QString>("displayName");  // after cacheSymbolInfo
        QTest::addColumn<QString>("cachedExchange");
        QTest::addColumn<int>("emitted");  // from cacheSymbolName, then cacheSymbolInfo
        QTest::newRow("name and exchange") << "2885" << "RELIANCE" << "NSE" << "RELIANCE" << "NSE" << 2;
        QTest::newRow("name equals key") << "INFY" << "INFY" << "NSE" << "INFY" << "NSE" << 1;
        QTest::newRow("empty name") << "500325" << "" << "BSE" << "500325" << "BSE" << 1;
        QTest::newRow("empty exchange") << "11536" << "TCS" << "" << "TCS" << "" << 2;
        QTest::newRow("empty key") << "" << "X" << "NSE" << "" << "" << 0;
    }

    void symbolCaches()
    {
        QFETCH(QString, key);
        QFETCH(QString, name);
        QFETCH(QString, exchange);
        SettingsManager sm;
        QSignalSpy changed(&sm, &SettingsManager::settingsChanged);
        QCOMPARE(sm.symbolDisplayName(key), key);
        sm.cacheSymbolName(key, name);
        sm.cacheSymbolInfo(key, name, exchange);
        QTEST(changed.count(), "emitted");
        QTEST(sm.symbolDisplayName(key), "displayName");
        QTEST(sm.symbolExchange(key), "cachedExchange");

        sm.setWatchlist({"NSE:KEEP"});
        sm.clearSymbolCaches();
        QCOMPARE(sm.symbolDisplayName(key), key);
        QCOMPARE(sm.symbolExchange(key), QString());
        QCOMPARE(sm.watchlist(), QStringList{"NSE:KEEP"});
    }

    void marketHours_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QTime>("start");  // invalid: keep the default hours
        QTest::addColumn<QTime>("end");
        QTest::addColumn<QTime>("at");
        QTest::addColumn<bool>("inside");
        const QTime keep;
        QTest::newRow("NSE opening") << "NSE" << keep << keep << QTime(9, 15) << true;
        QTest::newRow("NSE just before") << "NSE" << keep << keep << QTime(9, 14, 59, 999) << false;
        QTest::newRow("NSE last minute") << "NSE" << keep << keep << QTime(15, 29) << true;
        QTest::newRow("NSE 1 ms late") << "NSE" << keep << keep << QTime(15, 29, 0, 1) << false;
        QTest::newRow("MCX 23:55") << "MCX" << keep << keep << QTime(23, 55) << true;
        QTest::newRow("MCX 23:55:00.001") << "MCX" << keep << keep << QTime(23, 55, 0, 1) << false;
        QTest::newRow("unknown code uses NSE-like hours") << "NSE_EQ" << keep << keep << QTime(15, 29) << true;
        QTest::newRow("overnight after midnight") << "X" << QTime(18, 0) << QTime(2, 0) << QTime(1, 0) << true;
        QTest::newRow("overnight noon") << "X" << QTime(18, 0) << QTime(2, 0) << QTime(12, 0) << false;
        QTest::newRow("overnight end inclusive") << "X" << QTime(18, 0) << QTime(2, 0) << QTime(2, 0) << true;
        QTest::newRow("overnight start inclusive") << "X" << QTime(18, 0) << QTime(2, 0) << QTime(18, 0) << true;
        QTest::newRow("overnight 1 ms early") << "X" << QTime(18, 0) << QTime(2, 0) << QTime(17, 59, 59, 999) << false;
        QTest::newRow("single instant") << "X" << QTime(10, 0) << QTime(10, 0) << QTime(10, 0) << true;
        QTest::newRow("midnight to midnight") << "X" << QTime(0, 0) << QTime(0, 0) << QTime(0, 0, 0, 1) << false;
    }

    void marketHours()
    {
        QFETCH(QString, exchange);
        QFETCH(QTime, start);
        QFETCH(QTime, end);
        QFETCH(QTime, at);
        QFETCH(bool, inside);
        SettingsManager sm;
        if (start.isValid())
            sm.setMarketStartTime(exchange, start);
        if (end.isValid())
            sm.setMarketEndTime(exchange, end);
        // The time of day is taken as given, whatever the date-time's zone.
        QCOMPARE(sm.isWithinMarketHours(exchange, QDateTime(QDate(2026, 3, 2), at)), inside);
        QCOMPARE(sm.isWithinMarketHours(exchange, QDateTime(QDate(2026, 3, 2), at, Qt::UTC)), inside);
    }

    // Last: quitting the application leaves the thread unable to run nested event loops.
    void providerChangePromptsOnceAndQuits()
    {
        {
            SettingsManager first;
            first.saveSettings();  // stores provider 0
        }
        SettingsManager sm;
        QStringList prompts;
        QString providerDuringPrompt;
        int modeDuringPrompt = -1;
        sm.setRestartPrompt([&](const QString& title, const QString& text) {
            prompts << title + "|" + text;
            providerDuringPrompt = raw()->value("API/provider").toString();
            modeDuringPrompt = fileMode();  // the credentials are on disk while the box waits
        });
        sm.setProvider(3);
        sm.setCurrentBroker("Dhan");
        sm.addSymbolToWatchlist("nse:sbin-eq");

        // Save from inside a running event loop: quitting the application must end it.
        QEventLoop loop;
        QTimer::singleShot(0, &sm, [&] { sm.saveSettings(); });
        QTimer::singleShot(20000, &loop, [&] { loop.exit(42); });
        QCOMPARE(loop.exec(), 0);

        QCOMPARE(prompts.size(), 1);
        QCOMPARE(prompts.first(),
                 QString("Restart Required|You changed the data provider. The application will now exit so the change "
                         "can take effect. Please restart the application."));
        QCOMPARE(providerDuringPrompt, QString("3"));  // the first part was synced before the prompt
        QCOMPARE(modeDuringPrompt, 0600);
        // The part written after the prompt is there too.
        auto file = raw();
        QCOMPARE(file->value("Data/currentBroker").toString(), QString("Dhan"));
        QCOMPARE(file->value("Data/watchlist_Dhan").toStringList(), QStringList{"NSE:SBIN-EQ"});
        QCOMPARE(file->value("MarketTimings/CDS_end").toString(), QString("17:00"));

        // Saving again with the same provider asks nothing.
        sm.saveSettings();
        QCOMPARE(prompts.size(), 1);
    }

    // After the test above: a prompt quits the application.
    void promptOnAStoreWithoutProvider_data()
    {
        QTest::addColumn<bool>("runningKnown");
        QTest::addColumn<int>("prompts");
        // Without the running provider there is nothing to compare with; with it, a first change asks once.
        QTest::newRow("running provider unknown") << false << 0;
        QTest::newRow("running provider known") << true << 1;
    }

    void promptOnAStoreWithoutProvider()
    {
        QFETCH(bool, runningKnown);
        int prompts = 0;
        SettingsManager sm;
        sm.setRestartPrompt([&](const QString&, const QString&) { ++prompts; });
        if (runningKnown)
            sm.setActiveProvider(sm.provider());
        sm.setProvider(6);
        sm.saveSettings();
        sm.saveSettings();
        QTEST(prompts, "prompts");
        QCOMPARE(raw()->value("API/provider").toInt(), 6);
    }

private:
    QString settingsFile() const { return m_dir->path() + "/Tickvane/Tickvane.conf"; }
    int fileMode() const
    {
        struct stat st {};
        if (::stat(QFile::encodeName(settingsFile()).constData(), &st) != 0)
            return -1;
        return int(st.st_mode & 0777);
    }
    std::unique_ptr<QSettings> raw() const { return std::make_unique<QSettings>(settingsFile(), QSettings::IniFormat); }
    // The file as it is on disk: a copy read afresh, not the values this process holds in memory.
    std::unique_ptr<QSettings> fromDisk() const
    {
        const QString copy = m_dir->filePath("on-disk.conf");
        QFile::remove(copy);
        if (!QFile::copy(settingsFile(), copy))
            return nullptr;
        return std::make_unique<QSettings>(copy, QSettings::IniFormat);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestSettingsManager)
#include "tst_settingsmanager.moc"
