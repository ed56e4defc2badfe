// The platform services behind AmiBroker automation: creating automation objects by ProgID,
// starting the AmiBroker program, blocking pauses and the installation-folder lookup.
#pragma once

#include "platform/AutomationObject.h"

#include <QString>

#include <memory>

class AutomationBackend
{
public:
    virtual ~AutomationBackend() = default;

    // Whether an automation server can exist on this platform at all. When it cannot, there is
    // no point in asking for imports: nothing could ever answer them.
    virtual bool isSupported() const { return true; }

    // Prepares the calling thread for automation (COM initialisation on Windows).
    virtual void initializeThread() = 0;

    // Connects to the server registered under progId. Never returns a null pointer: when the
    // server is unavailable the object reports isNull().
    virtual std::unique_ptr<AutomationObject> createObject(const QString& progId) = 0;

    // Starts program with no arguments, detached so it outlives us; false when it did not start.
    virtual bool startDetached(const QString& program) = 0;

    // Blocks the calling thread for ms milliseconds (the server needs time after a launch).
    virtual void pause(int ms) = 0;

    // A string value of the machine-wide registry (key as "HKEY_LOCAL_MACHINE\\SOFTWARE\\...");
    // empty when absent.
    virtual QString registryString(const QString& key, const QString& valueName) = 0;
};

// The backend of this platform. No automation server can exist here: every object it creates is
// null, so callers take their "AmiBroker not available" road; it starts no program and pauses
// not at all. (A build for AmiBroker's own platform supplies a backend over ActiveQt instead.)
std::shared_ptr<AutomationBackend> createPlatformAutomationBackend();

// An automation object that holds no interface; every call fails.
class NullAutomationObject : public AutomationObject
{
public:
    bool isNull() const override { return true; }
    QVariant dynamicCall(const QString&, const QVariantList&) override { return {}; }
    std::unique_ptr<AutomationObject> querySubObject(const QString&, const QVariantList&) override
    {
        return nullptr;
    }
    QVariant property(const QString&) const override { return {}; }
    bool setProperty(const QString&, const QVariant&) override { return false; }
};
