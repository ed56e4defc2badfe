// Browser logins: redirects that carry no usable code, one redirect per login attempt (a spare
// connection or a refresh cannot log in again), a second attempt served on the first one's idle
// connections and port, no browser without a listener, and refused exchanges reported with the
// broker's own message.
#include "brokers/flattrade/FlatTradeAuth.h"
#include "brokers/fyers/FyersAuth.h"
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/zerodha/ZerodhaAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"
#include "support/LoopbackLogins.h"

#include <memory>

#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QByteArray redirect(quint16 port, const QByteArray& target)
{
    return BrowserStandIn::request(port, {"GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
}

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

bool listening(QObject* login)
{
    return listenerOf(login) && listenerOf(login)->isListening();
}

const QStringList kBrowserLogins{"Zerodha", "FlatTrade", "Upstox", "Dhan", "AngelOne"};

// The redirect that logs in, and the one of a login the user refused.
QPair<QByteArray, QByteArray> redirectsOf(const QString& broker)
{
    if (broker == "Zerodha")
        return {"/?request_token=RT&status=success", "/?request_token=RT&status=cancelled"};
    if (broker == "FlatTrade")
        return {"/?code=RC", "/?client=C1"};
    if (broker == "Upstox")
        return {"/?code=C", "/?error=access_denied"};
    if (broker == "Dhan")
        return {"/?tokenId=TK", "/?error=access_denied"};
    return {"/?auth_token=A&feed_token=F", "/?auth_token=A"};
}

// Token and consent endpoints of every browser login on one loopback host.
void serveLogins(HttpTestServer& http)
{
    QVERIFY(http.listen());
    http.setReply("POST", "/trade/apitoken", HttpTestServer::Reply::json(R"({"token":"T","client":"C"})"));
    http.setReply("POST", "/v2/login/authorization/token", HttpTestServer::Reply::json(R"({"access_token":"T"})"));
    http.setReply("POST", "/rest/auth/angelbroking/jwt/v1/generateTokens",
                  HttpTestServer::Reply::json(R"({"status":true,"data":{"jwtToken":"J","refreshToken":"R"}})"));
    http.setReply("POST", "/app/generate-consent", HttpTestServer::Reply::json(R"({"status":"success","consentAppId":"CA"})"));
    http.setReply("GET", "/app/consumeApp-consent", HttpTestServer::Reply::json(R"({"accessToken":"T","dhanClientId":"1"})"));
}

// A browser login of that broker against `http`, its redirect listener on `port`.
std::unique_ptr<QObject> makeLogin(const QString& broker, const HttpTestServer& http, quint16 port)
{
    std::unique_ptr<QObject> login;
    if (broker == "Zerodha")
        login = std::make_unique<ZerodhaAuth>();
    else if (broker == "FlatTrade")
        login = std::make_unique<FlatTradeAuth>();
    else if (broker == "Upstox")
        login = std::make_unique<UpstoxAuth>();
    else if (broker == "Dhan")
        login = std::make_unique<DhanAuth>();
    else
        login = std::make_unique<AngelOneAuth>();
    pointLoginAt(login.get(), http.baseUrl(), port);
    return login;
}

void startLogin(QObject* login)
{
    if (auto* z = qobject_cast<ZerodhaAuth*>(login)) {
        z->startAuthentication("KEY", QString());
    } else if (auto* f = qobject_cast<FlatTradeAuth*>(login)) {
        f->setApiKey("K");
        f->startAuthentication();
    } else if (auto* u = qobject_cast<UpstoxAuth*>(login)) {
        u->startAuthentication("KEY", "SEC", "http://127.0.0.1");
    } else if (auto* d = qobject_cast<DhanAuth*>(login)) {
        d->startAuthentication("KEY", "SEC", "1", "http://127.0.0.1:8767");
    } else {
        qobject_cast<AngelOneAuth*>(login)->startPublisherLogin("KEY", QString(), "live");
    }
}

// Writes on a connection the listener holds and returns its answer once it has closed it.
QByteArray finishOn(QTcpSocket& browser, const QByteArray& bytes)
{
    QSignalSpy closed(&browser, &QTcpSocket::disconnected);
    browser.write(bytes);
    browser.flush();
    if (closed.isEmpty() && browser.state() != QAbstractSocket::UnconnectedState)
        closed.wait(5000);
    return browser.readAll();
}

}  // namespace

class TestBrowserLogins : public QObject {
    Q_OBJECT

public slots:
    void captureUrl(const QUrl& url) { opened.append(url); }

private slots:
    void init()
    {
        opened.clear();
        QDesktopServices::setUrlHandler("https", this, "captureUrl");
        QDesktopServices::setUrlHandler("http", this, "captureUrl");
    }
    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
    }
    void oneRedirectPerAttempt_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<bool>("success");
        for (const QString& name : kBrowserLogins) {
            QTest::addRow("%s success", qPrintable(name)) << name << redirectsOf(name).first << true;
            QTest::addRow("%s refused", qPrintable(name)) << name << redirectsOf(name).second << false;
        }
    }
    void oneRedirectPerAttempt()
    {
        QFETCH(QString, broker);
        QFETCH(QByteArray, target);
        QFETCH(bool, success);
        HttpTestServer http;
        serveLogins(http);
        const std::unique_ptr<QObject> login = makeLogin(broker, http, BrowserStandIn::freePort());
        startLogin(login.get());
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 5000);
        if (broker == "FlatTrade")
            QCOMPARE(QUrlQuery(opened.value(0)).queryItemValue("app_key"), QString("K"));
        QVERIFY(listening(login.get()));
        const quint16 port = listenerOf(login.get())->port();
        const auto ok = spyOn(login.get(), "authenticationSuccessful");
        const auto failed = spyOn(login.get(), "authenticationFailed");

        // The browser holds a spare connection from before the redirect.
        QTcpSocket spare;
        spare.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(spare.waitForConnected(5000));
        QVERIFY(BrowserStandIn::acceptedEnd(login.get(), spare));
        if (broker == "Zerodha") {
            // A stray path is answered 404 and leaves the listener waiting for the real redirect.
            QVERIFY(redirect(port, "/other").startsWith("HTTP/1.1 404"));
            QVERIFY(listening(login.get()));
        }
        QVERIFY(redirect(port, target).startsWith(success ? "HTTP/1.1 200" : "HTTP/1.1 400"));
        // The redirect, a refused login's included, ends the attempt at once, before any token
        // exchange has come back.
        QVERIFY(!listening(login.get()));
        if (success) {
            QTRY_COMPARE_WITH_TIMEOUT(ok->count(), 1, 5000);
            if (broker == "Zerodha")
                QCOMPARE(ok->first().first().toString(), QString("RT"));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(failed->count(), 1, 5000);
        }
        const int okBefore = ok->count();
        const int failedBefore = failed->count();
        // Upstox asks for the profile once the token is in, on its own time: only the requests
        // that complete a login count here.
        const auto loginRequests = [&http] { return http.requestCount() - http.requestsTo("/v2/user/profile").size(); };
        const int exchanges = loginRequests();

        // The redirect again on the spare connection, then a refresh: a neutral page or no
        // connection at all, and nothing reaches the login.
        QCOMPARE(finishOn(spare, "GET " + target + " HTTP/1.1\r\n\r\n"), LoopbackRedirectServer::finishedPage());
        const QByteArray refresh = BrowserStandIn::request(port, "GET " + target + " HTTP/1.1\r\n\r\n");
        QVERIFY2(refresh == "no connection" || refresh == LoopbackRedirectServer::finishedPage(), refresh.constData());
        QCOMPARE(ok->count(), okBefore);
        QCOMPARE(failed->count(), failedBefore);
        QCOMPARE(loginRequests(), exchanges);
    }
    void secondAttempt_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("variant");
        for (const QString& name : kBrowserLogins) {
            // The browser sends the new attempt's redirect on a connection it opened in the first.
            QTest::addRow("%s idle connection", qPrintable(name)) << name << "idle";
            // What a connection sent during the first attempt stays the first attempt's.
            QTest::addRow("%s request begun before", qPrintable(name)) << name << "begun";
            // The main window makes a new login object per click.
            QTest::addRow("%s new login object", qPrintable(name)) << name << "new object";
        }
    }
    void secondAttempt()
    {
        QFETCH(QString, broker);
        QFETCH(QString, variant);
        HttpTestServer http;
        serveLogins(http);
        const quint16 port = BrowserStandIn::freePort();
        const std::unique_ptr<QObject> first = makeLogin(broker, http, port);
        startLogin(first.get());
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 5000);
        QTcpSocket idle;
        idle.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(idle.waitForConnected(5000));
        QVERIFY(BrowserStandIn::acceptedEnd(first.get(), idle));
        QTcpSocket begun;
        if (variant == "begun") {
            begun.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(begun.waitForConnected(5000));
            QPointer<QTcpSocket> far = BrowserStandIn::acceptedEnd(first.get(), begun);
            QVERIFY(far);
            QSignalSpy read(far.data(), &QIODevice::readyRead);
            begun.write("GET " + redirectsOf(broker).first);
            QVERIFY(begun.waitForBytesWritten(5000));
            QVERIFY(read.wait(5000));
        }
        const auto firstOk = spyOn(first.get(), "authenticationSuccessful");
        const auto firstFailed = spyOn(first.get(), "authenticationFailed");

        std::unique_ptr<QObject> second;
        QObject* login = first.get();
        if (variant == "new object") {
            second = makeLogin(broker, http, port);
            login = second.get();
        }
        const auto ok = spyOn(login, "authenticationSuccessful");
        const auto failed = spyOn(login, "authenticationFailed");
        startLogin(login);
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 2, 5000);
        QVERIFY(listening(login));
        QCOMPARE(listenerOf(login)->port(), port);
        if (variant == "begun") {
            QCOMPARE(finishOn(begun, " HTTP/1.1\r\n\r\n"), LoopbackRedirectServer::finishedPage());
            QVERIFY(listening(login));
        }
        const QByteArray page = finishOn(idle, "GET " + redirectsOf(broker).first + " HTTP/1.1\r\n\r\n");
        QVERIFY2(page.startsWith("HTTP/1.1 200") && page != LoopbackRedirectServer::finishedPage(), page.constData());
        QTRY_COMPARE_WITH_TIMEOUT(ok->count(), 1, 5000);
        QCOMPARE(failed->count(), 0);
        QVERIFY(!listening(login));
        if (second)
            QCOMPARE(firstOk->count() + firstFailed->count(), 0);
    }
    void redirectWithoutItsCode_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("page");  // a part of the 400 page the browser gets
        QTest::addColumn<QString>("error");
        const auto row = [](const char* broker, const char* name, const QByteArray& request) {
            static const QMap<QString, QPair<QByteArray, QString>> outcome{
                {"Dhan", {"\xE2\x9C\x97 Authentication Failed", "No tokenId received from Dhan OAuth redirect"}},
                {"Upstox", {"<h2>Authorization failed</h2><p>No authorization code received.</p></body></html>",
                            "No authorization code received"}},
                {"AngelOne", {"<p>Could not extract authentication tokens.</p></body></html>",
                              "Failed to extract tokens from redirect"}}};
            QTest::addRow("%s %s", broker, name) << QString(broker) << request + " HTTP/1.1\r\n\r\n"
                                                 << outcome[broker].first << outcome[broker].second;
        };
        // Only the request line counts: a code in a header is not the redirect.
        row("Dhan", "code only in a header", "GET / HTTP/1.1\r\nReferer: GET /?tokenId=abc");
        row("Dhan", "other path", "GET /robots.txt");
        row("Dhan", "code not first", "GET /?code=1&tokenId=abc");
        row("Dhan", "code under a path", "GET /cb?tokenId=abc");
        row("Dhan", "empty code", "GET /?tokenId=");
        row("Upstox", "code only in a header", "GET / HTTP/1.1\r\nReferer: http://127.0.0.1/?code=FROMHEADER");
        row("Upstox", "empty code", "GET /?code=&state=1");
        row("Upstox", "look-alike name", "GET /?error_code=E42&x=1");
        row("AngelOne", "code only in a header", "GET /?auth_token=A1 HTTP/1.1\r\nReferer: http://x/?feed_token=F");
        row("AngelOne", "look-alike name", "GET /?x_auth_token=A1&feed_token=F");
    }
    void redirectWithoutItsCode()
    {
        QFETCH(QString, broker);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, page);
        HttpTestServer http;
        serveLogins(http);
        const std::unique_ptr<QObject> login = makeLogin(broker, http, BrowserStandIn::freePort());
        const auto ok = spyOn(login.get(), "authenticationSuccessful");
        const auto failed = spyOn(login.get(), "authenticationFailed");
        startLogin(login.get());
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 5000);
        const int exchanges = http.requestCount();
        const QByteArray answer = BrowserStandIn::request(listenerOf(login.get())->port(), {request});
        QVERIFY2(answer.startsWith("HTTP/1.1 400 Bad Request\r\n") && answer.contains(page), answer.constData());
        QTRY_COMPARE_WITH_TIMEOUT(failed->count(), 1, 5000);
        QTEST(failed->first().first().toString(), "error");
        // The redirect came without its code: the attempt is over, with no token exchange.
        QVERIFY(!listening(login.get()));
        QCOMPARE(http.requestCount(), exchanges);
        QCOMPARE(ok->count(), 0);
    }
    void portTaken_data()
    {
        QTest::addColumn<QString>("broker");
        for (const QString& name : kBrowserLogins)
            QTest::newRow(qPrintable(name)) << name;
    }
    void portTaken()
    {
        QFETCH(QString, broker);
        HttpTestServer http;
        serveLogins(http);
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        const std::unique_ptr<QObject> login = makeLogin(broker, http, squatter.serverPort());
        const auto failed = spyOn(login.get(), "authenticationFailed");
        const auto required = spyOn(login.get(), "authenticationRequired");
        startLogin(login.get());
        QCOMPARE(failed->count(), 1);
        QVERIFY(!failed->first().first().toString().isEmpty());
        if (broker == "Zerodha" || broker == "FlatTrade")  // the port it tried, not a range it never tried
            QCOMPARE(failed->first().first().toString(),
                     QString("Could not start the local login server on port %1").arg(squatter.serverPort()));
        // No browser, and nothing on its way to the broker that could open one later.
        QCOMPARE(required->count(), 0);
        QVERIFY(opened.isEmpty());
        QVERIFY(login->findChild<QNetworkAccessManager*>()->findChildren<QNetworkReply*>().isEmpty());
        QVERIFY(!listening(login.get()));
    }
    void flatTradeLoginThatCannotStart()
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
    void refusedExchangesReportTheBrokersMessage()
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

private:
    QList<QUrl> opened;
};

QTEST_MAIN(TestBrowserLogins)
#include "tst_browserlogins.moc"
