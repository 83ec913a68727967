#include <unistd.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "application_registry.h"
#include "bundle_factory.h"
#include "desktop_entry.h"
#include "runnable_bundle.h"
#include "running_applications.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// Runs a program to its end: its exit status (-1 when it crashed or did not end) and what it wrote
// on both channels. The output goes through a file, not a pipe, so that a program it starts and
// leaves running never writes into a closed pipe.
std::pair<int, QString> run(const QString& program, const QStringList& arguments) {
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

}  // namespace

class DesktopEntriesTest : public QObject {
    Q_OBJECT

private slots:
    void entriesThatDesktopsAccept_data() {
        QTest::addColumn<QByteArray>("folder");       // of the bundle, inside a temporary folder
        QTest::addColumn<QByteArray>("displayName");  // CFBundleDisplayName; empty: none
        QTest::addColumn<QByteArray>("name");         // Name of the entry; empty: no entry
        QTest::newRow("spaces, quotes, shell characters")
            << QByteArray("A b \"q\" 'q' $HOME `x` ;&|<>*?#()~=/Vantorel.app")
            << QByteArray("Vantorel \"Pro\"") << QByteArray("Vantorel \"Pro\"");
        QTest::newRow("percent, backslash, Polish letters")
            << QByteArray("Zażółć 100% %f %% a\\b/Vantorel.app") << QByteArray(" Van\ttorel\x01 ")
            << QByteArray("Van torel");
        QTest::newRow("tab and line break")
            << QByteArray("a\tb\nc/Vantorel.app") << QByteArray() << QByteArray("Vantorel");
        QTest::newRow("not UTF-8")
            << QByteArray("\xff/Vantorel.app") << QByteArray() << QByteArray();
        QTest::newRow("control character")
            << QByteArray("a\x01z/Vantorel.app") << QByteArray() << QByteArray();
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
        BundleSpec info{.identifier = identifier, .strings = {{"CFBundleIconFile", "AppIcon"}}};
        if (!displayName.isEmpty()) {
            info.strings["CFBundleDisplayName"] = displayName.toStdString();
        }
        writeInfoPlist(bundle, info);
        writeFile(icon, "PNG");
        const fs::path applications = home.path() / ".local" / "share" / "applications";
        const fs::path entry = applications / (identifier + ".desktop");

        QCOMPARE(registerApplication(bundle), !name.isEmpty());
        if (name.isEmpty()) {
            QVERIFY(!fs::exists(applications) || fs::is_empty(applications));
            fs::remove_all(bundle.parent_path());  // a name QTemporaryDir cannot remove
            return;
        }
        QCOMPARE(run("desktop-file-validate", {QFile::decodeName(entry.c_str())}),
                 std::pair(0, QString()));
        const std::string written = readFile(entry);
        QCOMPARE(desktopEntryValue(written, "Name"), name.toStdString());
        QCOMPARE(desktopEntryValue(written, "Icon"), icon.native());
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
        QTest::addColumn<QString>("before");  // at the entry's name; $B the bundle, $O the old one
        QTest::addColumn<QString>("after");   // empty: left as it was
        const QString edited =
            "# Edited by a menu editor\n"
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name[pl]=Vantorel po polsku\n"
            "$N"
            "Comment=A program\n"
            "Comment[de]=Ein Programm\n"
            "Exec=\"$O/Contents/MacOS/Vantorel\" --verbose %f\n"
            "TryExec=$O/Contents/MacOS/Vantorel\n"
            "Icon=/usr/share/icons/old.png\n"
            "NoDisplay=true\n"
            "X-Vantorel-Bundle=$O\n"
            "Actions=window;\n"
            "\n"
            "# The editor's own action\n"
            "[Desktop Action window]\n"
            "Name=New window\n"
            "Exec=$O/Contents/MacOS/Vantorel --new-window\n";
        const QString updated =
            "# Edited by a menu editor\n"
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name[pl]=Vantorel po polsku\n"
            "$N"
            "Comment=A program\n"
            "Comment[de]=Ein Programm\n"
            "Exec=\"$B/Contents/MacOS/Vantorel\" --verbose %f\n"
            "TryExec=$B/Contents/MacOS/Vantorel\n"
            "Icon=$B/Contents/Resources/AppIcon.png\n"
            "NoDisplay=true\n"
            "X-Vantorel-Bundle=$B\n"
            "Actions=window;\n"
            "$A"
            "\n"
            "# The editor's own action\n"
            "[Desktop Action window]\n"
            "Name=New window\n"
            "Exec=$O/Contents/MacOS/Vantorel --new-window\n";
        // $N where the name is, $A where a missing name is added.
        const QString name = "Name=Mój Vantorel\n";
        QTest::newRow("ours, edited") << QString(edited).replace("$N", name)
                                      << QString(updated).replace("$N", name).remove("$A");
        QTest::newRow("ours, its name removed")
            << QString(edited).remove("$N")
            << QString(updated).remove("$N").replace("$A", "Name=Vantorel\n");
        QTest::newRow("another program's of the same name")
            << "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n# ours? no\n"
            << "";
        QTest::newRow("a link") << QString("link") << QString();
        QTest::newRow("root in another user's data home") << QString("root") << QString();
    }

    // An entry of ours that others changed keeps their changes: only our keys follow the bundle.
    // An entry of that name that is not ours, or a link there, stays byte for byte; as root,
    // nothing at all is written into another user's data home.
    void existingEntries() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        TempHome home;
        QTemporaryDir dir;
        const std::string identifier = uniqueBundleIdentifier("existing");
        const fs::path bundle = makeBundle(
            pathOf(dir) / "Vantorel.app",
            {.identifier = identifier, .strings = {{"CFBundleIconFile", "AppIcon.png"}}});
        writeFile(bundle / "Contents/Resources/AppIcon.png", "PNG");
        const fs::path applications = home.path() / ".local/share/applications";
        const fs::path entry = applications / (identifier + ".desktop");
        const fs::path elsewhere = pathOf(dir) / "elsewhere.desktop";
        const QString old = QString::fromStdString(pathOf(dir) / "Old.app");
        const auto withPaths = [&](QString text) {
            return text.replace("$B", QString::fromStdString(bundle)).replace("$O", old);
        };
        const QString written = withPaths(before);
        if (before == "root") {
            if (::geteuid() != 0) {
                QSKIP("only root can be in another user's home");
            }
            QCOMPARE(QProcess::execute(
                         "chown", {"-R", "nobody:nogroup", QString::fromStdString(home.path())}),
                     0);
        } else if (before == "link") {
            writeFile(elsewhere, written.toStdString());
            fs::create_directories(applications);
            fs::create_symlink(elsewhere, entry);
        } else {
            writeFile(entry, written.toStdString());
        }

        QCOMPARE(registerApplication(bundle), !after.isEmpty());
        if (before == "root") {
            QVERIFY(!fs::exists(applications));
        } else if (before == "link") {
            QVERIFY(fs::is_symlink(entry));
            QCOMPARE(readFile(elsewhere), written.toStdString());
        } else if (after.isEmpty()) {
            QCOMPARE(readFile(entry), written.toStdString());
        } else {
            QCOMPARE(QString::fromStdString(readFile(entry)), withPaths(after));
            QCOMPARE(run("desktop-file-validate", {QFile::decodeName(entry.c_str())}),
                     std::pair(0, QString()));
        }
        if (fs::exists(applications)) {  // no temporary file left
            QCOMPARE(std::distance(fs::directory_iterator(applications), {}), 1);
        }
    }
};

QTEST_GUILESS_MAIN(DesktopEntriesTest)
#include "tst_desktop_entries.moc"
