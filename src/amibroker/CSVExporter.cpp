// CSVExporter: latest ticks, line formats, the live data file, history files, format file and script.
#include "amibroker/CSVExporter.h"

#include "amibroker/AmiBrokerImportFiles.h"
#include "amibroker/CSVLineFormatter.h"
#include "core/BarClock.h"
#include "core/SettingsManager.h"
#include "platform/PrivateDirectory.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTextStream>

#include <algorithm>

namespace {

const QString kLiveDataFileName = QStringLiteral("tickvane_live_data.csv");

QString dateTimeText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// One queued line as the live data file holds it: CR LF where the platform wants it. Written
// without the device's text mode, so that the bytes of every line are known.
void appendFileLine(QByteArray& out, const QString& line)
{
#ifdef Q_OS_WIN
    if (line.endsWith(QLatin1Char('\n'))) {
        out += line.leftRef(line.size() - 1).toUtf8();
        out += "\r\n";
        return;
    }
#endif
    out += line.toUtf8();
}

// A crash or a power cut can leave the file ending in part of a line (or in zeros); the next
// line appended would be glued onto it. Cuts the file back to its last line feed: the torn line
// is lost either way, and ended as it is it could be read with a wrong value. False when the end
// could not be checked.
bool cutTornEnd(QFile& file, const QString& path)
{
    const qint64 size = file.size();
    qint64 end = size;
    constexpr qint64 kBlock = 4096;
    while (end > 0) {
        const qint64 start = std::max<qint64>(0, end - kBlock);
        if (!file.seek(start))
            return false;
        const QByteArray block = file.read(end - start);
        if (block.size() != end - start)
            return false;
        const int lineFeed = block.lastIndexOf('\n');
        if (lineFeed >= 0) {
            end = start + lineFeed + 1;
            break;
        }
        end = start;
    }
    if (end == size)
        return true;
    if (!file.resize(end))
        return false;
    qWarning() << "[CSVExporter] Removed an unfinished last line of" << size - end << "bytes from" << path;
    return true;
}

// Writes lines, each ended by a line feed, in text mode (CR LF where the platform wants it).
bool writeTextLines(const QString& path, const QStringList& lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream out(&file);
    for (const QString& line : lines)
        out << line << '\n';
    out.flush();
    file.close();
    return true;
}

} // namespace

CSVExporter::CSVExporter(SettingsManager* settings, QObject* parent)
    : QObject(parent)
    , settingsManager(settings)
    , exportTimer(this)
    , flushTimer(this)
    , exportDirPath(QDir::tempPath() + QStringLiteral("/Tickvane"))
    , automation(createPlatformAutomationBackend())
{
    exportTimer.setSingleShot(false);
    flushTimer.setSingleShot(false);
    connect(&exportTimer, &QTimer::timeout, this, &CSVExporter::onExportTimer);
    connect(&flushTimer, &QTimer::timeout, this, &CSVExporter::flushPendingLines);
    flushTimer.start(flushIntervalMs);

    if (settingsManager) {
        amiBrokerExecutable = settingsManager->amiBrokerPath();
        if (!amiBrokerExecutable.isEmpty())
            qInfo() << "Loaded AmiBroker path from settings:" << amiBrokerExecutable;
    }
    ensureExportDir();
    setExportEnabled(true);
}

CSVExporter::~CSVExporter()
{
    stopExport();
    // Ticks of the last moments must not be lost: write what is pending, but import nothing.
    importInProgress = false;
    writePendingLines();
    QMutexLocker lock(&pendingLinesMutex);
    if (!pendingLines.isEmpty() || droppedLines > 0) {
        qWarning() << "[CSVExporter]" << pendingLines.size() + droppedLines << "lines could not be written to"
                   << liveDataFilePath();
    }
    lock.unlock();
    amiBrokerApp.reset();
}

void CSVExporter::setExportInterval(int seconds)
{
    exportIntervalSeconds = seconds > 0 ? seconds : 1;
    if (exportTimer.isActive())
        exportTimer.setInterval(exportIntervalSeconds * 1000);
}

void CSVExporter::setExportFormat(const QString& format)
{
    exportFormat = format.toLower();
}

void CSVExporter::setExportEnabled(bool enabled)
{
    if (enabled && !ensureExportDir() && !exportDirTrusted)
        return; // the folder is refused; the export stays off
    exportEnabled = enabled;
    if (enabled && !exportTimer.isActive())
        startExport();
    else if (!enabled && exportTimer.isActive())
        stopExport();
}

bool CSVExporter::isExportActive() const
{
    return exportTimer.isActive();
}

void CSVExporter::startExport()
{
    if (!exportEnabled)
        return;
    qInfo() << "Starting CSV export with interval:" << exportIntervalSeconds << "seconds";
    exportTimer.start(exportIntervalSeconds * 1000);
}

void CSVExporter::stopExport()
{
    qInfo() << "Stopping CSV export";
    exportTimer.stop();
}

void CSVExporter::setAmiBrokerPath(const QString& path)
{
    amiBrokerExecutable = path;
    if (settingsManager) {
        settingsManager->setAmiBrokerPath(path);
        settingsManager->saveSettings();
        qInfo() << "AmiBroker path saved to settings:" << path;
    }
}

QString CSVExporter::amiBrokerPath() const
{
    return amiBrokerExecutable;
}

bool CSVExporter::isAutoImportEnabled() const
{
    return autoImportEnabled;
}

void CSVExporter::setAutoImportEnabled(bool enabled)
{
    autoImportEnabled = enabled;
    if (enabled)
        createAutoImportScript();
}

void CSVExporter::setExportDir(const QString& dir)
{
    exportDirPath = dir;
    exportDirTrusted = true;
    ensureExportDir();
}

QString CSVExporter::exportDir() const
{
    return exportDirPath;
}

QString CSVExporter::liveDataFilePath() const
{
    return filePathFor(QString());
}

bool CSVExporter::ensureExportDir()
{
    QString reason;
    switch (ensurePrivateDirectory(exportDirPath, &reason)) {
    case PrivateDirectoryState::Ready:
        exportDirTrusted = true;
        return true;
    case PrivateDirectoryState::Created:
        exportDirTrusted = true;
        qInfo() << "Created export directory:" << exportDirPath;
        return true;
    case PrivateDirectoryState::CreateFailed:
        // Nothing to report here: the following opens fail and say so.
        return false;
    case PrivateDirectoryState::Refused:
        break;
    }
    // Another user could read or redirect what we write through a folder we do not own.
    if (exportDirTrusted) {
        qCritical() << "[CSVExporter] Refusing export folder" << exportDirPath << "because"
                    << qPrintable(reason) << "- CSV export is off";
    }
    exportDirTrusted = false;
    if (exportEnabled) {
        exportEnabled = false;
        if (exportTimer.isActive())
            stopExport();
    }
    return false;
}

QString CSVExporter::filePathFor(const QString& symbol) const
{
    const QDir dir(exportDirPath);
    if (symbol.isEmpty())
        return dir.absoluteFilePath(kLiveDataFileName);
    const QString stem = CSVLineFormatter::historyFileStem(symbol);
    if (stem.isEmpty())
        return QString();
    return dir.absoluteFilePath(stem + QStringLiteral("_history.csv"));
}

void CSVExporter::onTickReceived(const QString& symbol, const TickData& tick)
{
    {
        QMutexLocker lock(&latestTicksMutex);
        latestTicks.insert(symbol, tick);
        // Only the export without automation writes just what changed; with it every tick
        // skips this set.
        if (!importsPossible())
            changedSinceExport.insert(symbol);
        if (!exportEnabled)
            return;
    }
    writeForFormat(symbol, tick);
    triggerBatchImport(symbol);
}

void CSVExporter::writeForFormat(const QString& symbol, const TickData& tick)
{
    if (exportFormat == QLatin1String("amibroker"))
        formatAmiBrokerLine(symbol, tick);
    else if (exportFormat == QLatin1String("metastock"))
        writeDailyCsv(symbol, tick);
    else
        writeTickCsv(symbol, tick);
}

void CSVExporter::formatAmiBrokerLine(const QString& symbol, const TickData& tick)
{
    // The folder is checked when the lines are written (every flush), not for every tick.
    if (!exportDirTrusted)
        return;
    // A valid stamp always gives a date and a time; only an invalid one leaves them empty.
    if (!tick.timestamp.isValid()) {
        qWarning() << "[CSVExporter] Invalid timestamp for symbol:" << symbol
                   << "tick.timestamp:" << tick.timestamp;
    }
    appendPendingLine(CSVLineFormatter::amiBrokerLine(symbol, tick));
}

void CSVExporter::writeDailyCsv(const QString& symbol, const TickData& tick)
{
    appendHistoryLine(symbol, CSVLineFormatter::kMetastockHeader,
                      CSVLineFormatter::metastockLine(symbol, tick));
}

void CSVExporter::writeTickCsv(const QString& symbol, const TickData& tick)
{
    appendHistoryLine(symbol, CSVLineFormatter::kTickHeader,
                      CSVLineFormatter::tickLine(symbol, tick));
}

void CSVExporter::appendHistoryLine(const QString& symbol, const char* header, const QString& line)
{
    // An empty symbol would name the live data file and mix formats in it.
    const QString path = symbol.isEmpty() ? QString() : filePathFor(symbol);
    if (path.isEmpty()) {
        qCritical() << "[CSVExporter] Refusing unsafe history file name for symbol:" << symbol;
        return;
    }
    ensureExportDir();
    if (!exportDirTrusted)
        return;
    QFile file(path);
    const bool existed = file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qWarning() << "Failed to open CSV file for writing:" << path;
        return;
    }
    if (!existed)
        file.write(header);
    file.write(line.toUtf8());
    file.close();
}

void CSVExporter::appendPendingLine(const QString& line)
{
    {
        QMutexLocker lock(&pendingLinesMutex);
        if (pendingLines.size() < kMaxPendingLines) {
            pendingLines.append(line);
            return;
        }
        // Memory stays bounded while the file takes nothing; the oldest lines waiting keep their
        // place, so what reaches the file later has one gap and stays in order.
        if (droppedLines++ > 0)
            return;
    }
    qWarning() << "[CSVExporter]" << kMaxPendingLines << "lines wait for" << liveDataFilePath()
               << "- newer lines are dropped until it takes lines again";
}

void CSVExporter::triggerBatchImport(const QString& symbol)
{
    Q_UNUSED(symbol)
    if (!autoImportEnabled) {
        // Runs for every tick: the line is only built when debug output is on.
        const QLoggingCategory* category = QLoggingCategory::defaultCategory();
        if (!category || category->isDebugEnabled())
            qDebug() << "[CSVExporter] Auto-import disabled, skipping";
        return;
    }
    if (!importsPossible())
        return;
    if (++batchTriggerCount <= 9)
        return;
    batchTriggerCount = 0;
    qInfo() << "[CSVExporter] Triggering batch import to AmiBroker...";
    requestBatchImport();
}

bool CSVExporter::importsPossible() const
{
    return automation && automation->isSupported();
}

QString CSVExporter::dataFilePathFor(const QString& symbol) const
{
    return exportFormat == QLatin1String("amibroker") ? liveDataFilePath() : filePathFor(symbol);
}

void CSVExporter::requestBatchImport()
{
    if (!importsPossible()) {
        if (!noAutomationLogged) {
            noAutomationLogged = true;
            qInfo() << "[CSVExporter] AmiBroker automation is not available on this platform:"
                    << "data is written to" << exportDirPath << "and no imports are requested";
        }
        return;
    }
    QMetaObject::invokeMethod(this, "batchImportToAmiBroker", Qt::QueuedConnection);
}

void CSVExporter::flushPendingLines()
{
    if (!writePendingLines())
        return;
    if (autoImportEnabled) {
        if (importsPossible())
            qDebug() << "[CSVExporter] Auto-import enabled; scheduling batch import on main thread";
        requestBatchImport();
    } else {
        qDebug() << "[CSVExporter] Auto-import not enabled; skipping import scheduling";
    }
}

bool CSVExporter::writePendingLines()
{
    // The file that an import is reading is deleted when the import succeeds; lines meant
    // for it wait until the import is over.
    if (importInProgress)
        return false;

    QVector<QString> batch;
    {
        QMutexLocker lock(&pendingLinesMutex);
        if (pendingLines.isEmpty())
            return false;
        batch.swap(pendingLines);
    }

    ensureExportDir();
    const QString path = liveDataFilePath();
    if (!exportDirTrusted) {
        keepUnwritten(batch, nullptr, path, QString());
        return false;
    }

    // Unbuffered: a write that fails part-way has nothing left in a buffer, so the cut back to
    // the last whole line below is not blocked by a second failing flush. Readable for the
    // check of the file's end.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
        keepUnwritten(batch, "[CSVExporter] Failed to open shared CSV file for appending:", path,
                      file.errorString());
        return false;
    }
    if (checkedLiveFile != path) {
        // Appending behind a torn line would glue the first new line onto it.
        if (!cutTornEnd(file, path)) {
            keepUnwritten(batch, "[CSVExporter] Could not check the end of the shared CSV file:", path,
                          file.errorString());
            return false;
        }
        checkedLiveFile = path;
    }

    QByteArray bytes;
    QVector<int> lineEnds;
    lineEnds.reserve(batch.size());
    int totalSize = 0;
    for (const QString& line : qAsConst(batch))
        totalSize += line.size();
    bytes.reserve(totalSize + totalSize / 8);
    for (const QString& line : qAsConst(batch)) {
        appendFileLine(bytes, line);
        lineEnds.append(bytes.size());
    }

    const qint64 sizeBefore = file.size();
    qint64 written = 0;
    // A short write says nothing of why; the next one fails with the system's reason.
    while (written < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0)
            break;
        written += n;
    }
    if (written < bytes.size()) {
        // The whole lines that fitted stay; a torn one is cut off and goes again with the rest.
        const QString error = file.errorString();
        const int whole = int(std::upper_bound(lineEnds.cbegin(), lineEnds.cend(), written) - lineEnds.cbegin());
        const qint64 kept = whole > 0 ? lineEnds.at(whole - 1) : 0;
        if (written > kept && !file.resize(sizeBefore + kept)) {
            qWarning() << "[CSVExporter] Could not cut the shared CSV file back:" << file.errorString();
            checkedLiveFile.clear(); // its end is checked again before the next append
        }
        file.close();
        batch.remove(0, whole);
        keepUnwritten(batch, "[CSVExporter] Failed to write shared CSV file:", path, error);
        return whole > 0;
    }
    file.close();
    qInfo() << "[CSVExporter] Flushed" << batch.size() << "lines to" << path
            << "size(bytes):" << QFileInfo(path).size();

    qint64 dropped = 0;
    {
        QMutexLocker lock(&pendingLinesMutex);
        dropped = droppedLines;
        droppedLines = 0;
    }
    if (liveFileTroubleReported || dropped > 0) {
        liveFileTroubleReported = false;
        qInfo() << "[CSVExporter] Writing to" << path << "resumed;" << dropped << "lines could not be written";
        emit liveFileStatus(QStringLiteral("Writing live data to %1 resumed; %2 lines could not be written")
                                .arg(QDir::toNativeSeparators(path))
                                .arg(dropped));
    }
    return true;
}

void CSVExporter::keepUnwritten(QVector<QString>& unwritten, const char* what, const QString& path,
                                const QString& error)
{
    {
        QMutexLocker lock(&pendingLinesMutex);
        unwritten += pendingLines; // the lines not written go first, then what came meanwhile
        pendingLines.swap(unwritten);
    }
    if (!what || liveFileTroubleReported)
        return;
    // Said once, not at every flush: the lines wait in memory and each flush tries again.
    liveFileTroubleReported = true;
    qWarning() << what << path << error;
    emit liveFileStatus(QStringLiteral("Cannot write live data to %1: %2 - up to %3 lines wait in memory")
                            .arg(QDir::toNativeSeparators(path), error)
                            .arg(kMaxPendingLines));
}

void CSVExporter::onExportTimer()
{
    exportCurrentData();
}

void CSVExporter::exportCurrentData()
{
    if (!exportEnabled)
        return;
    QHash<QString, TickData> snapshot;
    {
        QMutexLocker lock(&latestTicksMutex);
        if (importsPossible()) {
            snapshot = latestTicks;
        } else {
            for (const QString& symbol : qAsConst(changedSinceExport))
                snapshot.insert(symbol, latestTicks.value(symbol));
        }
        changedSinceExport.clear();
    }
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
        writeForFormat(it.key(), it.value());
}

void CSVExporter::writeHistoricalData(const QString& symbol, const QList<TickData>& ticks)
{
    if (ticks.isEmpty()) {
        qDebug() << "[CSVExporter] No historical ticks to write for" << symbol;
        return;
    }
    qInfo() << "[CSVExporter] Writing" << ticks.size() << "historical ticks for" << symbol;
    qDebug() << "[CSVExporter] First 3 historical ticks:";
    for (int i = 0; i < qMin(3, ticks.size()); ++i) {
        const TickData& t = ticks.at(i);
        qDebug() << "  [" << i << "]" << dateTimeText(t.timestamp) << "O:" << t.open << "H:" << t.high
                 << "L:" << t.low << "P:" << t.ltp << "V:" << t.volume << "OI:" << t.openInterest;
    }
    // Live ticks are stamped on the local clock: the bars must read the same beside them.
    for (TickData tick : ticks) {
        tick.timestamp = BarClock::onLocalClock(tick.timestamp);
        writeForFormat(symbol, tick);
    }
    qInfo() << "[CSVExporter] Finished writing historical data for" << symbol;
    if (autoImportEnabled) {
        qInfo() << "[CSVExporter] Scheduling batch import after historical data write for" << symbol;
        requestBatchImport();
    }
}

void CSVExporter::clearLatestTicks()
{
    int removed = 0;
    {
        QMutexLocker lock(&latestTicksMutex);
        removed = latestTicks.size();
        latestTicks.clear();
        changedSinceExport.clear();
    }
    qDebug() << "✓ Cleared" << removed << "latest tick records from memory";
}

void CSVExporter::clearCsvDataFile()
{
    const QString path = liveDataFilePath();
    if (!QFileInfo::exists(path))
        return;
    if (QFile::remove(path))
        qDebug() << "✓ Cleared CSV data file:" << path;
    else
        qWarning() << "Failed to clear CSV data file:" << path;
}

void CSVExporter::setFormatFileCandidates(const QStringList& paths)
{
    formatFileSearchPaths = paths;
}

QStringList CSVExporter::formatFileCandidates() const
{
    if (!formatFileSearchPaths.isEmpty())
        return formatFileSearchPaths;
    const QString name = QString::fromLatin1(AmiBrokerImportFiles::kFormatFileName);
    QStringList paths{QCoreApplication::applicationDirPath() + QLatin1Char('/') + name,
                      QDir::homePath() + QStringLiteral("/Tickvane/") + name};
#ifdef Q_OS_WIN
    // AmiBroker's usual installation folder; elsewhere the path would be relative to the cwd.
    paths << QStringLiteral("C:/Vanewire/Amibroker/") + name;
#endif
    return paths;
}

QString CSVExporter::ensureFormatFile()
{
    const QStringList candidates = formatFileCandidates();
    for (const QString& path : candidates) {
        if (QFile::exists(path)) {
            qDebug() << "[CSVExporter] Found dataFormat.dll at:" << path;
            return path;
        }
    }
    const QString path = candidates.value(0);
    if (writeTextLines(path, AmiBrokerImportFiles::formatFileLines()))
        qDebug() << "[CSVExporter] Created default dataFormat.dll at:" << path;
    else
        qWarning() << "[CSVExporter] Failed to create default dataFormat.dll at:" << path;
    return path;
}

void CSVExporter::createAutoImportScript()
{
    const QString path =
        QDir(exportDirPath).absoluteFilePath(QString::fromLatin1(AmiBrokerImportFiles::kScriptFileName));
    if (!exportDirTrusted)
        return;
    if (!writeTextLines(path, AmiBrokerImportFiles::autoImportScriptLines(exportDirPath)))
        return;
    qDebug() << "Created AmiBroker auto-import script:" << path;
}
