#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "application_launcher.h"
#include "bundle_factory.h"
#include "file_error.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The launch's error text, or "" when it started.
QString launchError(const fs::path& bundle) {
    QFuture<void> future = openApplication(bundle, {.activates = true});
    try {
        future.waitForFinished();
    } catch (const LaunchError& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

QString quotedText(const fs::path& path) {
    return QString::fromStdString(files::quoted(path));
}

}  // namespace

class ApplicationLauncherTest : public QObject {
    Q_OBJECT

private slots:
    void refusesWhatCannotRun_data() {
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("expected");  // %1: the bundle, %2: its executable
        QTest::newRow("nothing there")
            << "missing"
            << "Nie można otworzyć aplikacji %1: w tym miejscu nie ma pakietu aplikacji.";
        QTest::newRow("a plain file")
            << "file"
            << "Nie można otworzyć aplikacji %1: w tym miejscu nie ma pakietu aplikacji.";
        QTest::newRow("no executable named")
            << "no key"
            << "Nie można otworzyć aplikacji %1: pakiet nie zawiera programu do uruchomienia.";
        QTest::newRow("executable missing")
            << "no file"
            << "Nie można otworzyć aplikacji %1: pakiet nie zawiera programu do uruchomienia.";
        QTest::newRow("executable without the execute bit")
            << "not executable"
            << "Nie można otworzyć aplikacji %1: plik %2 nie jest programem wykonywalnym.";
        QTest::newRow("the system cannot run it")
            << "bad format"
            << "Nie udało się uruchomić %2: Exec format error.";
    }

    void refusesWhatCannotRun() {
        QFETCH(QString, problem);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const fs::path bundle = pathOf(dir) / "Vantorel.app";
        const fs::path executable = bundle / "Contents" / "MacOS" / "Vantorel";
        if (problem == "file") {
            writeFile(bundle, "not a bundle");
        } else if (problem == "no key") {
            makeBundle(bundle, {.executableName = std::nullopt});
        } else if (problem == "no file") {
            makeBundle(bundle, {.writeExecutable = false});
        } else if (problem == "not executable") {
            makeBundle(bundle);
            fs::permissions(executable, fs::perms(0644));
        } else if (problem == "bad format") {
            makeBundle(bundle);
            writeFile(executable,
                      std::string("\x7f"
                                  "ELF garbage",
                                  12),
                      fs::perms(0755));
        }
        QCOMPARE(launchError(bundle),
                 expected.replace("%1", quotedText(bundle)).replace("%2", quotedText(executable)));
    }

    void startsTheApplicationDetached() {
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("launch");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / "Vantorel.app", identifier);

        QCOMPARE(launchError(bundle), QString());
        std::vector<RunningApplication> running;
        QTRY_VERIFY((running = RunningApplication::runningApplications(identifier)).size() == 1);
        const pid_t pid = running[0].processIdentifier();
        const fs::path proc = "/proc/" + std::to_string(pid);

        // A session of its own, the root folder as working folder, and nothing of ours open.
        QCOMPARE(::getsid(pid), pid);
        QCOMPARE(fs::read_symlink(proc / "cwd"), fs::path("/"));
        for (const char* descriptor : {"0", "1", "2"}) {
            QCOMPARE(fs::read_symlink(proc / "fd" / descriptor), fs::path("/dev/null"));
        }
        QVERIFY(!fs::exists(proc / "fd" / "3"));

        // Once it ends it is collected: no zombie stays behind.
        QVERIFY(running[0].forceTerminate());
        QTRY_VERIFY(!fs::exists(proc));
    }
};

QTEST_GUILESS_MAIN(ApplicationLauncherTest)
#include "tst_application_launcher.moc"
