// Strategy graph JSON builders for backtest tests.
#include "support/StrategyGraph.h"

namespace StrategyGraph {

QJsonObject block(int id, const QString& type, const QJsonObject& params)
{
    return QJsonObject{{"id", id}, {"type", type}, {"params", params}};
}

QJsonObject edge(int from, int to, int port)
{
    return QJsonObject{{"fromBlock", from}, {"fromPort", 0}, {"toBlock", to}, {"toPort", port}};
}

QJsonObject graph(const QJsonArray& blocks, const QJsonArray& edges, int timeframe)
{
    return QJsonObject{{"blocks", blocks}, {"connections", edges}, {"strategyTimeframe", timeframe}};
}

}  // namespace StrategyGraph
