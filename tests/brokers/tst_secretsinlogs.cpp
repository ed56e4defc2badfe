// Every login and every stream run once with marker secrets (tokens, codes, passwords, consent
// ids): no log line at any level may carry one of them.
#include "brokers/LoopbackRedirectServer.h"
#include "brokers/angelone/AngelOneBroker.h"
#include "brokers/dhan/DhanBroker.h"
#include "brokers/flattrade/FlatTradeBroker.h"
#include "brokers/fyers/FyersBroker.h"
#include "brokers/tradejini/TradeJiniBroker.h"
#include "brokers/upstox/UpstoxBroker.h"
#include "brokers/zerodha/ZerodhaBroker.h"
#include "support/BrowserStandIn.h"
#include "support/HttpTestServer.h"
#include "support/LogCapture.h"
#include "support/LoopbackLogins.h"
#include "support/WebSocketTestServer.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// Each marker is unique, so a hit names the value that leaked.
const QStringList kMarkers{
    "MkZrt01",  "MkZsec02", "MkZat03",  "MkFcode04", "MkFsec05", "MkFat06",  "MkUsec07", "MkUcode08",
    "MkUat09",  "MkAauth10", "MkAfeed11", "MkAjwt12", "MkAref13", "MkApw14",  "MkAtotp15", "MkAjwt16",
    "MkAref17", "MkAfeed18", "MkDsec19", "MkDcons20", "MkDtok21", "MkDat22",  "MkYcode23", "MkYsec24",
    "MkYat25",  "MkTpw26",  "MkTfa27",  "MkTat28",  "MkTcode29", "MkTsec30", "MkTat31",  "MkSz32",
    "MkSf33",   "MkSy34",   "MkSa35",   "MkSa36",   "MkSt37",   "MkSu38",   "MkSu39",   "MkSd40",
};

QByteArray redirect(QObject* login, const QByteArray& target)
{
    auto* listener = login->findChild<LoopbackRedirectServer*>();
    if (!listener || !listener->isListening())
        return "no listener";
    return BrowserStandIn::request(listener->port(), "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

HttpTestServer::Reply json(const char* body)
{
    return HttpTestServer::Reply::json(QByteArray(body));
}

}  // namespace

class TestSecretsInLogs : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl&) {}

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        QDesktopServices::setUrlHandler("https", this, "openUrl");
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    }
    void noSecretInAnyLogLine()
    {
        LogCapture log(false);
        HttpTestServer http;
        QVERIFY(http.listen());
        const QString base = http.baseUrl();
        http.setReply("POST", "/session/token", json(R"({"data":{"access_token":"MkZat03"}})"));
        http.setReply("POST", "/trade/apitoken", json(R"({"stat":"Ok","token":"MkFat06","client":"C1"})"));
        http.setReply("POST", "/v2/login/authorization/token", json(R"({"access_token":"MkUat09"})"));
        http.setReply("POST", "/rest/auth/angelbroking/jwt/v1/generateTokens",
                      json(R"({"status":true,"data":{"jwtToken":"MkAjwt12","refreshToken":"MkAref13"}})"));
        http.setReply("POST", "/rest/auth/angelbroking/user/v1/loginByPassword",
                      json(R"({"status":true,"data":{"jwtToken":"MkAjwt16","refreshToken":"MkAref17","feedToken":"MkAfeed18"}})"));
        http.setReply("GET", "/rest/secure/angelbroking/user/v1/getProfile", json(R"({"status":true,"data":{"clientcode":"C1"}})"));
        http.setReply("POST", "/app/generate-consent", json(R"({"status":"success","consentAppId":"MkDcons20"})"));
        http.setReply("GET", "/app/consumeApp-consent", json(R"({"accessToken":"MkDat22","dhanClientId":"1100"})"));
        http.setReply("POST", "/validate-authcode", json(R"({"s":"ok","access_token":"MkYat25"})"));
        http.setReply("POST", "/api-gw/oauth/individual-token-v2", json(R"({"access_token":"MkTat28","expires_in":3600})"));
        http.setReply("POST", "/api-gw/oauth/token", json(R"({"access_token":"MkTat31","expires_in":3600})"));

        // ---- logins
        ZerodhaAuth zerodha;
        pointLoginAt(&zerodha, base);
        QSignalSpy zOk(&zerodha, &ZerodhaAuth::authenticationSuccessful);
        zerodha.startAuthentication("ZKEY", QString());
        redirect(&zerodha, "/?request_token=MkZrt01&status=success");
        QCOMPARE(zOk.count(), 1);
        zerodha.exchangeRequestToken("MkZrt01", "ZKEY", "MkZsec02");
        QTRY_COMPARE_WITH_TIMEOUT(zOk.count(), 2, 5000);

        FlatTradeAuth flat;
        pointLoginAt(&flat, base);
        flat.setApiKey("FKEY");
        flat.setApiSecret("MkFsec05");
        QSignalSpy fOk(&flat, &FlatTradeAuth::authenticationSuccessful);
        flat.startAuthentication();
        redirect(&flat, "/?code=MkFcode04");
        QTRY_COMPARE_WITH_TIMEOUT(fOk.count(), 1, 5000);

        UpstoxAuth upstox;
        pointLoginAt(&upstox, base);
        upstox.setCallbackPort(BrowserStandIn::freePort());
        QSignalSpy uOk(&upstox, &UpstoxAuth::authenticationSuccessful);
        upstox.startAuthentication("UKEY", "MkUsec07", "http://127.0.0.1");
        redirect(&upstox, "/?code=MkUcode08");
        QTRY_COMPARE_WITH_TIMEOUT(uOk.count(), 1, 5000);

        AngelOneAuth angel;
        pointLoginAt(&angel, base);
        angel.setPublisherLoginUrl(base);
        angel.setLocalPort(BrowserStandIn::freePort());
        QSignalSpy aOk(&angel, &AngelOneAuth::authenticationSuccessful);
        angel.startPublisherLogin("AKEY", QString(), "live");
        redirect(&angel, "/?auth_token=MkAauth10&feed_token=MkAfeed11");
        QTRY_COMPARE_WITH_TIMEOUT(aOk.count(), 1, 5000);
        angel.login("AKEY", "C1", "MkApw14", "MkAtotp15", "live");
        QTRY_COMPARE_WITH_TIMEOUT(aOk.count(), 2, 5000);

        DhanAuth dhan;
        pointLoginAt(&dhan, base);
        dhan.setLocalPort(BrowserStandIn::freePort());
        QSignalSpy dOk(&dhan, &DhanAuth::authenticationSuccessful);
        QSignalSpy dConsent(&dhan, &DhanAuth::consentGenerated);
        dhan.startAuthentication("DKEY", "MkDsec19", "1100", "http://127.0.0.1");
        QTRY_COMPARE_WITH_TIMEOUT(dConsent.count(), 1, 5000);
        redirect(&dhan, "/?tokenId=MkDtok21");
        QTRY_COMPARE_WITH_TIMEOUT(dOk.count(), 1, 5000);

        FyersAuth fyers;
        pointLoginAt(&fyers, base);
        QSignalSpy yOk(&fyers, &FyersAuth::authenticationSuccessful);
        fyers.exchangeAuthCode("MkYcode23", "YID", "MkYsec24");
        QTRY_COMPARE_WITH_TIMEOUT(yOk.count(), 1, 5000);

        TradeJiniAuth tradejini;
        pointLoginAt(&tradejini, base);
        QSignalSpy tOk(&tradejini, &TradeJiniAuth::authenticationSucceeded);
        tradejini.authenticateWithPassword("TKEY", "MkTpw26", "MkTfa27", "totp");
        QTRY_COMPARE_WITH_TIMEOUT(tOk.count(), 1, 5000);
        tradejini.exchangeCodeForToken("MkTcode29", "TID", "MkTsec30", "http://127.0.0.1/cb");
        QTRY_COMPARE_WITH_TIMEOUT(tOk.count(), 2, 5000);

        // ---- streams, each opened with its credentials in the address or the first message
        WebSocketTestServer ws;
        QVERIFY(ws.listen());
        HttpTestServer::Reply toStream;
        toStream.status = 302;
        toStream.headers.append(qMakePair(QByteArray("Location"), (ws.baseUrl() + "/feed?code=MkSu39").toUtf8()));
        http.setReply("GET", "/v3/feed/market-data-feed", toStream);

        ZerodhaBroker z;
        z.initialize({{"api_key", "ZKEY"}, {"access_token", "MkSz32"}, {"ws_url", ws.baseUrl()}});
        FlatTradeBroker f;
        f.initialize({{"access_token", "MkSf33"}, {"client_id", "C1"}, {"ws_url", ws.baseUrl()}});
        FyersBroker y;
        y.initialize({{"access_token", "MkSy34"}, {"client_id", "C1"}, {"app_id", "YID"}, {"ws_url", ws.baseUrl()}});
        AngelOneBroker a;
        a.setStreamBaseUrl(ws.baseUrl());
        a.initialize({{"api_key", "AKEY"}, {"client_code", "C1"}, {"jwt_token", "MkSa35"}, {"feed_token", "MkSa36"}});
        TradeJiniBroker t;
        t.setStreamBaseUrl(ws.baseUrl());
        t.initialize({{"accessToken", "MkSt37"}, {"clientId", "C1"}, {"apiKey", "TKEY"}});
        UpstoxBroker u;
        u.setRestBaseUrl(base);
        u.initialize({{"access_token", "MkSu38"}});
        DhanBroker d;
        d.setFeedBaseUrl(ws.baseUrl());
        const QList<IBroker*> brokers{&z, &f, &y, &a, &t, &u, &d};
        std::vector<std::unique_ptr<QSignalSpy>> up;
        for (IBroker* b : brokers) {
            up.push_back(std::make_unique<QSignalSpy>(b, &IBroker::connectionStatusChanged));
            if (b != &d)
                b->connectToBroker();
        }
        d.initialize({{"access_token", "MkSd40"}, {"client_id", "1100"}});
        // FlatTrade's stream is up once it has sent its session message (with the token) and waits.
        QTRY_VERIFY_WITH_TIMEOUT(f.isAwaitingSession(), 10000);
        for (IBroker* b : brokers) {
            if (b != &f)
                QTRY_VERIFY2_WITH_TIMEOUT(b->isConnected(), b->metaObject()->className(), 10000);
        }
        for (IBroker* b : brokers) {
            b->subscribeLiveData(QStringLiteral("NSE:SBIN"));
            b->disconnectFromBroker();
        }

        QVERIFY(log.entries().size() > 50);
        for (const QString& marker : kMarkers) {
            for (const QString& line : log.messages())
                QVERIFY2(!line.contains(marker), qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestSecretsInLogs)
#include "tst_secretsinlogs.moc"
