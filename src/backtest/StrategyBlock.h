// One block of a strategy graph and one edge between blocks.
#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>
#include <QVector>

struct StrategyBlock {
    qint32 id = 0;
    QString type;            // one of the block type names; anything else is inert
    QVariantMap params;      // parameter name to a double
    bool dayLevel = false;   // evaluated in the day pass (true) or the bar pass (false)
    double value = 0.0;      // numeric output
    bool signal = false;     // boolean output
    QVector<double> history; // past values, newest first
    QMap<QString, double> state;  // running values: minute-bucket fields, previous cross inputs
};

struct StrategyConnection {
    qint32 fromBlock = 0;
    qint32 fromPort = 0;  // kept, but every block has one output
    qint32 toBlock = 0;
    qint32 toPort = 0;
};
