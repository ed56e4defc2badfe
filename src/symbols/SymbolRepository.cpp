// Instrument master in memory, its CSV cache and its synchronous start-up download.
#include "symbols/SymbolRepository.h"

#include "symbols/MasterReply.h"
#include "symbols/ZlibInflate.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstring>

namespace {

const char kUserAgent[] = "Tickvane/1.0";

// The masters that a start-up load reads back from the cache.
QStringList cachedLabels(const QString& broker)
{
    if (broker == QLatin1String("FlatTrade"))
        return {"NSE", "BSE", "NFO", "MCX"};
    if (broker == QLatin1String("Zerodha"))
        return {"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"};
    if (broker == QLatin1String("Fyers"))
        return {"NSE", "BSE", "MCX"};
    return {};
}

// One master's cache file: written after its download, read back by the start-up load.
QString cacheFileName(const QString& broker, const QString& label)
{
    return broker.toLower() + QLatin1Char('_') + label.toLower() + QLatin1String("_symbols.csv");
}

// The brokers' public hosts for their masters; each can be replaced with setDownloadHost.
QMap<QString, QString> defaultHosts()
{
    return {
        {QStringLiteral("FlatTrade"), QStringLiteral("https://flattrade.s3.ap-south-1.amazonaws.com")},
        {QStringLiteral("Zerodha"), QStringLiteral("https://api.kite.trade")},
        {QStringLiteral("Fyers"), QStringLiteral("https://public.fyers.in")},
        // The symbol-store paths live under the API version prefix.
        {QStringLiteral("TradeJini"), QStringLiteral("https://api.tradejini.com/v2")},
        {QStringLiteral("Dhan"), QStringLiteral("https://images.dhan.co")},
        {QStringLiteral("Upstox"), QStringLiteral("https://assets.upstox.com")},
    };
}

QString unquoted(QStringRef field)
{
    QString s = field.trimmed().toString();
    s.remove(QLatin1Char('"'));
    return s;
}

int columnFor(const QHash<QString, int>& header, std::initializer_list<const char*> names, int fallback)
{
    for (const char* n : names) {
        auto it = header.constFind(QLatin1String(n));
        if (it != header.constEnd())
            return it.value();
    }
    return fallback;
}

QList<IndianSymbolData> parseTradeJini(const QVector<QStringRef>& lines)
{
    QList<IndianSymbolData> out;
    out.reserve(lines.size());
    for (const QStringRef& line : lines) {
        const QVector<QStringRef> f = line.split(QLatin1Char(','));
        if (f.size() < 3)
            continue;
        const QStringRef id = f[0].trimmed();
        const QStringRef sym = f[1].trimmed();
        const QStringRef tok = f[2].trimmed();
        if (id.isEmpty() || sym.isEmpty() || tok.isEmpty())
            continue;
        const QVector<QStringRef> parts = id.split(QLatin1Char('_'));
        QStringRef exch;
        if (parts.size() > 3)
            exch = (parts[3].contains(QLatin1Char('-')) || parts[3].size() == 8) ? parts[2] : parts[3];
        else
            exch = parts.last();

        IndianSymbolData r;
        r.symbol = sym.toString();
        r.token = tok.toString();
        r.exchange = exch.toString().toUpper();
        r.lotSize = f.size() >= 4 ? f[3].trimmed().toInt() : 1;
        r.tickSize = f.size() >= 5 ? f[4].trimmed().toFloat() : 0.05f;
        if (f.size() >= 8)
            r.isin = f[7].trimmed().toString();
        if (!parts[0].isEmpty())
            r.instrumentType = parts[0].toString();
        else if (f.size() >= 6)
            r.instrumentType = f[5].trimmed().toString();
        out.append(std::move(r));
    }
    return out;
}

QList<IndianSymbolData> parseDhan(const QVector<QStringRef>& lines)
{
    QList<IndianSymbolData> out;
    out.reserve(lines.size());
    for (int i = 1; i < lines.size(); ++i) {
        const QStringRef line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const QVector<QStringRef> f = line.split(QLatin1Char(','));
        if (f.size() < 16)
            continue;
        const QStringRef exch = f[0].trimmed();
        const QStringRef tok = f[2].trimmed();
        const QStringRef sym = f[5].trimmed();
        if (exch.isEmpty() || tok.isEmpty() || sym.isEmpty())
            continue;
        IndianSymbolData r;
        r.exchange = exch.toString().toUpper();
        r.token = tok.toString();
        r.symbol = sym.toString();
        // Security ids are unique only within a segment (an index and a share can share one).
        r.segment = SymbolRepository::dhanSegment(r.exchange, f[1].trimmed().toString());
        r.instrumentType = f[3].trimmed().toString();
        out.append(std::move(r));
    }
    qDebug() << "[SymbolRepository] Parsed" << out.size() << "Dhan instruments";
    return out;
}

QList<IndianSymbolData> parseHeaderMapped(const QVector<QStringRef>& lines, const QString& exchange)
{
    QList<IndianSymbolData> out;
    QHash<QString, int> header;
    const QVector<QStringRef> names = lines[0].split(QLatin1Char(','));
    for (int i = 0; i < names.size(); ++i) {
        QString n = names[i].trimmed().toString().toLower();
        n.remove(QLatin1Char('"'));
        header.insert(n, i);  // a repeated name maps to its last column
    }
    const int exchCol = columnFor(header, {"exchange", "exch"}, 0);
    const int tokCol = columnFor(header, {"instrument_token", "instrumenttoken", "token", "tokenid"}, 1);
    const int symCol = columnFor(header, {"tradingsymbol", "tradingsym", "symbol", "ts"}, 3);
    const int typeCol = columnFor(header, {"instrument_type", "instrumenttype", "insttype"}, -1);
    const int expiryCol = columnFor(header, {"expiry", "expiry_date", "expirydate"}, -1);

    out.reserve(lines.size());
    for (int i = 1; i < lines.size(); ++i) {
        const QStringRef line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const QVector<QStringRef> f = line.split(QLatin1Char(','));
        QString token = tokCol < f.size() ? unquoted(f[tokCol]) : QString();
        QString symbol = symCol < f.size() ? unquoted(f[symCol]) : QString();
        if (token.isEmpty() || symbol.isEmpty())
            continue;
        QString exch = exchCol < f.size() ? unquoted(f[exchCol]).trimmed().toUpper() : exchange;
        if (exch.isEmpty())
            exch = exchange;
        IndianSymbolData r;
        r.exchange = std::move(exch);
        r.token = std::move(token);
        r.symbol = std::move(symbol);
        if (typeCol >= 0 && typeCol < f.size())
            r.instrumentType = unquoted(f[typeCol]);
        if (expiryCol >= 0 && expiryCol < f.size())
            r.expiry = unquoted(f[expiryCol]);
        out.append(std::move(r));
    }
    return out;
}

}  // namespace

SymbolRepository::SymbolRepository(QObject* parent)
    : QObject(parent), hosts(defaultHosts())
{
    qDebug() << "[SymbolRepository] Created";
}

SymbolRepository::~SymbolRepository()
{
    if (cacheReader)
        cacheReader->wait();
}

void SymbolRepository::setBroker(const QString& name)
{
    if (name == broker)
        return;
    qDebug() << "[SymbolRepository] Broker changed from" << broker << "to" << name;
    broker = name;
}

void SymbolRepository::clear()
{
    qDebug() << "[SymbolRepository] Clearing all symbols (count:" << symbols.size() << ")";
    symbols.clear();
    ++changes;
    tokenIndex.clear();
    symbolIndex.clear();
    exchangeTokenIndex.clear();
    emit symbolsCleared();
}

QString SymbolRepository::tokenForSymbol(const QString& tradingSymbol) const
{
    // The index keeps the first record per upper-cased symbol, which is what a scan from the
    // start would find.
    const auto it = symbolIndex.constFind(tradingSymbol.trimmed().toUpper());
    return it == symbolIndex.constEnd() ? QString() : symbols.at(it.value()).token;
}

IndianSymbolData SymbolRepository::findByToken(const QString& token) const
{
    const auto it = tokenIndex.constFind(token);
    // Every record with a token is indexed: a miss is final, and a tick for a token the master
    // does not hold costs this one lookup.
    if (it != tokenIndex.constEnd() && it.value() >= 0 && it.value() < symbols.size())
        return symbols.at(it.value());
    return {};
}

IndianSymbolData SymbolRepository::findBySymbol(const QString& tradingSymbol) const
{
    const auto it = symbolIndex.constFind(tradingSymbol.trimmed().toUpper());
    return it == symbolIndex.constEnd() ? IndianSymbolData() : symbols.at(it.value());
}

QString SymbolRepository::dhanSegment(const QString& exchange, const QString& segmentCode)
{
    const QString e = exchange.trimmed().toUpper();
    const QString s = segmentCode.trimmed().toUpper();
    if (s == QLatin1String("I"))
        return QStringLiteral("IDX_I");
    if (e == QLatin1String("MCX"))
        return QStringLiteral("MCX_COMM");
    if (s == QLatin1String("E"))
        return e + QLatin1String("_EQ");
    if (s == QLatin1String("D"))
        return e + QLatin1String("_FNO");
    if (s == QLatin1String("C"))
        return e + QLatin1String("_CURRENCY");
    if (s == QLatin1String("M"))
        return e + QLatin1String("_COMM");
    return QString();
}

QString SymbolRepository::symbolForToken(const QString& token) const
{
    const IndianSymbolData r = findByToken(token);
    return r.token.isEmpty() ? QString() : r.symbol;
}

QString SymbolRepository::exchangeForToken(const QString& token) const
{
    const IndianSymbolData r = findByToken(token);
    return r.token.isEmpty() ? QString() : r.exchange;
}

namespace {

QString exchangeTokenKey(const QString& exchange, const QString& token)
{
    return exchange.toUpper() + QLatin1Char('|') + token;
}

}  // namespace

IndianSymbolData SymbolRepository::findByExchangeToken(const QString& exchange, const QString& token) const
{
    const auto it = exchangeTokenIndex.constFind(exchangeTokenKey(exchange, token));
    if (it != exchangeTokenIndex.constEnd() && it.value() >= 0 && it.value() < symbols.size())
        return symbols.at(it.value());
    return {};
}

QString SymbolRepository::symbolForExchangeToken(const QString& exchange, const QString& token) const
{
    return findByExchangeToken(exchange, token).symbol;
}

QList<IndianSymbolData> SymbolRepository::findAllBySymbol(const QString& tradingSymbol) const
{
    const QString key = tradingSymbol.toUpper();
    QList<IndianSymbolData> out;
    for (const IndianSymbolData& r : symbols) {
        if (r.symbol.toUpper() == key)
            out.append(r);
    }
    return out;
}

void SymbolRepository::indexFrom(int first)
{
    tokenIndex.reserve(symbols.size());
    symbolIndex.reserve(symbols.size());
    exchangeTokenIndex.reserve(symbols.size());
    for (int i = first; i < symbols.size(); ++i) {
        const IndianSymbolData& r = symbols.at(i);
        if (!r.token.isEmpty()) {
            tokenIndex.insert(r.token, i);
            exchangeTokenIndex.insert(exchangeTokenKey(r.exchange, r.token), i);
            if (!r.segment.isEmpty() && r.segment.compare(r.exchange, Qt::CaseInsensitive) != 0)
                exchangeTokenIndex.insert(exchangeTokenKey(r.segment, r.token), i);
        }
        const QString key = r.symbol.toUpper();
        if (!symbolIndex.contains(key))
            symbolIndex.insert(key, i);
    }
}

void SymbolRepository::addSymbol(const QString& symbol, const QString& token, const QString& exchange,
                                 const QString& instrumentType)
{
    IndianSymbolData r;
    r.symbol = symbol;
    r.token = token;
    r.exchange = exchange;
    r.instrumentType = instrumentType;
    r.lotSize = 1;
    r.tickSize = 0.05f;
    symbols.append(r);
    ++changes;
    indexFrom(symbols.size() - 1);
}

void SymbolRepository::addSymbols(const QList<IndianSymbolData>& list)
{
    // The same master can arrive twice (the start-up load and the symbol manager's load): an
    // instrument already held takes the newer record in its place. Token and exchange name it;
    // segments tell two apart only where both records give one (masters differ in that).
    // A master is not compared with itself: only records held before this call are looked at.
    const int old = symbols.size();
    ++changes;
    if (old == 0) {
        symbols = list;
        indexFrom(0);
        qDebug() << "[SymbolRepository] Added" << list.size() << "symbols, total now:" << symbols.size();
        emit symbolsLoaded(list.size());
        return;
    }
    const auto key = [](const IndianSymbolData& r) { return r.token + QLatin1Char('\x1f') + r.exchange; };
    QHash<QString, QVector<int>> held;
    held.reserve(symbols.size());
    for (int i = 0; i < symbols.size(); ++i) {
        if (!symbols.at(i).token.isEmpty())
            held[key(symbols.at(i))].append(i);
    }
    int replaced = 0;
    for (const IndianSymbolData& r : list) {
        int same = -1;
        if (!r.token.isEmpty()) {
            for (int i : held.value(key(r))) {
                const QString& segment = symbols.at(i).segment;
                if (segment.isEmpty() || r.segment.isEmpty() || segment == r.segment) {
                    same = i;
                    break;
                }
            }
        }
        if (same >= 0) {
            symbols[same] = r;
            ++replaced;
            continue;
        }
        symbols.append(r);
    }
    if (replaced > 0)
        rebuildIndex();
    else
        indexFrom(old);
    qDebug() << "[SymbolRepository] Added" << list.size() << "symbols, total now:" << symbols.size();
    if (replaced > 0)
        qDebug() << "[SymbolRepository] Replaced" << replaced << "records already held";
    emit symbolsLoaded(list.size());
}

QList<IndianSymbolData> SymbolRepository::addParsedWaiting(
    const std::function<QList<IndianSymbolData>()>& parse)
{
    if (parseWaiting) {
        const QList<IndianSymbolData> parsed = parse();
        if (!parsed.isEmpty())
            addSymbols(parsed);
        return parsed;
    }
    QScopedValueRollback<bool> guard(parseWaiting, true);
    struct Work {
        QList<IndianSymbolData> parsed, symbols;
        QHash<QString, int> tokenIndex, symbolIndex, exchangeTokenIndex;
    };
    // Copies share the records until one side changes them.
    auto work = std::make_shared<Work>();
    work->symbols = symbols;
    work->tokenIndex = tokenIndex;
    work->symbolIndex = symbolIndex;
    work->exchangeTokenIndex = exchangeTokenIndex;
    const quint64 before = changes;
    QThread* worker = QThread::create([work, parse] {
        work->parsed = parse();
        if (work->parsed.isEmpty())
            return;
        SymbolRepository scratch;
        scratch.symbols.swap(work->symbols);
        scratch.tokenIndex.swap(work->tokenIndex);
        scratch.symbolIndex.swap(work->symbolIndex);
        scratch.exchangeTokenIndex.swap(work->exchangeTokenIndex);
        scratch.addSymbols(work->parsed);
        work->symbols.swap(scratch.symbols);
        work->tokenIndex.swap(scratch.tokenIndex);
        work->symbolIndex.swap(scratch.symbolIndex);
        work->exchangeTokenIndex.swap(scratch.exchangeTokenIndex);
    });
    QEventLoop wait;
    connect(worker, &QThread::finished, &wait, &QEventLoop::quit);
    worker->start();
    // Replies and input that would start another load wait: only timers and paints run.
    wait.exec(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
    worker->wait();
    delete worker;
    if (work->parsed.isEmpty())
        return {};
    if (changes != before) {
        addSymbols(work->parsed);
        return work->parsed;
    }
    ++changes;
    symbols.swap(work->symbols);
    tokenIndex.swap(work->tokenIndex);
    symbolIndex.swap(work->symbolIndex);
    exchangeTokenIndex.swap(work->exchangeTokenIndex);
    const QList<IndianSymbolData> parsed = work->parsed;
    // The records held before are freed on a thread of their own too: a whole master's worth
    // of strings takes a while to give back.
    QThread* release = QThread::create([old = std::move(work)]() mutable { old.reset(); });
    connect(release, &QThread::finished, release, &QObject::deleteLater);
    release->start();
    emit symbolsLoaded(parsed.size());
    return parsed;
}

void SymbolRepository::rebuildIndex()
{
    tokenIndex.clear();
    symbolIndex.clear();
    exchangeTokenIndex.clear();
    indexFrom(0);
    qDebug() << "[SymbolRepository] Rebuilt index with" << tokenIndex.size() << "entries";
}

QMap<QString, int> SymbolRepository::countByKey() const
{
    QMap<QString, int> counts;
    for (const IndianSymbolData& r : symbols)
        ++counts[r.exchange];
    return counts;
}

// ---- cache files -------------------------------------------------------------------------

void SymbolRepository::setClock(std::function<QDateTime()> c)
{
    clock = std::move(c);
}

QDateTime SymbolRepository::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

QTime SymbolRepository::cacheCutoff(const QString& broker)
{
    if (broker == QLatin1String("FlatTrade"))
        return QTime(7, 30);
    if (broker == QLatin1String("Fyers"))
        return QTime(7, 45);
    return QTime(8, 0);
}

bool SymbolRepository::isCacheFresh(const QDateTime& fetched, const QDateTime& now, const QTime& cutoff)
{
    if (!fetched.isValid())
        return false;
    const QDate today = now.date();
    if (fetched.date() == today && fetched.time() >= cutoff)
        return true;
    return fetched.date() == today.addDays(-1) && fetched.time() >= cutoff && now.time() < cutoff;
}

QList<IndianSymbolData> SymbolRepository::parseForBroker(const QByteArray& data, const QString& broker,
                                                         const QString& exchange)
{
    const int len = int(qstrnlen(data.constData(), uint(data.size())));
    const QString text = QString::fromUtf8(data.constData(), len);
    const QVector<QStringRef> lines = text.splitRef(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return {};
    if (broker == QLatin1String("TradeJini"))
        return parseTradeJini(lines);
    if (broker == QLatin1String("Dhan"))
        return parseDhan(lines);
    return parseHeaderMapped(lines, exchange);
}

bool SymbolRepository::loadFromCacheSync(const QString& brokerName, const QString& cacheFolder)
{
    if (busy) {
        qWarning() << "[SymbolRepository] Load skipped: a load or download is already running";
        return false;
    }
    QScopedValueRollback<bool> guard(busy, true);
    qDebug() << "[SymbolRepository] Synchronous load from cache for broker:" << brokerName;
    QStringList outdated;
    const int total = readCachedMasters(brokerName, cacheFolder, now(), &outdated);
    return finishCacheLoad(brokerName, cacheFolder, total, outdated);
}

void SymbolRepository::loadFromCacheAsync(const QString& brokerName, const QString& cacheFolder,
                                          std::function<void(bool)> done)
{
    if (busy) {
        qWarning() << "[SymbolRepository] Load skipped: a load or download is already running";
        QTimer::singleShot(0, this, [done] { done(false); });
        return;
    }
    busy = true;
    qDebug() << "[SymbolRepository] Load from cache for broker:" << brokerName << "(in the background)";
    // The reader fills a repository of its own, which no one else sees until it is taken over.
    struct Read {
        QList<IndianSymbolData> symbols;
        QHash<QString, int> tokenIndex, symbolIndex, exchangeTokenIndex;
        QStringList outdated;
        int total = 0;
    };
    auto read = std::make_shared<Read>();
    const QDateTime current = now();
    cacheReader = QThread::create([read, brokerName, cacheFolder, current, gate = cacheReadGate] {
        if (gate)
            gate();
        SymbolRepository scratch;
        read->total = scratch.readCachedMasters(brokerName, cacheFolder, current, &read->outdated);
        read->symbols.swap(scratch.symbols);
        read->tokenIndex.swap(scratch.tokenIndex);
        read->symbolIndex.swap(scratch.symbolIndex);
        read->exchangeTokenIndex.swap(scratch.exchangeTokenIndex);
    });
    cacheReader->setParent(this);
    connect(cacheReader, &QThread::finished, this, [this, read, brokerName, cacheFolder, done] {
        cacheReader->wait();
        cacheReader->deleteLater();
        cacheReader = nullptr;
        if (read->total > 0) {
            ++changes;
            if (symbols.isEmpty()) {
                // Swapped, not copied: the window's thread pays nothing for the size.
                symbols.swap(read->symbols);
                tokenIndex.swap(read->tokenIndex);
                symbolIndex.swap(read->symbolIndex);
                exchangeTokenIndex.swap(read->exchangeTokenIndex);
            } else {
                addSymbols(read->symbols);  // records that came meanwhile stay
            }
        }
        busy = false;
        done(finishCacheLoad(brokerName, cacheFolder, read->total, read->outdated));
    });
    cacheReader->start();
}

int SymbolRepository::readCachedMasters(const QString& brokerName, const QString& cacheFolder,
                                        const QDateTime& current, QStringList* outdated)
{
    const QTime cutoff = cacheCutoff(brokerName);
    int total = 0;
    for (const QString& label : cachedLabels(brokerName)) {
        const QString path = cacheFolder + QLatin1Char('/') + cacheFileName(brokerName, label);
        const QString metaPath = path + QLatin1String(".meta.json");
        // A master that an earlier download could not fetch has no file: it is fetched like an
        // outdated one, or its exchange would stay missing until the next day's cut-off.
        if (!QFileInfo::exists(path)) {
            qDebug() << "[SymbolRepository] Cache not found:" << path;
            *outdated << label;
            continue;
        }
        QFile meta(metaPath);
        if (!meta.open(QIODevice::ReadOnly)) {
            qDebug() << "[SymbolRepository] No metadata for" << path;
            *outdated << label;
            continue;
        }
        const QJsonObject metaObj = QJsonDocument::fromJson(meta.readAll()).object();
        meta.close();
        const QDateTime fetched =
            QDateTime::fromString(metaObj.value(QLatin1String("fetchedAt")).toString(), Qt::ISODate);
        if (!isCacheFresh(fetched, current, cutoff)) {
            qDebug() << "[SymbolRepository] Cache outdated for" << label << "(fetched:"
                     << fetched.toString(Qt::TextDate) << "now:" << current.toString(Qt::TextDate) << ")";
            qDebug() << "[SymbolRepository] Please reload symbol data to get latest" << label << "symbols";
            *outdated << label;
            continue;
        }
        QFile master(path);
        if (!master.open(QIODevice::ReadOnly)) {
            qDebug() << "[SymbolRepository] Failed to open:" << path;
            continue;
        }
        const QByteArray bytes = master.readAll();
        master.close();
        const QList<IndianSymbolData> parsed = parseForBroker(bytes, brokerName, label);
        if (parsed.isEmpty())
            continue;
        addSymbols(parsed);
        total += parsed.size();
        qDebug() << "[SymbolRepository] Loaded" << parsed.size() << "symbols from" << label;
    }

    return total;
}

bool SymbolRepository::finishCacheLoad(const QString& brokerName, const QString& cacheFolder, int total,
                                       const QStringList& outdatedOrMissing)
{
    QStringList outdated = outdatedOrMissing;
    if (total == 0) {
        // With nothing loaded the caller downloads every master at once: a missing file is left
        // to that download instead of being fetched a second time right after it.
        outdated.erase(std::remove_if(outdated.begin(), outdated.end(),
                                      [&](const QString& label) {
                                          return !QFileInfo::exists(cacheFolder + QLatin1Char('/')
                                                                    + cacheFileName(brokerName, label));
                                      }),
                       outdated.end());
    }
    bool result = false;
    if (total > 0) {
        qDebug() << "[SymbolRepository] Sync load complete:" << total << "symbols loaded";
        emit symbolsLoaded(total);
        result = true;
    } else {
        qDebug() << "[SymbolRepository] No valid caches. Will download.";
    }
    if (!outdated.isEmpty()) {
        qDebug() << "[SymbolRepository] Triggering download for outdated exchanges:" << outdated;
        QTimer::singleShot(refreshDelayMs, this, [this, brokerName, cacheFolder, outdated] {
            refreshOutdated(brokerName, cacheFolder, outdated);
        });
    }
    return result;
}

void SymbolRepository::refreshOutdated(const QString& brokerName, const QString& cacheFolder,
                                       const QStringList& labels)
{
    // The start-up download runs in nested event loops, so this can fire in the middle of it:
    // wait for it to end instead of downloading and appending the same files a second time.
    if (busy) {
        QTimer::singleShot(refreshDelayMs, this, [this, brokerName, cacheFolder, labels] {
            refreshOutdated(brokerName, cacheFolder, labels);
        });
        return;
    }
    QList<DownloadEntry> entries;
    for (const DownloadEntry& e : downloadEntries(brokerName, cacheFolder)) {
        if (labels.contains(e.label) && !downloadedThisRun.contains(brokerName + QLatin1Char('|') + e.label))
            entries << e;
    }
    if (!entries.isEmpty()) {
        QScopedValueRollback<bool> guard(busy, true);
        downloadEntriesSync(brokerName, cacheFolder, entries);
    }
    emit symbolsReloaded();
}

void SymbolRepository::writeCache(const QString& path, const QByteArray& bytes, const QString& brokerName,
                                  const QString& label, int count)
{
    // Master first, then the meta file that vouches for it, each replaced atomically: a crash in
    // between leaves the old meta, which at worst marks the new master outdated.
    QSaveFile master(path);
    if (!master.open(QIODevice::WriteOnly) || master.write(bytes) != bytes.size() || !master.commit()) {
        qDebug() << "[SymbolRepository] Failed to write cache file:" << path;
        return;
    }
    qDebug() << "[SymbolRepository] Cached" << count << "symbols to" << path;

    QJsonObject meta;
    meta.insert(QStringLiteral("fetchedAt"), now().toString(Qt::ISODate));
    meta.insert(QStringLiteral("broker"), brokerName);
    meta.insert(QStringLiteral("exchange"), label);
    meta.insert(QStringLiteral("symbolCount"), count);
    QSaveFile metaFile(path + QLatin1String(".meta.json"));
    if (metaFile.open(QIODevice::WriteOnly)) {
        metaFile.write(QJsonDocument(meta).toJson(QJsonDocument::Indented));
        metaFile.commit();
    }
}

// ---- download ----------------------------------------------------------------------------

void SymbolRepository::setDownloadHost(const QString& brokerName, const QString& baseUrl)
{
    hosts.insert(brokerName, baseUrl);
}

QString SymbolRepository::downloadHost(const QString& brokerName) const
{
    return hosts.value(brokerName);
}

QList<SymbolRepository::DownloadEntry> SymbolRepository::downloadEntries(const QString& b,
                                                                          const QString& folder) const
{
    const QString host = hosts.value(b);
    QList<DownloadEntry> out;
    auto add = [&](const QString& label, const QString& path) {
        out.append({label, host + path, folder + QLatin1Char('/') + cacheFileName(b, label)});
    };
    if (b == QLatin1String("FlatTrade")) {
        add("NSE", "/scripmaster/NSE_Equity.csv");
        add("BSE", "/scripmaster/BSE_Equity.csv");
        add("NFO", "/scripmaster/Nfo_Equity_Derivatives.csv");
        add("MCX", "/scripmaster/Commodity.csv");
    } else if (b == QLatin1String("Zerodha")) {
        for (const char* e : {"NSE", "BSE", "NFO", "MCX", "BCD", "CDS"}) {
            const QString ex = QLatin1String(e);
            add(ex, "/instruments/" + ex);
        }
    } else if (b == QLatin1String("Fyers")) {
        add("NSE", "/sym_details/NSE_CM.csv");
        add("BSE", "/sym_details/BSE_CM.csv");
        add("MCX", "/sym_details/MCX_COM.csv");
    } else if (b == QLatin1String("TradeJini")) {
        for (const char* g : {"Securities", "CommodityFuture", "CommodityOptions", "FutureContracts",
                              "NSEOptions", "BSEOptions", "CurrencyFuture", "CurrencyOptions", "Index", "Spot"}) {
            const QString name = QLatin1String(g);
            add(name, "/api/mkt-data/scrips/symbol-store/" + name);
        }
    } else if (b == QLatin1String("Dhan")) {
        // One master for every exchange, cached under the broker's name alone.
        out.append({QStringLiteral("ALL"), host + QLatin1String("/api-data/api-scrip-master.csv"),
                    folder + QLatin1String("/dhan_symbols.csv")});
    }
    return out;
}

bool SymbolRepository::downloadSync(const QString& brokerName, const QString& cacheFolder)
{
    if (busy) {
        qWarning() << "[SymbolRepository] Download skipped: a load or download is already running";
        return false;
    }
    QScopedValueRollback<bool> guard(busy, true);
    qDebug() << "[SymbolRepository] Synchronous download starting for broker:" << brokerName;

    if (brokerName == QLatin1String("AngelOne")) {
        qDebug() << "[SymbolRepository] AngelOne symbols handled by broker implementation";
        return true;
    }
    if (brokerName == QLatin1String("Upstox"))
        return downloadUpstoxSync();

    const QList<DownloadEntry> entries = downloadEntries(brokerName, cacheFolder);
    if (entries.isEmpty()) {
        qDebug() << "[SymbolRepository] No downloads configured for broker:" << brokerName;
        return false;
    }
    return downloadEntriesSync(brokerName, cacheFolder, entries);
}

bool SymbolRepository::downloadEntriesSync(const QString& brokerName, const QString& cacheFolder,
                                           const QList<DownloadEntry>& entries)
{
    if (!QDir().mkpath(cacheFolder)) {
        qDebug() << "[SymbolRepository] Failed to create cache directory:" << cacheFolder;
        return false;
    }
    QNetworkAccessManager nam;
    int files = 0;
    int total = 0;
    QStringList missing;
    bool hostSilent = false;
    for (const DownloadEntry& e : entries) {
        if (hostSilent) {
            // One silent host costs one stall, not one per exchange; the rest come at the next load.
            missing << e.label;
            continue;
        }
        qDebug() << "[SymbolRepository] Downloading" << e.label << "from" << e.url;
        QNetworkRequest req{QUrl(e.url)};
        req.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(kUserAgent));
        QNetworkReply* reply = nam.get(req);
        bool stalled = false;
        bool anyBytes = false;
        if (!reply->isFinished()) {
            // Bounded by the time without a byte, not by a fixed end: a large master on a slow link
            // keeps going for as long as it keeps arriving.
            QTimer stall;
            stall.setSingleShot(true);
            stall.setInterval(downloadTimeoutMs);
            connect(&stall, &QTimer::timeout, reply, [reply, &stalled] {
                stalled = true;
                reply->abort();
            });
            connect(reply, &QNetworkReply::metaDataChanged, &stall, [&stall, &anyBytes] {
                anyBytes = true;
                stall.start();
            });
            connect(reply, &QNetworkReply::downloadProgress, &stall, [&stall, &anyBytes](qint64 received, qint64) {
                anyBytes = anyBytes || received > 0;
                stall.start();
            });
            QEventLoop loop;
            connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            stall.start();
            loop.exec();
        }
        // A redirect or an error page is no master either: the cache keeps what it has.
        const QString failure =
            stalled ? QStringLiteral("no data for %1 s").arg(downloadTimeoutMs / 1000.0) : MasterReply::failure(reply);
        if (!failure.isEmpty()) {
            qWarning() << "[SymbolRepository] Download failed for" << e.label << ":" << failure;
            reply->deleteLater();
            missing << e.label;
            hostSilent = stalled && !anyBytes;
            continue;
        }
        const QByteArray bytes = reply->readAll();
        reply->deleteLater();
        qDebug() << "[SymbolRepository] Downloaded" << bytes.size() << "bytes for" << e.label;
        const QString label = e.label;
        const QList<IndianSymbolData> parsed =
            addParsedWaiting([bytes, brokerName, label] { return parseForBroker(bytes, brokerName, label); });
        if (parsed.isEmpty()) {
            qDebug() << "[SymbolRepository] Failed to parse symbols for" << e.label;
            missing << e.label;
            continue;
        }
        ++files;
        total += parsed.size();
        downloadedThisRun.insert(brokerName + QLatin1Char('|') + e.label);
        writeCache(e.cachePath, bytes, brokerName, e.label, parsed.size());
    }
    if (!missing.isEmpty()) {
        qWarning() << "[SymbolRepository] Masters missing for" << brokerName << ":" << missing;
        emit mastersMissing(brokerName, missing);
    }
    if (files == 0) {
        qDebug() << "[SymbolRepository] All downloads failed!";
        return false;
    }
    qDebug() << "[SymbolRepository] Sync download complete:" << total << "symbols loaded from" << files
             << "exchanges";
    emit symbolsLoaded(total);
    return true;
}

bool SymbolRepository::downloadUpstoxSync()
{
    qDebug() << "[SymbolRepository] Downloading Upstox instrument master...";
    QNetworkAccessManager nam;
    QNetworkRequest req{QUrl(hosts.value(QStringLiteral("Upstox"))
                             + QLatin1String("/market-quote/instruments/exchange/complete.json.gz"))};
    req.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(kUserAgent));
    QNetworkReply* reply = nam.get(req);
    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(upstoxTimeoutMs);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished()) {
        reply->abort();
        qWarning() << "[SymbolRepository] Upstox download timeout";
        reply->deleteLater();
        return false;
    }
    timer.stop();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "[SymbolRepository] Upstox download failed:" << reply->errorString();
        reply->deleteLater();
        return false;
    }
    const QByteArray compressed = reply->readAll();
    reply->deleteLater();
    qDebug() << "[SymbolRepository] Downloaded Upstox data, compressed size:" << compressed.size() << "bytes";

    // A whole master of JSON: inflated, parsed and indexed off the window's thread.
    const QList<IndianSymbolData> result =
        addParsedWaiting([compressed] { return parseUpstoxMaster(compressed); });
    if (result.isEmpty())
        return false;
    qDebug() << "[SymbolRepository] Successfully loaded" << result.size() << "Upstox symbols";
    return true;
}

QList<IndianSymbolData> SymbolRepository::parseUpstoxMaster(const QByteArray& compressed)
{
    // qUncompress trusts its 4-byte size prefix and reserves that much first; a gzip file's magic
    // reads as about 500 MB there and can never inflate in that format anyway.
    QByteArray json;
    const bool gzipMagic = compressed.size() >= 2 && uchar(compressed[0]) == 0x1f && uchar(compressed[1]) == 0x8b;
    if (!gzipMagic && compressed.size() > 4) {
        const quint32 hint = (quint32(uchar(compressed[0])) << 24) | (quint32(uchar(compressed[1])) << 16)
            | (quint32(uchar(compressed[2])) << 8) | quint32(uchar(compressed[3]));
        if (hint <= quint32(ZlibInflate::kGunzipCap))
            json = qUncompress(compressed);
    }
    if (json.isEmpty()) {
        qDebug() << "[SymbolRepository] qUncompress failed, trying manual gzip decompression...";
        json = gunzipData(compressed);
        if (json.isEmpty()) {
            qWarning() << "[SymbolRepository] Failed to decompress Upstox data";
            return {};
        }
    }
    qDebug() << "[SymbolRepository] Decompressed size:" << json.size() << "bytes";
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) {
        qWarning() << "[SymbolRepository] Upstox JSON parse error:" << err.errorString();
        return {};
    }
    if (!doc.isArray()) {
        qWarning() << "[SymbolRepository] Expected JSON array for Upstox instruments";
        return {};
    }
    const QJsonArray arr = doc.array();
    qDebug() << "[SymbolRepository] Parsing" << arr.size() << "Upstox instruments...";
    QList<IndianSymbolData> result;
    int eq = 0, fut = 0, opt = 0;
    QStringList sample;
    for (const QJsonValue& v : arr) {
        if (!v.isObject())
            continue;
        const QJsonObject o = v.toObject();
        const QString key = o.value(QLatin1String("instrument_key")).toString();
        const QString sym = o.value(QLatin1String("trading_symbol")).toString();
        const QString type = o.value(QLatin1String("instrument_type")).toString();
        if (type == QLatin1String("EQ")) {
            ++eq;
            if (sample.size() < 20)
                sample << sym;
        } else if (type.contains(QLatin1String("FUT"))) {
            ++fut;
        } else if (type == QLatin1String("CE") || type == QLatin1String("PE")) {
            ++opt;
        }
        if (key.isEmpty() || sym.isEmpty())
            continue;
        IndianSymbolData r;
        r.token = key;
        r.symbol = sym;
        r.instrumentType = type;
        r.isin = o.value(QLatin1String("isin")).toString();
        r.exchange = o.value(QLatin1String("exchange")).toString();
        r.segment = o.value(QLatin1String("segment")).toString();
        const QJsonValue lot = o.value(QLatin1String("lot_size"));
        const double lotD = lot.toDouble();
        // Range first: converting an out-of-range double to int is undefined.
        r.lotSize = (lot.isDouble() && lotD >= -2147483648.0 && lotD <= 2147483647.0 && lotD == std::floor(lotD))
            ? qint32(lotD)
            : 1;
        const QJsonValue tick = o.value(QLatin1String("tick_size"));
        r.tickSize = tick.isDouble() ? float(tick.toDouble()) : 0.05f;
        result.append(std::move(r));
    }
    qDebug() << "[SymbolRepository] Upstox breakdown: EQ=" << eq << "FUT=" << fut << "Options=" << opt;
    qDebug() << "[SymbolRepository] Sample equities:" << sample;
    return result;
}
