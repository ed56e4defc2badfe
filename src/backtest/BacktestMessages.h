// Wire formats of backtest reports: compact JSON status/progress objects, NDJSON results, callback URLs.
#pragma once

#include "backtest/BacktestRecords.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

namespace BacktestMessages {

// Compact JSON, keys in ascending order; a non-finite double is written as null.
QByteArray compact(const QJsonObject& object);

QString exitReasonWord(qint32 reason);  // "Unknown" for codes it does not know
QString sideWord(qint32 side);          // "BUY", "SELL", or empty

// "trade" lines, then "equity" lines (running sum of points), then the "stats" line, each followed
// by a line feed. Every line carries `symbol`, whatever the records say.
QByteArray resultsPayload(const QString& symbol, const BacktestSummary& summary, const QVector<TradeRecord>& trades);

// A job id can name a path segment: not empty, not "." or "..".
bool isUsableJobId(const QString& jobId);

// base + path + job id as one percent-encoded path segment; empty when base is empty or the id is not usable. Ordinary ids
// (letters, digits, '-', '_', '.', '~') are written unchanged.
QString endpointUrl(const QString& base, const QString& path, const QString& jobId);

}  // namespace BacktestMessages
