#include <signal.h>

#include <QtTest>

#include "bundle_factory.h"

// True once the process has installed a handler for SIGTERM (its SigCgt mask in /proc).
static bool catchesSigterm(qint64 pid) {
    const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("SigCgt:\t");
    return at != std::string::npos &&
           ((std::stoull(status.substr(at + 8, 16), nullptr, 16) >> (SIGTERM - 1)) & 1);
}

// The demo application quits cleanly when asked to. (That the build lays it out, signed, inside
// the installer, the end-to-end runs show: the installer accepts and starts it.)
class DemoTest : public QObject {
    Q_OBJECT

private slots:
    void demoQuitsCleanlyOnSigterm() {
        QProcess demo;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("ASAN_OPTIONS", "detect_leaks=0");  // leaks of the GUI stack at exit
        demo.setProcessEnvironment(environment);
        demo.start(DEMO_BUNDLE "/Contents/MacOS/Vantorel", {});
        QVERIFY(demo.waitForStarted());  // before that, the child is still a copy of this program
        QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(demo.processId()), 20000);
        QCOMPARE(::kill(pid_t(demo.processId()), SIGTERM), 0);
        QVERIFY(demo.waitForFinished(20000));
        QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(demo.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(DemoTest)
#include "tst_demo.moc"
