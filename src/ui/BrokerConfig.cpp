// What the main window hands a broker connector: its configuration map, stream addresses and
// the credential check done before connecting.
#include "ui/BrokerConfig.h"

#include "brokers/flattrade/FlatTradeBroker.h"
#include "core/SettingsManager.h"

QStringList BrokerConfig::fyersStreamUrls()
{
    // Hosts A..E of the Fyers stream service; B serves two paths.
    const QString a = QStringLiteral("wss://rtsocket-api.fyers.in");
    const QString b = QStringLiteral("wss://socket.fyers.in");
    const QString c = QStringLiteral("wss://hsm-socket.fyers.in");
    const QString d = QStringLiteral("wss://data-socket.fyers.in");
    const QString e = QStringLiteral("wss://api-socket.fyers.in");
    return {a + "/versova",           b + "/dataws/v3/",          c + "/hsm/v1-5/prod",
            d + "/socket/v4/dataSock", b + "/socket/v4/dataSock", e + "/socket/v4/dataSock"};
}

QString BrokerConfig::zerodhaStreamUrl()
{
    return QStringLiteral("wss://ws.kite.trade/");
}

QString BrokerConfig::flatTradeStreamUrl()
{
    return FlatTradeBroker::defaultStreamUrl();
}

QMap<QString, QString> BrokerConfig::forProvider(int provider, const SettingsManager& s,
                                                 const QStringList& fyersUrls)
{
    QMap<QString, QString> m;
    switch (provider) {
    case SettingsManager::Fyers:
        m.insert("access_token", s.fyersAccessToken());
        m.insert("client_id", s.fyersClientId());
        m.insert("app_id", s.fyersAppId());
        m.insert("ws_url", fyersUrls.value(0));
        break;
    case SettingsManager::Zerodha:
        m.insert("api_key", s.zerodhaApiKey());
        m.insert("api_secret", s.zerodhaApiSecret());
        m.insert("access_token", s.zerodhaAccessToken());
        m.insert("ws_url", zerodhaStreamUrl());
        break;
    case SettingsManager::FlatTrade:
        m.insert("access_token", s.flatTradeAccessToken());
        m.insert("client_id", s.flatTradeClientId());
        m.insert("ws_url", flatTradeStreamUrl());
        break;
    case SettingsManager::TradeJini:
        m.insert("accessToken", s.tradeJiniAccessToken());
        m.insert("clientId", s.tradeJiniClientId());
        m.insert("apiKey", s.tradeJiniApiKey());
        break;
    case SettingsManager::Dhan:
        m.insert("access_token", s.dhanAccessToken());
        m.insert("client_id", s.dhanClientId());
        break;
    case SettingsManager::AngelOne:
        m.insert("api_key", s.angelOneApiKey());
        m.insert("client_code", s.angelOneClientCode());
        m.insert("jwt_token", s.angelOneJwtToken());
        m.insert("feed_token", s.angelOneFeedToken());
        break;
    case SettingsManager::Upstox:
        m.insert("api_key", s.upstoxApiKey());
        m.insert("api_secret", s.upstoxApiSecret());
        m.insert("access_token", s.upstoxAccessToken());
        break;
    default:
        break;
    }
    return m;
}

QString BrokerConfig::missingCredentials(int provider, const SettingsManager& s)
{
    switch (provider) {
    case SettingsManager::Fyers:
        if (s.fyersClientId().isEmpty() || s.fyersAccessToken().isEmpty())
            // The settings dialog offers no Fyers page: the ids live only in the settings file.
            return QStringLiteral("Please configure Fyers Client ID and Access Token in Settings "
                                  "first.\nThe settings dialog has no Fyers page: enter fyersClientId and "
                                  "fyersAppId in the [API] group of the settings file (Tickvane.conf), then "
                                  "press Authenticate to get the access token.");
        return {};
    case SettingsManager::Zerodha:
        if (s.zerodhaApiKey().isEmpty() || s.zerodhaAccessToken().isEmpty())
            return QStringLiteral("Please configure Zerodha API Key and Access Token in Settings "
                                  "first.\nGo to Settings > API Provider > Zerodha Kite to enter "
                                  "your credentials.");
        return {};
    case SettingsManager::FlatTrade:
        if (s.flatTradeApiKey().isEmpty() || s.flatTradeAccessToken().isEmpty())
            return QStringLiteral("Please configure FlatTrade API Key and Access Token in Settings "
                                  "first.\nGo to Settings > API Provider > FlatTrade to authenticate.");
        return {};
    case SettingsManager::TradeJini:
        if (s.tradeJiniAccessToken().isEmpty())
            return QStringLiteral("Please configure TradeJini Access Token in Settings first.\n"
                                  "Go to Settings > API Provider > TradeJini to authenticate.");
        return {};
    default:
        // Dhan, AngelOne, Upstox and the "Custom API" are checked against the general key.
        if (s.apiKey().isEmpty())
            return QStringLiteral("Please configure API key in settings first");
        return {};
    }
}
