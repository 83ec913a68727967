#include <signal.h>

#include <QTemporaryDir>
#include <QtTest>

#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class RunningApplicationsTest : public QObject {
    Q_OBJECT

private slots:
    // Finding instances by identifier is also exercised by the launch tests; what is only here:
    // another bundle of the same program is not an instance, and a handle of an earlier process
    // that had the same PID is never signalled.
    void onlyTheRightProcessIsFoundAndSignalled() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("stale");
        const auto instance =
            startInstance(executableIn(makeRunnableBundle(pathOf(dir) / "A.app", identifier)));
        const auto other = startInstance(
            executableIn(makeRunnableBundle(pathOf(dir) / "B.app", identifier + ".other")));
        QVERIFY(instance && other);
        const auto running = RunningApplication::runningApplications(identifier);
        QCOMPARE(running.size(), size_t(1));
        QCOMPARE(running[0].processIdentifier(), pid_t(instance->processId()));

        const RunningApplication stale(running[0].processIdentifier(), running[0].startTime() - 1);
        QVERIFY(!stale.forceTerminate());
        QVERIFY(!stale.terminate());
        // Had the stale SIGKILL arrived, the later SIGTERM would not be what ended the process.
        QVERIFY(running[0].terminate());
        QVERIFY(instance->waitForFinished(10000));
        QCOMPARE(instance->exitCode(), SIGTERM);
        QVERIFY(RunningApplication::runningApplications(identifier).empty());
    }
};

QTEST_GUILESS_MAIN(RunningApplicationsTest)
#include "tst_running_applications.moc"
