// Child process for the start-up, log and crash tests: runs the real start-up steps, then logs, dies
// by a fatal message or by a signal, as the first argument says. Folders come from the environment
// (XDG_DATA_HOME), set by the test.
//   app_child run            the whole program, told to quit as soon as its event loop runs
//   app_child log            open the log, write one message of each level, exit 0
//   app_child fatal          open the log, then qFatal
//   app_child signal <name>  open the log, then raise SEGV, TERM, ABRT, FPE or ILL
//   app_child segfault       open the log, then write through a bad pointer
//   app_child nolog <name>   no log file at all, then raise the signal
//   app_child hold <path>    start an idle thread, use <path> (a FIFO the test holds) as the log
//                            file, then raise SEGV
//   app_child holdlock       take the one-copy lock, print "locked", hold it until standard input
//                            ends, touching nothing else
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

#include "app/Startup.h"
#include "platform/CrashHandler.h"

namespace {

int signalByName(const char* name)
{
    const struct {
        const char* name;
        int number;
    } table[] = {{"SEGV", SIGSEGV}, {"TERM", SIGTERM}, {"ABRT", SIGABRT}, {"FPE", SIGFPE}, {"ILL", SIGILL}};
    for (const auto& entry : table) {
        if (std::strcmp(entry.name, name) == 0)
            return entry.number;
    }
    return 0;
}

volatile std::uintptr_t g_badAddress = 16;
bool g_quitAtOnce = false;

// Runs inside the application object's constructor, so the quit waits for the event loop.
void scheduleQuit()
{
    if (g_quitAtOnce)
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(scheduleQuit)

int main(int argc, char* argv[])
{
    if (argc < 2)
        return 2;
    const QByteArray mode = argv[1];
    if (mode == "run") {
        g_quitAtOnce = true;
        return Startup::run(argc, argv);
    }

    QCoreApplication app(argc, argv);

    CrashHandler::install();
    Startup::setApplicationIdentity();

    if (mode == "holdlock") {
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
        QLockFile lock(Startup::instanceLockPath());
        Startup::LockHolder holder;
        if (!Startup::lockInstance(lock, &holder))
            return 4;
        std::printf("locked\n");
        std::fflush(stdout);
        while (std::getchar() != EOF) {
        }
        return 0;
    }

    if (mode == "nolog" || mode == "hold") {
        if (argc < 3)
            return 2;
        if (mode == "hold") {
            // A second, idle thread, as in the real program: a signal sent to the process while the
            // main thread writes its crash record may be delivered there.
            std::thread([] {
                for (;;)
                    ::pause();
            }).detach();
            CrashHandler::setLogFilePath(QString::fromLocal8Bit(argv[2]));
            std::raise(SIGSEGV);
        } else {
            std::raise(signalByName(argv[2]));
        }
        return 3;
    }

    if (!Startup::openLog())
        qInfo() << "child carried on without a log file";

    if (mode == "log") {
        qDebug() << "child debug line";
        qInfo() << "child info line";
        qWarning() << "child warning line";
        qCritical() << "child critical line";
        Startup::closeLog();
        qInfo() << "child line after close";
        return 0;
    }
    if (mode == "fatal") {
        qFatal("child fatal line");
    }
    if (mode == "signal" && argc >= 3) {
        const int signal = signalByName(argv[2]);
        if (signal == 0)
            return 2;
        std::raise(signal);
        return 3;
    }
    if (mode == "segfault") {
        *reinterpret_cast<volatile int*>(g_badAddress) = 1;
        return 3;
    }
    return 2;
}
