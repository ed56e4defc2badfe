// Builders of the backtest status, progress and results messages.
#include "backtest/BacktestMessages.h"

#include <QJsonDocument>
#include <QUrl>

namespace BacktestMessages {

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString exitReasonWord(qint32 reason)
{
    switch (reason) {
    case ExitReason::TargetHit: return QStringLiteral("Target Hit");
    case ExitReason::StoplossHit: return QStringLiteral("Stoploss Hit");
    case ExitReason::TrailingStopHit: return QStringLiteral("Trailing SL Hit");
    case ExitReason::EodProfit: return QStringLiteral("EOD Profit");
    case ExitReason::EodLoss: return QStringLiteral("EOD Loss");
    case ExitReason::SignalExit: return QStringLiteral("Signal Exit");
    case ExitReason::MaxBarsExit: return QStringLiteral("Max Bars Exit");
    default: return QStringLiteral("Unknown");
    }
}

QString sideWord(qint32 side)
{
    if (side == 1)
        return QStringLiteral("BUY");
    if (side == 2)
        return QStringLiteral("SELL");
    return QString();
}

QByteArray resultsPayload(const QString& symbol, const BacktestSummary& summary, const QVector<TradeRecord>& trades)
{
    QByteArray out;
    out.reserve(200 * trades.size() + 512);
    for (const TradeRecord& t : trades) {
        out += compact(QJsonObject{
            {QStringLiteral("entry_date"), t.entry_date},
            {QStringLiteral("entry_price"), t.entry_price},
            {QStringLiteral("entry_time"), t.entry_time},
            {QStringLiteral("exit_date"), t.exit_date},
            {QStringLiteral("exit_price"), t.exit_price},
            {QStringLiteral("exit_reason"), exitReasonWord(t.exit_reason)},
            {QStringLiteral("exit_time"), t.exit_time},
            {QStringLiteral("notes"), t.notes},
            {QStringLiteral("pnl"), t.pnl},
            {QStringLiteral("points"), t.points},
            {QStringLiteral("qty"), t.qty},
            {QStringLiteral("side"), sideWord(t.side)},
            {QStringLiteral("sl"), t.sl},
            {QStringLiteral("symbol"), symbol},
            {QStringLiteral("target"), t.target},
            {QStringLiteral("type"), QStringLiteral("trade")},
        });
        out += '\n';
    }
    double equity = 0.0;
    for (int i = 0; i < trades.size(); ++i) {
        equity += trades[i].points;
        out += compact(QJsonObject{
            {QStringLiteral("idx"), i},
            {QStringLiteral("symbol"), symbol},
            {QStringLiteral("type"), QStringLiteral("equity")},
            {QStringLiteral("value"), equity},
        });
        out += '\n';
    }
    out += compact(QJsonObject{
        {QStringLiteral("avg_loss"), summary.avg_loss},
        {QStringLiteral("avg_win"), summary.avg_win},
        {QStringLiteral("expectancy"), summary.expectancy},
        {QStringLiteral("losses"), summary.losses},
        {QStringLiteral("max_drawdown"), summary.max_drawdown},
        {QStringLiteral("net_pnl"), summary.net_pnl},
        {QStringLiteral("profit_factor"), summary.profit_factor},
        {QStringLiteral("symbol"), symbol},
        {QStringLiteral("total_points"), summary.total_points},
        {QStringLiteral("total_trades"), summary.total_trades},
        {QStringLiteral("type"), QStringLiteral("stats")},
        {QStringLiteral("win_rate"), summary.win_rate},
        {QStringLiteral("wins"), summary.wins},
    });
    out += '\n';
    return out;
}

bool isUsableJobId(const QString& jobId)
{
    return !jobId.isEmpty() && jobId != QLatin1String(".") && jobId != QLatin1String("..");
}

QString endpointUrl(const QString& base, const QString& path, const QString& jobId)
{
    if (base.isEmpty())
        return QString();
    // The id comes from an untrusted job: "?", "#", "/" or a dot segment must not change the target.
    // A dot segment cannot be escaped: URL handling reads %2E as '.' and resolves it, so such an id
    // gets no endpoint at all.
    if (!isUsableJobId(jobId))
        return QString();
    return base + path + QString::fromLatin1(QUrl::toPercentEncoding(jobId));
}

}  // namespace BacktestMessages
