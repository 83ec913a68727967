#include <QtTest>

#include "application_registry.h"
#include "bundle_factory.h"
#include "desktop_entry.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
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

class DesktopEntriesTest : public QObject {
    Q_OBJECT

private slots:
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
};

QTEST_GUILESS_MAIN(DesktopEntriesTest)
#include "tst_desktop_entries.moc"
