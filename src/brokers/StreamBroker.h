// Common ground of the connectors that keep one stream socket of their own: the stream's life
// cycle and session, status and error signals, keep-alive and log lines.
#pragma once

#include "brokers/IBroker.h"
#include "brokers/SubscriptionBatch.h"

#include <QPointer>
#include <QStringList>

class QNetworkRequest;
class SettingsManager;
class StreamSocketClient;

class StreamBroker : public IBroker {
    Q_OBJECT
public:
    ~StreamBroker() override;

    // The settings store kept for name lookups and market hours.
    void setSettingsManager(SettingsManager* settings);

    // The stream address; initialize sets it from "ws_url", tests use ws://127.0.0.1.
    void setStreamUrl(const QString& url) { wsUrl = url; }
    QString streamUrl() const { return wsUrl; }
    // Keep-alive period while the stream is open.
    void setPingInterval(int ms);
    bool isPingActive() const;
    // Test seam: how long the handshake may take and an open stream may stay silent.
    void setLinkTimeouts(int handshakeMs, int silenceMs);

    // Without a candle service of its own a connector leaves these: each request ends in
    // errorOccurred. A connector that has one overrides requestHistoricalData.
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override;
    void requestIntradayData(const QString& symbol, const QString& interval) override;
    // One key is a list of one: each connector sends one message per subscribe call.
    void subscribeLiveData(const QString& symbol) override { subscribeLiveData(QStringList{symbol}); }
    using IBroker::subscribeLiveData;
    bool isConnected() const override { return connected; }
    QString lastError() const override { return lastErrorText; }

protected:
    // `logTag` opens every log line ("[ZerodhaBroker]"); `brokerName` names the broker in errors.
    StreamBroker(const char* logTag, const QString& brokerName, QObject* parent);

    // False, with "WebSocket URL not configured" reported, when there is no stream address.
    bool checkStreamUrl();
    // Replaces any stream with a new one; an open connection that is replaced reports false first.
    void openStream(const QNetworkRequest& request);
    // Closes the stream without a status signal.
    void closeStream();
    void reportError(const QString& text);
    // Adds the keys to the wanted set; they go out at the end of this event-loop turn, or once
    // the session is up (logged as waiting for it).
    void holdKeys(const QStringList& keys);
    // Writes one net change of the subscription set to the open stream.
    virtual void sendSubscriptionChange(const SubscriptionBatch::Change& change) = 0;

    // Whether the keep-alive starts as soon as the session is up.
    virtual bool keepAliveOnConnect() const { return true; }
    // Runs when the socket has opened, before the connection counts as up. A broker that wants a
    // session message sends it here and calls acceptSession() once the broker has accepted it;
    // until then isConnected() is false and subscriptions wait. By default the open socket is
    // the session.
    virtual void startSession() { acceptSession(); }
    // The session is up: connected, keep-alive started, connectionStatusChanged(true), then
    // streamOpened(), then everything wanted goes out on the new stream.
    void acceptSession();
    // Runs after connectionStatusChanged(true): the place to send what waited for the stream.
    virtual void streamOpened() {}
    // Frames of the current stream. The defaults log them without decoding.
    virtual void textFrameReceived(const QString& message);
    virtual void binaryFrameReceived(const QByteArray& data);
    // The stream could not open or broke; the default reports "WebSocket error: <text>".
    virtual void streamFailed(const QString& text);

    StreamSocketClient* const stream;
    const QByteArray tag;  // written bare at the start of each log line
    QString wsUrl;
    bool connected = false;
    QString lastErrorText;
    SubscriptionBatch* const subscriptions;
    QPointer<SettingsManager> settingsManager;

private:
    void onStreamConnected();
    void onStreamDisconnected();

    const QString brokerName;
};
