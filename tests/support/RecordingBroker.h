// A connector that records what it is asked (by the window, the facade, the feed or the history
// queue) and says what the test gives it: connection state, ticks, bars and errors.
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
        quint64 tag = 0;  // the facade's tag, which a tagged answer carries back
    };
    QList<HistoryRequest> history;
    // When set, each history request fails within the call with this text, as a connector fails
    // one for a symbol it cannot resolve.
    QString refuseHistoryWith;

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
        history.append({symbol, from, to, interval, takeHistoryTag()});
        if (!refuseHistoryWith.isEmpty())
            failRequest(history.size() - 1, refuseHistoryWith);
    }
    void requestIntradayData(const QString& symbol, const QString& interval) override
    {
        history.append({symbol, QDate::currentDate(), QDate::currentDate(), interval});
    }
    bool isConnected() const override { return connected; }
    QString lastError() const override { return {}; }

    void reportConnected(bool up)
    {
        connected = up;
        emit connectionStatusChanged(up);
    }
    void sendTick(const TickData& t) { emit tickReceived(t); }
    void sendHistory(const QString& symbol, const QList<OHLCData>& bars) { emit historicalDataReceived(symbol, bars); }
    // Answers the `index`th history request as a connector does: with its tag and symbol.
    void answerRequest(int index, const QList<OHLCData>& bars)
    {
        const HistoryRequest& r = history.at(index);
        answerHistory(r.tag, r.symbol, bars);
    }
    // Fails the `index`th history request as a connector does: with its tag (errorOccurred when
    // it has none).
    void failRequest(int index, const QString& error)
    {
        const HistoryRequest& r = history.at(index);
        failHistory(r.tag, r.symbol, error);
    }
    void sendError(const QString& e) { emit errorOccurred(e); }
    // A valid tick stamped now.
    static TickData makeTick(const QString& symbol, double ltp)
    {
        TickData t;
        t.symbol = symbol;
        t.ltp = ltp;
        t.timestamp = QDateTime::currentDateTime();
        return t;
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
