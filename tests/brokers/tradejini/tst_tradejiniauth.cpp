// TradeJini login against a loopback host: form bodies, success and failure texts, expiry timers.
#include "brokers/tradejini/TradeJiniAuth.h"
#include "support/HttpTestServer.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {
const QString kPasswordPath = "/v2/api-gw/oauth/individual-token-v2";
const QString kTokenPath = "/v2/api-gw/oauth/token";
}  // namespace

class TestTradeJiniAuth : public QObject {
    Q_OBJECT

    struct Rig {
        HttpTestServer http;
        TradeJiniAuth auth;
        QSignalSpy ok{&auth, &TradeJiniAuth::authenticationSucceeded};
        QSignalSpy failed{&auth, &TradeJiniAuth::authenticationFailed};
        QTimer* expiry = nullptr;
        QTimer* warning = nullptr;
        Rig()
        {
            QVERIFY(http.listen());
            auth.setBaseUrl(http.baseUrl() + "/v2");
            expiry = auth.findChild<QTimer*>("expiryTimer");
            warning = auth.findChild<QTimer*>("warningTimer");
        }
        int outcomes() const { return ok.count() + failed.count(); }
    };

private slots:
    void passwordLoginOutcomes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");  // prefix; empty: success
        QTest::newRow("msg") << 200 << QByteArray(R"({"msg":"Invalid OTP"})") << "Invalid OTP";
        QTest::newRow("json array") << 200 << QByteArray("[]") << "Authentication failed";
        QTest::newRow("empty token") << 200 << QByteArray(R"({"access_token":""})") << "Authentication failed";
        QTest::newRow("token not text") << 200 << QByteArray(R"({"access_token":42,"msg":"odd"})") << "odd";
        QTest::newRow("not json") << 200 << QByteArray("<html>") << "Failed to parse response: ";
        QTest::newRow("http 401") << 401 << QByteArray(R"({"access_token":"x"})") << "Individual token authentication failed: ";
        QTest::newRow("success") << 200 << QByteArray(R"({"access_token":"tok-1","expires_in":3600,"scope":"read"})") << "";
    }
    void passwordLoginOutcomes()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        Rig rig;
        rig.http.setReply("POST", kPasswordPath, HttpTestServer::Reply::json(body, status));
        rig.auth.authenticateWithPassword("APIKEY", "p+a&s=s %", "123456", "totp");
        QTRY_COMPARE_WITH_TIMEOUT(rig.outcomes(), 1, 5000);
        const HttpTestServer::Request r = rig.http.lastRequest();
        QCOMPARE(r.header("Authorization"), QByteArray("Bearer APIKEY"));
        QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(r.body, QByteArray("password=p%2Ba%26s%3Ds%20%25&twoFa=123456&twoFaTyp=totp"));
        QCOMPARE(rig.ok.count(), error.isEmpty() ? 1 : 0);
        QCOMPARE(rig.failed.count(), error.isEmpty() ? 0 : 1);
        if (!error.isEmpty()) {
            const QString text = rig.failed.at(0).at(0).toString();
            QVERIFY2(text.startsWith(error), qPrintable(text));
            QVERIFY(rig.auth.getAccessToken().isEmpty());
            return;
        }
        QCOMPARE(rig.ok.at(0), (QList<QVariant>{"tok-1", "APIKEY"}));
        QCOMPARE(rig.auth.getAccessToken(), QString("tok-1"));
        QVERIFY(rig.auth.isTokenValid());
    }
    void codeExchangeOutcomes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("oauth error wins") << QByteArray(R"({"error":"invalid_grant","errorDesc":"bad code","access_token":"x"})")
                                          << "invalid_grant: bad code";
        QTest::newRow("no token") << QByteArray("{}") << "Invalid token response format";
        QTest::newRow("json array") << QByteArray("[1]") << "Invalid token response format";
        QTest::newRow("not json") << QByteArray("nope") << "Failed to parse token response: ";
        QTest::newRow("success") << QByteArray(R"({"access_token":"oauth-tok","expires_in":120})") << "";
    }
    void codeExchangeOutcomes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        Rig rig;
        rig.http.setReply("POST", kTokenPath, HttpTestServer::Reply::json(body));
        rig.auth.exchangeCodeForToken("c+d", "cid", "sec=1", "http://127.0.0.1:9/cb?x=1");
        QTRY_COMPARE_WITH_TIMEOUT(rig.outcomes(), 1, 5000);
        QCOMPARE(rig.http.lastRequest().body,
                 QByteArray("code=c%2Bd&client_id=cid&client_secret=sec%3D1&redirect_uri=http%3A%2F%2F127.0.0.1%3A9%2Fcb%3Fx%3D1"
                            "&grant_type=authorization_code"));
        if (error.isEmpty()) {
            QCOMPARE(rig.ok.count(), 1);
            QCOMPARE(rig.ok.at(0).at(1).toString(), QString("cid"));
            QVERIFY(rig.expiry->isActive());
            QVERIFY(!rig.warning->isActive());  // 120 s: no five-minute warning
            return;
        }
        QCOMPARE(rig.failed.count(), 1);
        QVERIFY2(rig.failed.at(0).at(0).toString().startsWith(error), qPrintable(rig.failed.at(0).at(0).toString()));
    }
    void expiryTimers()
    {
        Rig rig;
        rig.http.queueReply("POST", kPasswordPath, HttpTestServer::Reply::json(R"({"access_token":"a","expires_in":3600})"));
        rig.http.queueReply("POST", kPasswordPath, HttpTestServer::Reply::json(R"({"access_token":"b","expires_in":300})"));
        rig.http.queueReply("POST", kPasswordPath, HttpTestServer::Reply::json(R"({"access_token":"c","expires_in":3000000})"));
        rig.http.queueReply("POST", kPasswordPath, HttpTestServer::Reply::json(R"({"access_token":"d"})"));
        rig.http.queueReply("POST", kPasswordPath, HttpTestServer::Reply::json(R"({"access_token":"e","expires_in":1})"));

        rig.auth.authenticateWithPassword("K", "p", "1", "totp");
        QVERIFY(rig.ok.wait(5000));
        QCOMPARE(rig.expiry->interval(), 3600000);
        QCOMPARE(rig.warning->interval(), 3300000);
        QVERIFY(rig.warning->isActive());
        QVERIFY(qAbs(rig.auth.secondsUntilExpiry() - 3600) <= 2);

        // 300 s or less: no warning, and the earlier token's warning must not fire for this one.
        rig.auth.authenticateWithPassword("K", "p", "1", "totp");
        QVERIFY(rig.ok.wait(5000));
        QCOMPARE(rig.expiry->interval(), 300000);
        QVERIFY(!rig.warning->isActive());

        // About 35 days do not fit a timer: the interval is clamped, the expiry time stays exact.
        rig.auth.authenticateWithPassword("K", "p", "1", "totp");
        QVERIFY(rig.ok.wait(5000));
        QCOMPARE(rig.expiry->interval(), std::numeric_limits<int>::max());
        QVERIFY(rig.expiry->isActive());
        QVERIFY(qAbs(QDateTime::currentDateTime().secsTo(rig.auth.tokenExpiryTime()) - 3000000) <= 2);

        // No lifetime: no timer runs and the token counts as valid with an unknown expiry.
        rig.auth.clearToken();
        QVERIFY(!rig.expiry->isActive());
        rig.auth.authenticateWithPassword("K", "p", "1", "totp");
        QVERIFY(rig.ok.wait(5000));
        QVERIFY(!rig.expiry->isActive());
        QVERIFY(rig.auth.isTokenValid());
        QCOMPARE(rig.auth.secondsUntilExpiry(), -1);

        // When the timer fires the token is gone (started at once here rather than waiting a second).
        QSignalSpy expired(&rig.auth, &TradeJiniAuth::tokenExpired);
        rig.auth.authenticateWithPassword("K", "p", "1", "totp");
        QVERIFY(rig.ok.wait(5000));
        rig.expiry->start(0);
        QVERIFY(expired.wait(5000));
        QVERIFY(rig.auth.getAccessToken().isEmpty());
        QVERIFY(!rig.auth.isTokenValid());
        QCOMPARE(rig.auth.secondsUntilExpiry(), -1);
    }
    void authorizationUrl()
    {
        TradeJiniAuth auth;
        auth.setBaseUrl("https://host/v2");
        QSignalSpy ready(&auth, &TradeJiniAuth::authorizationUrlReady);
        auth.startOAuthFlow("client", "secret", "http://127.0.0.1:8080/cb");
        QCOMPARE(ready.count(), 1);
        QCOMPARE(ready.at(0).at(0).toString(),
                 QString("https://host/v2/api-gw/oauth/authorize?client_id=client&redirect_uri=http://127.0.0.1:8080/cb"
                         "&response_type=code&scope=orders"));
    }
};

QTEST_GUILESS_MAIN(TestTradeJiniAuth)
#include "tst_tradejiniauth.moc"
