// The main window's hold on the settings store: it uses the application's store when there is one
// (and says so), and makes its own otherwise.
#include <QApplication>
#include <QSettings>
#include <QtTest>

#include "core/SettingsManager.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "ui/MainWindow.h"

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void findsSettingsStore_data();
    void findsSettingsStore();
};

void MainWindowTest::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tickvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tickvane"));
}

void MainWindowTest::findsSettingsStore_data()
{
    QTest::addColumn<bool>("applicationOwned");
    QTest::addColumn<bool>("nested");
    QTest::newRow("application's store") << true << false;
    QTest::newRow("application's store, one level down") << true << true;
    QTest::newRow("none: a local store") << false << false;
}

void MainWindowTest::findsSettingsStore()
{
    QFETCH(bool, applicationOwned);
    QFETCH(bool, nested);
    TestEnvironment env;
    QVERIFY(env.isValid());
    {
        // Custom API: the provider that needs no broker connector and downloads nothing.
        QSettings seed;
        seed.setValue(QStringLiteral("API/provider"), 6);
    }

    QObject holder(qApp);
    SettingsManager* appStore = nullptr;
    if (applicationOwned)
        appStore = new SettingsManager(nested ? &holder : static_cast<QObject*>(qApp));

    LogCapture log;
    {
        MainWindow window;
        window.show();
        if (applicationOwned) {
            QCOMPARE(window.settingsManager(), appStore);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("MainWindow: using application-level SettingsManager")), 1);
            QVERIFY(!log.contains(QStringLiteral("MainWindow: created local SettingsManager")));
        } else {
            QVERIFY(window.settingsManager());
            QCOMPARE(window.settingsManager()->parent(), &window);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("MainWindow: created local SettingsManager")), 1);
        }
        QVERIFY(window.isVisible());
    }
    delete appStore;
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
