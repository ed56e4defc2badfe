// A scriptable IBroker that records calls, for facade, feed and history-queue tests.
#pragma once

#include "brokers/IBroker.h"

#include <QStringList>

class FakeBroker : public IBroker {
    Q_OBJECT
public:
    using IBroker::IBroker;

    struct HistoryCall {
        QString symbol;
        QDate from;
        QDate to;
        QString interval;
    };

    void initialize(const QMap<QString, QString>& c) override { config = c; }
    void connectToBroker() override { calls << "connect"; }
    void disconnectFromBroker() override { calls << "disconnect"; }
    void startLiveData() override { calls << "start"; }
    void stopLiveData() override { calls << "stop"; }
    void subscribeLiveData(const QString& symbol) override { calls << "sub:" + symbol; }
    using IBroker::subscribeLiveData;
    void unsubscribeLiveData(const QString& symbol) override { calls << "unsub:" + symbol; }
    void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                               const QString& interval) override
    {
        history.append({symbol, from, to, interval});
    }
    void requestIntradayData(const QString& symbol, const QString& interval) override
    {
        requestHistoricalData(symbol, QDate::currentDate(), QDate::currentDate(), interval);
    }
    bool isConnected() const override { return false; }
    QString lastError() const override { return {}; }

    // Emit helpers so tests read as the broker's side of the conversation.
    void sendTick(const TickData& t) { emit tickReceived(t); }
    void sendHistory(const QString& symbol, const QList<OHLCData>& bars) { emit historicalDataReceived(symbol, bars); }
    void sendError(const QString& e) { emit errorOccurred(e); }
    void sendStatus(bool up) { emit connectionStatusChanged(up); }

    QMap<QString, QString> config;
    QStringList calls;
    QList<HistoryCall> history;

    // A valid tick stamped now.
    static TickData makeTick(const QString& symbol, double ltp)
    {
        TickData t;
        t.symbol = symbol;
        t.ltp = ltp;
        t.timestamp = QDateTime::currentDateTime();
        return t;
    }
};
