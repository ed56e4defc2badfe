// An optional source of instrument-master files that the symbol manager dialog accepts in place of
// its own downloads.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class ISymbolProvider : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QString brokerName() const = 0;
    // Starts loading one exchange's master; the answer is symbolsReady or providerError.
    virtual void requestSymbols(const QString& exchange) = 0;

    // The dialog that uses this source; set when the dialog installs it.
    QPointer<QObject> manager;

signals:
    void symbolsReady(QByteArray data, QString exchange);
    void providerError(QString error);
};
