// FlatTrade broker against a loopback stream peer: the session message and its answer, keys held
// back until the session is accepted, refused and unanswered sessions, key forms and resubscription,
// ticks named by exchange and token, unsubscribe text and the text heartbeat.
#include "brokers/flattrade/FlatTradeBroker.h"
#include "support/LogCapture.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
const QString kSession = R"({"t":"a","uid":"FT1","actid":"FT1","source":"API","accesstoken":"TOK"})";
const QString kAccepted = R"({"t":"ak","uid":"FT1","s":"OK"})";
}  // namespace

class TestFlatTradeBroker : public QObject {
    Q_OBJECT

    struct Stream {
        WebSocketTestServer server;
        SymbolRepository repo;
        FlatTradeBroker broker;
        Stream(const QString& path = QStringLiteral("/PiConnectWSAPI/"))
        {
            QVERIFY(server.listen());
            repo.addSymbol("RELIANCE", "2885", "NSE", "EQ");
            repo.addSymbol("RELIANCE", "500325", "BSE", "EQ");
            broker.setSymbolRepository(&repo);
            broker.initialize({{"access_token", "TOK"}, {"client_id", "FT1"}, {"ws_url", server.baseUrl() + path}});
        }
        // Connects and waits for the session message, without answering it.
        bool openUnanswered()
        {
            QSignalSpy received(&server, &WebSocketTestServer::textMessageReceived);
            broker.connectToBroker();
            return received.wait(5000) && broker.isAwaitingSession();
        }
        bool open(const QString& answer = kAccepted)
        {
            if (!openUnanswered())
                return false;
            QSignalSpy up(&broker, &IBroker::connectionStatusChanged);
            server.sendText(answer);
            return up.wait(5000) && broker.isConnected();
        }
    };

private slots:
    void sessionBeforeSubscriptions();
    void refusedSession_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("session");
        QTest::addColumn<QString>("error");
        QTest::newRow("refused with a reason") << "/PiConnectWSAPI/" << R"({"t":"ak","s":"Not_Ok","emsg":"invalid user id or session id"})"
                                               << kSession << "FlatTrade stream session failed: invalid user id or session id";
        QTest::newRow("no answer") << "/PiConnectWSAPI/" << QString() << kSession << "FlatTrade stream session failed: no answer";
        // The retired address gets its own generation's message, and its refusal is reported too.
        QTest::newRow("older generation refused")
            << "/PiConnectWSTp/" << R"({"t":"ck","s":"NOT_OK"})"
            << R"({"t":"c","uid":"FT1","actid":"FT1","susertoken":"TOK","source":"API"})" << "FlatTrade stream session failed: NOT_OK";
    }

    void refusedSession()
    {
        QFETCH(QString, path);
        QFETCH(QString, answer);
        QFETCH(QString, session);
        QFETCH(QString, error);
        LogCapture log(false);
        Stream s(path);
        s.broker.setSessionTimeout(answer.isEmpty() ? 100 : 60000);
        s.broker.subscribeLiveData("NSE|2885");
        QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
        QVERIFY(s.openUnanswered());
        QSignalSpy closed(&s.server, &WebSocketTestServer::clientDisconnected);
        if (!answer.isEmpty())
            s.server.sendText(answer);
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.at(0).at(0).toString(), error);
        // The socket goes down with the error; nothing was subscribed on it.
        QVERIFY(closed.count() || closed.wait(5000));
        QVERIFY(!s.broker.isConnected() && !s.broker.isAwaitingSession());
        QCOMPARE(s.server.textMessages(), QStringList{session});
    }

    void keyFormsAndResubscription();
    void unsubscribeAndHeartbeat()
    {
        Stream s;
        s.broker.setPingInterval(20);
        s.broker.subscribeLiveData(QStringList{"NSE|22", "RELIANCE"});
        s.broker.unsubscribeLiveData("NSE|22");  // not connected: dropped from the queue, nothing sent
        QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
        QVERIFY(s.open());
        s.broker.unsubscribeLiveData("NSE|99");    // never held: ignored
        s.broker.unsubscribeLiveData("RELIANCE");  // the symbol names its NSE key
        QVERIFY(s.broker.subscribedKeys().isEmpty());
        // The keep-alive is the broker's text heartbeat; its answer passes without a trace.
        QTRY_VERIFY_WITH_TIMEOUT(s.server.textMessages().contains(R"({"t":"h"})"), 5000);
        QSignalSpy errors(&s.broker, &IBroker::errorOccurred);
        QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
        s.server.sendText(R"({"t":"hk","hk":"1788237300"})");
        s.server.sendText(R"({"t":"udk","k":"NSE|2885"})");
        s.server.sendText(R"({"t":"tk","e":"NSE","tk":"1","lp":"1"})");  // once it is in, so are the two before
        QVERIFY(ticks.wait(5000));
        QStringList sent = s.server.textMessages();
        sent.removeAll(R"({"t":"h"})");
        QCOMPARE(sent, (QStringList{kSession, R"({"t":"d","k":"NSE|2885"})", R"({"t":"ud","k":"NSE|2885"})"}));

        s.broker.stopLiveData();
        QVERIFY(!s.broker.isPingActive() && s.broker.isConnected());
        QVERIFY(errors.isEmpty());
        QCOMPARE(ticks.count(), 1);

        // Start again on the open stream: the heartbeat comes back, on the same connection.
        s.server.clearMessages();
        s.broker.startLiveData();
        QVERIFY(s.broker.isPingActive());
        QTRY_VERIFY_WITH_TIMEOUT(s.server.textMessages().contains(R"({"t":"h"})"), 5000);
        QCOMPARE(s.server.connectionUrls().size(), 1);
    }
};

void TestFlatTradeBroker::sessionBeforeSubscriptions()
{
    Stream s;
    s.broker.subscribeLiveData(QStringList{"NSE|2885", "BSE|500325"});
    QVERIFY(s.openUnanswered());
    QCOMPARE(s.server.textMessages(), QStringList{kSession});
    QCOMPARE(s.server.connectionUrls().value(0).path(), QString("/PiConnectWSAPI/"));
    // Open socket, no session yet: keys still wait, and a new one joins them.
    QVERIFY(!s.broker.isConnected());
    s.broker.subscribeLiveData("NSE|22");
    QCOMPARE(s.broker.pendingKeys(), (QStringList{"NSE|2885", "BSE|500325", "NSE|22"}));

    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QSignalSpy status(&s.broker, &IBroker::connectionStatusChanged);
    s.server.sendText(R"({"t":"ak","uid":"FT1","s":"Ok"})");
    QVERIFY(received.wait(5000));
    QCOMPARE(status.count(), 1);
    QVERIFY(status.at(0).at(0).toBool());
    QCOMPARE(s.server.textMessages().mid(1), QStringList{R"({"t":"d","k":"NSE|2885#BSE|500325#NSE|22"})"});
    QVERIFY(s.broker.isPingActive());

    // Ticks carry the name the repository has for that exchange and token, else the token.
    QSignalSpy ticks(&s.broker, &IBroker::tickReceived);
    s.server.sendText(R"({"t":"dk","e":"BSE","tk":"500325","lp":"1309.40","ltq":"3","ft":"1788237300"})");
    s.server.sendText(R"({"t":"tk","e":"NSE","tk":"22","lp":"10.5"})");
    QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 2, 5000);
    const TickData first = ticks.at(0).at(0).value<TickData>();
    QCOMPARE(first.symbol + "|" + first.exchange + "|" + first.token, QString("RELIANCE|BSE|500325"));
    QVERIFY(first.isValid());
    QCOMPARE(ticks.at(1).at(0).value<TickData>().symbol, QString("22"));
}

void TestFlatTradeBroker::keyFormsAndResubscription()
{
    LogCapture log(false);
    Stream s;
    // Exchange-qualified keys pass unchanged, symbols become NSE keys, anything unknown or holding
    // the wire's key separator is left out.
    s.broker.subscribeLiveData(QStringList{"BSE|500325", "RELIANCE", "UNKNOWN", "NSE|1#NSE|2", "BSE|500325"});
    QCOMPARE(s.broker.pendingKeys(), (QStringList{"BSE|500325", "NSE|2885"}));
    QSignalSpy received(&s.server, &WebSocketTestServer::textMessageReceived);
    QVERIFY(s.open());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
    QCOMPARE(s.server.textMessages().value(1), QString(R"({"t":"d","k":"BSE|500325#NSE|2885"})"));

    s.broker.subscribeLiveData(QStringList{"NSE|2885", "MCX|4"});  // NSE|2885 is on the stream already
    s.broker.startLiveData();                                      // and not sent again
    s.broker.unsubscribeLiveData("BSE|500325");
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 4, 5000);
    QCOMPARE(s.server.textMessages().mid(2), (QStringList{R"({"t":"ud","k":"BSE|500325"})",
                                                          R"({"t":"d","k":"MCX|4"})"}));
    QCOMPARE(s.server.connectionUrls().size(), 1);

    // A new stream carries nothing of the old one: a new session, then every key again.
    s.server.clearMessages();
    received.clear();
    QVERIFY(s.open());
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 5000);
    QCOMPARE(s.server.textMessages(), (QStringList{kSession, R"({"t":"d","k":"NSE|2885#MCX|4"})"}));
}

QTEST_GUILESS_MAIN(TestFlatTradeBroker)
#include "tst_flattradebroker.moc"
