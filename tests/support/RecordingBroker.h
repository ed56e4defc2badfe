// A connector for main-window tests: records what the window asks of it and reports the
// connection state the test gives it.
#pragma once

#include "brokers/IBroker.h"

#include <QDate>
#include <QList>
#include <QMap>
#include <QStringList>

// A connector that records what the window asks of it.
class RecordingBroker : public IBroker
{
    Q_OBJECT

public:
    using IBroker::IBroker;
    using IBroker::subscribeLiveData;

    QStringList calls;
    QList<QMap<QString, QString>> configs;
    bool connected = false;
    struct HistoryRequest {
        QString symbol;
        QDate from, to;
        QString interval;
    };
    QList<HistoryRequest> history;

    void initialize(const QMap<QString, QString>& config) override
    {
        calls << "initialize";
        configs << config;
    }
    void connectToBroker() override { calls << "connect"; }
    void disconnectFromBroker() override
    {
        calls << "disconnect";
        connected = false;
    }
    void startLiveData() override { calls << "startLiveData"; }
    void stopLiveData() override { calls << "stopLiveData"; }
    void subscribeLiveData(const QString& symbol) override { calls << "subscribe:" + symbol; }
    void subscribeLiveData(const QStringList& keys) override
    {
        calls << "subscribeList:" + keys.join(',');
    }
    void unsubscribeLiveData(const QString& symbol) override { calls << "unsubscribe:" + symbol; }
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override
    {
        history.append({symbol, from, to, interval});
    }
    void requestIntradayData(const QString&, const QString&) override {}
    bool isConnected() const override { return connected; }
    QString lastError() const override { return {}; }

    void reportConnected(bool up)
    {
        connected = up;
        emit connectionStatusChanged(up);
    }
    QStringList subscribeLists() const
    {
        QStringList lists;
        for (const QString& c : calls) {
            if (c.startsWith("subscribeList:"))
                lists << c.mid(14);
        }
        return lists;
    }

public slots:
    void downloadInstrumentList() { calls << "downloadInstrumentList"; }

signals:
    void instrumentListDownloaded();
};
