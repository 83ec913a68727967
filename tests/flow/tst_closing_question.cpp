#include <signal.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "fake_services.h"
#include "installer_view.h"
#include "runnable_bundle.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

// The signal that ended the process, once it has ended; 0 when it did not end by a signal.
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

struct Fixture {
    QTemporaryDir dir;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    InstallerView view{services};
    fs::path bundle;

    Fixture() {
        services->runningIdentifier = uniqueBundleIdentifier("closing");
        bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", services->runningIdentifier);
    }

    std::vector<RunningApplication> running() {
        return RunningApplication::runningApplications(services->runningIdentifier);
    }

    bool ask(std::vector<RunningApplication> instances) {
        services->runningQueries = 0;
        return runToEnd(view.zapytajIZamknij(std::move(instances)));
    }
};

}  // namespace

class ClosingQuestionTest : public QObject {
    Q_OBJECT

private slots:
    void asksWithTheFixedTexts() {
        Fixture fixture;
        fixture.services->alertResponse = alertFirstButtonReturn + 1;
        QVERIFY(!fixture.ask({}));
        QCOMPARE(fixture.services->alerts.size(), size_t(1));
        const AlertContent& alert = fixture.services->alerts[0];
        QCOMPARE(alert.messageText, QString("Zamknąć Vantorel, żeby zainstalować nową wersję?"));
        QCOMPARE(alert.informativeText,
                 QString("Program jest teraz uruchomiony. Zamkniemy go, zainstalujemy aktualizację "
                         "i otworzymy ponownie. Twoje ustawienia i licencja zostają."));
        QCOMPARE(alert.buttons, (QStringList{"Zamknij i zainstaluj", "Anuluj"}));
    }

    void onlyTheFirstButtonConsents_data() {
        QTest::addColumn<int>("response");
        QTest::newRow("Anuluj") << 1001;
        QTest::newRow("some other response") << 1002;
        QTest::newRow("the platform's abort response") << -1001;
    }

    void onlyTheFirstButtonConsents() {
        QFETCH(int, response);
        Fixture fixture;
        const auto instance = startInstance(executableIn(fixture.bundle));
        QVERIFY(instance);
        fixture.services->alertResponse = response;

        QVERIFY(!fixture.ask(fixture.running()));
        QVERIFY(fixture.services->terminated.empty());
        QVERIFY(fixture.services->forceTerminated.empty());
        QVERIFY(fixture.services->pauses.empty());
        QCOMPARE(fixture.running().size(), size_t(1));
    }

    void consentWhenEverythingHasEndedNeedsNoPause() {
        Fixture fixture;
        const auto instance = startInstance(executableIn(fixture.bundle));
        QVERIFY(instance);
        const auto running = fixture.running();
        instance->kill();
        QVERIFY(instance->waitForFinished(10000));

        QVERIFY(fixture.ask(running));
        QCOMPARE(fixture.services->terminated, running);  // sent all the same
        QCOMPARE(fixture.services->runningQueries, 1);
        QVERIFY(fixture.services->pauses.empty());
        QVERIFY(fixture.services->forceTerminated.empty());
    }

    void anInstanceThatQuitsIsNotForced() {
        Fixture fixture;
        const auto instance = startInstance(executableIn(fixture.bundle));
        QVERIFY(instance);
        const auto running = fixture.running();

        QVERIFY(fixture.ask(running));
        QCOMPARE(fixture.services->terminated, running);
        QCOMPARE(endingSignal(*instance), SIGTERM);
        QVERIFY(fixture.services->forceTerminated.empty());
        QVERIFY(fixture.services->pauses.size() < 30);
    }

    void instancesThatStayAreForceQuit_data() {
        QTest::addColumn<bool>("secondStartsDuringTheWait");
        QTest::addColumn<bool>("pausesCancelled");
        QTest::newRow("one that ignores quit") << false << false;
        QTest::newRow("and one started during the wait") << true << false;
        QTest::newRow("with every pause cancelled") << false << true;
    }

    void instancesThatStayAreForceQuit() {
        QFETCH(bool, secondStartsDuringTheWait);
        QFETCH(bool, pausesCancelled);
        Fixture fixture;
        const auto stubborn = startInstance(executableIn(fixture.bundle), {"--ignore-term"});
        QVERIFY(stubborn);
        std::unique_ptr<QProcess> late;
        if (secondStartsDuringTheWait) {
            fixture.services->onPause = [&](int pause) {
                if (pause == 5) {
                    late = startInstance(executableIn(fixture.bundle));
                }
            };
        }
        fixture.services->cancelledPauses = pausesCancelled;
        const auto running = fixture.running();

        QVERIFY(fixture.ask(running));
        QCOMPARE(fixture.services->terminated, running);
        // 30 pauses of 0.1 s while waiting, then one of 0.5 s after the force-quit requests.
        std::vector<std::chrono::nanoseconds> expectedPauses(30, 100ms);
        expectedPauses.push_back(500ms);
        QCOMPARE(fixture.services->pauses, expectedPauses);
        QCOMPARE(fixture.services->forceTerminated.size(), secondStartsDuringTheWait ? 2u : 1u);
        QCOMPARE(endingSignal(*stubborn), SIGKILL);
        if (secondStartsDuringTheWait) {
            QVERIFY(late);
            QCOMPARE(endingSignal(*late), SIGKILL);
        }
    }

    void theWholeWaitTakesAboutThreeAndAHalfSeconds() {
        Fixture fixture;
        fixture.services->realPauses = true;
        const auto stubborn = startInstance(executableIn(fixture.bundle), {"--ignore-term"});
        QVERIFY(stubborn);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(fixture.ask(fixture.running()));
        const auto elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 3400 && elapsed < 6000, QByteArray::number(elapsed));
        QCOMPARE(endingSignal(*stubborn), SIGKILL);
    }
};

QTEST_GUILESS_MAIN(ClosingQuestionTest)
#include "tst_closing_question.moc"
