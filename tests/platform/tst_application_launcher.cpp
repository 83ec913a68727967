#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <iterator>

#include "application_launcher.h"
#include "file_manager.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class ApplicationLauncherTest : public QObject {
    Q_OBJECT

private slots:
    // A start that cannot happen is reported, as one sentence on one line that names the folder
    // where the application was looked for.
    void aMissingBundleIsReportedInOneSentence() {
        QTemporaryDir dir;
        const fs::path bundle = pathOf(dir) / "Vantorel.app";
        try {
            openApplication(bundle, {}).waitForFinished();
            QFAIL("started nothing, yet reported no error");
        } catch (const LaunchError& error) {
            const QString text = QString::fromUtf8(error.what());
            // The folder in quotation marks, the closing one left open: it may end there.
            const QString folder =
                QString::fromStdString(files::quoted(bundle.parent_path())).chopped(1);
            QVERIFY2(text.contains(folder) && text.endsWith('.') && !text.contains('\n') &&
                         !text.contains("std::"),
                     error.what());
        }
    }

    // The application runs in a session of its own, in the root folder, with nothing of the
    // installer's terminal, descriptors or working folder: the working folder that the caller's
    // shell recorded (the disk image the installer ran from) must not reach it, while every other
    // variable does.
    void startsABundleDetached() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("launch");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        qputenv("PWD", "/media/image");
        qputenv("OLDPWD", "/media/image/Instalator Vantorel.app");
        qputenv("VANTOREL_TEST_MARKER", "kept");
        openApplication(bundle, {}).waitForFinished();

        std::vector<RunningApplication> running;
        QTRY_COMPARE((running = RunningApplication::runningApplications(identifier)).size(), 1u);
        const pid_t pid = running[0].processIdentifier();
        const fs::path proc = "/proc/" + std::to_string(pid);
        // The new program's environment is readable a moment after its executable is: the
        // start may be reported in between.
        const auto environmentOf = [&proc] {
            std::ifstream file(proc / "environ");
            return std::string{std::istreambuf_iterator<char>(file), {}};
        };
        std::string environment;
        QTRY_VERIFY(!(environment = environmentOf()).empty());
        QCOMPARE(::getsid(pid), pid);
        QCOMPARE(fs::read_symlink(proc / "cwd"), fs::path("/"));
        QCOMPARE(fs::read_symlink(proc / "fd" / "1"), fs::path("/dev/null"));
        QVERIFY(!fs::exists(proc / "fd" / "3"));
        const QStringList entries = QString::fromStdString(environment).split(QChar(0));
        QCOMPARE(entries.filter(QRegularExpression("^(OLD)?PWD=")), QStringList{"PWD=/"});
        QVERIFY(entries.contains("VANTOREL_TEST_MARKER=kept"));
        // Collected when it ends: no zombie stays behind.
        QVERIFY(running[0].forceTerminate());
        QTRY_VERIFY(!fs::exists(proc));
    }
};

QTEST_GUILESS_MAIN(ApplicationLauncherTest)
#include "tst_application_launcher.moc"
