// The refusing port the network tests rely on: refused while held, not to be taken by anyone else,
// and given back when the holder goes.
#include <QAbstractSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "support/ClosedPort.h"

class ClosedPortTest : public QObject
{
    Q_OBJECT

private slots:
    void connectionsAreRefused()
    {
        ClosedPort closed;
        QVERIFY(closed.isValid());
        for (int i = 0; i < 20; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, closed.port());
            QVERIFY(!socket.waitForConnected(5000));
            QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
        }
    }

    void heldUntilDestroyed()
    {
        quint16 port = 0;
        {
            ClosedPort closed;
            QVERIFY(closed.isValid());
            port = closed.port();
            // A server of the tests or of the program (Qt asks for address reuse) cannot take it.
            QTcpServer squatter;
            QVERIFY(!squatter.listen(QHostAddress::LocalHost, port));
            QCOMPARE(squatter.serverError(), QAbstractSocket::AddressInUseError);
            ClosedPort other;
            QVERIFY(other.isValid());
            QVERIFY(other.port() != port);
        }
        QTcpServer after;
        QVERIFY2(after.listen(QHostAddress::LocalHost, port), qPrintable(after.errorString()));
    }
};

QTEST_GUILESS_MAIN(ClosedPortTest)
#include "tst_closedport.moc"
