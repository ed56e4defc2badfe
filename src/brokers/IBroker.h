// The interface every broker connector implements; the facade forwards to one of them.
#pragma once

#include "core/MarketData.h"

#include <QDate>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class IBroker : public QObject {
    Q_OBJECT
public:
    explicit IBroker(QObject* parent = nullptr) : QObject(parent) {}

    virtual void initialize(const QMap<QString, QString>& config) = 0;
    virtual void connectToBroker() = 0;
    virtual void disconnectFromBroker() = 0;
    virtual void startLiveData() = 0;
    virtual void stopLiveData() = 0;
    virtual void subscribeLiveData(const QString& symbol) = 0;
    // Connectors override this to send one subscription for the whole list.
    virtual void subscribeLiveData(const QStringList& symbols)
    {
        for (const QString& s : symbols)
            subscribeLiveData(s);
    }
    virtual void unsubscribeLiveData(const QString& symbol) = 0;
    virtual void requestHistoricalData(const QString& symbol, const QDate& from, const QDate& to,
                                       const QString& interval) = 0;
    virtual void requestIntradayData(const QString& symbol, const QString& interval) = 0;
    virtual bool isConnected() const = 0;
    virtual QString lastError() const = 0;

    // The facade tags each history request just before it hands it over: an answer carries the
    // tag of the request that asked for it, so bars that come after their request was given up
    // are not taken for a later request of the same symbol. 0: untagged.
    void setNextHistoryTag(quint64 tag) { nextHistoryTag = tag; }

signals:
    void tickReceived(TickData tick);
    // An answer to an untagged history request.
    void historicalDataReceived(QString symbol, QList<OHLCData> data);
    // An answer to the history request tagged `tag`.
    void historyAnswered(quint64 tag, QString symbol, QList<OHLCData> data);
    // The history request tagged `tag` failed; `error` is the text the user is told. A failed
    // untagged request is told as errorOccurred, like any other error.
    void historyFailed(quint64 tag, QString symbol, QString error);
    void connectionStatusChanged(bool connected);
    void errorOccurred(QString error);

protected:
    // Taken once, at the start of requestHistoricalData, and kept with the request.
    quint64 takeHistoryTag()
    {
        const quint64 tag = nextHistoryTag;
        nextHistoryTag = 0;
        return tag;
    }
    // The bars of the history request tagged `tag` (untagged when 0).
    void answerHistory(quint64 tag, const QString& symbol, const QList<OHLCData>& bars)
    {
        if (tag != 0)
            emit historyAnswered(tag, symbol, bars);
        else
            emit historicalDataReceived(symbol, bars);
    }
    // The failure of the history request tagged `tag`. A tagged failure goes out only as
    // historyFailed: the facade passes it on while the request is open, and to no one once the
    // request has ended, so it cannot end the request that runs by then.
    void failHistory(quint64 tag, const QString& symbol, const QString& error)
    {
        if (tag != 0)
            emit historyFailed(tag, symbol, error);
        else
            emit errorOccurred(error);
    }

private:
    quint64 nextHistoryTag = 0;
};
