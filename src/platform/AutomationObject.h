// A late-bound automation object (a COM dispatch interface on Windows), driven by method and
// property names, as AmiBroker's automation server "Broker.Application" is.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

class AutomationObject
{
public:
    virtual ~AutomationObject() = default;

    // True when the object holds no interface: the server is not registered, not running or
    // refused the connection. Every other call on a null object fails (invalid results).
    virtual bool isNull() const = 0;

    // Calls a method given by its signature text, e.g. "Import(int, QString, QString)".
    // The result is invalid when the call failed. May throw when the server raises an error.
    virtual QVariant dynamicCall(const QString& function, const QVariantList& args = {}) = 0;

    // A sub-object such as "Stocks" or "Add(QString)"; null when the server returns none.
    // A sub-object must not outlive the object it came from.
    virtual std::unique_ptr<AutomationObject> querySubObject(const QString& name,
                                                             const QVariantList& args = {}) = 0;

    // Property access; an invalid value (or false) when the property is not readable (writable).
    virtual QVariant property(const QString& name) const = 0;
    virtual bool setProperty(const QString& name, const QVariant& value) = 0;
};
