// Upstox login against loopback peers: the browser URL, the redirect listener and its pages,
// the code exchange form, token replies and the profile.
#include "brokers/upstox/UpstoxAuth.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"

#include <QDesktopServices>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray kOkPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h2>Authorization successful!</h2>"
    "<p>You can close this window and return to Tickvane.</p></body></html>";
const QByteArray kBadPage =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<html><body><h2>Authorization failed</h2>"
    "<p>No authorization code received.</p></body></html>";
const QString kTokenPath = QStringLiteral("/v2/login/authorization/token");
const QString kProfilePath = QStringLiteral("/v2/user/profile");

}  // namespace

class TestUpstoxAuth : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl& url) { opened << url; }

private:
    QList<QUrl> opened;
    HttpTestServer* http = nullptr;
    UpstoxAuth* auth = nullptr;
    quint16 port = 0;

private slots:
    void init()
    {
        opened.clear();
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        QDesktopServices::setUrlHandler("https", this, "openUrl");
        http = new HttpTestServer(this);
        QVERIFY(http->listen());
        auth = new UpstoxAuth(this);
        auth->setBaseUrl(http->baseUrl());
        port = BrowserStandIn::freePort();
        auth->setCallbackPort(port);
    }
    void cleanup()
    {
        delete auth;
        delete http;
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
    }
    void loginFromRedirectToProfile()
    {
        http->setReply("POST", kTokenPath, HttpTestServer::Reply::json(R"({"access_token":"TOKEN-1","user_id":"U1"})"));
        http->setReply("GET", kProfilePath,
                       HttpTestServer::Reply::json(
                           R"({"status":"success","data":{"user_id":"U1","user_name":"Asha","email":"a@x.in"}})"));
        QSignalSpy required(auth, &UpstoxAuth::authenticationRequired);
        QSignalSpy ok(auth, &UpstoxAuth::authenticationSuccessful);
        QSignalSpy profile(auth, &UpstoxAuth::profileReceived);
        const QString redirect = QStringLiteral("http://127.0.0.1:%1").arg(port);
        auth->startAuthentication("KEY+1", "SE&CRET", redirect);

        const QUrl expected(http->baseUrl() + "/v2/login/authorization/dialog?client_id=KEY%2B1&redirect_uri="
                            + QUrl::toPercentEncoding(redirect) + "&response_type=code");
        QCOMPARE(required.size(), 1);
        QCOMPARE(required[0][0].toUrl().query(QUrl::FullyDecoded), expected.query(QUrl::FullyDecoded));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened[0], required[0][0].toUrl());
        QVERIFY(auth->isListening());

        // The request line arrives in two reads, split inside the code.
        const QByteArray page =
            BrowserStandIn::request(auth, port, {"GET /?code=ab%2F", "c+d&state=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
        QCOMPARE(page, kOkPage);
        QVERIFY(!auth->isListening());

        // The exchange may finish while the stand-in is still reading the page.
        QTRY_COMPARE_WITH_TIMEOUT(profile.size(), 1, 5000);
        QCOMPARE(ok.size(), 1);
        QCOMPARE(ok[0][0].toString(), QStringLiteral("TOKEN-1"));
        const auto token = http->requestsTo(kTokenPath);
        QCOMPARE(token.size(), 1);
        QCOMPARE(token[0].header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(token[0].header("Accept"), QByteArray("application/json"));
        // Every value encoded whole: '+' and '&' must reach the service as themselves.
        QCOMPARE(token[0].body, "code=ab%2Fc%2Bd&client_id=KEY%2B1&client_secret=SE%26CRET&redirect_uri="
                                    + QUrl::toPercentEncoding(redirect) + "&grant_type=authorization_code");
        QCOMPARE(http->requestsTo(kProfilePath).first().header("Authorization"), QByteArray("Bearer TOKEN-1"));
        QCOMPARE(profile[0][0].toJsonObject().value("user_name").toString(), QStringLiteral("Asha"));
        QCOMPARE(auth->getUserId(), QStringLiteral("U1"));
        QCOMPARE(auth->getEmail(), QStringLiteral("a@x.in"));
        QVERIFY(auth->hasCredentials());
    }
    void failurePageGoesOutBeforeTheSignal()
    {
        auth->startAuthentication("KEY", "SEC", "http://127.0.0.1");
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(browser.waitForConnected(5000));
        QPointer<QTcpSocket> far = BrowserStandIn::acceptedEnd(auth, browser);
        QVERIFY(far);
        QByteArray page;
        bool handled = false;
        bool farGone = false;
        // A receiver that shows a message box runs an event loop of its own; the browser may give up
        // meanwhile and the listener then drops its end of the connection.
        const auto box = connect(auth, &UpstoxAuth::authenticationFailed, this, [&] {
            const bool pageInTime = QTest::qWaitFor(
                [&] { page += browser.readAll(); return page.size() >= kBadPage.size(); }, 5000);
            Q_UNUSED(pageInTime)
            browser.abort();
            farGone = QTest::qWaitFor([&] { return far.isNull(); }, 5000);
            handled = true;
        });
        browser.write("GET / HTTP/1.1\r\n\r\n");
        browser.flush();
        QTRY_VERIFY_WITH_TIMEOUT(handled, 15000);
        disconnect(box);
        QCOMPARE(page, kBadPage);
        QVERIFY(farGone);
    }
    void tokenRepliesThatAreNotSuccess_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("message, no token") << 200 << QByteArray(R"({"message":"Code expired"})") << "Code expired";
        QTest::newRow("empty token") << 200 << QByteArray(R"({"access_token":""})") << "No access token in response";
        QTest::newRow("token not text") << 200 << QByteArray(R"({"access_token":12345})") << "No access token in response";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << "No access token in response";
        QTest::newRow("HTTP error") << 401 << QByteArray(R"({"access_token":"ignored"})") << "*";
    }
    void tokenRepliesThatAreNotSuccess()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        http->setReply("POST", kTokenPath, HttpTestServer::Reply::json(body, status));
        QSignalSpy failed(auth, &UpstoxAuth::authenticationFailed);
        QSignalSpy ok(auth, &UpstoxAuth::authenticationSuccessful);
        auth->setApiKey("KEY");
        auth->setApiSecret("SEC");
        auth->exchangeCodeForToken("C");
        QVERIFY(failed.wait(5000));
        if (error == "*")
            QVERIFY(!failed[0][0].toString().isEmpty());
        else
            QCOMPARE(failed[0][0].toString(), error);
        QCOMPARE(ok.size(), 0);
        QVERIFY(!auth->hasCredentials());
        QVERIFY(!auth->isAuthenticated());
        QCOMPARE(http->requestsTo(kProfilePath).size(), 0);
    }
};

QTEST_MAIN(TestUpstoxAuth)
#include "tst_upstoxauth.moc"
