#include <signal.h>

#include <QTemporaryDir>
#include <QtTest>

#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

std::vector<pid_t> runningWith(const std::string& identifier) {
    std::vector<pid_t> pids;
    for (const auto& application : RunningApplication::runningApplications(identifier)) {
        pids.push_back(application.processIdentifier());
    }
    return pids;
}

}  // namespace

class RunningApplicationsTest : public QObject {
    Q_OBJECT

private slots:
    void foundByIdentifierOnlyWhileRunning() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("find");
        const auto instance =
            startInstance(executableIn(makeRunnableBundle(pathOf(dir) / "A.app", identifier)));
        // Same program, another bundle identifier: not an instance of the first.
        const auto other = startInstance(
            executableIn(makeRunnableBundle(pathOf(dir) / "B.app", identifier + ".other")));
        QVERIFY(instance && other);

        QCOMPARE(runningWith(identifier), std::vector{pid_t(instance->processId())});
        instance->kill();
        QVERIFY(instance->waitForFinished(10000));
        QCOMPARE(runningWith(identifier), std::vector<pid_t>{});
    }

    void staleHandleIsNeverSignalled() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("stale");
        const auto instance =
            startInstance(executableIn(makeRunnableBundle(pathOf(dir) / "A.app", identifier)));
        QVERIFY(instance);
        const auto running = RunningApplication::runningApplications(identifier);
        QCOMPARE(running.size(), size_t(1));

        // A handle of an earlier process that had the same PID.
        const RunningApplication stale(running[0].processIdentifier(), running[0].startTime() - 1);
        QVERIFY(!stale.forceTerminate());
        QVERIFY(!stale.terminate());

        // Had the stale SIGKILL arrived, the later SIGTERM would not be what ended the process.
        QVERIFY(running[0].terminate());
        QVERIFY(instance->waitForFinished(10000));
        QCOMPARE(instance->exitCode(), SIGTERM);
    }
};

QTEST_GUILESS_MAIN(RunningApplicationsTest)
#include "tst_running_applications.moc"
