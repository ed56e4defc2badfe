// The opening requests of the main window's own stream socket (Fyers address forms, Zerodha
// query), the texts of socket errors, and the masking of secrets in what is logged.
#include "ui/StreamRequests.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace {

const char* const kSecretKeys[] = {"token", "access_token", "api_key", "apiKey", "jwt_token",
                                   "feed_token"};

bool isSecretKey(const QString& key)
{
    for (const char* k : kSecretKeys) {
        if (key == QLatin1String(k))
            return true;
    }
    return false;
}

QJsonObject maskObject(QJsonObject o)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (isSecretKey(it.key()) && it.value().isString())
            it.value() = QStringLiteral("***");
        else if (it.value().isObject())
            it.value() = maskObject(it.value().toObject());
    }
    return o;
}

} // namespace

QString StreamRequests::fyersOrigin()
{
    return QStringLiteral("https://socket.fyers.in");
}

StreamRequests::Opening StreamRequests::fyersOpening(const QStringList& urls, int index,
                                                     const QString& accessToken,
                                                     const QString& clientId)
{
    Opening o;
    if (urls.isEmpty())
        return o;
    const QString address = (index >= 0 && index < urls.size()) ? urls.at(index) : urls.at(0);
    o.address = address;
    // The form is chosen by which known address the one in use contains.
    if (address.contains(urls.at(0))) {
        // The token is the app's the login named as "client_id". The app id setting may hold the
        // app secret (the login hashes it when no secret key is set): never on the wire.
        o.request.setRawHeader("Authorization",
                               QStringLiteral("%1:%2").arg(clientId, accessToken).toUtf8());
        o.authForm = QStringLiteral("Authorization header %1:***").arg(clientId);
    } else if (urls.size() > 1 && address.contains(urls.at(1))) {
        QUrl url(address, QUrl::TolerantMode);
        QUrlQuery q(url);
        q.addQueryItem(QStringLiteral("access_token"),
                       QString::fromLatin1(QUrl::toPercentEncoding(accessToken)));
        url.setQuery(q);
        o.address = url.toString(QUrl::FullyEncoded);
        o.authForm = QStringLiteral("access token in the address query");
    } else {
        o.request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(accessToken).toUtf8());
        o.request.setRawHeader("X-Client-Id", clientId.toUtf8());
        o.authForm = QStringLiteral("Bearer ***, X-Client-Id %1").arg(clientId);
    }
    o.request.setRawHeader("User-Agent", QByteArrayLiteral("Tickvane/1.0"));
    o.request.setRawHeader("Origin", fyersOrigin().toUtf8());
    o.request.setUrl(QUrl(o.address, QUrl::TolerantMode));
    return o;
}

QUrl StreamRequests::zerodhaStreamUrl(const QString& base, const QString& apiKey,
                                      const QString& accessToken)
{
    QUrl url(base, QUrl::TolerantMode);
    // Encoded here so that a stored value holding '&', '#', '+' or a blank stays one value.
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("api_key"), QString::fromLatin1(QUrl::toPercentEncoding(apiKey)));
    q.addQueryItem(QStringLiteral("access_token"),
                   QString::fromLatin1(QUrl::toPercentEncoding(accessToken)));
    url.setQuery(q);
    return url;
}

QString StreamRequests::socketErrorText(int code)
{
    switch (code) {
    case 0: return QStringLiteral("Connection refused - Server is not accepting connections");
    case 1: return QStringLiteral("Remote host closed connection - Server terminated the connection");
    case 2: return QStringLiteral("Host not found - Unable to resolve broker hostname");
    case 3: return QStringLiteral("Socket access error - Permission denied");
    case 4: return QStringLiteral("Socket resource error - System resource exhaustion");
    case 5: return QStringLiteral("Connection timeout - No response from broker within timeout period");
    case 7: return QStringLiteral("Network error - General network communication failure");
    case 12:
        return QStringLiteral("Proxy authentication required - Corporate firewall blocking connection");
    case 13:
        return QStringLiteral("SSL/TLS handshake failed - Secure connection could not be established");
    default: return QStringLiteral("Unknown socket error (Code: %1)").arg(code);
    }
}

QString StreamRequests::socketErrorDetail(int code)
{
    switch (code) {
    case 0: return QStringLiteral("[WebSocket] Details: Server actively refused the connection. Check broker service status.");
    case 1: return QStringLiteral("[WebSocket] Details: Connection was closed by the remote broker server.");
    case 2: return QStringLiteral("[WebSocket] Details: DNS resolution failed. Check internet connectivity and broker URL.");
    case 3: return QStringLiteral("[WebSocket] Details: Operating system denied socket access.");
    case 4: return QStringLiteral("[WebSocket] Details: Too many open sockets or system resource limit reached.");
    case 5: return QStringLiteral("[WebSocket] Details: Connection attempt timed out. Check network connectivity.");
    case 7: return QStringLiteral("[WebSocket] Details: Network layer error occurred during communication.");
    case 12: return QStringLiteral("[WebSocket] Details: Proxy server requires authentication.");
    case 13: return QStringLiteral("[WebSocket] Details: SSL certificate or encryption negotiation failed.");
    default: return QStringLiteral("[WebSocket] Details: Unhandled error type occurred.");
    }
}

QString StreamRequests::maskedUrl(const QUrl& url)
{
    QUrl copy(url);
    QUrlQuery q(copy);
    const auto items = q.queryItems(QUrl::FullyEncoded);
    QUrlQuery masked;
    for (const auto& item : items)
        masked.addQueryItem(item.first, isSecretKey(item.first) ? QStringLiteral("***") : item.second);
    if (!items.isEmpty())
        copy.setQuery(masked);
    return copy.toString(QUrl::FullyEncoded);
}

QString StreamRequests::maskedJson(const QString& text, int maxChars)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (doc.isObject())
        return QString::fromUtf8(QJsonDocument(maskObject(doc.object())).toJson(QJsonDocument::Compact))
            .left(maxChars);
    return text.left(maxChars);
}

QString StreamRequests::preview(const QString& secret)
{
    if (secret.isEmpty())
        return QStringLiteral("(empty)");
    // Four characters of a long token identify it without revealing it; a short one shows none.
    return secret.size() >= 16 ? secret.left(4) + QStringLiteral("...") : QStringLiteral("***");
}
