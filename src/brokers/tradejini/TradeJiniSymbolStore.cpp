// Readers of the TradeJini symbol-store replies.
#include "brokers/tradejini/TradeJiniSymbolStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

namespace TradeJiniSymbolStore {

Groups parseGroups(const QByteArray& body)
{
    Groups g;
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return g;
    g.valid = true;
    const QJsonObject root = doc.object();
    g.ok = root.value(QLatin1String("s")).toString() == QLatin1String("ok");
    const QJsonObject d = root.value(QLatin1String("d")).toObject();
    g.groups = d.value(QLatin1String("symbolStore")).toArray();
    g.version = d.value(QLatin1String("version")).toInt();
    g.updated = d.value(QLatin1String("updated")).toBool();
    return g;
}

bool isTextForm(const QByteArray& contentType)
{
    return contentType.contains("text/plain") || contentType.contains("text/csv");
}

QStringList parseTextRows(const QByteArray& body, int* lineCount)
{
    const QString text = QString::fromUtf8(body);
    const QVector<QStringRef> lines = text.splitRef(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lineCount)
        *lineCount = lines.size();
    QStringList rows;
    for (int i = 1; i < lines.size(); ++i) {
        const QVector<QStringRef> f = lines[i].split(QLatin1Char(','));
        if (f.size() < 3)
            continue;
        rows << f[0].trimmed().toString() + QLatin1Char('|') + f[1].trimmed().toString() + QLatin1Char('|')
                + f[2].trimmed().toString();
    }
    return rows;
}

bool parseJsonRows(const QByteArray& body, QStringList& rows)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return false;
    const QJsonArray items = doc.object().value(QLatin1String("d")).toArray();
    for (const QJsonValue& v : items) {
        const QJsonObject o = v.toObject();
        rows << o.value(QLatin1String("id")).toString() + QLatin1Char('|') + o.value(QLatin1String("dispName")).toString()
                + QLatin1Char('|') + o.value(QLatin1String("excToken")).toString();
    }
    return true;
}

}  // namespace TradeJiniSymbolStore
