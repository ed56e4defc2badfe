// Zerodha, FlatTrade and Fyers logins: redirects that carry no usable code, and refused exchanges
// reported with the broker's own message.
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QtTest>

class TestBrowserLogins : public QObject {
    Q_OBJECT

public slots:
    void captureUrl(const QUrl& url) { opened.append(url); }

private slots:
    void init();
    void cleanup();
    void zerodhaRedirect_data();
    void zerodhaRedirect();
    void flatTradeRedirectWithoutCode();
    void flatTradeLoginThatCannotStart();
    void refusedExchangesReportTheBrokersMessage();

private:
    QList<QUrl> opened;
};

void TestBrowserLogins::init()
{
    opened.clear();
    QDesktopServices::setUrlHandler("https", this, "captureUrl");
    QDesktopServices::setUrlHandler("http", this, "captureUrl");
}

void TestBrowserLogins::cleanup()
{
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("http");
}

namespace {

QByteArray redirect(quint16 port, const QByteArray& target)
{
    return BrowserStandIn::request(port, {"GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
}

}  // namespace

void TestBrowserLogins::zerodhaRedirect_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("captured");
    QTest::newRow("success") << QByteArray("/?request_token=RT&action=login&status=success") << QByteArray("200") << true;
    QTest::newRow("cancelled") << QByteArray("/?request_token=RT&status=cancelled") << QByteArray("400") << false;
    QTest::newRow("no token") << QByteArray("/?action=login&status=success") << QByteArray("400") << false;
}

void TestBrowserLogins::zerodhaRedirect()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, captured);
    ZerodhaAuth auth;
    auth.setRedirectPorts({0});
    QSignalSpy ok(&auth, &ZerodhaAuth::authenticationSuccessful);
    QSignalSpy failed(&auth, &ZerodhaAuth::authenticationFailed);
    auth.startAuthentication("KEY", QString());
    QCOMPARE(opened.size(), 1);
    const quint16 port = quint16(auth.redirectPort());
    // A stray path is answered 404 and leaves the listener waiting for the real redirect.
    QVERIFY(redirect(port, "/other").startsWith("HTTP/1.1 404"));
    QVERIFY(auth.isListening());
    QFETCH(QByteArray, status);
    QVERIFY(redirect(port, target).startsWith("HTTP/1.1 " + status));
    QCOMPARE(ok.count(), captured ? 1 : 0);
    QCOMPARE(failed.count(), captured ? 0 : 1);
    if (captured)
        QCOMPARE(ok.first().first().toString(), QString("RT"));
    QVERIFY(!auth.isListening());
}

void TestBrowserLogins::flatTradeRedirectWithoutCode()
{
    FlatTradeAuth auth;
    auth.setRedirectPorts({0});
    QSignalSpy failed(&auth, &FlatTradeAuth::authenticationFailed);
    auth.setApiKey("K");
    auth.startAuthentication();
    QCOMPARE(QUrlQuery(opened.value(0)).queryItemValue("app_key"), QString("K"));
    QVERIFY(redirect(auth.redirectPort(), "/?client=C1").startsWith("HTTP/1.1 400"));
    QCOMPARE(failed.count(), 1);
}

void TestBrowserLogins::flatTradeLoginThatCannotStart()
{
    FlatTradeAuth auth;
    auth.setRedirectPorts({0});
    QSignalSpy failed(&auth, &FlatTradeAuth::authenticationFailed);
    QSignalSpy required(&auth, &FlatTradeAuth::authenticationRequired);
    auth.startAuthentication();
    QCOMPARE(failed.takeFirst().first().toString(), QString("API Key is empty"));
    QVERIFY(opened.isEmpty());
    QVERIFY(!auth.isListening());

    // No browser can be opened (the offscreen platform has none once the handlers are gone): the
    // listener must not stay behind waiting for a redirect that cannot come.
    cleanup();
    auth.setApiKey("K");
    auth.startAuthentication();
    QCOMPARE(failed.takeFirst().first().toString(), QString("Failed to open browser for authorization"));
    QVERIFY(!auth.isListening());
    QCOMPARE(required.count(), 0);
}

void TestBrowserLogins::refusedExchangesReportTheBrokersMessage()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.setReply("POST", "/session/token",
                    HttpTestServer::Reply::json(R"({"status":"error","message":"Token is invalid or has expired."})", 403));
    server.setReply("POST", "/api/v3/validate-authcode", HttpTestServer::Reply::json(R"({"s":"error","message":"invalid auth code"})", 400));
    server.setReply("POST", "/trade/apitoken", HttpTestServer::Reply::json(R"({"stat":"Not_Ok","emsg":"Invalid request code"})"));

    ZerodhaAuth zerodha;
    zerodha.setBaseUrl(server.baseUrl());
    QSignalSpy zFailed(&zerodha, &ZerodhaAuth::authenticationFailed);
    zerodha.exchangeRequestToken("RT", "K", "S");
    QVERIFY(zFailed.wait(10000));
    QCOMPARE(zFailed.first().first().toString(), QString("Token is invalid or has expired."));
    QVERIFY(!zerodha.isAuthenticated());

    FyersAuth fyers;
    fyers.setBaseUrl(server.baseUrl() + "/api/v3");
    QSignalSpy fFailed(&fyers, &FyersAuth::authenticationFailed);
    fyers.exchangeAuthCode("C", "ID", "SECRET");
    QVERIFY(fFailed.wait(10000));
    QCOMPARE(fFailed.first().first().toString(), QString("invalid auth code"));

    // A 200 answer without a token is a failure too, not a success with an empty token.
    FlatTradeAuth flat;
    flat.setTokenBaseUrl(server.baseUrl());
    QSignalSpy ftOk(&flat, &FlatTradeAuth::authenticationSuccessful);
    QSignalSpy ftFailed(&flat, &FlatTradeAuth::authenticationFailed);
    flat.exchangeCode("RC");
    QVERIFY(ftFailed.wait(10000));
    QCOMPARE(ftFailed.first().first().toString(), QString("Invalid request code"));
    QCOMPARE(ftOk.count(), 0);
}

QTEST_MAIN(TestBrowserLogins)
#include "tst_browserlogins.moc"
