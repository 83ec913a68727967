#include <signal.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "bundle_factory.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

std::vector<pid_t> processIdentifiers(const std::vector<RunningApplication>& applications) {
    std::vector<pid_t> pids;
    for (const auto& application : applications) {
        pids.push_back(application.processIdentifier());
    }
    return pids;
}

std::vector<pid_t> runningWith(const std::string& identifier) {
    return processIdentifiers(RunningApplication::runningApplications(identifier));
}

// The signal that ended the process, once it has ended.
int endingSignal(QProcess& process) {
    // A process whose end the event loop has already seen is no longer waited for.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(10000)) {
        return 0;
    }
    if (process.exitStatus() != QProcess::CrashExit) {
        return 0;
    }
    return process.exitCode();
}

}  // namespace

class RunningApplicationsTest : public QObject {
    Q_OBJECT

private slots:
    void findsInstancesByTheirBundle_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("found");
        QTest::newRow("bundle with the identifier") << "same" << true;
        QTest::newRow("bundle with another identifier") << "other" << false;
        QTest::newRow("folder without the .app ending") << "no suffix" << false;
        QTest::newRow("executable outside Contents/MacOS") << "outside" << false;
    }

    void findsInstancesByTheirBundle() {
        QFETCH(QString, layout);
        QFETCH(bool, found);
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("find");
        const fs::path bundle = pathOf(dir) / (layout == "no suffix" ? "Vantorel" : "Vantorel.app");
        makeRunnableBundle(bundle, layout == "other" ? identifier + ".other" : identifier);
        fs::path executable = executableIn(bundle);
        if (layout == "outside") {
            executable = bundle / "Contents" / "Helpers" / "Vantorel";
            fs::create_directories(executable.parent_path());
            fs::copy_file(executableIn(bundle), executable);
        }

        const auto instance = startInstance(executable);
        QVERIFY(instance);
        const auto pid = static_cast<pid_t>(instance->processId());
        const std::vector<pid_t> expected = found ? std::vector<pid_t>{pid} : std::vector<pid_t>{};
        QCOMPARE(runningWith(identifier), expected);

        instance->kill();
        QVERIFY(instance->waitForFinished(10000));
        QCOMPARE(runningWith(identifier), std::vector<pid_t>{});
    }

    void listsEveryInstanceOldestFirst() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("order");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        const auto first = startInstance(executableIn(bundle));
        const auto second = startInstance(executableIn(bundle));
        QVERIFY(first && second);

        const auto running = RunningApplication::runningApplications(identifier);
        QCOMPARE(processIdentifiers(running),
                 (std::vector<pid_t>{static_cast<pid_t>(first->processId()),
                                     static_cast<pid_t>(second->processId())}));
        QVERIFY(running[0].startTime() <= running[1].startTime());
    }

    void quitRequests_data() {
        QTest::addColumn<bool>("ignoresTerm");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("signal");
        QTest::newRow("quit") << false << false << SIGTERM;
        QTest::newRow("force quit") << false << true << SIGKILL;
        QTest::newRow("force quit of one that ignores quit") << true << true << SIGKILL;
    }

    void quitRequests() {
        QFETCH(bool, ignoresTerm);
        QFETCH(bool, force);
        QFETCH(int, signal);
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("quit");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        const auto instance = startInstance(
            executableIn(bundle), ignoresTerm ? QStringList{"--ignore-term"} : QStringList{});
        QVERIFY(instance);
        const auto running = RunningApplication::runningApplications(identifier);
        QCOMPARE(running.size(), size_t(1));

        QVERIFY(force ? running[0].forceTerminate() : running[0].terminate());
        QCOMPARE(endingSignal(*instance), signal);
        // Once it has ended, a request reaches nobody.
        QVERIFY(!running[0].terminate());
        QVERIFY(!running[0].forceTerminate());
    }

    void staleHandleIsNeverSignalled() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("stale");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        const auto instance = startInstance(executableIn(bundle));
        QVERIFY(instance);
        const auto running = RunningApplication::runningApplications(identifier);
        QCOMPARE(running.size(), size_t(1));

        // A handle taken of an earlier process that had the same PID.
        const RunningApplication stale(running[0].processIdentifier(), running[0].startTime() - 1);
        QVERIFY(!stale.forceTerminate());
        QVERIFY(!stale.terminate());

        // Had the stale SIGKILL arrived, the process would not end by the later SIGTERM.
        QVERIFY(running[0].terminate());
        QCOMPARE(endingSignal(*instance), SIGTERM);
    }
};

QTEST_GUILESS_MAIN(RunningApplicationsTest)
#include "tst_running_applications.moc"
