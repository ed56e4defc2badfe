// A scripted stand-in for AmiBroker's automation server: records every call, answers from handlers.
#pragma once

#include "platform/AutomationBackend.h"

#include <QStringList>

#include <functional>
#include <memory>

// Calls on every object of one fake server go to one shared log: "app.RefreshAll()",
// "stocks.Add(QString) [NSE:X]", "quote.Open=10.5", "app.get Path".
using AutomationLog = std::shared_ptr<QStringList>;

class FakeAutomationObject : public AutomationObject
{
public:
    FakeAutomationObject(const QString& name, AutomationLog log) : name(name), log(std::move(log)) {}

    // Unset handlers answer with an invalid value or no sub-object. Handlers may throw.
    std::function<QVariant(const QString& function)> onCall;
    std::function<std::unique_ptr<AutomationObject>(const QString& name)> onSubObject;
    std::function<QVariant(const QString& name)> onProperty;
    const QString name;
    const AutomationLog log;

    bool isNull() const override { return false; }
    QVariant dynamicCall(const QString& function, const QVariantList& args) override
    {
        record(function, args);
        return onCall ? onCall(function) : QVariant();
    }
    std::unique_ptr<AutomationObject> querySubObject(const QString& sub, const QVariantList& args) override
    {
        record(sub, args);
        return onSubObject ? onSubObject(sub) : nullptr;
    }
    QVariant property(const QString& prop) const override
    {
        log->append(name + QStringLiteral(".get ") + prop);
        return onProperty ? onProperty(prop) : QVariant();
    }
    bool setProperty(const QString& prop, const QVariant& value) override
    {
        log->append(name + QLatin1Char('.') + prop + QLatin1Char('=') + value.toString());
        return true;
    }

private:
    void record(const QString& member, const QVariantList& args) const
    {
        QStringList parts;
        for (const QVariant& a : args)
            parts << a.toString();
        log->append(name + QLatin1Char('.') + member
                    + (args.isEmpty() ? QString() : QStringLiteral(" [") + parts.join(QLatin1Char('|')) + QLatin1Char(']')));
    }
};

class FakeAutomationBackend : public AutomationBackend
{
public:
    // Whether the n-th createObject finds the server; past the end the last entry repeats.
    QList<bool> availability{true};
    std::function<void(FakeAutomationObject&)> setupApplication; // scripts each application object
    QString installDir;                                           // the registry's "InstallDir"
    bool startSucceeds = true;
    bool supported = true; // false: a platform without automation, as this one

    AutomationLog log = std::make_shared<QStringList>();
    int createCount = 0;
    QStringList startedPrograms;
    QList<int> pauses;

    bool isSupported() const override { return supported; }
    void initializeThread() override {}
    std::unique_ptr<AutomationObject> createObject(const QString&) override
    {
        const bool available = availability.value(qMin(createCount++, availability.size() - 1));
        if (!available)
            return std::make_unique<NullAutomationObject>();
        auto app = std::make_unique<FakeAutomationObject>(QStringLiteral("app"), log);
        if (setupApplication)
            setupApplication(*app);
        return app;
    }
    bool startDetached(const QString& program) override
    {
        startedPrograms << program;
        return startSucceeds;
    }
    void pause(int ms) override { pauses << ms; }
    QString registryString(const QString&, const QString&) override { return installDir; }
};
