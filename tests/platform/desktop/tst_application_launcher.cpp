#include <QtTest>
#include <fstream>

#include "application_launcher.h"
#include "bundle_factory.h"
#include "readable_error.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class ApplicationLauncherTest : public QObject {
    Q_OBJECT

private slots:
    void refusalsInOneSentence_data() {
        QTest::addColumn<QString>("bundle");  // what is at the bundle's place
        QTest::addColumn<QString>("reason");  // the words the sentence leads with
        for (const auto& [bundle, reason] :
             {std::pair{"missing", "Nie ma jej już w folderze „%1”"},
              {"no program", "Jej pakiet jest uszkodzony"},
              {"not executable", "Brak uprawnień"},
              {"noexec disk", "System plików"},
              {"program of another system", "Jej program nie jest przeznaczony"}}) {
            QTest::newRow(bundle) << QString(bundle) << QString(reason);
        }
    }

    // A start that fails says why, reason first, in one sentence that follows the screen's launch
    // failure prefix within its two lines, naming at most the folder that holds the bundle.
    void refusalsInOneSentence() {
        QFETCH(QString, bundle);
        QFETCH(QString, reason);
        QTemporaryDir dir("/tmp/vl-XXXXXX");  // as long as a real applications folder's path
        const fs::path folder = pathOf(dir) / (bundle == "noexec disk" ? "disk" : "");
        std::optional<TmpfsMount> disk;
        if (bundle == "noexec disk" &&
            !disk.emplace(folder, 1 << 20, TmpfsMount::Access::noPrograms).ok()) {
            QSKIP(disk->whyNot().constData());
        }
        const fs::path app = folder / "Vantorel.app";
        const fs::path program = app / "Contents/MacOS/Vantorel";
        if (bundle != "missing") {
            makeBundle(app, {.writeExecutable = bundle != "no program"});
        }
        if (bundle == "not executable") {
            fs::permissions(program, fs::perms(0644));
        } else if (bundle == "program of another system") {
            writeFile(program, "neither a script nor a program of this system", fs::perms(0755));
        }
        try {
            openApplication(app, {}).waitForFinished();
            QFAIL("started nothing, yet reported no error");
        } catch (const LaunchError& error) {
            const QString text = QString::fromUtf8(error.what());
            QVERIFY2(
                text.startsWith(reason.replace("%1", QString::fromStdString(app.parent_path()))) &&
                    text.endsWith('.') && !text.contains('\n') && !text.contains("Contents"),
                error.what());
            QVERIFY(messageLines("Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: " +
                                 text) <= 2);
        }
    }

    // The application runs in a session of its own, in the root folder, with nothing of the
    // installer's terminal, descriptors or working folder: the working folder that the caller's
    // shell recorded (the disk image the installer ran from) must not reach it, while every other
    // variable does. It is found by its identifier (another bundle of the same program is not an
    // instance), and a handle of an earlier process that had its PID never signals it.
    void startsABundleDetached() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("launch");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);
        QProcess other;  // another bundle of the same program
        other.start(QString::fromStdString(
            makeRunnableBundle(pathOf(dir) / "B.app", identifier + ".other") /
            "Contents/MacOS/Vantorel"));
        QVERIFY(other.waitForReadyRead(10000));
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

        const RunningApplication stale(pid, running[0].startTime() - 1);
        QVERIFY(!stale.forceTerminate() && !stale.terminate());
        // Had the stale SIGKILL arrived, the SIGTERM would find nothing to end.
        QVERIFY(running[0].terminate());
        QTRY_VERIFY(!fs::exists(proc));  // collected when it ends: no zombie stays behind
        other.kill();
        other.waitForFinished();
    }
};

QTEST_MAIN(ApplicationLauncherTest)
#include "tst_application_launcher.moc"
