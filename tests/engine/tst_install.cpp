#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <stop_token>
#include <tuple>
#include <utility>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "file_manager.h"
#include "flush.h"
#include "folder_lock.h"
#include "install_engine.h"
#include "install_problem.h"
#include "readable_error.h"
#include "status_change.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// What a test puts where the installer looks: at the target, at the former name, at a backup name.
enum class Item { nothing, app, linkToApp, danglingLink, file, folder, otherId };

// Puts `what` at `location`. A link points at `elsewhere` (a copy of the application), or, when
// dangling, at a missing item beside it.
void place(const fs::path& location, Item what, const fs::path& elsewhere) {
    if (what == Item::app || what == Item::otherId) {
        makeBundle(location, what == Item::app ? BundleSpec{.marker = "earlier"}
                                               : BundleSpec{.identifier = "com.example.Other"});
    } else if (what == Item::linkToApp || what == Item::danglingLink) {
        fs::create_symlink(
            what == Item::linkToApp ? elsewhere : elsewhere.parent_path() / "missing.app",
            location);
    } else if (what != Item::nothing) {
        writeFile(what == Item::file ? location : location / "notes.txt", "not a bundle");
    }
}

// Stranded backups are copies of the application under backup names with nothing at the target,
// as kills between the two moves leave them; of the two, the newer was renamed last.
// Another installation may hold the folder; every installation is asked to give up waiting.
enum class Folder { exists, missing, blockedByFile, stranded, held };
// What the validator does: reject the payload, or let something else take the target's place
// while the copy is made.
enum class Validation { passes, rejectsSource, swapsTarget };
// What goes wrong: a special file in the payload, a Trash that cannot be used, the earlier copy's
// move aside, the final move (and with it the rollback's move back), or a hostile folder: a racing
// process swaps the staging copy's Contents folder for a link to a folder elsewhere once a folder
// in it is made, or once the first file is written.
enum class Fault {
    none,
    specialFile,
    noTrash,
    moveAside,
    finalMove,
    moveBackToo,
    swapOnFolder,
    swapOnFile
};
// An installation flushes the staging copy, the folder after the earlier copy is moved aside and
// the folder after the new one is moved in; the failing values follow that order.
enum class Flush { works, unsupported, failsForStaging, failsAfterMoveAside, failsAfterMoveIn };
enum class Outcome { success, rejected, unsafeDestination, fileError, cancelled };
enum class TargetAfter { unchanged, newCopy, absent };

// One installation and what it must leave behind; `error` is the number of the expected file
// error. By default an earlier copy is replaced without a fault; a row names what differs.
struct Case {
    Folder folder = Folder::exists;
    Item atTarget = Item::app, former = Item::nothing;  // former: at the product's former name
    Validation validation = Validation::passes;
    Fault fault = Fault::none;
    Flush flush = Flush::works;
    Outcome outcome = Outcome::success;
    int error = 0;
    TargetAfter target = TargetAfter::unchanged;
    bool backupLeft = false, formerTrashed = false;  // backupLeft: the earlier copy, hidden
};

const std::string uuid = "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F";
const QRegularExpression hiddenCopyPattern(
    "^\\.Vantorel-(install|previous)-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.app$");

// Moves fail with these numbers: the earlier copy's move aside, the staging copy's move into place
// and, for moveBackToo, the rollback's move back.
files::MoveFaultHook hookFor(Fault fault, const fs::path& target) {
    return [=](const fs::path& from, const fs::path& to) {
        const bool staging = from.filename().string().starts_with(stagingNamePrefix);
        return fault == Fault::moveAside && from == target ? EPERM
               : to != target                              ? 0
               : fault == Fault::finalMove                 ? (staging ? EIO : 0)
               : fault == Fault::moveBackToo               ? (staging ? EIO : EROFS)
                                                           : 0;
    };
}

files::FlushFaultHook flushHookFor(Flush flush) {
    return [flush, flushes = 0](const fs::path&) mutable {
        const int failing = int(flush) - int(Flush::unsupported);  // 1 for the first flush
        return flush == Flush::unsupported ? EINVAL : ++flushes == failing ? EIO : 0;
    };
}

// Two copies of the application under backup names, the second renamed there after the first and
// named to be listed before it; returns the second.
fs::path strandBackups(const fs::path& directory) {
    std::optional<std::chrono::nanoseconds> lastRename;
    fs::path backup;
    for (int i = 0; i < 2; ++i) {
        const fs::path made = makeBundle(directory / "made", {.marker = std::to_string(i)});
        backup = directory / (".Vantorel-previous-" + std::to_string(2 - i) +
                              "0000000-0000-4000-8000-000000000000.app");
        fs::rename(made, backup);
        while (lastRename && files::statusChangeTime(backup) <= lastRename) {
            fs::rename(backup, made);  // the clock that stamps renames ticks coarsely
            fs::rename(made, backup);
        }
        lastRename = files::statusChangeTime(backup);
    }
    return backup;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename());
    }
    return names;
}

}  // namespace

Q_DECLARE_METATYPE(Case)

class InstallTest : public QObject {
    Q_OBJECT

    std::set<std::string> namesUsed_;  // staging and backup names of all rows: never twice

private slots:
    void outcomes_data() {
        QTest::addColumn<Case>("c");
        using enum Folder;
        using enum Item;
        using enum Fault;
        using enum Flush;
        using enum TargetAfter;
        const auto row = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        row("replacement", {.target = newCopy, .backupLeft = true});
        row("payload rejected, folder missing", {.folder = missing,
                                                 .validation = Validation::rejectsSource,
                                                 .outcome = Outcome::rejected});
        row("folder cannot be created", {.folder = blockedByFile, .error = ENOTDIR});
        // The kinds of special file are the copy's business (and its tests'); one stands for all.
        row("special file in the payload", {.fault = specialFile, .error = ENOTSUP});
        // Giving up stops only a wait for another installation: every other row goes ahead.
        row("folder held by another installation", {.folder = held, .outcome = Outcome::cancelled});
        // Whatever is at the target when the earlier copy is moved aside is handed back to the
        // caller, who deletes it: something that took the application's place must not be.
        row("link took the target's place during the copy",
            {.validation = Validation::swapsTarget, .outcome = Outcome::unsafeDestination});
        row("earlier copy cannot be moved aside", {.fault = moveAside, .error = EPERM});
        row("final move fails, rollback fails",
            {.fault = moveBackToo, .error = EROFS, .target = absent, .backupLeft = true});
        // An earlier copy stranded under a backup name (by a kill between the two moves, or a
        // failed rollback) is moved back before anything is removed, and replaced like any other;
        // of several, the one renamed last; the others go.
        row("newest stranded backup restored, then replaced",
            {.folder = stranded, .atTarget = nothing, .target = newCopy, .backupLeft = true});
        // A flush that the file system refuses as unsupported lets the installation go on; one
        // that fails stops it, before the new copy counts where it can.
        row("flushes unsupported", {.flush = unsupported, .target = newCopy, .backupLeft = true});
        row("staging copy cannot be flushed", {.flush = failsForStaging, .error = EIO});
        row("folder cannot be flushed after the move aside",
            {.flush = failsAfterMoveAside, .error = EIO});
        row("folder cannot be flushed after the final move",
            {.flush = failsAfterMoveIn, .error = EIO, .target = newCopy, .backupLeft = true});
        // A copy of the application under the former name goes to the Trash when it can; anything
        // else of that name stays.
        row("former name: copy",
            {.atTarget = nothing, .former = app, .target = newCopy, .formerTrashed = true});
        row("former name: copy, final move fails, not brought back", {.atTarget = nothing,
                                                                      .former = app,
                                                                      .fault = finalMove,
                                                                      .error = EIO,
                                                                      .target = absent,
                                                                      .formerTrashed = true});
        row("former name: copy, Trash unusable",
            {.atTarget = nothing, .former = app, .fault = noTrash, .target = newCopy});
        row("former name: link to a copy",
            {.atTarget = nothing, .former = linkToApp, .target = newCopy});
        // Hostile folders. The copy makes every folder before any file: after the first folder,
        // more folders are walked into; after the first file, more files and the folders' final
        // modes follow. Nothing is written through the link.
        row("hostile: staging folder swapped for a link once a folder in it is made",
            {.fault = swapOnFolder, .error = ELOOP});
        row("hostile: staging folder swapped for a link once the first file is written",
            {.fault = swapOnFile, .error = ELOOP});
    }

    void outcomes() {
        QFETCH(Case, c);
        const TempHome home;
        const fs::path source = makeBundle(home.path() / "payload" / "Vantorel.app");
        fs::create_directory(source / "Contents/Resources/en.lproj");  // more folders to walk into
        QVERIFY(c.fault != Fault::specialFile ||
                ::mkfifo((source / "Contents/Resources/pipe").c_str(), 0644) == 0);
        // A copy elsewhere, with a folder whose mode a copy through a link would change.
        const fs::path elsewhere =
            makeBundle(home.path() / "elsewhere" / "Vantorel.app", {.marker = "elsewhere"});
        fs::permissions(elsewhere / "Contents/Resources", fs::perms(0700));
        const fs::path directory = home.path() / "Applications";
        const fs::path target = directory / applicationBundleName;
        const fs::path formerCopy = directory / formerApplicationBundleName;
        const fs::path abandoned = directory / (".Vantorel-previous-" + uuid + ".app");
        if (c.folder == Folder::blockedByFile) {
            writeFile(directory, "in the way");
        } else if (c.folder != Folder::missing) {
            fs::create_directories(directory);
            place(abandoned, Item::folder, elsewhere);  // half removed
            place(target, c.atTarget, elsewhere);
            place(formerCopy, c.former, elsewhere);
        }
        const std::optional<fs::path> strandedCopy =
            c.folder == Folder::stranded ? std::optional(strandBackups(directory)) : std::nullopt;
        const auto other = c.folder == Folder::held ? std::make_optional<files::FolderLock>(
                                                          directory, std::chrono::milliseconds(0))
                                                    : std::nullopt;
        if (c.fault == Fault::noTrash) {
            fs::remove_all(home.trashFiles().parent_path());
            writeFile(home.trashFiles().parent_path(), "not a folder");
        }
        QStringList targetBefore = snapshotOf(strandedCopy.value_or(target));
        const QStringList formerBefore = snapshotOf(formerCopy);
        const QStringList elsewhereBefore = snapshotOf(elsewhere);
        const QStringList sourceBefore = snapshotOf(source);
        const QStringList directoryBefore = snapshotOf(directory);

        int calls = 0;
        const auto validate = [&](const fs::path& bundle) {
            if (++calls == 2) {  // the staging copy: complete, beside the target, hidden, new
                QCOMPARE(bundle.parent_path(), directory);
                QVERIFY(hiddenCopyPattern.match(QString::fromStdString(bundle.filename()))
                            .captured(1) == "install");
                QVERIFY(namesUsed_.insert(bundle.filename()).second);
                QCOMPARE(snapshotOf(bundle), sourceBefore);
            }
            if (calls == 1 && c.validation == Validation::rejectsSource) {
                throw InstallEngine::Failure(InstallEngine::Failure::invalidPayload);
            }
            if (calls == 2 && c.validation == Validation::swapsTarget) {
                fs::remove_all(target);
                place(target, Item::linkToApp, elsewhere);
                targetBefore = snapshotOf(target);
            }
        };
        files::setMoveFaultHookForTesting(hookFor(c.fault, target));
        files::setFlushFaultHookForTesting(flushHookFor(c.flush));
        bool swapped = false;
        files::setCopyHookForTesting([&](const fs::path& written) {
            const fs::path staging = directory / *written.lexically_relative(directory).begin();
            const fs::path item = written.lexically_relative(staging);
            if (((c.fault == Fault::swapOnFolder && item == "Contents/Resources") ||
                 (c.fault == Fault::swapOnFile && item == "Contents/Info.plist")) &&
                !std::exchange(swapped, true)) {
                fs::rename(staging / "Contents", home.path() / "moved away");
                fs::create_symlink(elsewhere / "Contents", staging / "Contents");
            }
        });
        const auto clearHooks = qScopeGuard([] {
            files::setMoveFaultHookForTesting(nullptr);
            files::setFlushFaultHookForTesting(nullptr);
            files::setCopyHookForTesting(nullptr);
        });
        Outcome outcome = Outcome::success;
        int error = 0;
        std::stop_source stop;
        stop.request_stop();
        try {
            InstallEngine::install(source, directory, validate, stop.get_token());
        } catch (const InstallEngine::Cancelled&) {
            outcome = Outcome::cancelled;
        } catch (const InstallEngine::Failure& failure) {  // the validator's passed on as it is
            outcome = failure == InstallEngine::Failure::unsafeDestination
                          ? Outcome::unsafeDestination
                          : Outcome::rejected;
        } catch (const InstallProblem& thrown) {
            // The place: the applications folder, or the installer for its own files.
            const QString text = thrown.what();
            QVERIFY2(isUserSentence(text) && (text.contains(QString::fromStdString(directory)) ||
                                              text.contains("plików instalatora")),
                     thrown.what());
            outcome = Outcome::fileError;
            error = thrown.errorNumber();
            // A link on the way (ELOOP, ENOTDIR), or the moment between the rename and the link.
            if (swapped && std::set{ELOOP, ENOTDIR, ENOENT}.contains(error)) {
                error = ELOOP;
            }
        }

        QCOMPARE(outcome, c.error ? Outcome::fileError : c.outcome);
        QCOMPARE(error, c.error);
        QCOMPARE(snapshotOf(source), sourceBefore);
        QCOMPARE(snapshotOf(elsewhere), elsewhereBefore);
        if (c.folder == Folder::blockedByFile || c.folder == Folder::missing ||
            c.folder == Folder::held) {
            QCOMPARE(snapshotOf(directory), directoryBefore);
            return;
        }

        const QStringList absent{"<absent>"};
        QCOMPARE(snapshotOf(target), c.target == TargetAfter::unchanged ? targetBefore
                                     : c.target == TargetAfter::newCopy ? sourceBefore
                                                                        : absent);
        // Beside the target and the former name, only what the row leaves: no staging copy.
        std::set<std::string> left = namesIn(directory);
        left.erase(std::string(applicationBundleName));
        left.erase(std::string(formerApplicationBundleName));
        QCOMPARE(left.size(), c.backupLeft ? 1u : 0u);
        if (!left.empty()) {
            QVERIFY(hiddenCopyPattern.match(QString::fromStdString(*left.begin())).captured(1) ==
                    "previous");
            QVERIFY(namesUsed_.insert(*left.begin()).second);
            QCOMPARE(snapshotOf(directory / *left.begin()), targetBefore);
        }
        QCOMPARE(snapshotOf(formerCopy), c.formerTrashed ? absent : formerBefore);
        if (c.fault != Fault::noTrash) {
            QCOMPARE(snapshotOf(home.trashFiles() / formerApplicationBundleName),
                     c.formerTrashed ? formerBefore : absent);
        }
    }

    // What lies at <candidate>/Vantorel.app decides; a candidate that holds nothing is missing
    // altogether, which to the choice is the same as an empty folder. Writability is asked of the
    // system folder only when neither holds the application. (The default writability test, a
    // missing system folder is not writable, is exercised by the installer view's tests.)
    void choosesFolder() {
        using enum Item;
        QStringList chosen, expected;
        for (const auto& [name, system, user, writable, choice] :
             {std::tuple{"application in both", app, app, true, "System"},
              {"only user holds it, system writable", nothing, app, true, "Applications"},
              {"dangling link in system", danglingLink, app, false, "System"},
              {"plain file claims the folder", file, app, false, "System"},
              {"neither, system writable", nothing, nothing, true, "System, asked System"},
              {"neither, system read-only", nothing, nothing, false,
               "Applications, asked System"}}) {
            QTemporaryDir root;
            const fs::path folders[2] = {pathOf(root) / "System", pathOf(root) / "Applications"};
            for (const auto& [folder, item] : {std::pair{folders[0], system}, {folders[1], user}}) {
                if (item != Item::nothing) {
                    fs::create_directories(folder);
                    place(folder / applicationBundleName, item, pathOf(root) / "elsewhere");
                }
            }
            QString asked;
            const fs::path folder = InstallEngine::preferredDirectory(
                folders[0], folders[1], [&](const std::string& path) {
                    asked += ", asked " + QString::fromStdString(fs::path(path).filename());
                    return writable;
                });
            chosen
                << QString("%1: %2%3").arg(name, QString::fromStdString(folder.filename()), asked);
            expected << QString(name) + ": " + choice;
        }
        QCOMPARE(chosen, expected);
    }

    // What an interrupted installation leaves under its own names goes, whatever it holds: a copy
    // killed halfway may lack its Info.plist; only the full upper-case form of a UUID makes such a
    // name. Any other ".Vantorel-previous-*.app" goes only when it is a copy of the application.
    // Links and files stay. Removed for good, not trashed. (That a removal never follows a link,
    // the file tests show.)
    void removesOnlyBackupCopiesOfTheApplication() {
        using enum Item;
        const TempHome home;
        const fs::path directory = home.path() / "Applications";
        const fs::path linkTarget = makeBundle(home.path() / "elsewhere" / "Vantorel.app");
        const std::string id = "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2";  // and one more digit
        std::set<std::string> stays;
        for (const auto& [name, item, removed] :
             {std::tuple{".Vantorel-previous-" + id + "1.app", folder, true},
              {".Vantorel-install-" + id + "5.app", folder, true},
              {".Vantorel-install-" + id + "6.app", linkToApp, false},
              {".Vantorel-install-" + id + "7.app", file, false},
              {".Vantorel-install-5f0c2a9e-1b7d-4c3a-9e21-7a4b8c0d1e2f.app", folder, false},
              {".Vantorel-install-5F0C2A9E-1B7D-4C3A-9E21.app", folder, false},
              {".Vantorel-install-5F0C2A9E01B7D04C3A09E2107A4B8C0D1E2F.app", folder, false},
              {".Vantorel-previous-a.app", app, true},
              {".Vantorel-previous-b.app", folder, false},
              {".Vantorel-previous-c.app", otherId, false},
              {".vantorel-previous-d.app", app, false},
              {".Vantorel-previous-e", app, false},
              {"Vantorel.app", app, false}}) {
            place(directory / name, item, linkTarget);
            if (!removed) {
                stays.insert(name);
            }
        }
        InstallEngine::usunPorzuconeKopie(directory);
        QCOMPARE(namesIn(directory), stays);
        QVERIFY(fs::is_empty(home.trashFiles()));
    }

    // A missing folder, or a file in its place, has nothing to clean up and gives no error. While
    // an installation holds the folder, its staging copy and its backup (between its two moves)
    // are its own: nothing goes. One copy that cannot be removed (a file system is mounted inside
    // it) does not keep the others from going; the folder is a tmpfs, which lists in the order of
    // creation (or its reverse), so that the stuck copy in the middle is never the last one tried.
    void removesWhatItMay() {
        QTemporaryDir root;
        const fs::path file = pathOf(root) / "file";
        writeFile(file, "not a folder");
        InstallEngine::usunPorzuconeKopie(pathOf(root) / "missing");
        InstallEngine::usunPorzuconeKopie(file);
        QVERIFY(!fs::exists(pathOf(root) / "missing") && readFile(file) == "not a folder");

        const fs::path directory = pathOf(root) / "Applications";
        const TmpfsMount folder(directory, 4 << 20, TmpfsMount::Access::readWrite);
        const std::string stuck = ".Vantorel-previous-B.app";
        for (const std::string& name :
             {".Vantorel-install-" + uuid + ".app", stuck, ".Vantorel-previous-" + uuid + ".app"}) {
            makeBundle(directory / name);
        }
        {
            const files::FolderLock installation(directory, std::chrono::milliseconds::zero());
            InstallEngine::usunPorzuconeKopie(directory);
            QCOMPARE(namesIn(directory).size(), 4u);  // with the lock's own file
        }
        const TmpfsMount busy(directory / stuck / "Contents/Resources", 1 << 20,
                              TmpfsMount::Access::readWrite);
        if (!busy.ok()) {  // then the folder's own tmpfs is missing too
            QSKIP(busy.whyNot().constData());
        }
        InstallEngine::usunPorzuconeKopie(directory);
        QCOMPARE(namesIn(directory), std::set{stuck});
    }

    // A payload no one should install as it is, installed twice by a user who is not root: the
    // copies carry ordinary modes, and the second installation removes the copy with a read-only
    // folder that the first one replaced; only its own backup stays beside it.
    void unsafeModesInstalledByAUser() {
        TempHome home;
        const fs::path payload = makeBundle(home.path() / "payload/Vantorel.app");
        const fs::path directory = home.path() / "Applications";
        const fs::path app = directory / applicationBundleName;
        // A setuid executable, a folder anyone may write, an Info.plist anyone may change, and a
        // read-only folder with a file inside.
        for (const fs::path& bundle : {payload, makeBundle(app)}) {
            fs::permissions(bundle / "Contents/MacOS/Vantorel", fs::perms(04755));
            fs::permissions(bundle / "Contents/Resources", fs::perms(0777));
            fs::permissions(bundle / "Contents/Info.plist", fs::perms(0666));
            writeFile(bundle / "Contents/Locked/inside", "read-only folder");
            fs::permissions(bundle / "Contents/Locked", fs::perms(0555));
        }
        fs::permissions(home.path(), fs::perms(0755));
        // As nobody when the test runs as root: root ignores permission bits.
        const bool root = ::geteuid() == 0;
        QVERIFY(!root ||
                QProcess::execute("chown", {"-R", "nobody:nogroup", directory.c_str()}) == 0);
        QVERIFY(!root || ::seteuid(65534) == 0);
        const auto restore = qScopeGuard([root] { std::ignore = root && ::seteuid(0) == 0; });
        for (int installation = 0; installation < 2; ++installation) {
            InstallEngine::install(payload, directory, [](const fs::path&) {});
        }
        for (const auto& [item, mode] : {std::pair{"Contents/MacOS/Vantorel", 0755},
                                         {"Contents/Resources", 0755},
                                         {"Contents/Info.plist", 0644},
                                         {"Contents/Locked", 0755}}) {
            QCOMPARE(fs::symlink_status(app / item).permissions(), fs::perms(mode));
        }
        QCOMPARE(namesIn(directory).size(), 2u);
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
