// The alert window never blocks its creator and closes cleanly.
#include "ui/AlertWindow.h"

#include <QPointer>
#include <QPushButton>
#include <QtTest>

class TestAlertWindow : public QObject
{
    Q_OBJECT

private slots:
    void okAcceptsAndDeletesOnClose();
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

QTEST_MAIN(TestAlertWindow)
#include "tst_alertwindow.moc"
