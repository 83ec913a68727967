// The desktop layer: starting applications and finding them running, desktop entries, and the
// installer's claim that keeps a second start from running beside the first.
#include <sys/socket.h>
#include <sys/un.h>

#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include "application_launcher.h"
#include "application_registry.h"
#include "bundle_factory.h"
#include "desktop_entry.h"
#include "installer_claim.h"
#include "readable_error.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

// Runs a program to its end: its exit status (-1 when it crashed or did not end) and what it wrote
// on both channels. The output goes through a file, not a pipe, so that a program it starts and
// leaves running never writes into a closed pipe.
static std::pair<int, QString> run(const QString& program, const QStringList& arguments) {
    QTemporaryFile output;
    output.open();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(output.fileName());
    process.start(program, arguments);
    const bool ended =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromUtf8(output.readAll())};
}

// An identifier no other test process uses, so that tests running side by side never see or
// signal each other's instances.
static std::string uniqueBundleIdentifier(const std::string& name) {
    return "test.vantorel." + name + ".p" + std::to_string(::getpid());
}

// A bundle whose executable is a real program: a copy of the test helper, so that the running
// process's executable lies inside the bundle. It prints "ready" and runs until signalled.
static fs::path makeRunnableBundle(const fs::path& location, const std::string& identifier) {
    makeBundle(location, {.identifier = identifier});
    fs::copy_file(VANTOREL_TEST_APP_HELPER, location / "Contents/MacOS/Vantorel",
                  fs::copy_options::overwrite_existing);
    return location;
}

static const std::string claimName = "pl.vantorel.test.installer";

// What the installer that holds the claim does while a later start asks it to come to the front.
enum class Running { serves, holdsWithoutServing, endsMeanwhile };

// A socket file at `path` that nothing listens on any more, as a killed installer leaves it.
static void leaveDeadSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.native().copy(address.sun_path, sizeof(address.sun_path) - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

Q_DECLARE_METATYPE(Running)

class DesktopTest : public QObject {
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
        std::string environment;
        QTRY_VERIFY(!(environment = readFile(proc / "environ")).empty());
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

    void entriesThatDesktopsAccept_data() {
        QTest::addColumn<QByteArray>("folder");       // of the bundle, inside a temporary folder
        QTest::addColumn<QByteArray>("displayName");  // CFBundleDisplayName; empty: none
        QTest::addColumn<QByteArray>("name");         // Name of the entry; empty: no entry
        const auto row = [](const char* tag, const char* folder, const char* display,
                            const char* name) {
            QTest::newRow(tag) << QByteArray(folder) << QByteArray(display) << QByteArray(name);
        };
        row("spaces, quotes, shell characters", "A b \"q\" 'q' $HOME `x` ;&|<>*?#()~=/Vantorel.app",
            "Vantorel \"Pro\"", "Vantorel \"Pro\"");
        row("percent, backslash, Polish letters", "Zażółć 100% %f %% a\\b/Vantorel.app",
            " Van\ttorel\x01 ", "Van torel");
        row("tab and line break", "a\tb\nc/Vantorel.app", "", "Vantorel");
        row("not UTF-8", "\xff/Vantorel.app", "", "");
        row("control character", "a\x01z/Vantorel.app", "", "");
    }

    // Every entry written passes the freedesktop.org validator, carries the bundle's name and icon,
    // names the bundle in our key, and GLib's loader, which GNOME's menus use, starts the bundle's
    // executable from it. Unregistering removes it. A path that no entry can hold gets no entry,
    // and nothing is left in the folder.
    void entriesThatDesktopsAccept() {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, displayName);
        QFETCH(QByteArray, name);
        TempHome home;
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("entries");
        const fs::path bundle = makeRunnableBundle(pathOf(dir) / folder.toStdString(), identifier);
        const fs::path icon = bundle / "Contents" / "Resources" / "AppIcon.png";
        writeInfoPlist(bundle, {.identifier = identifier,
                                .strings = {{"CFBundleIconFile", "AppIcon"},
                                            {"CFBundleDisplayName", displayName.toStdString()}}});
        writeFile(icon, "PNG");
        const fs::path applications = home.path() / ".local/share/applications";
        const fs::path entry = applications / (identifier + ".desktop");
        QCOMPARE(registerApplication(bundle), !name.isEmpty());
        if (name.isEmpty()) {
            QVERIFY(!fs::exists(applications) || fs::is_empty(applications));
            fs::remove_all(bundle.parent_path());  // a name QTemporaryDir cannot remove
            return;
        }
        QCOMPARE(run("desktop-file-validate", {QFile::decodeName(entry.c_str())}),
                 std::pair(0, QString()));
        QCOMPARE(desktopEntryValue(readFile(entry), "Name"), name.toStdString());
        QCOMPARE(desktopEntryValue(readFile(entry), "Icon"), icon.native());
        QCOMPARE(registeredApplications(), std::vector{bundle});

        const auto [status, output] =
            run("xvfb-run", {"-a", "gtk-launch", QString::fromStdString(identifier + ".desktop")});
        QVERIFY2(status == 0, qPrintable(output));
        std::vector<RunningApplication> running;
        QTRY_COMPARE((running = RunningApplication::runningApplications(identifier)).size(), 1u);
        QVERIFY(running[0].forceTerminate());

        unregisterApplication(bundle);
        QVERIFY(fs::is_empty(applications));  // no temporary file either
    }

    void existingEntries_data() {
        QTest::addColumn<QString>("what");  // at the entry's name
        for (const char* what :
             {"ours, named", "ours, no name", "another program's", "link", "root"}) {
            QTest::newRow(what) << QString(what);
        }
    }

    // An entry of ours that others changed keeps their changes: only our keys follow the bundle,
    // and a name is added only where there is none. An entry of that name that is not ours, or a
    // link there, stays byte for byte; as root, nothing is written into another user's data home.
    void existingEntries() {
        QFETCH(QString, what);
        TempHome home;
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("existing");
        const fs::path bundle = makeBundle(
            pathOf(dir) / "Vantorel.app",
            {.identifier = identifier, .strings = {{"CFBundleIconFile", "AppIcon.png"}}});
        writeFile(bundle / "Contents/Resources/AppIcon.png", "PNG");
        const fs::path applications = home.path() / ".local/share/applications";
        const fs::path entry = applications / (identifier + ".desktop");
        // $P: the bundle, $I: the icon, $N: the name, $A: a name added.
        QString edited =
            "# Edited by a menu editor\n[Desktop Entry]\nType=Application\n"
            "Name[pl]=Vantorel po polsku\n$NComment=A program\nComment[de]=Ein\n"
            "Exec=\"$P/Contents/MacOS/Vantorel\" --verbose %f\n"
            "TryExec=$P/Contents/MacOS/Vantorel\nIcon=$I\nNoDisplay=true\n"
            "X-Vantorel-Bundle=$P\nActions=window;\n$A\n# The editor's action\n"
            "[Desktop Action window]\nName=New window\nExec=/opt/old --new\n";
        edited.replace("$N", what == "ours, no name" ? "" : "Name=Mój Vantorel\n");
        QString updated = edited;
        edited.replace("$P", "/old/Vantorel.app").replace("$I", "/old/icon.png").remove("$A");
        updated.replace("$P", QString::fromStdString(bundle))
            .replace("$I", QString::fromStdString(bundle / "Contents/Resources/AppIcon.png"))
            .replace("$A", what == "ours, no name" ? "Name=Vantorel\n" : "");
        const std::string before = what == "another program's"
                                       ? "[Desktop Entry]\nType=Application\nName=O\nExec=o\n"
                                       : edited.toStdString();
        if (what == "root" && ::geteuid() != 0) {
            QSKIP("only root can be in another user's home");
        } else if (what == "root") {
            QCOMPARE(::chown((home.path() / ".local/share").c_str(), 65534, 65534), 0);  // nobody
        } else if (what == "link") {
            writeFile(pathOf(dir) / "elsewhere.desktop", before);
            fs::create_directories(applications);
            fs::create_symlink(pathOf(dir) / "elsewhere.desktop", entry);
        } else {
            writeFile(entry, before);
        }

        QCOMPARE(registerApplication(bundle), what.startsWith("ours"));
        if (what == "root") {
            QVERIFY(!fs::exists(applications));
            return;
        }
        QCOMPARE(readFile(entry), what.startsWith("ours") ? updated.toStdString() : before);
        QVERIFY(what == "link" ? fs::is_symlink(entry) : !fs::is_symlink(entry));
        QCOMPARE(run("desktop-file-validate", {QFile::decodeName(entry.c_str())}),
                 std::pair(0, QString()));
        QCOMPARE(std::distance(fs::directory_iterator(applications), {}), 1);  // nothing else
    }

    // A folder that cannot hold the lock file is a failure that names the file and why, not a
    // claim held elsewhere. (That one claim at a time is held, the later starts below show.)
    void claimFailureNamesTheFile() {
        QTemporaryDir dir;
        try {
            std::ignore = InstallerClaim::take(pathOf(dir) / "missing", claimName);
            QFAIL("claimed in a folder that does not exist");
        } catch (const ClaimError& error) {
            const QString text = QString::fromUtf8(error.what());
            QVERIFY2(text.contains(QString::fromStdString(claimName) + ".lock”") &&
                         text.endsWith(QString::fromLocal8Bit(std::strerror(ENOENT)) + "."),
                     error.what());
        }
    }

    // A later start hands over to a running installer that serves (past a socket that a killed one
    // left), waits no longer than its bound for one that does not answer, and takes the claim
    // itself when the running one ends while it waits.
    void laterStart_data() {
        QTest::addColumn<Running>("running");
        QTest::addColumn<bool>("claims");
        QTest::addColumn<int>("broughtToFront");
        QTest::newRow("serves") << Running::serves << false << 1;
        QTest::newRow("holds without serving") << Running::holdsWithoutServing << false << 0;
        QTest::newRow("ends meanwhile") << Running::endsMeanwhile << true << 0;
    }
    void laterStart() {
        QFETCH(Running, running);
        QTemporaryDir dir;
        const fs::path folder = pathOf(dir);
        leaveDeadSocket(folder / (claimName + ".socket"));
        std::optional<InstallerClaim> first = InstallerClaim::take(folder, claimName);
        QVERIFY(first);
        QObject owner;
        int broughtToFront = 0;
        if (running == Running::serves) {
            QVERIFY(first->serve(owner, [&] { ++broughtToFront; }));
        }
        const auto bound = running == Running::holdsWithoutServing ? 300ms : 20s;
        QFuture<bool> later = QtConcurrent::run(
            [folder, bound] { return claimOrHandOver(folder, claimName, bound).has_value(); });
        if (running == Running::endsMeanwhile) {
            first.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(later.isFinished(), 20000);
        QTEST(later.result(), "claims");
        QTEST(broughtToFront, "broughtToFront");
    }
};

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
