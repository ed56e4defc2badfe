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

signals:
    void tickReceived(TickData tick);
    void historicalDataReceived(QString symbol, QList<OHLCData> data);
    void connectionStatusChanged(bool connected);
    void errorOccurred(QString error);
};
