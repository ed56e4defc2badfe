// The alert window never blocks its creator and closes cleanly.
#include "ui/AlertWindow.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

class TestAlertWindow : public QObject
{
    Q_OBJECT

private slots:
    void okAcceptsAndDeletesOnClose();
    void escapeRejects();
    void longMessageWrapsWithoutGrowing();
    void severalAlertsOpenTogether();
};

void TestAlertWindow::okAcceptsAndDeletesOnClose()
{
    QPointer<AlertWindow> alert = new AlertWindow(
        "Token Expired", "Your access token has expired. Please authenticate again.");
    alert->setAttribute(Qt::WA_DeleteOnClose);
    QVERIFY(!alert->isVisible());
    alert->show();
    // show() returns at once and leaves the window open: nothing waits for the user.
    QVERIFY(alert->isVisible());
    QVERIFY(!alert->isModal());
    QCOMPARE(alert->windowTitle(), QString("Token Expired"));

    QSignalSpy accepted(alert.data(), &QDialog::accepted);
    auto* ok = alert->findChild<QPushButton*>();
    QVERIFY(ok);
    QCOMPARE(ok->text(), QString("OK"));
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(accepted.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(alert.isNull(), 5000);
}

void TestAlertWindow::escapeRejects()
{
    AlertWindow alert("Title", "Message");
    alert.show();
    QVERIFY(QTest::qWaitForWindowExposed(&alert));
    QSignalSpy rejected(&alert, &QDialog::rejected);
    QTest::keyClick(&alert, Qt::Key_Escape);
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(alert.result(), int(QDialog::Rejected));
    QVERIFY(!alert.isVisible());
}

void TestAlertWindow::longMessageWrapsWithoutGrowing()
{
    const QString longText = QString("A very long message that goes on. ").repeated(40);
    AlertWindow alert("Long", longText);
    alert.show();
    auto* label = alert.findChild<QLabel*>();
    QVERIFY(label);
    QVERIFY(label->wordWrap());
    QCOMPARE(label->text(), longText);
    QCOMPARE(alert.size(), QSize(360, 120));
    QCOMPARE(alert.minimumSize(), alert.maximumSize());
}

void TestAlertWindow::severalAlertsOpenTogether()
{
    QList<QPointer<AlertWindow>> alerts;
    for (int i = 0; i < 3; ++i) {
        auto* a = new AlertWindow("Same title", QString("Alert %1").arg(i));
        a->setAttribute(Qt::WA_DeleteOnClose);
        a->show();
        alerts << a;
    }
    for (const auto& a : alerts)
        QVERIFY(a && a->isVisible());
    for (const auto& a : alerts)
        a->close();
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(alerts.begin(), alerts.end(),
                                         [](const QPointer<AlertWindow>& a) { return a.isNull(); }),
                             5000);
}

QTEST_MAIN(TestAlertWindow)
#include "tst_alertwindow.moc"
