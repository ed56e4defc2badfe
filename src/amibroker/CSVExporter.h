// Turns ticks into CSV files for AmiBroker and has the running AmiBroker import them.
#pragma once

#include "core/MarketData.h"
#include "platform/AutomationBackend.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>

class SettingsManager;

// Keeps the latest tick of every symbol, collects the live lines in memory and appends them to
// the live data file every 200 ms, writes every symbol's latest tick again each export interval,
// and requests imports into AmiBroker through its automation server. Everything, the automation
// included, runs on the exporter's own thread (the GUI thread); imports are always requested as
// queued calls of batchImportToAmiBroker, never made from the tick path.
class CSVExporter : public QObject
{
    Q_OBJECT

public:
    // Lines kept in memory while the live data file takes none (a full disk): newer ones are
    // counted and dropped beyond this.
    static constexpr int kMaxPendingLines = 100000;

    explicit CSVExporter(SettingsManager* settings, QObject* parent = nullptr);
    ~CSVExporter() override;

    void setExportInterval(int seconds);
    void setExportFormat(const QString& format);
    void setExportEnabled(bool enabled);
    bool isExportActive() const;

    void setAmiBrokerPath(const QString& path);
    QString amiBrokerPath() const;

    bool isAutoImportEnabled() const;
    // Stores the flag; switching on (re)writes the auto-import script.
    void setAutoImportEnabled(bool enabled);

    // Folder of every file the exporter writes (default: the temporary folder + "/Tickvane").
    void setExportDir(const QString& dir);
    QString exportDir() const;
    // Absolute path of the live data file ("tickvane_live_data.csv").
    QString liveDataFilePath() const;

    // Called by the batch import after AmiBroker took the data.
    void clearLatestTicks();
    void clearCsvDataFile();

    // The import format file and the auto-import script.
    QString ensureFormatFile();
    void createAutoImportScript();
    // Where ensureFormatFile looks, in order; it creates the first one when none exists.
    // An empty list restores the defaults (program folder, home folder, the fixed install path).
    void setFormatFileCandidates(const QStringList& paths);
    QStringList formatFileCandidates() const;

    // Automation of the running AmiBroker ("Broker.Application").
    AutomationObject* getAmiBrokerApplication();
    void importCSVToAmiBroker(const QString& symbol, const QString& csvFilePath);
    bool testAmiBroker();
    bool connectToAmiBroker();
    bool isAmiBrokerAvailable();
    // The platform services behind the automation; tests hand in a scripted one.
    void setAutomationBackend(std::shared_ptr<AutomationBackend> backend);
    // Whether imports can be requested at all. Without automation the files are only written:
    // no import is scheduled, and the periodic export writes a symbol only when its latest tick
    // changed since the export last wrote it (nothing empties the file, so a copy would only
    // pile up).
    bool importsPossible() const;
    // The file a symbol's lines go to in the current format (the live data file for
    // "amibroker", the symbol's history file otherwise).
    QString dataFilePathFor(const QString& symbol) const;

signals:
    void importCompleted();
    // Said once when the live data file stops taking lines and once when it takes them again.
    void liveFileStatus(const QString& message);

public slots:
    void onTickReceived(const QString& symbol, const TickData& tick);
    void writeHistoricalData(const QString& symbol, const QList<TickData>& ticks);
    void exportCurrentData();
    void importCSVToAmiBrokerMainThread(const QString& symbol, const QString& csvFilePath);
    void batchImportToAmiBroker();

private slots:
    void onExportTimer();
    void flushPendingLines();

private:
    void startExport();
    void stopExport();
    bool ensureExportDir();
    QString filePathFor(const QString& symbol) const;
    void formatAmiBrokerLine(const QString& symbol, const TickData& tick);
    void writeDailyCsv(const QString& symbol, const TickData& tick);
    void writeTickCsv(const QString& symbol, const TickData& tick);
    void appendHistoryLine(const QString& symbol, const char* header, const QString& line);
    void writeForFormat(const QString& symbol, const TickData& tick);
    void appendPendingLine(const QString& line);
    void triggerBatchImport(const QString& symbol);
    // Appends the pending lines to the live data file; false when nothing was written.
    bool writePendingLines();
    // Puts the lines not written back in front of the queue; reports the trouble once.
    void keepUnwritten(QVector<QString>& unwritten, const char* what, const QString& path,
                       const QString& error);
    void requestBatchImport();
    void runBatchImport();
    void runDirectImport(const QString& symbol, const QString& csvFilePath);
    bool runAccessibilityTest(AutomationObject& app);

    SettingsManager* settingsManager = nullptr;
    QTimer exportTimer;
    QTimer flushTimer;
    QString exportDirPath;
    QString exportFormat = QStringLiteral("amibroker");
    QString amiBrokerExecutable;
    bool exportEnabled = true;
    bool autoImportEnabled = true;
    int exportIntervalSeconds = 1;
    mutable QMutex latestTicksMutex;
    QMutex pendingLinesMutex;
    QVector<QString> pendingLines;
    // Lines dropped because the queue was full, since the live data file last took lines.
    qint64 droppedLines = 0;
    // Set once the live data file's trouble was reported, until it takes lines again.
    bool liveFileTroubleReported = false;
    // The live data file whose end was checked for a torn last line in this run.
    QString checkedLiveFile;
    std::unique_ptr<AutomationObject> amiBrokerApp;
    int flushIntervalMs = 200;
    QHash<QString, TickData> latestTicks;
    // Import requests from the tick path come on every 10th tick.
    int batchTriggerCount = 0;

    std::shared_ptr<AutomationBackend> automation;
    QStringList formatFileSearchPaths;
    // Set while a batch import runs: AmiBroker may pump events during the import, and a flush
    // then must not add lines to the file that is deleted once the import succeeds.
    bool importInProgress = false;
    // Result of the last check of the export folder; false while it is refused.
    bool exportDirTrusted = true;
    // Symbols whose latest tick the periodic export has not written yet (used without automation).
    QSet<QString> changedSinceExport;
    bool noAutomationLogged = false;
};
