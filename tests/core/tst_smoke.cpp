#include <QtTest>
class TestSmoke : public QObject { Q_OBJECT private slots: void ok() { QVERIFY(true); } };
QTEST_GUILESS_MAIN(TestSmoke)
#include "tst_smoke.moc"
