#include <unistd.h>

#include <QProcess>
#include <QtTest>
#include <filesystem>
#include <set>
#include <utility>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "file_manager.h"
#include "install_engine.h"
#include "install_problem.h"
#include "readable_error.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// What a hostile folder or payload does to an installation.
enum class Attack { swapOnceFolderMade, swapOnceFileWritten, unsafeModes };

// A payload no one should install as it is: a setuid executable, a folder anyone may write, an
// Info.plist anyone may change, and a read-only folder with a file inside.
void giveUnsafeModes(const fs::path& bundle) {
    fs::permissions(bundle / "Contents/MacOS/Vantorel", fs::perms(04755));
    fs::permissions(bundle / "Contents/Resources", fs::perms(0777));
    fs::permissions(bundle / "Contents/Info.plist", fs::perms(0666));
    writeFile(bundle / "Contents/Locked/inside", "read-only folder");
    fs::permissions(bundle / "Contents/Locked", fs::perms(0555));
}

// Installs in a child process as `nobody` when the test runs as root, else as the test's own user.
// The child is copied where that user may run it. Returns the child's error text, or nothing.
QString installUnprivileged(const fs::path& source, const fs::path& directory) {
    const fs::path child = directory.parent_path() / "install_child";
    fs::copy_file(INSTALL_CHILD, child, fs::copy_options::overwrite_existing);
    QStringList command{QString::fromStdString(child), QString::fromStdString(source),
                        QString::fromStdString(directory), "0"};
    if (::geteuid() == 0) {
        command =
            QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
    }
    QProcess process;
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        return "the child did not run: " + process.errorString();
    }
    return process.exitCode() == 0 ? QString() : QString::fromUtf8(process.readAllStandardError());
}

}  // namespace

class InstallHostileTest : public QObject {
    Q_OBJECT

private slots:
    void hostileFolderOrPayload_data() {
        QTest::addColumn<Attack>("attack");
        // The copy makes every folder before any file: after the first folder, more folders are
        // walked into; after the first file, more files and the folders' final modes follow.
        QTest::newRow("staging folder swapped for a link once a folder in it is made")
            << Attack::swapOnceFolderMade;
        QTest::newRow("staging folder swapped for a link once the first file is written")
            << Attack::swapOnceFileWritten;
        // Installed twice by a user who is not root: the second installation removes the copy
        // with a read-only folder that the first one replaced.
        QTest::newRow("unsafe modes") << Attack::unsafeModes;
    }

    // Whatever the attack, nothing outside the applications folder changes, and nothing hidden
    // stays in it but the backup that an installation hands back.
    void hostileFolderOrPayload() {
        QFETCH(Attack, attack);
        TempHome home;
        const fs::path payload = makeBundle(home.path() / "payload/Vantorel.app");
        const fs::path directory = home.path() / "Applications";
        const fs::path outside = home.path() / "outside";  // with folders that a copy could use
        writeFile(outside / "precious", "keep me", fs::perms(0600));
        writeFile(outside / "Resources/kept", "keep me too", fs::perms(0600));
        fs::permissions(outside / "Resources", fs::perms(0700));
        fs::create_directory(outside / "MacOS");
        fs::create_directories(directory);
        const QStringList outsideBefore = snapshotOf(outside);
        const fs::path app = directory / applicationBundleName;
        QString failure;

        if (attack == Attack::swapOnceFolderMade || attack == Attack::swapOnceFileWritten) {
            fs::create_directory(payload / "Contents/Resources/en.lproj");  // more to walk into
            // A racing process's move: the staging copy's Contents folder is renamed away and a
            // link to the outside folder takes its place.
            bool swapped = false;
            const auto clearHook = qScopeGuard([] { files::setCopyHookForTesting(nullptr); });
            files::setCopyHookForTesting([&](const fs::path& written) {
                const fs::path staging = directory / *written.lexically_relative(directory).begin();
                const fs::path item = written.lexically_relative(staging);
                const bool now = item == (attack == Attack::swapOnceFolderMade
                                              ? "Contents/Resources"
                                              : "Contents/Info.plist");  // the largest file
                if (now && !std::exchange(swapped, true)) {
                    fs::rename(staging / "Contents", home.path() / "moved away");
                    fs::create_symlink(outside, staging / "Contents");
                }
            });
            int error = 0;
            try {
                InstallEngine::install(payload, directory, [](const fs::path&) {});
            } catch (const InstallProblem& problem) {
                failure = QString::fromUtf8(problem.what());
                error = problem.errorNumber();
            }
            // A link on the way (ELOOP, ENOTDIR), or the moment between the rename and the link.
            const std::set<int> linkOnTheWay{ELOOP, ENOTDIR, ENOENT};
            QVERIFY2(isUserSentence(failure) && linkOnTheWay.contains(error), qPrintable(failure));
        } else {
            giveUnsafeModes(payload);
            giveUnsafeModes(makeBundle(app));
            fs::permissions(home.path(), fs::perms(0755));
            if (::geteuid() == 0) {
                const std::string folder = directory;
                QCOMPARE(QProcess::execute("chown", {"-R", "nobody:nogroup", folder.c_str()}), 0);
            }
            for (int installation = 0; installation < 2; ++installation) {
                failure = installUnprivileged(payload, directory);
                QVERIFY2(failure.isEmpty(), qPrintable(failure));
            }
            for (const auto& [item, mode] : {std::pair{"Contents/MacOS/Vantorel", 0755},
                                             {"Contents/Resources", 0755},
                                             {"Contents/Info.plist", 0644},
                                             {"Contents/Locked", 0755}}) {
                QCOMPARE(fs::symlink_status(app / item).permissions(), fs::perms(mode));
            }
        }

        QCOMPARE(snapshotOf(outside), outsideBefore);
        const auto hidden = std::count_if(fs::directory_iterator(directory), {}, [](auto& entry) {
            return entry.path().filename().string().starts_with('.');
        });
        QCOMPARE(hidden, attack == Attack::unsafeModes ? 1 : 0);  // the second one's backup
    }
};

QTEST_GUILESS_MAIN(InstallHostileTest)
#include "tst_install_hostile.moc"
