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
        // A link at the entry's name is replaced, never written through.
        const fs::path other = pathOf(dir) / "other.desktop";
        writeFile(other, "another program's");
        fs::create_directories(applications);
        fs::create_symlink(other, entry);

        QCOMPARE(registerApplication(bundle), !name.isEmpty());
        QCOMPARE(readFile(other), "another program's");
        if (name.isEmpty()) {
            QVERIFY(fs::is_symlink(entry));
            QCOMPARE(std::distance(fs::directory_iterator(applications), {}), 1);
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
};

QTEST_GUILESS_MAIN(DesktopEntriesTest)
#include "tst_desktop_entries.moc"
