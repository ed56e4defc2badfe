// One block of a strategy graph and one edge between blocks.
#pragma once

#include "backtest/BlockHistory.h"

#include <QString>
#include <QVariantMap>

struct StrategyBlock {
    qint32 id = 0;
    QString type;            // one of the block type names; anything else is inert
    QVariantMap params;      // parameter name to a double
    bool dayLevel = false;   // evaluated in the day pass (true) or the bar pass (false)
    double value = 0.0;      // numeric output
    bool signal = false;     // boolean output
    BlockHistory history;    // past values, newest first
    // Running values between passes.
    struct State {
        bool periodStarted = false;  // a minute bucket of the block's timeframe is being built
        double periodOpen = 0.0;
        double periodHigh = 0.0;
        double periodLow = 0.0;
        double periodVol = 0.0;
        bool crossSeen = false;  // the cross blocks' inputs of the previous evaluation
        double crossA = 0.0;
        double crossB = 0.0;
        bool isEmpty() const { return !periodStarted && !crossSeen; }
    } state;
};

struct StrategyConnection {
    qint32 fromBlock = 0;
    qint32 fromPort = 0;  // kept, but every block has one output
    qint32 toBlock = 0;
    qint32 toPort = 0;
};
