// Dhan consent login against a loopback HTTP peer and a browser stand-in: consent request,
// browser address, the redirect caught on 127.0.0.1, the consent exchange, and every failure.
#include "brokers/dhan/DhanAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray kConsentOk = R"({"status":"success","consentAppId":"CA-77","consentStatus":"GENERATED"})";
const QByteArray kTokenOk = R"({"accessToken":"AT-1","dhanClientId":"1100","dhanClientName":"A TRADER",)"
                            R"("dhanClientUcc":"U1","givenPowerOfAttorney":"yes","expiryTime":"2025-03-15T09:00:00"})";

}  // namespace

class TestDhanAuth : public QObject {
    Q_OBJECT
public slots:
    void openBrowser(const QUrl& url) { opened << url; }

private:
    QList<QUrl> opened;

    struct Login {
        HttpTestServer http;
        DhanAuth auth;
        QSignalSpy ok{&auth, &DhanAuth::authenticationSuccessful};
        QSignalSpy failed{&auth, &DhanAuth::authenticationFailed};
        Login()
        {
            QVERIFY(http.listen());
            auth.setAuthBaseUrl(http.baseUrl());
            auth.setApiBaseUrl(http.baseUrl());
            auth.setLocalPort(BrowserStandIn::freePort());
        }
        void start(const QString& key = "APP-ID-1234567890", const QString& secret = "S3CRET-VALUE")
        {
            auth.startAuthentication(key, secret, "1100", "http://127.0.0.1:8767");
        }
    };

private slots:
    void init()
    {
        opened.clear();
        QDesktopServices::setUrlHandler("http", this, "openBrowser");
        QDesktopServices::setUrlHandler("https", this, "openBrowser");
    }
    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }
    void consentLoginEndToEnd()
    {
        Login l;
        LogCapture log(false);
        l.http.setReply("POST", "/app/generate-consent", HttpTestServer::Reply::json(kConsentOk));
        l.http.setReply("GET", "/app/consumeApp-consent", HttpTestServer::Reply::json(kTokenOk));
        QSignalSpy required(&l.auth, &DhanAuth::authenticationRequired);
        l.start();
        QVERIFY(l.auth.isListening());
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 5000);
        QCOMPARE(opened.first(), QUrl(l.http.baseUrl() + "/login/consentApp-login?consentAppId=CA-77"));
        QCOMPARE(required.count(), 1);
        const HttpTestServer::Request consent = l.http.requestsTo("/app/generate-consent").value(0);
        QCOMPARE(consent.method, QByteArray("POST"));
        QCOMPARE(consent.query.queryItemValue("client_id"), QStringLiteral("1100"));
        QCOMPARE(consent.header("app_id"), QByteArray("APP-ID-1234567890"));
        QCOMPARE(consent.header("app_secret"), QByteArray("S3CRET-VALUE"));

        // The browser's request arrives in chunks, the cut inside the token id.
        const QByteArray page = BrowserStandIn::request(&l.auth, l.auth.getLocalPort(),
                                         {"GET /?tokenId=tk-12", "345_X&state=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
        QVERIFY(page.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html>"));
        QCOMPARE(page.size(), 383);
        QVERIFY(page.contains("\xE2\x9C\x93 Authentication Successful!"));
        QVERIFY(!l.auth.isListening());

        // The exchange may finish while the browser stand-in is still reading the page.
        QTRY_COMPARE_WITH_TIMEOUT(l.ok.count(), 1, 5000);
        QCOMPARE(l.ok.first().at(0).toString(), QStringLiteral("AT-1"));
        QCOMPARE(l.ok.first().at(1).toString(), QStringLiteral("1100"));
        const HttpTestServer::Request exchange = l.http.requestsTo("/app/consumeApp-consent").value(0);
        QCOMPARE(exchange.query.queryItemValue("tokenId"), QStringLiteral("tk-12345_X"));
        QCOMPARE(exchange.header("app_secret"), QByteArray("S3CRET-VALUE"));
        QVERIFY(l.auth.isAuthenticated());
        QCOMPARE(l.failed.count(), 0);
        QCOMPARE(l.ok.count(), 1);
        QVERIFY(log.contains("[DhanAuth] Power of Attorney: false"));
        // The secret stays out of the log; the app id shows only its start.
        QVERIFY(!log.contains("S3CRET"));
        QVERIFY(!log.contains("APP-ID-1234567890"));
        // Nor do the consent id and the one-time token id, at any level.
        QVERIFY(!log.contains("CA-77"));
        QVERIFY(!log.contains("tk-12345"));
        QVERIFY(log.contains("APP-ID-123..."));
    }
    void consentFailures_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("inner");  // the text inside the wrapping; empty: the reply's error text
        QTest::newRow("http error with message") << 401 << QByteArray(R"({"message":"Invalid app id"})") << "Invalid app id";
        QTest::newRow("http error without body") << 500 << QByteArray("oops") << "";
        QTest::newRow("status in other case") << 200 << QByteArray(R"({"status":"Success"})") << "Generate consent failed";
        QTest::newRow("status failed with message") << 200 << QByteArray(R"({"status":"failed","message":"Bad client"})")
                                                    << "Bad client";
        QTest::newRow("not json") << 200 << QByteArray("<html>") << "Generate consent failed";
    }
    void consentFailures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, inner);
        Login l;
        l.http.setReply("POST", "/app/generate-consent", HttpTestServer::Reply::json(body, status));
        l.start();
        QVERIFY(l.failed.wait(5000));
        const QString error = l.failed.first().at(0).toString();
        QVERIFY(error.startsWith("Failed to authenticate with Dhan:\n\n"));
        QVERIFY(error.endsWith("\n\nPlease check your API credentials and try again."));
        if (!inner.isEmpty())
            QCOMPARE(error.mid(35).section("\n\n", 0, 0), inner);
        QCOMPARE(opened.size(), 0);
        QVERIFY(!l.auth.isListening());  // no redirect can come without a consent
    }
    void exchangeFailures_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty token is no login") << 200 << QByteArray(R"({"accessToken":""})") << "Failed to get access token";
        QTest::newRow("token of another type") << 200 << QByteArray(R"({"accessToken":5,"message":"odd"})") << "odd";
        QTest::newRow("message only") << 200 << QByteArray(R"({"message":"Consent expired"})") << "Consent expired";
        QTest::newRow("refused") << 400 << QByteArray(R"({"message":"Invalid tokenId"})") << QString();
        QTest::newRow("token id quoted back") << 200 << QByteArray(R"({"message":"Bad tokenId tk-once-77"})")
                                              << "Bad tokenId ***";
    }
    void exchangeFailures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        Login l;
        LogCapture log(false);
        l.http.setReply("GET", "/app/consumeApp-consent", HttpTestServer::Reply::json(body, status));
        l.auth.setApiKey("K");
        l.auth.setApiSecret("S");
        l.auth.consumeConsent("tk-once-77");
        QVERIFY(l.failed.wait(5000));
        const QString shown = l.failed.first().at(0).toString();
        if (!error.isNull())
            QCOMPARE(shown, error);
        // The one-time token id reaches neither the box nor the log.
        QVERIFY2(!shown.isEmpty() && !shown.contains("tk-once"), qPrintable(shown));
        QVERIFY(!log.contains("tk-once"));
        QCOMPARE(l.ok.count(), 0);
        QVERIFY(!l.auth.isAuthenticated());
        QVERIFY(l.auth.getAccessToken().isEmpty());

        DhanAuth bare;
        QSignalSpy bareFailed(&bare, &DhanAuth::authenticationFailed);
        bare.consumeConsent("tk");
        QCOMPARE(bareFailed.value(0).value(0).toString(), QStringLiteral("API key or secret not set"));
    }
    void profileAndRenewal()
    {
        Login l;
        QSignalSpy profile(&l.auth, &DhanAuth::profileReceived);
        l.auth.setAccessToken("AT", "1100");
        l.ok.clear();
        l.http.setReply("GET", "/v2/profile", HttpTestServer::Reply::json(R"({"dhanClientId":"2200","dataPlan":"Active"})"));
        QVERIFY(l.auth.validateToken());
        QVERIFY(profile.wait(5000));
        QCOMPARE(l.ok.count(), 1);
        QCOMPARE(l.ok.first().at(1).toString(), QStringLiteral("2200"));
        QCOMPARE(l.http.lastRequest().header("access-token"), QByteArray("AT"));

        l.http.setReply("GET", "/v2/profile", HttpTestServer::Reply::json(R"({"status":"x"})"));
        l.auth.fetchProfile();
        QVERIFY(l.failed.wait(5000));
        QCOMPARE(l.failed.last().at(0).toString(), QStringLiteral("Invalid profile response"));

        l.http.setReply("GET", "/v2/RenewToken", HttpTestServer::Reply::json(R"({"accessToken":""})"));
        l.auth.refreshToken();
        QVERIFY(l.failed.wait(5000));
        QCOMPARE(l.failed.last().at(0).toString(), QStringLiteral("Token refresh failed"));
        QCOMPARE(l.auth.getAccessToken(), QStringLiteral("AT"));

        l.http.setReply("GET", "/v2/RenewToken", HttpTestServer::Reply::json(R"({"accessToken":"AT-2","expiryTime":"t"})"));
        l.auth.refreshToken();
        QVERIFY(l.ok.wait(5000));
        QCOMPARE(l.ok.last().at(0).toString(), QStringLiteral("AT-2"));
        QCOMPARE(l.http.lastRequest().header("dhanclientid"), QByteArray("2200"));
    }
};

QTEST_GUILESS_MAIN(TestDhanAuth)
#include "tst_dhanauth.moc"
