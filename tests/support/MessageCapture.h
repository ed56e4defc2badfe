// Captures the messages of the Qt message functions for the lifetime of the object.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    // Messages containing fragment (of the given type, or any type when omitted).
    int count(const QString& fragment) const;
    int count(const QString& fragment, QtMsgType type) const;
    bool contains(const QString& fragment) const { return count(fragment) > 0; }
    QStringList messages() const;
    void clear();
};
