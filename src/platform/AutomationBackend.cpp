// The automation backend of this platform: no automation server, real process start and pause.
#include "platform/AutomationBackend.h"

#include "platform/RegistryLookup.h"

#include <QProcess>
#include <QThread>

namespace {

class PlatformAutomationBackend : public AutomationBackend
{
public:
    void initializeThread() override {}

    std::unique_ptr<AutomationObject> createObject(const QString&) override
    {
        // No COM runtime here: AmiBroker's automation server can never answer.
        return std::make_unique<NullAutomationObject>();
    }

    bool startDetached(const QString& program) override
    {
        if (program.isEmpty())
            return false;
        QProcess process;
        process.setProgram(program);
        // Returns once the program has been started (or has failed to start).
        return process.startDetached();
    }

    void pause(int ms) override
    {
        if (ms > 0)
            QThread::msleep(static_cast<unsigned long>(ms));
    }

    QString registryString(const QString& key, const QString& valueName) override
    {
        return readMachineRegistryString(key, valueName);
    }
};

} // namespace

std::shared_ptr<AutomationBackend> createPlatformAutomationBackend()
{
    return std::make_shared<PlatformAutomationBackend>();
}
