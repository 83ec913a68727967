#include <signal.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include "fake_services.h"
#include "installer_view.h"
#include "runnable_bundle.h"
#include "temp_home.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

// The signal that ended the process (0 while it runs or when it exited normally).
int endingSignal(QProcess& process) {
    // A process whose end the event loop has already seen is no longer waited for.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(10000)) {
        return 0;
    }
    return process.exitStatus() == QProcess::CrashExit ? process.exitCode() : 0;
}

// Real instances of a test bundle, found through the services under the test's own identifier.
struct Fixture {
    QTemporaryDir dir;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    InstallerView view{services};
    std::filesystem::path executable;

    Fixture() {
        services->runningIdentifier = uniqueBundleIdentifier("closing");
        executable = executableIn(
            makeRunnableBundle(pathOf(dir) / "Vantorel.app", services->runningIdentifier));
    }

    bool ask() {
        return QCoro::waitFor(
            view.zapytajIZamknij(services->runningApplications(applicationBundleIdentifier)));
    }
};

}  // namespace

class ClosingQuestionTest : public QObject {
    Q_OBJECT

private slots:
    void cancelSendsNothing() {
        Fixture fixture;
        const auto instance = startInstance(fixture.executable);
        QVERIFY(instance);
        fixture.services->alertResponse = alertFirstButtonReturn + 1;  // "Anuluj"
        QVERIFY(!fixture.ask());
        QVERIFY(fixture.services->terminated.empty() && fixture.services->forceTerminated.empty());
        QCOMPARE(instance->state(), QProcess::Running);
    }

    void consentWhenAllHaveQuitNeedsNoPause() {
        Fixture fixture;
        fixture.services->fixedRunning = {
            {RunningApplication(4242, 1), RunningApplication(4243, 1)}};
        QVERIFY(fixture.ask());
        QCOMPARE(fixture.services->terminated.size(), size_t(2));
        QVERIFY(fixture.services->pauses.empty());
    }

    void whatStaysIsForceQuit_data() {
        QTest::addColumn<bool>("pausesCancelled");
        QTest::newRow("pauses pass") << false;
        QTest::newRow("pauses cancelled") << true;
    }

    void whatStaysIsForceQuit() {
        QFETCH(bool, pausesCancelled);
        Fixture fixture;
        const auto stubborn = startInstance(fixture.executable, {"--ignore-term"});
        QVERIFY(stubborn);
        std::unique_ptr<QProcess> late;  // started during the wait: never asked, force-quit too
        fixture.services->onPause = [&](int pause) {
            if (pause == 5) {
                late = startInstance(fixture.executable);
            }
        };
        fixture.services->cancelledPauses = pausesCancelled;

        QVERIFY(fixture.ask());
        std::vector<std::chrono::nanoseconds> expectedPauses(30, 100ms);
        expectedPauses.push_back(500ms);
        QCOMPARE(fixture.services->pauses, expectedPauses);
        QCOMPARE(fixture.services->terminated.size(), size_t(1));
        QCOMPARE(endingSignal(*stubborn), SIGKILL);
        QVERIFY(late);
        QCOMPARE(endingSignal(*late), SIGKILL);
    }

    void theWholeWaitTakesAboutThreeAndAHalfSeconds() {
        Fixture fixture;
        fixture.services->realPauses = true;
        const auto stubborn = startInstance(fixture.executable, {"--ignore-term"});
        QVERIFY(stubborn);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(fixture.ask());
        QVERIFY2(clock.elapsed() >= 3400 && clock.elapsed() < 6000,
                 QByteArray::number(clock.elapsed()));
        QCOMPARE(endingSignal(*stubborn), SIGKILL);
    }
};

QTEST_GUILESS_MAIN(ClosingQuestionTest)
#include "tst_closing_question.moc"
