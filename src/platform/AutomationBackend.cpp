// The automation backend of this platform: AmiBroker's automation server cannot exist here.
#include "platform/AutomationBackend.h"

#include "platform/RegistryLookup.h"

namespace {

// Stands in for the COM runtime of the AmiBroker host platform. No server can ever answer, so
// starting the AmiBroker program could not make one appear, and the waits that give a starting
// server time would only freeze the GUI thread (the batch import is requested after every flush):
// nothing is started and nothing waits.
class UnavailableAutomationBackend : public AutomationBackend
{
public:
    bool isSupported() const override { return false; }

    void initializeThread() override {}

    std::unique_ptr<AutomationObject> createObject(const QString&) override
    {
        return std::make_unique<NullAutomationObject>();
    }

    bool startDetached(const QString&) override { return false; }

    void pause(int) override {}

    QString registryString(const QString& key, const QString& valueName) override
    {
        return readMachineRegistryString(key, valueName);
    }
};

} // namespace

std::shared_ptr<AutomationBackend> createPlatformAutomationBackend()
{
    return std::make_shared<UnavailableAutomationBackend>();
}
