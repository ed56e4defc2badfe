// History backfill queue: one request at a time, paced; answers matched to requests by tag, else by symbol.
#include "brokers/HistoricalDownloader.h"

#include "brokers/BrokerAPI.h"
#include "brokers/ISymbolLookup.h"
#include "brokers/SymbolKey.h"
#include "core/DataManager.h"
#include "core/SettingsManager.h"

#include <QDebug>
#include <QTimer>
#include <QUuid>

namespace {

QString dateText(const QDate& d)
{
    return d.toString(Qt::TextDate);
}

QString scripText(const IndianSymbolData& inst)
{
    const QString type = inst.instrumentType.isEmpty() ? QStringLiteral("EQ") : inst.instrumentType;
    return QStringLiteral("%1:%2-%3").arg(inst.exchange, inst.symbol, type);
}

}  // namespace

HistoricalDownloader::HistoricalDownloader(BrokerAPI* api, DataManager* dataManager, SettingsManager* settings,
                                           ISymbolLookup* symbolProvider, QObject* parent)
    : QObject(parent),
      api(api),
      dataManager(dataManager),
      settings(settings),
      pacingTimer(new QTimer(this)),
      replyTimer(new QTimer(this))
{
    pacingTimer->setSingleShot(true);
    pacingTimer->setInterval(2000);
    replyTimer->setSingleShot(true);
    replyTimer->setInterval(120000);
    setSymbolProvider(symbolProvider);
    connect(api, &BrokerAPI::historyAnswered, this, &HistoricalDownloader::onHistoryAnswered);
    connect(api, &BrokerAPI::historyFailed, this, &HistoricalDownloader::onHistoryFailed);
    connect(api, &BrokerAPI::errorOccurred, this, &HistoricalDownloader::onApiError);
    connect(pacingTimer, &QTimer::timeout, this, &HistoricalDownloader::processNextDownload);
    connect(replyTimer, &QTimer::timeout, this, [this] {
        const int ms = replyTimer->interval();
        const QString error = ms % 1000 == 0
            ? QStringLiteral("Historical data request timed out: no reply within %1 seconds").arg(ms / 1000)
            : QStringLiteral("Historical data request timed out: no reply within %1 ms").arg(ms);
        const HistoricalRequestRecord failed = failActive(error);
        if (!failed.requestId.isEmpty())
            emit downloadTimedOut(failed.requestId, failed.symbol, error);
    });
}

void HistoricalDownloader::setSymbolProvider(ISymbolLookup* p)
{
    provider = p;
    providerGuard = dynamic_cast<QObject*>(p);
    providerTracked = !providerGuard.isNull();
}

ISymbolLookup* HistoricalDownloader::symbolService() const
{
    if (providerTracked && providerGuard.isNull())
        return nullptr;
    return provider;
}

void HistoricalDownloader::setPacingInterval(int ms)
{
    pacingTimer->setInterval(ms);
}

void HistoricalDownloader::setRequestTimeout(int ms)
{
    replyTimer->setInterval(ms);
}

QString HistoricalDownloader::normalizeSymbol(const QString& text)
{
    return SymbolKey::normalize(text);
}

QString HistoricalDownloader::generateRequestId()
{
    ++requestCounter;
    const QString uuid = QUuid::createUuid().toString();  // "{xxxxxxxx-...}"
    return QStringLiteral("req_%1_%2").arg(requestCounter).arg(uuid.mid(1, 8));
}

QString HistoricalDownloader::downloadHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                                     const QString& interval)
{
    if (symbol.isEmpty() || !from.isValid() || !to.isValid() || to < from)
        return QString();
    HistoricalRequestRecord r;
    r.symbol = symbol;
    r.from = from;
    r.to = to;
    r.requestId = generateRequestId();
    r.interval = interval;
    enqueueRequest(r);
    return r.requestId;
}

QString HistoricalDownloader::downloadLastDays(const QString& symbol, int days, const QString& interval)
{
    const QDate today = QDate::currentDate();
    return downloadHistoricalData(symbol, today.addDays(-days), today, interval);
}

QString HistoricalDownloader::downloadLastWeeks(const QString& symbol, int weeks, const QString& interval)
{
    return downloadLastDays(symbol, weeks * 7, interval);
}

QString HistoricalDownloader::downloadLastMonths(const QString& symbol, int months, const QString& interval)
{
    const QDate today = QDate::currentDate();
    QDate from = today.addMonths(-months);
    const int maxDays = settings ? settings->maxHistoricalDays() : -1;
    if (maxDays >= 0 && from < today.addDays(-maxDays))
        from = today.addDays(-maxDays);
    return downloadHistoricalData(symbol, from, today, interval);
}

void HistoricalDownloader::downloadWatchlist(const QDate& from, const QDate& to, const QString& interval)
{
    if (!settings)
        return;
    const QStringList list = settings->watchlist();
    for (const QString& s : list)
        downloadHistoricalData(s, from, to, interval);
}

void HistoricalDownloader::downloadWatchlistLastDays(int days, const QString& interval)
{
    const QDate today = QDate::currentDate();
    downloadWatchlist(today.addDays(-days), today, interval);
}

void HistoricalDownloader::enqueueRequest(const HistoricalRequestRecord& record)
{
    requestQueue.append(record);
    if (!downloading)
        processNextDownload();
}

void HistoricalDownloader::startPacing()
{
    if (!pacingTimer->isActive())
        pacingTimer->start();
}

void HistoricalDownloader::processNextDownload()
{
    if (requestQueue.isEmpty()) {
        if (!activeRequests.isEmpty())
            return;
        downloading = false;
        emit allDownloadsCompleted();
        return;
    }
    if (!activeRequests.isEmpty()) {
        startPacing();
        return;
    }
    HistoricalRequestRecord r = requestQueue.takeFirst();
    r.tag = api->newHistoryTag();
    activeRequests.insert(r.requestId, r);
    downloading = true;
    emit downloadStarted(r.requestId, r.symbol);

    variantToRequest.clear();
    auto addVariant = [this, &r](const QString& text) {
        const QString key = normalizeSymbol(text);
        if (!key.isEmpty() && !variantToRequest.contains(key))
            variantToRequest.insert(key, r.requestId);
    };
    addVariant(r.symbol);
    if (ISymbolLookup* svc = symbolService()) {
        const QString token = svc->findSymbol(r.symbol);
        if (!token.isEmpty())
            addVariant(token);
        const IndianSymbolData inst = svc->symbolByToken(r.symbol);
        if (!inst.symbol.isEmpty()) {
            addVariant(scripText(inst));
            addVariant(inst.symbol);
        }
    }

    replyTimer->start();
    api->requestHistoricalData(r.symbol, r.from, r.to, r.interval, r.tag);
    qDebug() << "Started historical download for" << r.symbol << "from" << dateText(r.from) << "to"
             << dateText(r.to) << "interval:" << r.interval;
}

void HistoricalDownloader::onHistoryAnswered(quint64 tag, QString symbol, QList<OHLCData> data)
{
    if (tag == 0) {
        onHistoricalDataReceived(symbol, data);
        return;
    }
    QString id;
    for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd() && id.isEmpty(); ++it) {
        if (it.value().tag == tag)
            id = it.key();
    }
    if (id.isEmpty()) {
        // Bars of a request that ended before they came (timed out, failed or cancelled) while the
        // connector kept working: they are not the running request's, even for the same symbol,
        // whose interval and range may differ.
        qInfo() << "[HistoricalDownloader] Dropped" << data.size() << "bars for" << symbol.left(64)
                << "that answer a request which has ended";
        return;
    }
    completeRequest(id, data, "records");
}

// Stores the bars under the requested symbol and ends the request with them.
void HistoricalDownloader::completeRequest(const QString& id, const QList<OHLCData>& data, const char* logTail)
{
    const HistoricalRequestRecord record = activeRequests.value(id);
    const int count = data.size();
    if (dataManager)
        dataManager->storeHistoricalData(record.symbol, data);
    finishRequest(id, true, QString());
    emit downloadCompleted(id, record.symbol, count);
    emit historyDownloaded(record.symbol, record.interval, data);
    qDebug() << "Historical data received for" << record.symbol << ":" << count << logTail;
    startPacing();
}

void HistoricalDownloader::onHistoricalDataReceived(QString symbol, QList<OHLCData> data)
{
    const int count = data.size();
    const QString key = normalizeSymbol(symbol);
    if (!key.isEmpty() && variantToRequest.contains(key)) {
        const QString id = variantToRequest.value(key);
        // A variant left behind by a finished request must not store bars under an empty name.
        if (activeRequests.contains(id)) {
            qDebug() << "HistoricalDownloader: fast-match incoming" << symbol << "->" << key << "requestId=" << id;
            completeRequest(id, data, "records (fast-match)");
            return;
        }
    }

    QString matched;
    for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd() && matched.isEmpty(); ++it) {
        if (it.value().symbol == symbol)
            matched = it.key();
    }
    const QString up = symbol.trimmed().toUpper();
    if (matched.isEmpty()) {
        QString scrip;
        const int colon = up.indexOf(QLatin1Char(':'));
        const int dash = up.indexOf(QLatin1Char('-'));
        if (colon >= 0 && dash >= 0 && colon < dash)
            scrip = up.mid(colon + 1, dash - colon - 1);
        for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd(); ++it) {
            const QString recUp = it.value().symbol.trimmed().toUpper();
            if ((!recUp.isEmpty() && up.contains(recUp))
                || (!scrip.isEmpty() && (recUp == scrip || recUp.contains(scrip)))) {
                matched = it.key();
                break;
            }
        }
    }
    ISymbolLookup* svc = symbolService();
    if (matched.isEmpty() && svc) {
        const QString replyTrim = symbol.trimmed();
        qDebug() << "HistoricalDownloader: attempting SymbolManager-assisted matching for received:" << replyTrim;
        for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd(); ++it) {
            const QString recTrim = it.value().symbol.trimmed();
            const QString tokRec = svc->findSymbol(recTrim);
            const QString tokReply = svc->findSymbol(replyTrim);
            if (!tokRec.isEmpty() && tokRec == tokReply) {
                qDebug() << "HistoricalDownloader: matched by token:" << tokRec << "for request" << it.key();
                matched = it.key();
                break;
            }
            if (recTrim.isEmpty())
                continue;
            const IndianSymbolData inst = svc->symbolByToken(recTrim);
            if (inst.symbol.isEmpty())
                continue;
            const QString built = scripText(inst).toUpper();
            if (up == built || up.contains(inst.symbol.toUpper())) {
                qDebug() << "HistoricalDownloader: matched by constructed scrip:" << built << "for request" << it.key();
                matched = it.key();
                break;
            }
        }
    }

    if (matched.isEmpty()) {
        dumpUnmatched(symbol);
        return;
    }
    if (dataManager)
        dataManager->storeHistoricalData(symbol, data);
    const HistoricalRequestRecord record = activeRequests.value(matched);
    finishRequest(matched, true, QString());
    emit downloadCompleted(matched, symbol, count);
    emit historyDownloaded(record.symbol, record.interval, data);
    qDebug() << "Historical data received for" << symbol << ":" << count << "records";
    startPacing();
}

void HistoricalDownloader::dumpUnmatched(const QString& reply) const
{
    qDebug() << "Received historical data for unknown request:" << reply;
    qDebug() << "HistoricalDownloader: active requests dump (requestId -> symbol, from, to):";
    for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd(); ++it)
        qDebug() << "  " << it.key() << "->" << it.value().symbol << dateText(it.value().from)
                 << dateText(it.value().to);
    qDebug() << "HistoricalDownloader: variant->requestId map:";
    for (auto it = variantToRequest.constBegin(); it != variantToRequest.constEnd(); ++it)
        qDebug() << "  " << it.key() << "->" << it.value();
}

void HistoricalDownloader::finishRequest(const QString& requestId, bool success, const QString& error)
{
    if (!activeRequests.contains(requestId))
        return;
    for (auto it = variantToRequest.begin(); it != variantToRequest.end();) {
        if (it.value() == requestId)
            it = variantToRequest.erase(it);
        else
            ++it;
    }
    // An answer that comes after this is no one's: the facade passes it to no listener.
    api->endHistoryRequest(activeRequests.take(requestId).tag);
    if (activeRequests.isEmpty())
        replyTimer->stop();
    ++completed;
    emit downloadProgress(completed, completed + requestQueue.size() + activeRequests.size());
    if (!success && !error.isEmpty())
        qDebug() << "Download failed for request" << requestId << ":" << error;
}

void HistoricalDownloader::onHistoryFailed(quint64 tag, QString symbol, QString, QString message)
{
    if (tag == 0)
        return;
    handledFailure = message;
    for (auto it = activeRequests.constBegin(); it != activeRequests.constEnd(); ++it) {
        if (it.value().tag == tag) {
            const QString id = it.key();  // the request leaves the table as it fails
            failRequest(id, message);
            return;
        }
    }
    // The facade passes on failures of open requests only: this one was someone else's.
    qInfo() << "[HistoricalDownloader] A history request for" << symbol.left(64)
            << "that is not the queue's failed:" << message.left(200);
}

void HistoricalDownloader::onApiError(QString error)
{
    if (!handledFailure.isNull() && error == handledFailure) {
        handledFailure.clear();
        return;
    }
    failActive(error);
}

HistoricalRequestRecord HistoricalDownloader::failActive(const QString& error)
{
    if (activeRequests.isEmpty())
        return {};
    const QString id = activeRequests.constBegin().key();
    const HistoricalRequestRecord record = activeRequests.constBegin().value();
    failRequest(id, error);
    return record;
}

void HistoricalDownloader::failRequest(const QString& requestId, const QString& error)
{
    const QString symbol = activeRequests.value(requestId).symbol;
    finishRequest(requestId, false, error);
    emit downloadFailed(requestId, symbol, error);
    startPacing();
}

void HistoricalDownloader::cancelDownload(const QString& requestId)
{
    if (requestId.isEmpty())
        return;
    for (int i = 0; i < requestQueue.size(); ++i) {
        if (requestQueue.at(i).requestId == requestId) {
            requestQueue.removeAt(i);
            return;
        }
    }
    if (!activeRequests.contains(requestId))
        return;
    // The running request ends here: drop its variants so a late reply matches nothing, and let
    // the queue move on after the usual pause instead of waiting for a reply that no one wants.
    api->endHistoryRequest(activeRequests.take(requestId).tag);
    for (auto it = variantToRequest.begin(); it != variantToRequest.end();) {
        if (it.value() == requestId)
            it = variantToRequest.erase(it);
        else
            ++it;
    }
    replyTimer->stop();
    downloading = false;
    startPacing();
}

void HistoricalDownloader::cancelAllDownloads()
{
    requestQueue.clear();
    for (const HistoricalRequestRecord& r : qAsConst(activeRequests))
        api->endHistoryRequest(r.tag);
    activeRequests.clear();
    variantToRequest.clear();
    downloading = false;
    pacingTimer->stop();
    replyTimer->stop();
}

QStringList HistoricalDownloader::activeSymbols() const
{
    QStringList out;
    for (const HistoricalRequestRecord& r : activeRequests)
        out << r.symbol;
    return out;
}

bool HistoricalDownloader::isPending(const QString& requestId) const
{
    if (activeRequests.contains(requestId))
        return true;
    for (const HistoricalRequestRecord& r : requestQueue) {
        if (r.requestId == requestId)
            return true;
    }
    return false;
}
