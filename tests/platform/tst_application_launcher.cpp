#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <iterator>

#include "application_launcher.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class ApplicationLauncherTest : public QObject {
    Q_OBJECT

private slots:
    // The application starts in the root folder; the working folder that the caller's shell
    // recorded (here the disk image the installer ran from) must not reach it, while every other
    // variable does.
    void theStartedApplicationInheritsNoWorkingFolderOfTheCaller() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("environment");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        qputenv("PWD", "/media/image");
        qputenv("OLDPWD", "/media/image/Instalator Vantorel.app");
        qputenv("VANTOREL_TEST_MARKER", "kept");
        openApplication(bundle, {}).waitForFinished();

        std::vector<RunningApplication> running;
        QTRY_COMPARE((running = RunningApplication::runningApplications(identifier)).size(), 1u);
        std::ifstream file("/proc/" + std::to_string(running[0].processIdentifier()) + "/environ");
        const std::string environ{std::istreambuf_iterator<char>(file), {}};
        QVERIFY(running[0].forceTerminate());
        const QStringList entries = QString::fromStdString(environ).split(QChar(0));
        QCOMPARE(entries.filter(QRegularExpression("^(OLD)?PWD=")), QStringList{"PWD=/"});
        QVERIFY(entries.contains("VANTOREL_TEST_MARKER=kept"));
    }
};

QTEST_GUILESS_MAIN(ApplicationLauncherTest)
#include "tst_application_launcher.moc"
