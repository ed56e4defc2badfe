// Builders for strategy graph JSON in backtest tests: blocks, the edges between their ports, the graph.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace StrategyGraph {

// {"id", "type", "params"}.
QJsonObject block(int id, const QString& type, const QJsonObject& params = {});
// An edge from output port 0 of `from` to input `port` of `to`.
QJsonObject edge(int from, int to, int port = 0);
// {"blocks", "connections", "strategyTimeframe"}.
QJsonObject graph(const QJsonArray& blocks, const QJsonArray& edges, int timeframe = 1);

}  // namespace StrategyGraph
