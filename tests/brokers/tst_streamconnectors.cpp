// Streaming connectors side by side: the opening address, a missing credential, a connection
// replaced while open, and a peer that misbehaves at length (a stalled or refused upgrade, a silent
// link, a frame cut short or too large, odd close codes and junk among valid ticks). Each case
// checks what the user gets to see, that reconnects are paced or not attempted, that memory stays
// bounded and that no valid tick is lost or doubled.
#include "brokers/StreamLinkWatch.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/upstox/UpstoxBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "core/MarketData.h"
#include "support/DhanFrames.h"
#include "support/HostileWebSocketPeer.h"
#include "support/HttpTestServer.h"
#include "support/UpstoxFrames.h"
#include "support/WebSocketTestServer.h"
#include "symbols/SymbolRepository.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTimer>
#include <QWebSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Peer = HostileWebSocketPeer;
const QString kUpstoxKey = QStringLiteral("NSE_EQ|INE009A01021");

// One connector pointed at the peer, with what the test needs to look into it.
struct Connector {
    HttpTestServer http;  // Upstox asks its REST host for the stream address
    SymbolRepository repo;
    std::unique_ptr<IBroker> broker;
    bool reconnects = false;
    std::function<int()> attempts;      // reconnects since the last lasting link
    std::function<bool()> retryPending; // a reconnect is scheduled
};

std::unique_ptr<Connector> connectorFor(const QString& name, const QString& streamBase)
{
    auto c = std::make_unique<Connector>();
    const int handshakeMs = 300;
    const int silenceMs = 400;
    if (name == "Dhan") {
        auto* d = new DhanBroker;
        c->broker.reset(d);
        c->repo.addSymbol("NSE:SBIN", "3045", "NSE", "NSE");
        d->setSymbolRepository(&c->repo);
        d->setFeedBaseUrl(streamBase);  // a bare host, as the real one
        d->setReconnectWaitRange(1, 40);
        d->setLinkTimeouts(handshakeMs, silenceMs);
        c->reconnects = true;
        c->attempts = [d] { return d->reconnectAttempts(); };
        c->retryPending = [d] { return d->reconnectAttempts() > 0; };
    } else if (name == "Upstox") {
        auto* u = new UpstoxBroker;
        c->broker.reset(u);
        if (!c->http.listen())
            return nullptr;
        HttpTestServer::Reply redirect;
        redirect.status = 302;
        redirect.headers.append(qMakePair(QByteArray("Location"), (streamBase + "/feed").toUtf8()));
        c->http.setReply("GET", "/v3/feed/market-data-feed", redirect);
        c->repo.addSymbol("INFY", kUpstoxKey, "NSE", "EQ");
        u->setSymbolRepository(&c->repo);
        u->setRestBaseUrl(c->http.baseUrl());
        u->setReconnectUnit(5);
        u->setLinkTimeouts(handshakeMs, silenceMs);
        c->reconnects = true;
        c->attempts = [u] { return u->reconnectAttempts(); };
        c->retryPending = [u] { return u->findChild<QTimer*>("reconnectTimer")->isActive(); };
    } else if (name == "AngelOne") {
        auto* a = new AngelOneBroker;
        c->broker.reset(a);
        a->setStreamBaseUrl(streamBase);
        a->setLinkTimeouts(handshakeMs, silenceMs);
    } else if (name == "TradeJini") {
        auto* t = new TradeJiniBroker;
        c->broker.reset(t);
        t->setStreamBaseUrl(streamBase);
        t->setLinkTimeouts(handshakeMs, silenceMs);
    } else {
        auto* z = new ZerodhaBroker;
        c->broker.reset(z);
        z->setLinkTimeouts(handshakeMs, silenceMs);
    }
    return c;
}

// Every connector's settings, with `changes` over them ("%1" in a value is the stream address).
void start(const QString& name, IBroker* broker, const QString& streamBase, const QVariantMap& changes = {})
{
    QMap<QString, QString> settings{{"access_token", "TOK"}, {"client_id", "C1"}, {"accessToken", "TOK"},
                                    {"api_key", "K"}, {"feed_token", "F"}, {"ws_url", streamBase}};
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        settings[it.key()] = it.value().toString().replace("%1", streamBase);
    broker->initialize(settings);
    // Dhan's stored token starts the feed from initialize itself.
    if (name != "Dhan")
        broker->connectToBroker();
}

QList<QPair<int, QByteArray>> ticksAmongJunk(const QString& name, QList<double>* prices)
{
    QList<QPair<int, QByteArray>> frames;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    *prices = {801.5, 802.25, 803.0};
    for (int i = 0; i < prices->size(); ++i) {
        if (name == "Dhan") {
            DhanFrames::Fields f;
            f.securityId = 3045;
            f.ltp = float(prices->at(i));
            f.ltt = qint32(now / 1000);
            f.volume = 100 + i;
            frames.append({0x2, DhanFrames::packet(f, 162)});
        } else {
            using namespace UpstoxFrames;
            frames.append({0x2, entry(kUpstoxKey, ltpcFeed(Trade{prices->at(i), now + i, 10, 0}))});
        }
        // Junk between the ticks: a short binary frame, a text frame that is no JSON, bytes that
        // are no protocol-buffers message.
        frames.append({0x2, QByteArray::fromHex("ff01")});
        frames.append({0x1, "{not json"});
        frames.append({0x2, QByteArray(61, '\xff')});
    }
    return frames;
}

bool anyContains(const QSignalSpy& spy, const QString& text)
{
    for (const QList<QVariant>& args : spy) {
        if (args.value(0).toString().contains(text))
            return true;
    }
    return false;
}

}  // namespace

class TestStreamConnectors : public QObject {
    Q_OBJECT
private slots:
    void missingCredential_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::addColumn<QString>("blank");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("kept");  // also the broker's last error
        QTest::newRow("Zerodha address") << "Zerodha" << "ws_url" << "WebSocket URL not configured" << true;
        QTest::newRow("TradeJini token") << "TradeJini" << "accessToken" << "Access token not configured" << true;
        QTest::newRow("AngelOne feed token") << "AngelOne" << "feed_token" << "Feed token not available" << true;
        QTest::newRow("Dhan client id") << "Dhan" << "client_id" << "Dhan client ID not configured" << false;
        QTest::newRow("Dhan token") << "Dhan" << "access_token" << "Dhan access token not configured" << false;
    }
    void missingCredential()
    {
        QFETCH(QString, connector);
        QFETCH(QString, blank);
        QFETCH(QString, error);
        QFETCH(bool, kept);
        WebSocketTestServer server;
        QVERIFY(server.listen());
        const auto c = connectorFor(connector, server.baseUrl());
        QSignalSpy errors(c->broker.get(), &IBroker::errorOccurred);
        start(connector, c->broker.get(), server.baseUrl(), {{blank, QString()}});
        c->broker->connectToBroker();
        QCOMPARE(errors.value(errors.size() - 1).value(0).toString(), error);
        QCOMPARE(c->broker->lastError(), kept ? error : QString());
        QVERIFY(!c->broker->isConnected());
        QVERIFY(server.acceptSentinel());  // no connection of the broker's comes in before it
        QCOMPARE(server.connectionUrls().size(), 1);
    }
    void openingAddress_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("query");  // as sent
        const QVariantMap zerodha{{"ws_url", "%1/"}};
        QTest::newRow("Zerodha") << "Zerodha" << zerodha << "/" << "api_key=K&access_token=TOK";
        QTest::newRow("Zerodha, no token: nothing appended")
            << "Zerodha" << QVariantMap{{"ws_url", "%1/"}, {"access_token", ""}} << "/" << "";
        QTest::newRow("Zerodha, address with a query kept as is") << "Zerodha" << QVariantMap{{"ws_url", "%1/?x=1"}}
                                                                  << "/" << "x=1";
        QTest::newRow("Zerodha, token cannot add parameters")
            << "Zerodha" << QVariantMap{{"ws_url", "%1/"}, {"access_token", "a&b=c"}} << "/"
            << "api_key=K&access_token=a%26b%3Dc";
        QTest::newRow("TradeJini, api key and token") << "TradeJini" << QVariantMap{{"apiKey", "KEY+1"}, {"accessToken", "TOK/x"}}
                                                      << "/v2.1/stream" << "token=KEY+1:TOK/x&version=3.1";
        QTest::newRow("TradeJini, token alone") << "TradeJini" << QVariantMap{{"accessToken", "TOK/x"}} << "/v2.1/stream"
                                                << "token=TOK/x&version=3.1";
        QTest::newRow("AngelOne, each value encoded whole")
            << "AngelOne" << QVariantMap{{"api_key", "K&1"}, {"client_code", "C123"}, {"feed_token", "eyJ.a-b_c+d="}}
            << "/smart-stream" << "clientCode=C123&feedToken=eyJ.a-b_c%2Bd%3D&apiKey=K%261";
        QTest::newRow("Dhan") << "Dhan" << QVariantMap{{"access_token", "TOK+/="}, {"client_id", "1100"}} << "/"
                              << "version=2&token=TOK+/=&clientId=1100&authType=2";
    }
    void openingAddress()
    {
        QFETCH(QString, connector);
        QFETCH(QVariantMap, settings);
        WebSocketTestServer server;
        QVERIFY(server.listen());
        const auto c = connectorFor(connector, server.baseUrl());
        start(connector, c->broker.get(), server.baseUrl(), settings);
        QTRY_VERIFY_WITH_TIMEOUT(c->broker->isConnected(), 5000);
        QTEST(server.connectionUrls().value(0).path(), "path");
        QTEST(server.connectionUrls().value(0).query(QUrl::FullyEncoded), "query");
        QVERIFY(c->broker->lastError().isEmpty());
        if (connector == "Dhan")
            c->broker->connectToBroker();  // while open: changes nothing
        QVERIFY(c->broker->isConnected());
        QCOMPARE(server.connectionUrls().size(), 1);
    }
    void replacedConnectionStaysQuiet_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::newRow("AngelOne") << "AngelOne";
        QTest::newRow("TradeJini") << "TradeJini";
    }
    void replacedConnectionStaysQuiet()
    {
        QFETCH(QString, connector);
        WebSocketTestServer server;
        QVERIFY(server.listen());
        const auto c = connectorFor(connector, server.baseUrl());
        QSignalSpy status(c->broker.get(), &IBroker::connectionStatusChanged);
        QSignalSpy errors(c->broker.get(), &IBroker::errorOccurred);
        start(connector, c->broker.get(), server.baseUrl());
        QTRY_VERIFY_WITH_TIMEOUT(c->broker->isConnected(), 5000);
        QSignalSpy gone(&server, &WebSocketTestServer::clientDisconnected);
        c->broker->connectToBroker();  // while open: the old connection is reported over, a new one opens
        QTRY_COMPARE_WITH_TIMEOUT(status.size(), 3, 5000);
        QVERIFY(gone.size() > 0 || gone.wait(5000));
        // The replaced socket's close comes in late; once it is deleted it can say nothing more.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        QList<bool> trail;
        for (const QList<QVariant>& args : qAsConst(status))
            trail << args.value(0).toBool();
        QCOMPARE(trail, (QList<bool>{true, false, true}));
        QCOMPARE(errors.size(), 0);
        QVERIFY(c->broker->isConnected());
        QCOMPARE(server.clientCount(), 1);
        QCOMPARE(server.connectionUrls().size(), 2);
    }
    void disconnectedWhileUpgrading_data()
    {
        QTest::addColumn<QString>("connector");
        for (const char* name : {"Dhan", "Upstox", "AngelOne", "TradeJini", "Zerodha"})
            QTest::newRow(name) << QString(name);
    }
    void disconnectedWhileUpgrading()
    {
        // Disconnect while the server still owes the answer to the upgrade: the connection goes at
        // once, without a frame written into the handshake, and an answer that comes later opens
        // nothing.
        QFETCH(QString, connector);
        Peer peer(Peer::HoldUpgrade);
        QVERIFY(peer.listen());
        const auto c = connectorFor(connector, peer.baseUrl());
        QVERIFY(c);
        QSignalSpy status(c->broker.get(), &IBroker::connectionStatusChanged);
        QSignalSpy held(&peer, &Peer::upgradeHeld);
        start(connector, c->broker.get(), peer.baseUrl());
        QVERIFY(held.size() > 0 || held.wait(5000));
        c->broker->disconnectFromBroker();
        peer.answerHeldUpgrades();
        QTRY_COMPARE_WITH_TIMEOUT(peer.openConnections(), 0, 5000);
        QCOMPARE(peer.bytesAfterRequest(), 0);
        QVERIFY(!c->broker->isConnected());
        for (const QList<QVariant>& args : qAsConst(status))
            QVERIFY(!args.value(0).toBool());
    }
    void misbehavingPeer_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QString>("error");  // what the user is told; empty: the drop shows as the status
        const QList<QPair<Peer::Behaviour, QString>> cases{
            {Peer::StallBeforeUpgrade, "handshake not finished"},
            {Peer::StallAfterUpgrade, "No data from the server"},
            {Peer::CloseMidFrame, QString()},
            {Peer::OversizedFrame, "(code 1009)"},
            {Peer::CloseAfterUpgrade, QString()},
            {Peer::CloseWith4001, "(code 4001): session expired"},
            {Peer::Refuse401, "Authentication failed"},
            {Peer::Refuse403, "Authentication failed"},
        };
        for (const char* name : {"Dhan", "Upstox"}) {
            for (const auto& c : cases) {
                QTest::addRow("%s %s", name, QMetaEnum::fromType<Peer::Behaviour>().valueToKey(c.first))
                    << QString(name) << int(c.first) << c.second;
            }
        }
        // The connectors that do not reconnect report the drop and stay down.
        for (const char* name : {"AngelOne", "TradeJini", "Zerodha"}) {
            for (int i : {0, 1, 3, 4, 5}) {
                QTest::addRow("%s %s", name, QMetaEnum::fromType<Peer::Behaviour>().valueToKey(cases[i].first))
                    << QString(name) << int(cases[i].first) << cases[i].second;
            }
        }
    }
    void misbehavingPeer()
    {
        QFETCH(QString, connector);
        QFETCH(int, behaviour);
        QFETCH(QString, error);
        Peer peer{Peer::Behaviour(behaviour)};
        QVERIFY(peer.listen());
        const auto c = connectorFor(connector, peer.baseUrl());
        QVERIFY(c);
        QSignalSpy errors(c->broker.get(), &IBroker::errorOccurred);
        QSignalSpy status(c->broker.get(), &IBroker::connectionStatusChanged);
        start(connector, c->broker.get(), peer.baseUrl());

        if (!error.isEmpty()) {
            QTRY_VERIFY2_WITH_TIMEOUT(anyContains(errors, error), qPrintable(errors.isEmpty() ? "no error" : errors.last().value(0).toString()), 10000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(status.size() >= 2 && !status.last().value(0).toBool(), 10000);
        }
        QVERIFY(!c->broker->isConnected() || c->reconnects);
        if (behaviour == Peer::OversizedFrame) {
            // The connection ends at the announced size: far less than the 100 MB comes in.
            QVERIFY2(peer.oversizedBytesSent() < 2 * StreamLinkWatch::kMaxMessageBytes,
                     qPrintable(QString::number(peer.oversizedBytesSent())));
        }
        if (behaviour == Peer::Refuse401 || behaviour == Peer::Refuse403) {
            // A refused upgrade is not tried again.
            QVERIFY(!c->retryPending());
            QCOMPARE(peer.connectionCount(), 1);
            return;
        }
        if (!c->reconnects) {
            QCOMPARE(peer.connectionCount(), 1);
            return;
        }
        if (behaviour == Peer::CloseAfterUpgrade) {
            // Each link closes at once: the waits grow instead of starting afresh with every open.
            QTRY_VERIFY_WITH_TIMEOUT(peer.upgradeCount() >= 4, 10000);
            QVERIFY2(c->attempts() >= 3, qPrintable(QString::number(c->attempts())));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(peer.connectionCount() >= 2, 10000);
    }
    void validTicksAmongJunk_data()
    {
        QTest::addColumn<QString>("connector");
        QTest::newRow("Dhan") << "Dhan";
        QTest::newRow("Upstox") << "Upstox";
    }
    void validTicksAmongJunk()
    {
        QFETCH(QString, connector);
        Peer peer(Peer::FramesThenIdle);
        QList<double> prices;
        peer.setFrames(ticksAmongJunk(connector, &prices));
        QVERIFY(peer.listen());
        const auto c = connectorFor(connector, peer.baseUrl());
        QVERIFY(c);
        QSignalSpy ticks(c->broker.get(), &IBroker::tickReceived);
        start(connector, c->broker.get(), peer.baseUrl());
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= prices.size(), 10000);
        QList<double> got;
        for (const QList<QVariant>& args : qAsConst(ticks))
            got << args.value(0).value<TickData>().ltp;
        QCOMPARE(got, prices);
        QVERIFY(c->broker->isConnected());
        QCOMPARE(peer.connectionCount(), 1);
    }
    void silentLinkProbedEachInterval()
    {
        // A silent link is probed each third of the allowed silence, to the millisecond: a timer that
        // fires a moment early is armed again for what is left instead of letting the probe slip a
        // whole interval. The clock is the test's; the real timers are far from due.
        Peer peer(Peer::StallAfterUpgrade);
        QVERIFY(peer.listen());
        qint64 now = 0;
        StreamLinkWatch watch;
        watch.setClock([&now] { return now; });
        const int interval = StreamLinkWatch::kSilenceTimeoutMs / 3;
        QWebSocket socket;
        watch.watch(&socket);
        QSignalSpy opened(&socket, &QWebSocket::connected);
        socket.open(QUrl(peer.baseUrl()));
        QVERIFY(opened.wait(5000));
        const QTimer* probe = watch.findChild<QTimer*>("probe");
        QVERIFY(probe);
        now = interval - 1;  // the timer came a millisecond early
        QVERIFY(QMetaObject::invokeMethod(&watch, "onProbeTimeout"));
        QVERIFY2(probe->remainingTime() <= 1, qPrintable(QString::number(probe->remainingTime())));
        now = interval;
        QVERIFY(QMetaObject::invokeMethod(&watch, "onProbeTimeout"));
        QVERIFY(probe->remainingTime() > interval - 1000);
        QTRY_COMPARE_WITH_TIMEOUT(peer.pingsOnLink(0), 1, 5000);
        // Still silent an interval later: probed again.
        now = 2 * interval;
        QVERIFY(QMetaObject::invokeMethod(&watch, "onProbeTimeout"));
        QTRY_COMPARE_WITH_TIMEOUT(peer.pingsOnLink(0), 2, 5000);
    }
    void quietLinkStaysUp_data()
    {
        QTest::addColumn<QString>("connector");
        for (const char* name : {"Dhan", "Upstox", "AngelOne", "TradeJini", "Zerodha"})
            QTest::newRow(name) << QString(name);
    }
    void quietLinkStaysUp()
    {
        // A server with nothing to say still answers the pings a quiet link is probed with.
        QFETCH(QString, connector);
        Peer peer(Peer::QuietButAlive);
        QVERIFY(peer.listen());
        const auto c = connectorFor(connector, peer.baseUrl());
        QVERIFY(c);
        QSignalSpy errors(c->broker.get(), &IBroker::errorOccurred);
        start(connector, c->broker.get(), peer.baseUrl());
        // Six probes span well over the 400 ms the link may stay silent.
        QTRY_VERIFY_WITH_TIMEOUT(peer.pongsSent() >= 6, 10000);
        QVERIFY(c->broker->isConnected());
        QCOMPARE(errors.size(), 0);
        QCOMPARE(peer.connectionCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestStreamConnectors)
#include "tst_streamconnectors.moc"
