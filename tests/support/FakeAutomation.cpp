// The scripted automation server used by the AmiBroker tests.
#include "FakeAutomation.h"

QString describeArgs(const QVariantList& args)
{
    QStringList parts;
    for (const QVariant& arg : args)
        parts << arg.toString();
    return parts.join(QLatin1Char('|'));
}

namespace {

QString entry(const QString& object, const QString& member, const QVariantList& args)
{
    QString text = object + QLatin1Char('.') + member;
    if (!args.isEmpty())
        text += QStringLiteral(" [") + describeArgs(args) + QLatin1Char(']');
    return text;
}

} // namespace

FakeAutomationObject::FakeAutomationObject(const QString& name, AutomationLog log)
    : name(name)
    , log(std::move(log))
{
}

QVariant FakeAutomationObject::dynamicCall(const QString& function, const QVariantList& args)
{
    log->append(entry(name, function, args));
    if (onCall)
        return onCall(function, args);
    return results.value(function);
}

std::unique_ptr<AutomationObject> FakeAutomationObject::querySubObject(const QString& sub, const QVariantList& args)
{
    log->append(entry(name, sub, args));
    if (onSubObject)
        return onSubObject(sub, args);
    return nullptr;
}

QVariant FakeAutomationObject::property(const QString& prop) const
{
    log->append(name + QStringLiteral(".get ") + prop);
    if (onProperty)
        return onProperty(prop);
    return properties.value(prop);
}

bool FakeAutomationObject::setProperty(const QString& prop, const QVariant& value)
{
    log->append(name + QLatin1Char('.') + prop + QLatin1Char('=') + value.toString());
    properties.insert(prop, value);
    return true;
}

FakeAutomationBackend::FakeAutomationBackend()
    : log(std::make_shared<QStringList>())
{
}

std::unique_ptr<AutomationObject> FakeAutomationBackend::createObject(const QString& progId)
{
    const bool available = availability.value(qMin(createCount, availability.size() - 1), false);
    ++createCount;
    log->append(QStringLiteral("create ") + progId + (available ? QString() : QStringLiteral(" (none)")));
    if (!available)
        return std::make_unique<NullAutomationObject>();
    auto app = std::make_unique<FakeAutomationObject>(QStringLiteral("app"), log);
    if (setupApplication)
        setupApplication(*app);
    return app;
}

bool FakeAutomationBackend::startDetached(const QString& program)
{
    startedPrograms << program;
    return startSucceeds;
}

QString FakeAutomationBackend::registryString(const QString& key, const QString& valueName)
{
    log->append(QStringLiteral("registry ") + key + QLatin1Char(' ') + valueName);
    return installDir;
}
