// AngelOne logins against loopback peers: password login with profile check, its failures,
// secrets kept out of the log, and the publisher login's redirect listener and token exchange.
#include "brokers/angelone/AngelOneAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(HttpTestServer::Reply)

namespace {

const QString kLoginPath = "/rest/auth/angelbroking/user/v1/loginByPassword";
const QString kProfilePath = "/rest/secure/angelbroking/user/v1/getProfile";
const QString kGeneratePath = "/rest/auth/angelbroking/jwt/v1/generateTokens";

const QByteArray kLoginOk =
    R"({"status":true,"message":"SUCCESS","data":{"jwtToken":"JWT-SECRET-1","refreshToken":"REFRESH-SECRET-1","feedToken":"FEED-SECRET-1"}})";
const QByteArray kProfileOk = R"({"status":true,"message":"SUCCESS","data":{"clientcode":"C123"}})";

// A login object pointed at a loopback SmartAPI host, with its redirect listener on a free port.
struct Peer {
    HttpTestServer http;
    AngelOneAuth auth;
    quint16 port = 0;
    Peer()
    {
        http.listen();
        auth.setBaseUrl(http.baseUrl());
        auth.setPublisherLoginUrl(http.baseUrl());
        port = BrowserStandIn::freePort();
        auth.setLocalPort(port);
    }
};

}  // namespace

class TestAngelOneAuth : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl& url) { opened << url; }

private:
    QList<QUrl> opened;

private slots:
    void init()
    {
        opened.clear();
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        QDesktopServices::setUrlHandler("https", this, "openUrl");
    }
    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }
    void passwordLoginConfirmedByProfile()
    {
        Peer peer;
        HttpTestServer& http = peer.http;
        AngelOneAuth& auth = peer.auth;
        http.setReply("POST", kLoginPath, HttpTestServer::Reply::json(kLoginOk));
        http.setReply("GET", kProfilePath, HttpTestServer::Reply::json(kProfileOk));
        QSignalSpy ok(&auth, &AngelOneAuth::authenticationSuccessful);
        QSignalSpy failed(&auth, &AngelOneAuth::authenticationFailed);
        LogCapture log;
        auth.login("KEY", "C123", "p@ss+word", "123456", "live");
        QVERIFY(ok.wait(5000));
        QCOMPARE(ok.first(), (QList<QVariant>{"JWT-SECRET-1", "REFRESH-SECRET-1", "FEED-SECRET-1"}));
        QCOMPARE(failed.count(), 0);
        QCOMPARE(auth.getJwtToken(), QString("JWT-SECRET-1"));
        QCOMPARE(auth.getFeedToken(), QString("FEED-SECRET-1"));
        QVERIFY(auth.isAuthenticated());

        QCOMPARE(http.requestCount(), 2);
        const HttpTestServer::Request login = http.requests().at(0);
        QCOMPARE(login.header("X-PrivateKey"), QByteArray("KEY"));
        QCOMPARE(login.header("X-UserType"), QByteArray("USER"));
        QCOMPARE(login.header("X-MACAddress"), QByteArray("00:00:00:00:00:00"));
        QVERIFY(login.header("Authorization").isEmpty());
        QCOMPARE(login.body, QByteArray("{\n    \"clientcode\": \"C123\",\n    \"password\": \"p@ss+word\",\n"
                                        "    \"state\": \"live\",\n    \"totp\": \"123456\"\n}\n"));
        const HttpTestServer::Request profile = http.requests().at(1);
        QCOMPARE(profile.method, QByteArray("GET"));
        QCOMPARE(profile.header("Authorization"), QByteArray("Bearer JWT-SECRET-1"));

        // Neither the password nor any token reaches the log.
        for (const QString& m : log.messages()) {
            QVERIFY2(!m.contains("SECRET") && !m.contains("p@ss"), qPrintable(m));
        }
    }
    void loginFailures_data()
    {
        QTest::addColumn<HttpTestServer::Reply>("reply");
        QTest::addColumn<QString>("error");
        QTest::newRow("status false") << HttpTestServer::Reply::json(R"({"status":false,"message":"Invalid totp"})")
                                      << "Invalid totp";
        QTest::newRow("status as text") << HttpTestServer::Reply::json(R"({"status":"true","data":{"jwtToken":"J"}})")
                                        << "Unknown error during login";
        QTest::newRow("no data") << HttpTestServer::Reply::json(R"({"status":true,"message":"odd"})") << "odd";
        QTest::newRow("empty JWT") << HttpTestServer::Reply::json(R"({"status":true,"data":{"feedToken":"F"}})")
                                   << "JWT token not received from server";
        QTest::newRow("not JSON") << HttpTestServer::Reply::json("<html>") << "Unknown error during login";
        QTest::newRow("HTTP 401") << HttpTestServer::Reply::json(R"({"status":false})", 401) << "";
    }
    void loginFailures()
    {
        QFETCH(HttpTestServer::Reply, reply);
        QFETCH(QString, error);
        Peer peer;
        HttpTestServer& http = peer.http;
        AngelOneAuth& auth = peer.auth;
        http.setReply("POST", kLoginPath, reply);
        QSignalSpy ok(&auth, &AngelOneAuth::authenticationSuccessful);
        QSignalSpy failed(&auth, &AngelOneAuth::authenticationFailed);
        auth.login("KEY", "C123", "pw", "123456", "live");
        QVERIFY(failed.wait(5000));
        if (!error.isEmpty())
            QCOMPARE(failed.first().first().toString(), error);
        else
            QVERIFY(!failed.first().first().toString().isEmpty());
        QCOMPARE(ok.count(), 0);
        QCOMPARE(http.requestsTo(kProfilePath).size(), 0);
    }
    void failedProfileKeepsTokens()
    {
        Peer peer;
        HttpTestServer& http = peer.http;
        AngelOneAuth& auth = peer.auth;
        http.setReply("POST", kLoginPath, HttpTestServer::Reply::json(kLoginOk));
        http.setReply("GET", kProfilePath, HttpTestServer::Reply::json(R"({"status":false})"));
        QSignalSpy failed(&auth, &AngelOneAuth::authenticationFailed);
        auth.login("KEY", "C123", "pw", "123456", "live");
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().first().toString(), QString("Profile validation failed"));
        QCOMPARE(auth.getJwtToken(), QString("JWT-SECRET-1"));
    }
    void validateToken()
    {
        Peer peer;
        HttpTestServer& http = peer.http;
        AngelOneAuth& auth = peer.auth;
        http.setReply("POST", kLoginPath, HttpTestServer::Reply::json(kLoginOk));
        http.setReply("GET", kProfilePath, HttpTestServer::Reply::json(kProfileOk));
        QSignalSpy ok(&auth, &AngelOneAuth::authenticationSuccessful);
        QSignalSpy failed(&auth, &AngelOneAuth::authenticationFailed);
        QVERIFY(!auth.validateToken());
        auth.fetchProfile();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().toString(), QString("JWT token not set"));
        QCOMPARE(http.requestCount(), 0);

        auth.login("KEY", "C123", "pw", "123456", "live");
        QVERIFY(ok.wait(5000));
        QVERIFY(auth.validateToken());
        QVERIFY(ok.wait(5000));
        QCOMPARE(http.requestsTo(kProfilePath).size(), 2);
    }
    void publisherLogin_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::newRow("auth first") << QByteArray("auth_token=AUTH%2Bx&feed_token=FEED1");
        QTest::newRow("feed first") << QByteArray("state=live&feed_token=FEED1&auth_token=AUTH%2Bx");
    }
    void publisherLogin()
    {
        QFETCH(QByteArray, query);
        Peer peer;
        HttpTestServer& http = peer.http;
        AngelOneAuth& auth = peer.auth;
        http.setReply("POST", kGeneratePath, HttpTestServer::Reply::json(
            R"({"status":true,"data":{"jwtToken":"JWT2","refreshToken":"REF2"}})"));
        const quint16 port = peer.port;
        QSignalSpy required(&auth, &AngelOneAuth::authenticationRequired);
        QSignalSpy ok(&auth, &AngelOneAuth::authenticationSuccessful);

        auth.startPublisherLogin("KEY1", "https://example.invalid/cb", "live");
        const QUrl loginUrl(http.baseUrl() + "/publisher-login?api_key=KEY1&state=live");
        QCOMPARE(required.count(), 1);
        QCOMPARE(required.first().first().toUrl(), loginUrl);
        QCOMPARE(opened, QList<QUrl>{loginUrl});
        QCOMPARE(auth.getRedirectUri(), QString("http://localhost:%1").arg(port));
        QVERIFY(auth.isLocalServerListening());

        const QByteArray answer = BrowserStandIn::request(port, {"GET /?" + query + " HTTP/1.1\r\nHost: localhost\r\n\r\n"});
        QCOMPARE(answer, QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h2>AngelOne "
                                    "Authentication Successful!</h2><p>You can close this window and return to the "
                                    "application.</p></body></html>"));
        QTRY_COMPARE_WITH_TIMEOUT(ok.count(), 1, 5000);  // may already have come while the page was read
        QCOMPARE(ok.first(), (QList<QVariant>{"JWT2", "REF2", "FEED1"}));
        QCOMPARE(http.requestsTo(kGeneratePath).size(), 1);
        const HttpTestServer::Request gen = http.requestsTo(kGeneratePath).first();
        QCOMPARE(QJsonDocument::fromJson(gen.body).object(), (QJsonObject{{"refreshToken", "AUTH%2Bx"}}));
        QCOMPARE(gen.header("X-PrivateKey"), QByteArray("KEY1"));
        QVERIFY(gen.header("Authorization").isEmpty());
        QVERIFY(!auth.isLocalServerListening());
    }
};

QTEST_GUILESS_MAIN(TestAngelOneAuth)
#include "tst_angeloneauth.moc"
