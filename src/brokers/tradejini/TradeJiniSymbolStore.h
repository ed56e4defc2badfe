// Readers of the TradeJini symbol-store replies: the group list and one group's rows.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace TradeJiniSymbolStore {

struct Groups {
    bool valid = false;  // a JSON object
    bool ok = false;     // its "s" is exactly "ok"
    QJsonArray groups;
    int version = 0;
    bool updated = false;
};
Groups parseGroups(const QByteArray& body);

// Rows "id|name|token" of one group; the text form is chosen by the reply's Content-Type.
bool isTextForm(const QByteArray& contentType);
// Text form: header skipped; returns the rows and, through lineCount, the non-empty lines.
QStringList parseTextRows(const QByteArray& body, int* lineCount = nullptr);
// JSON form: false when the body is not a JSON object.
bool parseJsonRows(const QByteArray& body, QStringList& rows);

}  // namespace TradeJiniSymbolStore
