// A scripted stand-in for AmiBroker's automation server: records every call, returns scripted values.
#pragma once

#include "platform/AutomationBackend.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

// Every call on any object of one fake tree is appended to one shared log, as
// "<object>.<member>" followed by " [arg|arg|...]" when there are arguments, or for property
// writes "<object>.<property>=<value>".
using AutomationLog = std::shared_ptr<QStringList>;

class FakeAutomationObject : public AutomationObject
{
public:
    using CallHandler = std::function<QVariant(const QString& function, const QVariantList& args)>;
    using SubObjectHandler =
        std::function<std::unique_ptr<AutomationObject>(const QString& name, const QVariantList& args)>;

    FakeAutomationObject(const QString& name, AutomationLog log);

    // Scripting: results by function text (unknown functions give an invalid value), readable
    // properties, sub-objects; handlers, when set, win over the tables and may throw.
    QHash<QString, QVariant> results;
    QHash<QString, QVariant> properties;
    CallHandler onCall;
    SubObjectHandler onSubObject;
    std::function<QVariant(const QString& name)> onProperty;

    const QString name;
    const AutomationLog log;

    bool isNull() const override { return false; }
    QVariant dynamicCall(const QString& function, const QVariantList& args = {}) override;
    std::unique_ptr<AutomationObject> querySubObject(const QString& name, const QVariantList& args = {}) override;
    QVariant property(const QString& name) const override;
    bool setProperty(const QString& name, const QVariant& value) override;
};

class FakeAutomationBackend : public AutomationBackend
{
public:
    FakeAutomationBackend();

    // Whether the n-th createObject finds the server; past the end the last entry repeats.
    QList<bool> availability{true};
    // Configures every application object the backend hands out.
    std::function<void(FakeAutomationObject&)> setupApplication;
    QString installDir;       // the registry's "InstallDir"
    bool startSucceeds = true;

    AutomationLog log;
    int initializeCount = 0;
    int createCount = 0;
    QStringList startedPrograms;
    QList<int> pauses;

    void initializeThread() override { ++initializeCount; }
    std::unique_ptr<AutomationObject> createObject(const QString& progId) override;
    bool startDetached(const QString& program) override;
    void pause(int ms) override { pauses << ms; }
    QString registryString(const QString& key, const QString& valueName) override;
};

QString describeArgs(const QVariantList& args);
