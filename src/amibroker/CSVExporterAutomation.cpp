// CSVExporter's automation side: the AmiBroker application object, batch and direct imports,
// and the accessibility test behind the main window's AmiBroker test.
#include "amibroker/CSVExporter.h"

#include "core/SettingsManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QTextStream>
#include <QThread>

#include <exception>

namespace {

const QString kProgId = QStringLiteral("Broker.Application");

bool holdsInterface(const std::unique_ptr<AutomationObject>& object)
{
    return object && !object->isNull();
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

// What AmiBroker's Import returned. 0 and false pass too: their texts are not empty, and which
// value the server gives on success is not known, so failing them would re-import forever.
bool importSucceeded(const QVariant& result)
{
    if (!result.isValid())
        return false;
    if (result.type() == QVariant::Bool && result.toBool())
        return true;
    if (result.canConvert<int>() && result.toInt() != 0)
        return true;
    if (result.canConvert<QString>() && !result.toString().isEmpty())
        return true;
    return false;
}

QStringList readFirstLines(QFile& file, int maxLines)
{
    QStringList lines;
    QTextStream in(&file);
    while (lines.size() < maxLines && !in.atEnd())
        lines << in.readLine();
    return lines;
}

// Restores the filter rules whichever way the accessibility test ends.
struct ComWarningsSilenced {
    ComWarningsSilenced() { QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.com.warning=false")); }
    ~ComWarningsSilenced() { QLoggingCategory::setFilterRules(QString()); }
};

struct ImportInProgress {
    explicit ImportInProgress(bool& flag) : flag(flag) { flag = true; }
    ~ImportInProgress() { flag = false; }
    bool& flag;
};

} // namespace

void CSVExporter::setAutomationBackend(std::shared_ptr<AutomationBackend> backend)
{
    amiBrokerApp.reset(); // an object of the old backend must not outlive it
    automation = backend ? std::move(backend) : createPlatformAutomationBackend();
    // Ticks were only marked as changed without automation: the next export writes them all.
    QMutexLocker lock(&latestTicksMutex);
    for (auto it = latestTicks.cbegin(); it != latestTicks.cend(); ++it)
        changedSinceExport.insert(it.key());
}

AutomationObject* CSVExporter::getAmiBrokerApplication()
{
    if (QThread::currentThread() != thread()) {
        qWarning() << "[CSVExporter] getAmiBrokerApplication called from wrong thread!";
        return nullptr;
    }
    if (holdsInterface(amiBrokerApp))
        return amiBrokerApp.get();
    amiBrokerApp.reset();

    automation->initializeThread();
    amiBrokerApp = automation->createObject(kProgId);
    if (!holdsInterface(amiBrokerApp) && !amiBrokerExecutable.isEmpty()) {
        qInfo() << "Starting AmiBroker at:" << amiBrokerExecutable;
        automation->startDetached(amiBrokerExecutable);
        QCoreApplication::processEvents();
        automation->pause(3000);
        amiBrokerApp.reset();
        amiBrokerApp = automation->createObject(kProgId);
    }
    if (!holdsInterface(amiBrokerApp)) {
        qWarning() << "Failed to connect to AmiBroker";
        amiBrokerApp.reset();
        return nullptr;
    }
    qInfo() << "Connected to AmiBroker via COM";
    return amiBrokerApp.get();
}

void CSVExporter::batchImportToAmiBroker()
{
    if (!autoImportEnabled) {
        qDebug() << "[CSVExporter] Auto-import disabled, skipping batch import";
        return;
    }
    if (importInProgress) {
        // Requested while AmiBroker pumped events during an import; that import covers the file
        // and lines still pending go to the next one.
        qDebug() << "[CSVImporter] Batch import already running, request skipped";
        return;
    }
    // Put every line formatted so far into the file; from here until the import is over, new
    // lines stay pending.
    flushPendingLines();
    const ImportInProgress guard(importInProgress);
    runBatchImport();
}

void CSVExporter::runBatchImport()
{
    const QString csvPath = liveDataFilePath();
    const QFileInfo info(csvPath);
    if (!info.exists() || info.size() == 0) {
        qWarning() << "[CSVImporter] CSV file missing or empty, skipping import:" << csvPath << "exists:"
                   << boolText(info.exists()) << "size:" << info.size();
        return;
    }
    qInfo() << "[CSVImporter] Starting batch import to AmiBroker...";
    qInfo() << "[CSVImporter] Batch CSV file:" << csvPath << "exists:" << boolText(info.exists())
            << "size:" << info.size();
    {
        QFile file(csvPath);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qDebug() << "[CSVImporter] First 5 lines of CSV:";
            for (const QString& line : readFirstLines(file, 5))
                qDebug() << "  " << line;
        }
    }
    automation->pause(50);

    AutomationObject* app = getAmiBrokerApplication();
    if (!app) {
        qWarning() << "Cannot batch import to AmiBroker: Application not available";
        return;
    }

    try {
        const QString formatPath = QDir::toNativeSeparators(ensureFormatFile());
        QVariant result = app->dynamicCall(QStringLiteral("Import(&v1,&v2,&v3)"),
                                           {0, csvPath, formatPath});
        qInfo() << "[CSVImporter] Import() called with format:" << formatPath << "csv:" << csvPath
                << "result:" << result;
        bool success = importSucceeded(result);
        if (!success) {
            try {
                QFile file(csvPath);
                if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
                    const QStringList sample = readFirstLines(file, 6);
                    file.close();
                    qDebug() << "[CSVImporter] CSV sample before fallback import:";
                    for (const QString& line : sample)
                        qDebug() << "   " << line;
                } else {
                    qDebug() << "[CSVImporter] Unable to open CSV file for sample before fallback:"
                             << csvPath << file.errorString();
                }
                const QVariant fallback = app->dynamicCall(
                    QStringLiteral("Import(int, QString, QString)"), {0, csvPath, QString()});
                qDebug() << "[CSVImporter] Fallback Import() call returned valid:"
                         << boolText(fallback.isValid()) << "value:" << fallback
                         << "(type:" << fallback.typeName() << ")";
                success = importSucceeded(fallback);
            } catch (...) {
                qDebug() << "[CSVImporter] Fallback Import() method threw exception";
                success = false;
            }
        }
        if (!success) {
            qWarning() << "[CSVImporter] Batch import to AmiBroker failed - importSuccess=false";
            return;
        }
        qDebug() << "[CSVImporter] Successfully batch imported data to AmiBroker";
        clearCsvDataFile();
        clearLatestTicks();
        emit importCompleted();
        app->dynamicCall(QStringLiteral("RefreshAll()"));
    } catch (const std::exception& e) {
        qWarning() << "Exception during batch import:" << e.what();
    } catch (...) {
        qWarning() << "Unknown exception during batch import";
    }
}

void CSVExporter::importCSVToAmiBroker(const QString& symbol, const QString& csvFilePath)
{
    qDebug() << "[CSVImporter] importCSVToAmiBroker called from thread:" << QThread::currentThread();
    qDebug() << "[CSVImporter] CSVExporter thread:" << thread();
    if (QThread::currentThread() == thread()) {
        importCSVToAmiBrokerMainThread(symbol, csvFilePath);
        return;
    }
    qDebug() << "[CSVImporter] Delegating to main thread via signal";
    QMetaObject::invokeMethod(this, "importCSVToAmiBrokerMainThread", Qt::QueuedConnection,
                              Q_ARG(QString, symbol), Q_ARG(QString, csvFilePath));
}

void CSVExporter::importCSVToAmiBrokerMainThread(const QString& symbol, const QString& csvFilePath)
{
    qDebug() << "[CSVImporter] importCSVToAmiBrokerMainThread running in thread:"
             << QThread::currentThread();
    AutomationObject* app = getAmiBrokerApplication();
    if (!app) {
        qWarning() << "Cannot import to AmiBroker: Application not available";
        return;
    }
    try {
        runDirectImport(symbol, csvFilePath);
    } catch (const std::exception& e) {
        qWarning() << "[CSVImporter] Exception during AmiBroker import:" << e.what();
    } catch (...) {
        qWarning() << "[CSVImporter] Unknown exception during AmiBroker import";
    }
}

void CSVExporter::runDirectImport(const QString& symbol, const QString& csvFilePath)
{
    AutomationObject* app = amiBrokerApp.get();
    const QFileInfo info(csvFilePath);
    qDebug() << "[CSVImporter] Attempting to import" << symbol << "from" << csvFilePath;
    qDebug() << "[CSVImporter] File exists:" << boolText(info.exists()) << "size(bytes):" << info.size();
    automation->pause(50);
    if (!info.exists()) {
        qWarning() << "CSV file does not exist:" << csvFilePath;
        return;
    }

    auto insertAll = [&]() -> bool {
        QFile file(csvFilePath);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return false;
        QStringList lines;
        {
            QTextStream in(&file);
            while (!in.atEnd())
                lines << in.readLine();
        }
        file.close();
        if (lines.isEmpty())
            return false;
        qDebug() << "[CSVImporter] Read" << lines.size() << "lines from CSV";

        // Declared in this order so that they are released innermost first.
        const std::unique_ptr<AutomationObject> stocks = app->querySubObject(QStringLiteral("Stocks"));
        if (!stocks) {
            qWarning() << "[CSVImporter] Failed to get Stocks collection";
            return false;
        }
        qDebug() << "[CSVImporter] Got Stocks collection";
        std::unique_ptr<AutomationObject> stock = stocks->querySubObject(QStringLiteral("Add(QString)"), {symbol});
        if (!stock)
            stock = stocks->querySubObject(QStringLiteral("Item(QString)"), {symbol});
        if (!stock) {
            qWarning() << "[CSVImporter] Failed to get stock object for" << symbol;
            return false;
        }
        qDebug() << "[CSVImporter] Got stock object for" << symbol;
        const std::unique_ptr<AutomationObject> quotations = stock->querySubObject(QStringLiteral("Quotations"));
        if (!quotations) {
            qWarning() << "[CSVImporter] Failed to get Quotations collection";
            return false;
        }
        qDebug() << "[CSVImporter] Got Quotations collection, inserting data...";

        int inserted = 0;
        for (const QString& line : qAsConst(lines)) {
            const QStringList fields = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
            if (fields.size() < 8)
                continue; // a header line has 7 columns
            const QString& date = fields.at(1);
            const std::unique_ptr<AutomationObject> quote =
                quotations->querySubObject(QStringLiteral("Add(QString)"), {date});
            if (!quote)
                continue;
            // The server's Volume is a 32-bit long: text beyond that range does not parse and gives 0.
            quote->setProperty(QStringLiteral("Open"), fields.at(3).toDouble());
            quote->setProperty(QStringLiteral("High"), fields.at(4).toDouble());
            quote->setProperty(QStringLiteral("Low"), fields.at(5).toDouble());
            quote->setProperty(QStringLiteral("Close"), fields.at(6).toDouble());
            quote->setProperty(QStringLiteral("Volume"), fields.at(7).toInt());
            ++inserted;
        }
        qDebug() << "[CSVImporter] Successfully imported" << symbol << "- inserted" << inserted << "quotes";
        return true;
    };

    bool inserted = false;
    try {
        inserted = insertAll();
    } catch (const std::exception& e) {
        qWarning() << "[CSVImporter] Programmatic insertion exception:" << e.what();
    } catch (...) {
        qWarning() << "[CSVImporter] Programmatic insertion failed with unknown exception";
    }
    if (!inserted) {
        qWarning() << "[CSVImporter] All import methods failed for" << symbol;
        return;
    }
    app->dynamicCall(QStringLiteral("RefreshAll()"));
    qDebug() << "[CSVImporter] Import completed and refreshed for" << symbol;
}

bool CSVExporter::testAmiBroker()
{
    qInfo() << "Testing AmiBroker accessibility...";
    const ComWarningsSilenced silenced;

    std::unique_ptr<AutomationObject> probe = automation->createObject(kProgId);
    if (!holdsInterface(probe)) {
        qDebug() << "AmiBroker not running, attempting to start...";
        probe.reset();
        if (amiBrokerExecutable.isEmpty()) {
            qWarning() << "AmiBroker path not configured";
            return false;
        }
        if (!automation->startDetached(amiBrokerExecutable)) {
            qWarning() << "Failed to start AmiBroker from path:" << amiBrokerExecutable;
            return false;
        }
        qDebug() << "AmiBroker started, waiting for COM interface...";
        for (int attempt = 0; attempt < 20; ++attempt) {
            automation->pause(500);
            if (holdsInterface(automation->createObject(kProgId))) {
                qDebug() << "AmiBroker COM interface is now available";
                return true;
            }
        }
        qWarning() << "AmiBroker started but COM interface not available";
        return false;
    }

    qInfo() << "✓ AmiBroker COM interface accessible";
    try {
        return runAccessibilityTest(*probe);
    } catch (const std::exception& e) {
        qWarning() << "Exception during AmiBroker COM test:" << e.what();
    } catch (...) {
        qWarning() << "Unknown exception during AmiBroker COM test";
    }
    return false;
}

bool CSVExporter::runAccessibilityTest(AutomationObject& app)
{
    QString found;
    try {
        const QVariant path = app.property(QStringLiteral("Path"));
        if (path.isValid() && !path.toString().isEmpty()) {
            found = path.toString();
            qInfo() << "✓ Path property accessible:" << found;
        }
    } catch (...) {
        qDebug() << "Path property not accessible";
    }
    if (found.isEmpty()) {
        try {
            const QVariant fullName = app.property(QStringLiteral("FullName"));
            if (fullName.isValid() && !fullName.toString().isEmpty()) {
                found = fullName.toString();
                qDebug() << "✓ FullName property accessible:" << found;
            }
        } catch (...) {
            qDebug() << "FullName property not accessible";
        }
    }
    if (found.isEmpty()) {
        try {
            const QString installDir = automation->registryString(
                QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\AmiBroker"), QStringLiteral("InstallDir"));
            if (!installDir.isEmpty()) {
                found = installDir + QStringLiteral("\\Broker.exe");
                qDebug() << "✓ Path found via registry:" << found;
            }
        } catch (...) {
            qDebug() << "Registry access failed";
        }
    }

    if (!found.isEmpty()) {
        if (!found.endsWith(QStringLiteral("Broker.exe"), Qt::CaseInsensitive)) {
            if (found.endsWith(QLatin1Char('/')) || found.endsWith(QLatin1Char('\\')))
                found += QStringLiteral("Broker.exe");
            else
                found += QStringLiteral("\\Broker.exe");
        }
        amiBrokerExecutable = found;
        qDebug() << "✓ AmiBroker executable path:" << found;
        if (settingsManager) {
            settingsManager->setAmiBrokerPath(found);
            settingsManager->saveSettings();
        }
        try {
            if (app.querySubObject(QStringLiteral("Documents")))
                qDebug() << "✓ AmiBroker Documents collection accessible";
            else
                qDebug() << "⚠ Documents collection not accessible, but basic COM works";
        } catch (...) {
            qDebug() << "⚠ Documents collection test failed, but basic COM works";
        }
    }

    if (!found.isEmpty()) {
        qDebug() << "✓ AmiBroker test successful";
        return true;
    }
    qDebug() << "⚠ AmiBroker accessible but limited functionality";
    return false;
}

bool CSVExporter::connectToAmiBroker()
{
    amiBrokerApp.reset();
    amiBrokerApp = automation->createObject(kProgId);
    if (!holdsInterface(amiBrokerApp)) {
        qWarning() << "Failed to connect to AmiBroker COM interface";
        amiBrokerApp.reset();
        return false;
    }
    qDebug() << "Successfully connected to AmiBroker COM interface";
    return true;
}

bool CSVExporter::isAmiBrokerAvailable()
{
    return holdsInterface(automation->createObject(kProgId));
}
