// Browser logins: redirects that carry no usable code, one redirect per login attempt (a spare
// connection or a refresh cannot log in again), and refused exchanges reported with the broker's
// own message.
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"
#include "support/LoopbackLogins.h"

#include <QTcpSocket>
#include <memory>

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
    void oneRedirectPerAttempt_data();
    void oneRedirectPerAttempt();
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

namespace {

// A spy on the login's signal of that name, whatever its arguments.
std::unique_ptr<QSignalSpy> spyOn(QObject* login, const char* name)
{
    const QMetaObject* mo = login->metaObject();
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() == QMetaMethod::Signal && m.name() == name)
            return std::make_unique<QSignalSpy>(login, ("2" + m.methodSignature()).constData());
    }
    return nullptr;
}

LoopbackRedirectServer* listenerOf(QObject* login)
{
    return login->findChild<LoopbackRedirectServer*>();
}

}  // namespace

void TestBrowserLogins::oneRedirectPerAttempt_data()
{
    QTest::addColumn<QString>("broker");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("success");
    const QList<std::tuple<const char*, const char*, const char*>> logins{
        {"Zerodha", "/?request_token=RT&status=success", "/?request_token=RT&status=cancelled"},
        {"FlatTrade", "/?code=RC", "/?client=C1"},
        {"Upstox", "/?code=C", "/?error=access_denied"},
        {"AngelOne", "/?auth_token=A&feed_token=F", "/?auth_token=A"},
    };
    for (const auto& [name, ok, bad] : logins) {
        QTest::addRow("%s success", name) << QString(name) << QByteArray(ok) << true;
        QTest::addRow("%s failure", name) << QString(name) << QByteArray(bad) << false;
    }
}

void TestBrowserLogins::oneRedirectPerAttempt()
{
    QFETCH(QString, broker);
    QFETCH(QByteArray, target);
    QFETCH(bool, success);
    HttpTestServer http;
    QVERIFY(http.listen());
    http.setReply("POST", "/trade/apitoken", HttpTestServer::Reply::json(R"({"token":"T","client":"C"})"));
    http.setReply("POST", "/v2/login/authorization/token", HttpTestServer::Reply::json(R"({"access_token":"T"})"));
    http.setReply("POST", "/rest/auth/angelbroking/jwt/v1/generateTokens",
                  HttpTestServer::Reply::json(R"({"status":true,"data":{"jwtToken":"J","refreshToken":"R"}})"));
    std::unique_ptr<QObject> login;
    if (broker == "Zerodha") {
        auto* z = new ZerodhaAuth;
        login.reset(z);
        pointLoginAt(z, http.baseUrl());
        z->startAuthentication("KEY", QString());
    } else if (broker == "FlatTrade") {
        auto* f = new FlatTradeAuth;
        login.reset(f);
        pointLoginAt(f, http.baseUrl());
        f->setApiKey("K");
        f->startAuthentication();
        QCOMPARE(QUrlQuery(opened.value(0)).queryItemValue("app_key"), QString("K"));
    } else if (broker == "Upstox") {
        auto* u = new UpstoxAuth;
        login.reset(u);
        pointLoginAt(u, http.baseUrl());
        u->setCallbackPort(BrowserStandIn::freePort());
        u->startAuthentication("KEY", "SEC", "http://127.0.0.1");
    } else {
        auto* a = new AngelOneAuth;
        login.reset(a);
        pointLoginAt(a, http.baseUrl());
        a->setPublisherLoginUrl(http.baseUrl());
        a->setLocalPort(BrowserStandIn::freePort());
        a->startPublisherLogin("KEY", QString(), "live");
    }
    QVERIFY(listenerOf(login.get()) && listenerOf(login.get())->isListening());
    const quint16 port = listenerOf(login.get())->port();
    const auto ok = spyOn(login.get(), "authenticationSuccessful");
    const auto failed = spyOn(login.get(), "authenticationFailed");

    // The browser holds a spare connection from before the redirect.
    QTcpSocket spare;
    spare.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(spare.waitForConnected(5000));
    QVERIFY(BrowserStandIn::acceptedEnd(login.get(), spare));
    QVERIFY(!BrowserStandIn::request(port, "GET " + target + " HTTP/1.1\r\n\r\n").isEmpty());
    // The redirect ends the attempt at once, before any token exchange has come back.
    QVERIFY(!listenerOf(login.get()) || !listenerOf(login.get())->isListening());
    if (success)
        QTRY_COMPARE_WITH_TIMEOUT(ok->count(), 1, 5000);
    else
        QCOMPARE(failed->count(), 1);
    const int okBefore = ok->count();
    const int failedBefore = failed->count();
    const auto posts = [&http] {
        int n = 0;
        for (const HttpTestServer::Request& r : http.requests())
            n += r.method == "POST";
        return n;
    };
    const int exchanges = posts();

    // The redirect again on the spare connection, then a refresh: a neutral page or no
    // connection at all, and nothing reaches the login.
    spare.write("GET " + target + " HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(spare.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(spare.readAll(), LoopbackRedirectServer::finishedPage());
    const QByteArray refresh = BrowserStandIn::request(port, "GET " + target + " HTTP/1.1\r\n\r\n");
    QVERIFY2(refresh == "no connection" || refresh == LoopbackRedirectServer::finishedPage(), refresh.constData());
    QCOMPARE(ok->count(), okBefore);
    QCOMPARE(failed->count(), failedBefore);
    QCOMPARE(posts(), exchanges);
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
