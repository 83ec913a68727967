#include <signal.h>

#include <QProcess>
#include <QtTest>
#include <filesystem>

#include "application_identity.h"
#include "bundle.h"
#include "bundle_factory.h"
#include "code_signature.h"

namespace fs = std::filesystem;

namespace {

// True once the process has installed a handler for SIGTERM (its SigCgt mask in /proc).
bool catchesSigterm(qint64 pid) {
    const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("SigCgt:\t");
    return at != std::string::npos &&
           ((std::stoull(status.substr(at + 8, 16), nullptr, 16) >> (SIGTERM - 1)) & 1);
}

}  // namespace

// What the build lays out: the signed demo application and the installer bundle that carries it.
class DemoTest : public QObject {
    Q_OBJECT

private slots:
    void builtBundles_data() {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("identifierSuffix");  // after the application's identifier
        QTest::newRow("demo") << DEMO_BUNDLE << "";
        QTest::newRow("installer payload")
            << INSTALLER_BUNDLE "/Contents/Resources/Payload/Vantorel.app"
            << "";
        QTest::newRow("installer") << INSTALLER_BUNDLE << ".installer";
    }

    void builtBundles() {
        QFETCH(QString, bundle);
        QFETCH(QString, identifierSuffix);
        const fs::path location = bundle.toStdString();
        const auto opened = Bundle::open(location);
        QVERIFY(opened.has_value());
        QCOMPARE(opened->bundleIdentifier(),
                 std::optional(std::string(applicationBundleIdentifier) +
                               identifierSuffix.toStdString()));
        if (identifierSuffix.isEmpty()) {  // the application itself: runnable and signed
            QCOMPARE(opened->executableURL(),
                     std::optional(location / "Contents" / "MacOS" / "Vantorel"));
            const auto check = codesign::verifyBundleSignature(location);
            QVERIFY2(check.valid, check.reason.c_str());
        }
    }

    void demoQuitsCleanlyOnSigterm() {
        QProcess demo;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("ASAN_OPTIONS", "detect_leaks=0");  // leaks of the GUI stack at exit
        demo.setProcessEnvironment(environment);
        demo.start(DEMO_BUNDLE "/Contents/MacOS/Vantorel", {});
        QVERIFY(demo.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(demo.processId()), 20000);
        QCOMPARE(::kill(pid_t(demo.processId()), SIGTERM), 0);
        QVERIFY(demo.waitForFinished(20000));
        QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(demo.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(DemoTest)
#include "tst_demo.moc"
