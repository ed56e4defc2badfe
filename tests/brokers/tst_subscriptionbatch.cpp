// The subscription set every connector shares: what each event-loop turn hands the connector to
// send. The connectors' own tests check only how they write a change on the wire.
#include "brokers/SubscriptionBatch.h"

#include <QCoreApplication>
#include <QtTest>

class TestSubscriptionBatch : public QObject {
    Q_OBJECT
private slots:
    void netChangePerTurn_data()
    {
        // "+a,b" add, "-a" remove, "*" remove all, "~" the stream replaced, "down"/"up" whether the
        // stream takes messages, "|" the end of a turn. Each change sent reads "+added -removed".
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("one turn, one change; a repeat goes once; a key dropped within the turn costs nothing")
            << "+b,a +b,,c +d -d" << QStringList{"+b,a,c -"};
        QTest::newRow("a key the stream carries is not sent again") << "+b,a | +a,c" << QStringList{"+b,a -", "+c -"};
        QTest::newRow("dropped and taken back in one turn: only the other drop")
            << "+a,b | -a +a -b" << QStringList{"+a,b -", "+ -b"};
        QTest::newRow("dropped in one turn, taken back in a later one") << "+a | -a | +a"
                                                                        << QStringList{"+a -", "+ -a", "+a -"};
        QTest::newRow("removals in the order sent") << "+c | +a,b | -b -c -a"
                                                    << QStringList{"+c -", "+a,b -", "+ -c,a,b"};
        QTest::newRow("remove all") << "+a,b | * +c" << QStringList{"+a,b -", "+c -a,b"};
        QTest::newRow("a key never held: nothing") << "-x | *" << QStringList{};
        QTest::newRow("a new stream gets what is wanted, not what left")
            << "+a,b | down -a | up ~" << QStringList{"+a,b -", "+b -"};
        QTest::newRow("a new stream gets everything again") << "+a,b | ~ |" << QStringList{"+a,b -", "+a,b -"};
    }
    void netChangePerTurn()
    {
        QFETCH(QString, script);
        bool ready = true;
        QStringList sent;
        SubscriptionBatch batch([&] { return ready; }, [&](const SubscriptionBatch::Change& c) {
            sent << "+" + c.added.join(',') + " -" + c.removed.join(',');
        });
        for (const QString& op : script.split(' ', Qt::SkipEmptyParts)) {
            if (op == "|")
                QCoreApplication::processEvents();
            else if (op == "down" || op == "up")
                ready = op == "up";
            else if (op == "~")
                batch.streamReplaced();
            else if (op == "*")
                batch.removeAll();
            else if (op.startsWith('+'))
                batch.add(op.mid(1).split(','));
            else
                batch.remove(op.mid(1).split(','));
        }
        QCoreApplication::processEvents();
        QTEST(sent, "sent");
    }
};

QTEST_GUILESS_MAIN(TestSubscriptionBatch)
#include "tst_subscriptionbatch.moc"
