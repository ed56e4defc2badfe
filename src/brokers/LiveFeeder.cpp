// Live-feed controller.
#include "brokers/LiveFeeder.h"

#include "brokers/BrokerAPI.h"
#include "brokers/IBroker.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"
#include "core/TickLog.h"

#include <QDebug>

#include <charconv>

LiveFeeder::LiveFeeder(BrokerAPI* api, DataManager* dataManager, SettingsManager* settings, QObject* parent)
    : QObject(parent), api(api), dataManager(dataManager), settings(settings)
{
    connect(api, &BrokerAPI::tickReceived, this, &LiveFeeder::onTickReceived);
    connect(api, &BrokerAPI::connectionStatusChanged, this, &LiveFeeder::onConnectionStatusChanged);
    connect(api, &BrokerAPI::errorOccurred, this, &LiveFeeder::onApiError);
    connect(settings, &SettingsManager::settingsChanged, this, &LiveFeeder::onSettingsChanged);
    symbolList = settings->watchlist();
    applySettings();
}

void LiveFeeder::applySettings()
{
    api->setProvider(settings->provider());
    api->setApiKey(settings->apiKey());
    api->setRateLimit(settings->rateLimit());
    api->setRequestTimeout(settings->requestTimeout() * 1000);
    const int provider = settings->provider();
    if (provider == SettingsManager::Fyers) {
        api->setFyersClientId(settings->fyersClientId());
        api->setFyersAccessToken(settings->fyersAccessToken());
        // The token belongs to the id the login sent as client_id. The "app id" setting may hold
        // the secret used for hashing, which must never go on the wire.
        api->setFyersAppId(settings->fyersClientId());
    }
    if (provider == SettingsManager::CustomAPI)
        api->setCustomUrl(settings->customUrl());
}

void LiveFeeder::start()
{
    if (running)
        return;
    if (symbolList.isEmpty()) {
        emit errorOccurred(QStringLiteral("No symbols configured for live feed"));
        return;
    }
    if (settings->apiKey().isEmpty()) {
        emit errorOccurred(QStringLiteral("API key not configured"));
        return;
    }
    for (const QString& s : qAsConst(symbolList))
        api->subscribeLiveData(s);
    api->startLiveData();
    running = true;
    updates = 0;
    updateStatus();
    emit started();
    qDebug() << "Live feeder started with" << symbolList.size() << "symbols";
}

void LiveFeeder::stop()
{
    if (!running)
        return;
    api->stopLiveData();
    for (const QString& s : qAsConst(symbolList))
        api->unsubscribeLiveData(s);
    running = false;
    updateStatus();
    emit stopped();
    qDebug() << "Live feeder stopped";
}

void LiveFeeder::addSymbol(const QString& symbol)
{
    const QString s = symbol.toUpper();
    if (symbolList.contains(s))
        return;
    symbolList.append(s);
    if (running)
        api->subscribeLiveData(s);
    settings->addSymbolToWatchlist(s);
    emit symbolAdded(s);
    qDebug() << "Symbol added to live feed:" << s;
}

void LiveFeeder::removeSymbol(const QString& symbol)
{
    const QString s = symbol.toUpper();
    if (!symbolList.contains(s))
        return;
    symbolList.removeAll(s);
    if (running)
        api->unsubscribeLiveData(s);
    settings->removeSymbolFromWatchlist(s);
    emit symbolRemoved(s);
    qDebug() << "Symbol removed from live feed:" << s;
}

void LiveFeeder::clearSymbols()
{
    if (running) {
        for (const QString& s : qAsConst(symbolList))
            api->unsubscribeLiveData(s);
    }
    symbolList.clear();
    settings->setWatchlist(QStringList());
    updateStatus();
    qDebug() << "All symbols cleared from live feed";
}

namespace {

void appendNumber(QString& out, int value)
{
    char buf[12];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(QLatin1String(buf, int(res.ptr - buf)));
}

// "Running - %1 symbols, %2 updates" ("1 symbol" for one), put together without the placeholder search: it is
// rebuilt for every tick.
QString runningStatus(int symbols, int updates)
{
    QString text;
    text.reserve(56);
    text += QLatin1String("Running - ");
    appendNumber(text, symbols);
    text += symbols == 1 ? QLatin1String(" symbol, ") : QLatin1String(" symbols, ");
    appendNumber(text, updates);
    text += QLatin1String(" updates");
    return text;
}

} // namespace

bool LiveFeeder::feedConnected() const
{
    // The facade's own flag is the quote poll's; a connector knows its stream itself.
    if (const IBroker* broker = api->implementation())
        return broker->isConnected();
    return api->isConnected();
}

void LiveFeeder::updateStatus()
{
    QString text;
    if (!running)
        text = QStringLiteral("Stopped - %1 %2 configured")
                   .arg(symbolList.size())
                   .arg(symbolList.size() == 1 ? QStringLiteral("symbol") : QStringLiteral("symbols"));
    else if (!feedConnected())
        text = QStringLiteral("Running - Connecting...");
    else
        text = runningStatus(symbolList.size(), updates);
    if (text == status)
        return;
    status = text;
    emit statusChanged(text);
}

void LiveFeeder::onTickReceived(TickData tick)
{
    if (!running)
        return;
    if (dataManager)
        dataManager->storeTick(tick);
    ++updates;
    // Per tick: no time-zone lookup.
    lastTick = QDateTime::currentDateTimeUtc();
    updateStatus();
    emit dataUpdated(tick.symbol);
    if (tickLog().isDebugEnabled())
        writeTickLine(tick);
}

void LiveFeeder::writeTickLine(const TickData& tick)
{
    // Written as the debug stream writes it (the symbol in quotes, the price to six significant
    // digits) but without a stream set up per tick. A symbol the stream would escape goes the
    // stream's way.
    for (const QChar c : tick.symbol) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            qCDebug(tickLog) << "Tick received for" << tick.symbol << "Price:" << tick.ltp;
            return;
        }
    }
    QString line;
    line.reserve(40 + tick.symbol.size());
    line += QLatin1String("Tick received for \"");
    line += tick.symbol;
    line += QLatin1String("\" Price: ");
    line += QString::number(tick.ltp, 'g', 6);
    const QMessageLogContext context(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC, tickLog().categoryName());
    qt_message_output(QtDebugMsg, context, line);
}

void LiveFeeder::onConnectionStatusChanged(bool connected)
{
    updateStatus();
    if (!connected && running)
        emit errorOccurred(QStringLiteral("Connection lost to data provider"));
}

void LiveFeeder::onApiError(QString error)
{
    emit errorOccurred(QStringLiteral("API Error: ") + error);
    qDebug() << "Live feeder API error:" << error;
}

void LiveFeeder::onSettingsChanged()
{
    applySettings();
    const QStringList watchlist = settings->watchlist();
    if (!running || watchlist == symbolList) {
        symbolList = watchlist;
        return;
    }
    // Whatever leaves the watchlist leaves the feed at once; what joins it is fed from now on.
    for (const QString& s : qAsConst(symbolList)) {
        if (!watchlist.contains(s))
            api->unsubscribeLiveData(s);
    }
    for (const QString& s : watchlist) {
        if (!symbolList.contains(s))
            api->subscribeLiveData(s);
    }
    symbolList = watchlist;
    updateStatus();
}
