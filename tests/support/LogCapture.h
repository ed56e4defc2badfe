// Records the Qt messages a test provokes, with their types, while passing them on to the handler
// that was installed before (so QTest::ignoreMessage and the test log keep working).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QRegularExpression;

class LogCapture
{
public:
    struct Entry {
        QtMsgType type;
        QString message;
    };

    // Installs the capturing handler; `forward` false keeps captured messages out of the test log.
    explicit LogCapture(bool forward = true);
    // Puts back the handler that was installed before. Captures nest; destroy them in reverse order.
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Entry> entries() const;
    QStringList messages() const;
    QStringList messages(QtMsgType type) const;

    // Number of captured messages containing `text` (of `type` in the second form).
    int count(const QString& text) const;
    int count(QtMsgType type, const QString& text) const;
    bool contains(const QString& text) const { return count(text) > 0; }
    bool contains(QtMsgType type, const QString& text) const { return count(type, text) > 0; }
    bool contains(const QRegularExpression& pattern) const;

    // Index of the first captured message containing `text` at or after `from`; -1 when none.
    int indexOf(const QString& text, int from = 0) const;

    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    bool forward;
    QtMessageHandler previousHandler = nullptr;
    LogCapture* previousCapture = nullptr;
    QList<Entry> captured;  // guarded by the capture mutex
};
