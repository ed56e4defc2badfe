// Switch of the live feed: subscribes the watchlist at the facade, stores ticks, keeps a status line.
#pragma once

#include "core/MarketData.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

class BrokerAPI;
class DataManager;
class SettingsManager;

class LiveFeeder : public QObject {
    Q_OBJECT
public:
    LiveFeeder(BrokerAPI* api, DataManager* dataManager, SettingsManager* settings, QObject* parent = nullptr);

    void start();
    void stop();
    void addSymbol(const QString& symbol);
    void removeSymbol(const QString& symbol);
    void clearSymbols();
    void applySettings();
    void updateStatus();

    bool isRunning() const { return running; }
    QStringList symbols() const { return symbolList; }
    int updateCount() const { return updates; }
    QDateTime lastUpdate() const { return lastTick; }
    QString statusText() const { return status; }

signals:
    void started();
    void stopped();
    void symbolAdded(QString symbol);
    void symbolRemoved(QString symbol);
    void dataUpdated(QString symbol);
    void errorOccurred(QString error);
    void statusChanged(QString status);

private slots:
    void onTickReceived(TickData tick);
    void onConnectionStatusChanged(bool connected);
    void onApiError(QString error);
    void onSettingsChanged();

private:
    // Whether the feed's source is up: the connector's stream, or the quote poll without one.
    bool feedConnected() const;
    void writeTickLine(const TickData& tick);

    BrokerAPI* api;
    DataManager* dataManager;
    SettingsManager* settings;
    bool running = false;
    QStringList symbolList;
    int updates = 0;
    QDateTime lastTick;
    QString status = QStringLiteral("Stopped");
};
