// Candle store over SQLite: schema, per-thread connections, bulk inserts and the backtest reads.
#include "backtest/SQLiteOHLCStore.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>

#include <cmath>

namespace {

const QString kMemory = QStringLiteral(":memory:");
const QString kMinuteFile = QStringLiteral("1min.db");
const QString kDayFile = QStringLiteral("day.db");

const char kCreateMinute[] =
    "CREATE TABLE IF NOT EXISTS minute_candles ("
    " symbol TEXT NOT NULL,"
    " date TEXT NOT NULL,"
    " time TEXT NOT NULL,"
    " open REAL NOT NULL,"
    " high REAL NOT NULL,"
    " low REAL NOT NULL,"
    " close REAL NOT NULL,"
    " volume INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (symbol, date, time))";
const char kIndexMinute[] = "CREATE INDEX IF NOT EXISTS idx_min_sym_date ON minute_candles(symbol, date)";
const char kCreateDay[] =
    "CREATE TABLE IF NOT EXISTS day_candles ("
    " symbol TEXT NOT NULL,"
    " date TEXT NOT NULL,"
    " open REAL NOT NULL,"
    " high REAL NOT NULL,"
    " low REAL NOT NULL,"
    " close REAL NOT NULL,"
    " volume INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (symbol, date))";
const char kIndexDay[] = "CREATE INDEX IF NOT EXISTS idx_day_sym ON day_candles(symbol)";

const char kInsertMinute[] =
    "INSERT OR IGNORE INTO minute_candles (symbol, date, time, open, high, low, close, volume) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const char kInsertDay[] =
    "INSERT OR IGNORE INTO day_candles (symbol, date, open, high, low, close, volume) "
    "VALUES (?, ?, ?, ?, ?, ?, ?)";

QString shortUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

bool initSchema(QSqlDatabase& db, const char* createTable, const char* createIndex, const char* label)
{
    QSqlQuery q(db);
    const bool ok = q.exec(QString::fromLatin1(createTable));
    if (!ok)
        qWarning().noquote() << label << q.lastError().text();
    q.exec(QString::fromLatin1(createIndex));
    return ok;
}

// A stored volume may be anything an outside writer put there; read it wide and narrow it safely.
qint32 readVolume(const QVariant& v)
{
    return saturateVolume(v.toLongLong());
}

// A column as Qt's SQLite driver would hand it over; only for values of an unexpected storage class.
QVariant columnVariant(sqlite3_stmt* st, int i)
{
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: return QVariant(static_cast<qlonglong>(sqlite3_column_int64(st, i)));
    case SQLITE_FLOAT: return QVariant(sqlite3_column_double(st, i));
    case SQLITE_NULL: return QVariant(QString());
    case SQLITE_BLOB:
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i));
    default:
        return QString(reinterpret_cast<const QChar*>(sqlite3_column_text16(st, i)),
                       sqlite3_column_bytes16(st, i) / int(sizeof(QChar)));
    }
}

double readDouble(sqlite3_stmt* st, int i)
{
    const int type = sqlite3_column_type(st, i);
    if (type == SQLITE_FLOAT || type == SQLITE_INTEGER)
        return sqlite3_column_double(st, i);
    return columnVariant(st, i).toDouble();
}

// Open, high, low, close and volume stand in five columns from `first` in both candle reads.
void readPrices(sqlite3_stmt* st, int first, StoredCandle& s)
{
    s.open = readDouble(st, first);
    s.high = readDouble(st, first + 1);
    s.low = readDouble(st, first + 2);
    s.close = readDouble(st, first + 3);
    s.volume = sqlite3_column_type(st, first + 4) == SQLITE_INTEGER
        ? saturateVolume(sqlite3_column_int64(st, first + 4))
        : readVolume(columnVariant(st, first + 4));
}

// "HH:MM:SS" from the shared texts; any other text as it is.
QString readTime(sqlite3_stmt* st, int i, QVector<QString>& times)
{
    if (sqlite3_column_type(st, i) != SQLITE_TEXT)
        return columnVariant(st, i).toString();
    const auto* t = sqlite3_column_text(st, i);
    const int n = sqlite3_column_bytes(st, i);
    auto digit = [t](int k) { return t[k] >= '0' && t[k] <= '9'; };
    if (n == 8 && t[2] == ':' && t[5] == ':' && digit(0) && digit(1) && digit(3) && digit(4) && digit(6) && digit(7)) {
        const int h = (t[0] - '0') * 10 + (t[1] - '0');
        const int m = (t[3] - '0') * 10 + (t[4] - '0');
        const int sec = (t[6] - '0') * 10 + (t[7] - '0');
        if (h < 24 && m < 60 && sec < 60) {
            if (times.isEmpty())
                times.resize(24 * 3600);
            QString& slot = times[h * 3600 + m * 60 + sec];
            if (slot.isNull())
                slot = QString::fromLatin1(reinterpret_cast<const char*>(t), n);
            return slot;
        }
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(t), n);
}

sqlite3* handleOf(const QSqlDatabase& db)
{
    const QVariant v = db.driver() ? db.driver()->handle() : QVariant();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(v.data());
}

// Prepares a statement the first time a connection needs it; later calls reuse it.
sqlite3_stmt* preparedRead(sqlite3_stmt*& slot, const QSqlDatabase& db, const char* sql)
{
    if (!slot) {
        sqlite3* handle = handleOf(db);
        if (!handle || sqlite3_prepare_v2(handle, sql, -1, &slot, nullptr) != SQLITE_OK) {
            sqlite3_finalize(slot);
            slot = nullptr;
        }
    }
    return slot;
}

// Binds text parameters from `first` (1-based); the bytes must outlive the step loop.
void bindTexts(sqlite3_stmt* st, std::initializer_list<const QByteArray*> texts)
{
    int i = 1;
    for (const QByteArray* t : texts)
        sqlite3_bind_text(st, i++, t->constData(), t->size(), SQLITE_STATIC);
}

}  // namespace

SQLiteOHLCStore::SQLiteOHLCStore()
    : m_minuteConnectionName(QStringLiteral("ohlc_min_") + shortUuid())
    , m_dayConnectionName(QStringLiteral("ohlc_day_") + shortUuid())
{
}

SQLiteOHLCStore::~SQLiteOHLCStore()
{
    close();
}

QString SQLiteOHLCStore::databasePath(const QString& file) const
{
    if (m_memory) {
        // One shared-cache in-memory database per store and table, visible to every connection of it.
        const QString base = file == kMinuteFile ? m_minuteConnectionName : m_dayConnectionName;
        return QStringLiteral("file:%1_mem?mode=memory&cache=shared").arg(base);
    }
    return m_directory + QLatin1Char('/') + file;
}

bool SQLiteOHLCStore::openConnection(QSqlDatabase& db, const QString& name, const QString& file, bool logFailure)
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    const QString path = databasePath(file);
    db.setDatabaseName(path);
    if (m_memory)
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    if (!db.open()) {
        if (logFailure) {
            qWarning() << "SQLiteOHLCStore: cannot open" << (m_memory ? kMemory : path)
                       << db.lastError().text();
        }
        return false;
    }
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    q.exec(QStringLiteral("PRAGMA cache_size=-32768"));
    // Replays read every page of their days: mapped pages spare a system call and a copy per page.
    q.exec(QStringLiteral("PRAGMA mmap_size=268435456"));
    return true;
}

void SQLiteOHLCStore::dropConnections(ThreadConnections& c)
{
    // Every handle must be gone before the name is removed, or Qt keeps the connection alive.
    for (sqlite3_stmt** st : {&c.minuteRead, &c.dayRead, &c.minuteInsert, &c.dayInsert}) {
        sqlite3_finalize(*st);
        *st = nullptr;
    }
    if (c.minute.isValid())
        c.minute.close();
    if (c.day.isValid())
        c.day.close();
    c.minute = QSqlDatabase();
    c.day = QSqlDatabase();
    if (!c.minuteName.isEmpty())
        QSqlDatabase::removeDatabase(c.minuteName);
    if (!c.dayName.isEmpty())
        QSqlDatabase::removeDatabase(c.dayName);
}

SQLiteOHLCStore::ThreadConnections* SQLiteOHLCStore::connectionsForCurrentThread()
{
    QThread* thread = QThread::currentThread();
    auto it = m_connections.find(thread);
    if (it != m_connections.end())
        return &it.value();

    ThreadConnections c;
    const QString suffix = QStringLiteral("_t%1").arg(m_nextConnection++);
    c.minuteName = m_minuteConnectionName + suffix;
    c.dayName = m_dayConnectionName + suffix;
    if (!openConnection(c.minute, c.minuteName, kMinuteFile, true)
        || !openConnection(c.day, c.dayName, kDayFile, true)) {
        dropConnections(c);
        return nullptr;
    }
    it = m_connections.insert(thread, c);
    // A finished thread's connections are useless (and its address may be reused): drop them then.
    QObject::connect(thread, &QThread::finished, &m_threadWatch, [this, thread] { releaseThread(thread); },
                     Qt::DirectConnection);
    return &it.value();
}

void SQLiteOHLCStore::releaseThread(QThread* thread)
{
    QMutexLocker locker(&m_lock);
    auto it = m_connections.find(thread);
    if (it == m_connections.end())
        return;
    dropConnections(it.value());
    m_connections.erase(it);
}

bool SQLiteOHLCStore::open(const QString& directory)
{
    close();
    QMutexLocker locker(&m_lock);
    m_directory = directory;
    m_memory = directory == kMemory;

    ThreadConnections* c = connectionsForCurrentThread();
    bool ok = c != nullptr;
    if (ok)
        ok = initSchema(c->minute, kCreateMinute, kIndexMinute, "initSchema minute:");
    if (ok)
        ok = initSchema(c->day, kCreateDay, kIndexDay, "initSchema day:");
    if (!ok) {
        for (auto& conn : m_connections)
            dropConnections(conn);
        m_connections.clear();
        return false;
    }
    m_open.store(true);
    return true;
}

void SQLiteOHLCStore::close()
{
    if (!m_open.load())
        return;
    QMutexLocker locker(&m_lock);
    for (auto& conn : m_connections)
        dropConnections(conn);
    m_connections.clear();
    m_open.store(false);
}

QSqlDatabase SQLiteOHLCStore::minuteDatabase()
{
    if (!m_open.load())
        return {};
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    return c ? c->minute : QSqlDatabase();
}

QSqlDatabase SQLiteOHLCStore::dayDatabase()
{
    if (!m_open.load())
        return {};
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    return c ? c->day : QSqlDatabase();
}

IOHLCStore::InsertReport SQLiteOHLCStore::insertCandles(bool minute, const QString& symbol,
                                                        const QVector<StoredCandle>& candles)
{
    InsertReport r;
    if (!m_open.load() || candles.isEmpty())
        return r;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    const QSqlDatabase& db = c ? (minute ? c->minute : c->day) : QSqlDatabase();
    sqlite3* h = c ? handleOf(db) : nullptr;
    sqlite3_stmt* st = h ? preparedRead(minute ? c->minuteInsert : c->dayInsert, db, minute ? kInsertMinute : kInsertDay)
                         : nullptr;
    auto failAll = [&](const QString& why) {
        r = InsertReport();
        r.failed = candles.size();
        r.problem = why;
        return r;
    };
    if (!st)
        return failAll(QStringLiteral("the candle store cannot be written"));

    // Taking the write lock up front bounds the wait for a lock another connection holds to once per
    // batch, while this store's lock keeps every other query of the program waiting.
    sqlite3_busy_timeout(h, kWriteLockWaitMs);
    const int begun = sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(h, 5000);
    if (begun != SQLITE_OK) {
        failAll(QString::fromUtf8(sqlite3_errmsg(h)));
        r.busy = (begun & 0xff) == SQLITE_BUSY || (begun & 0xff) == SQLITE_LOCKED;
        return r;
    }
    const QByteArray sym = symbol.toUtf8();
    QString batchError;
    for (const StoredCandle& candle : candles) {
        // SQLite keeps a NaN as NULL, which the schema refuses, and OR IGNORE would pass the refusal
        // off as a row already stored.
        if (std::isnan(candle.open) || std::isnan(candle.high) || std::isnan(candle.low) || std::isnan(candle.close)) {
            ++r.failed;
            r.problem = QStringLiteral("a price that is not a number");
            continue;
        }
        const QByteArray date = candle.date.toUtf8();
        const QByteArray time = candle.time.toUtf8();
        int i = 1;
        sqlite3_bind_text(st, i++, sym.constData(), sym.size(), SQLITE_STATIC);
        sqlite3_bind_text(st, i++, date.constData(), date.size(), SQLITE_STATIC);
        if (minute)
            sqlite3_bind_text(st, i++, time.constData(), time.size(), SQLITE_STATIC);
        for (double v : {candle.open, candle.high, candle.low, candle.close})
            sqlite3_bind_double(st, i++, v);
        sqlite3_bind_int(st, i, candle.volume);
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) {
            batchError = QString::fromUtf8(sqlite3_errmsg(h));  // a full disk, an I/O error: the batch goes
            break;
        }
        ++(sqlite3_changes(h) > 0 ? r.added : r.duplicates);
    }
    sqlite3_clear_bindings(st);
    // A commit that fails (a full disk, for one) would otherwise report rows that are rolled back.
    if (batchError.isEmpty() && sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        batchError = QString::fromUtf8(sqlite3_errmsg(h));
        qWarning() << "SQLiteOHLCStore: commit failed" << batchError;
    }
    if (!batchError.isEmpty()) {
        if (!sqlite3_get_autocommit(h))
            sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        return failAll(batchError);
    }
    return r;
}

int SQLiteOHLCStore::insertMinuteCandles(const QString& symbol, const QVector<StoredCandle>& candles)
{
    return insertCandles(true, symbol, candles).added;
}

int SQLiteOHLCStore::insertDayCandles(const QString& symbol, const QVector<StoredCandle>& candles)
{
    return insertCandles(false, symbol, candles).added;
}

QVector<StoredCandle> SQLiteOHLCStore::loadMinuteCandles(const QString& symbol, const QString& date)
{
    QVector<StoredCandle> out;
    if (!m_open.load())
        return out;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return out;
    sqlite3_stmt* st = preparedRead(c->minuteRead, c->minute,
                                    "SELECT time, open, high, low, close, volume FROM minute_candles "
                                    "WHERE symbol = ? AND date = ? ORDER BY time ASC");
    if (!st)
        return out;
    const QByteArray sym = symbol.toUtf8();
    const QByteArray day = date.toUtf8();
    bindTexts(st, {&sym, &day});
    out.reserve(400);  // a trading day is 375 minutes
    while (sqlite3_step(st) == SQLITE_ROW) {
        StoredCandle s;
        s.date = date;  // the stored date equals it by the WHERE clause; shared instead of one copy per row
        s.time = readTime(st, 0, c->times);
        readPrices(st, 1, s);
        out.append(std::move(s));
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return out;
}

QVector<StoredCandle> SQLiteOHLCStore::loadDayCandles(const QString& symbol, const QString& from, const QString& to)
{
    QVector<StoredCandle> out;
    if (!m_open.load())
        return out;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return out;
    sqlite3_stmt* st = preparedRead(c->dayRead, c->day,
                                    "SELECT date, open, high, low, close, volume FROM day_candles "
                                    "WHERE symbol = ? AND date >= ? AND date <= ? ORDER BY date ASC");
    if (!st)
        return out;
    const QByteArray sym = symbol.toUtf8();
    const QByteArray first = from.toUtf8();
    const QByteArray last = to.toUtf8();
    bindTexts(st, {&sym, &first, &last});
    const QString midnight = QStringLiteral("00:00:00");
    while (sqlite3_step(st) == SQLITE_ROW) {
        StoredCandle s;
        // One day asked for (the replay's case): that day's text is shared.
        s.date = from == to ? from : columnVariant(st, 0).toString();
        s.time = midnight;
        readPrices(st, 1, s);
        out.append(std::move(s));
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return out;
}

QStringList SQLiteOHLCStore::availableDates(const QString& symbol, const QString& from, const QString& to)
{
    QStringList out;
    if (!m_open.load())
        return out;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return out;
    QSqlQuery q(c->minute);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT DISTINCT date FROM minute_candles "
                                  "WHERE symbol = ? AND date >= ? AND date <= ? ORDER BY date ASC")))
        return out;
    q.addBindValue(symbol);
    q.addBindValue(from);
    q.addBindValue(to);
    if (!q.exec())
        return out;
    while (q.next())
        out.append(q.value(0).toString());
    return out;
}

void SQLiteOHLCStore::dateRange(const QString& symbol, QString& firstDate, QString& lastDate)
{
    firstDate.clear();
    lastDate.clear();
    if (!m_open.load())
        return;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return;
    QSqlQuery q(c->minute);
    if (!q.prepare(QStringLiteral("SELECT MIN(date), MAX(date) FROM minute_candles WHERE symbol = ?")))
        return;
    q.addBindValue(symbol);
    if (q.exec() && q.next()) {
        firstDate = q.value(0).toString();
        lastDate = q.value(1).toString();
    }
}

void SQLiteOHLCStore::deleteSymbol(const QString& symbol)
{
    if (!m_open.load())
        return;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return;
    QSqlQuery qm(c->minute);
    if (qm.prepare(QStringLiteral("DELETE FROM minute_candles WHERE symbol = ?"))) {
        qm.addBindValue(symbol);
        qm.exec();
    }
    QSqlQuery qd(c->day);
    if (qd.prepare(QStringLiteral("DELETE FROM day_candles WHERE symbol = ?"))) {
        qd.addBindValue(symbol);
        qd.exec();
    }
}

qint64 SQLiteOHLCStore::minuteCandleCount()
{
    if (!m_open.load())
        return 0;
    QMutexLocker locker(&m_lock);
    ThreadConnections* c = connectionsForCurrentThread();
    if (!c)
        return 0;
    QSqlQuery q(c->minute);
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM minute_candles")) && q.next())
        return q.value(0).toLongLong();
    return 0;
}
