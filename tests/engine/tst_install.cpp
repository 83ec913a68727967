#include <sys/stat.h>

#include <QRegularExpression>
#include <QtTest>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <stop_token>

#include "application_bundle.h"
#include "file_manager.h"
#include "flush.h"
#include "folder_lock.h"
#include "install_engine.h"
#include "install_problem.h"
#include "placed_item.h"
#include "readable_error.h"
#include "status_change.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// A stranded backup is a copy of the application under a backup name with nothing at the target,
// as a kill between the two moves leaves it; of two, the newer was renamed last.
enum class Folder { exists, missing, blockedByFile, stranded, twoStranded, onNoexecDisk };
// What the validator does: reject the payload or the staging copy, or let something else take the
// target's place while the copy is made.
enum class Validation { passes, rejectsSource, rejectsStaging, swapsTarget };
enum class Fault { none, specialFile, diskFull, trashUnusable, moveAside, finalMove, moveBackToo };
// An installation flushes the staging copy, the folder after the earlier copy is moved aside and
// the folder after the new one is moved in; the failing values follow that order.
enum class Flush { works, unsupported, failsForStaging, failsAfterMoveAside, failsAfterMoveIn };
enum class Outcome { success, rejected, unsafeDestination, noPrograms, fileError };
enum class TargetAfter { unchanged, newCopy, absent };

// One installation and what it must leave behind; `error` is the number of the expected file
// error. By default an earlier copy is replaced without a fault; a row names what differs.
struct Case {
    Folder folder = Folder::exists;
    Item atTarget = Item::app;
    Item former = Item::nothing;  // at the product's former name
    Validation validation = Validation::passes;
    Fault fault = Fault::none;
    Flush flush = Flush::works;
    Outcome outcome = Outcome::success;
    int error = 0;
    TargetAfter target = TargetAfter::unchanged;
    bool backupLeft = false;  // the earlier copy, under a backup name
    bool abandonedRemoved = true;
    bool formerTrashed = false;
};

const std::string abandonedBackupName =
    ".Vantorel-previous-0A1B2C3D-0000-4000-8000-000000000000.app";
const QRegularExpression stagingPattern(
    "^\\.Vantorel-install-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.app$");
const QRegularExpression backupPattern(
    "^\\.Vantorel-previous-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.app$");

// Moves fail with these numbers: the earlier copy's move aside, the staging copy's move into place
// and, for moveBackToo, the rollback's move back.
files::MoveFaultHook hookFor(Fault fault, const fs::path& target) {
    return [=](const fs::path& from, const fs::path& to) {
        const std::string name = from.filename().string();
        const bool intoTarget =
            to == target && (fault == Fault::finalMove || fault == Fault::moveBackToo);
        return fault == Fault::moveAside && from == target         ? EPERM
               : intoTarget && name.starts_with(stagingNamePrefix) ? EIO
               : intoTarget && fault == Fault::moveBackToo && name.starts_with(backupNamePrefix)
                   ? EROFS
                   : 0;
    };
}

files::FlushFaultHook flushHookFor(Flush flush) {
    return [flush, flushes = 0](const fs::path&) mutable {
        const int failing = int(flush) - int(Flush::unsupported);  // 1 for the first flush
        return flush == Flush::unsupported ? EINVAL : ++flushes == failing ? EIO : 0;
    };
}

// Copies of the application under backup names, each renamed there after the one before it and
// named to be listed before it; returns the last.
fs::path strandBackups(const fs::path& directory, int count) {
    std::optional<std::chrono::nanoseconds> lastRename;
    fs::path backup;
    for (int i = 0; i < count; ++i) {
        const fs::path made = makeBundle(directory / "made", {.marker = std::to_string(i)});
        backup = directory / (".Vantorel-previous-" + std::to_string(count - i) +
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

}  // namespace

class InstallTest : public QObject {
    Q_OBJECT

    std::set<std::string> namesUsed_;  // staging and backup names of all rows: never twice

private slots:
    void outcomes_data() {
        QTest::addColumn<Case>("c");
        using enum Folder;
        using enum Item;
        using enum Validation;
        using enum Fault;
        using enum Flush;
        using enum Outcome;
        using enum TargetAfter;
        const auto row = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        row("first installation", {.atTarget = nothing, .target = newCopy});
        row("replacement", {.target = newCopy, .backupLeft = true});
        row("folder created", {.folder = missing, .target = newCopy});
        row("payload rejected, folder missing",
            {.folder = missing, .validation = rejectsSource, .outcome = rejected});
        row("payload rejected",
            {.validation = rejectsSource, .outcome = rejected, .abandonedRemoved = false});
        row("folder cannot be created", {.folder = blockedByFile, .error = ENOTDIR});
        // What is the application and what is not is the application-bundle test's business (and
        // the backup cleanup's table); here each place that applies it has a link to a copy (a
        // plain file at the target is one of the end-to-end runs).
        row("unsafe target: link to a copy",
            {.atTarget = linkToApp, .outcome = unsafeDestination, .abandonedRemoved = false});
        row("dangling link at target",
            {.atTarget = danglingLink, .outcome = unsafeDestination, .abandonedRemoved = false});
        // Told as such, not as a payload that the staging copy's validation finds damaged.
        row("folder on a noexec file system",
            {.folder = onNoexecDisk, .outcome = Outcome::noPrograms, .abandonedRemoved = false});
        // The kinds of special file are the copy's business (and its tests'); one stands for all.
        row("special file in the payload", {.fault = specialFile, .error = ENOTSUP});
        row("destination runs out of space", {.fault = diskFull, .error = ENOSPC});
        row("staging copy rejected", {.validation = rejectsStaging, .outcome = rejected});
        // Whatever is at the target when the earlier copy is moved aside is handed back to the
        // caller, who deletes it: something that took the application's place must not be.
        row("link took the target's place during the copy",
            {.validation = swapsTarget, .outcome = unsafeDestination});
        row("earlier copy cannot be moved aside", {.fault = moveAside, .error = EPERM});
        row("final move fails, rollback succeeds", {.fault = finalMove, .error = EIO});
        row("final move fails, no earlier copy",
            {.atTarget = nothing, .fault = finalMove, .error = EIO, .target = absent});
        row("final move fails, rollback fails",
            {.fault = moveBackToo, .error = EROFS, .target = absent, .backupLeft = true});
        // An earlier copy stranded under a backup name (by a kill between the two moves, or a
        // failed rollback) is moved back before anything is removed, and replaced like any other;
        // of several, the one renamed last.
        row("stranded backup restored, then replaced",
            {.folder = stranded, .atTarget = nothing, .target = newCopy, .backupLeft = true});
        row("newest stranded backup restored, then no space",
            {.folder = twoStranded, .atTarget = nothing, .fault = diskFull, .error = ENOSPC});
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
            {.atTarget = nothing, .former = app, .fault = trashUnusable, .target = newCopy});
        row("former name: link to a copy",
            {.atTarget = nothing, .former = linkToApp, .target = newCopy});
    }

    void outcomes() {
        QFETCH(Case, c);

        const TempHome home;
        const fs::path source = makeBundle(home.path() / "payload" / "Vantorel.app");
        if (c.fault == Fault::specialFile) {
            QCOMPARE(::mkfifo((source / "Contents" / "Resources" / "pipe").c_str(), 0644), 0);
        }
        const fs::path elsewhere = makeBundle(home.path() / "elsewhere" / "Vantorel.app");
        const fs::path directory = home.path() / "Applications";
        const fs::path target = directory / applicationBundleName;
        const fs::path formerCopy = directory / formerApplicationBundleName;
        std::optional<TmpfsMount> smallDisk;
        if (c.fault == Fault::diskFull) {
            writeFile(source / "Contents" / "Resources" / "large.bin", std::string(3 << 20, 'x'));
        }
        if (c.fault == Fault::diskFull || c.folder == Folder::onNoexecDisk) {
            smallDisk.emplace(directory, 2 << 20,
                              c.fault == Fault::diskFull ? TmpfsMount::Access::readWrite
                                                         : TmpfsMount::Access::noPrograms);
            if (!smallDisk->ok()) {
                QSKIP(smallDisk->whyNot().constData());
            }
        }
        if (c.folder == Folder::blockedByFile) {
            writeFile(directory, "in the way");
        } else if (c.folder != Folder::missing) {
            fs::create_directories(directory);
            place(directory / abandonedBackupName, Item::folder, elsewhere);  // half removed
            place(target, c.atTarget, elsewhere);
            place(formerCopy, c.former, elsewhere);
        }
        std::optional<fs::path> strandedCopy;
        if (c.folder == Folder::stranded || c.folder == Folder::twoStranded) {
            strandedCopy = strandBackups(directory, c.folder == Folder::stranded ? 1 : 2);
        }
        if (c.fault == Fault::trashUnusable) {
            fs::remove_all(home.trashFiles().parent_path());
            writeFile(home.trashFiles().parent_path(), "not a folder");
        }
        QStringList targetBefore = snapshotOf(strandedCopy.value_or(target));
        const QStringList formerBefore = snapshotOf(formerCopy);
        const QStringList elsewhereBefore = snapshotOf(elsewhere);
        const QStringList sourceBefore = snapshotOf(source);

        int calls = 0;
        const auto validate = [&](const fs::path& bundle) {
            if (++calls == 2) {  // the staging copy: complete, beside the target, hidden, new
                QCOMPARE(bundle.parent_path(), directory);
                QVERIFY(stagingPattern.match(QString::fromStdString(bundle.filename().string()))
                            .hasMatch());
                QVERIFY(namesUsed_.insert(bundle.filename()).second);
                QCOMPARE(snapshotOf(bundle), sourceBefore);
            }
            if ((calls == 1 && c.validation == Validation::rejectsSource) ||
                (calls == 2 && c.validation == Validation::rejectsStaging)) {
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
        const auto clearHooks = qScopeGuard([] {
            files::setMoveFaultHookForTesting(nullptr);
            files::setFlushFaultHookForTesting(nullptr);
        });
        std::optional<InstallResult> result;
        Outcome outcome = Outcome::success;
        int error = 0;
        try {
            result = InstallEngine::install(source, directory, validate);
        } catch (const InstallEngine::Failure& failure) {  // the validator's passed on as it is
            outcome = failure == InstallEngine::Failure::unsafeDestination
                          ? Outcome::unsafeDestination
                          : Outcome::rejected;
        } catch (const InstallProblem& thrown) {
            const QString text = QString::fromUtf8(thrown.what());
            // The place: the applications folder, or the installer for its own files.
            QVERIFY2(isUserSentence(text) && (text.contains(QString::fromStdString(directory)) ||
                                              text.contains("plików instalatora")),
                     thrown.what());
            outcome = thrown.reason() == InstallProblem::Reason::noPrograms ? Outcome::noPrograms
                                                                            : Outcome::fileError;
            error = thrown.errorNumber();
        }

        QCOMPARE(outcome, c.error ? Outcome::fileError : c.outcome);
        QCOMPARE(error, c.error);
        if (outcome == Outcome::success) {
            QCOMPARE(calls, 2);  // the payload and the staging copy
        }
        QCOMPARE(snapshotOf(source), sourceBefore);
        QCOMPARE(snapshotOf(elsewhere), elsewhereBefore);
        if (c.folder == Folder::blockedByFile) {
            QVERIFY(fs::is_regular_file(directory));
            return;
        }
        if (c.folder == Folder::missing && c.validation == Validation::rejectsSource) {
            QVERIFY(!fs::exists(directory));
            return;
        }

        const QStringList absent{"<absent>"};
        QCOMPARE(snapshotOf(target), c.target == TargetAfter::unchanged ? targetBefore
                                     : c.target == TargetAfter::newCopy ? sourceBefore
                                                                        : absent);
        // Beside the target and the former name, only what the row leaves: no staging copy.
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(directory)) {
            left.insert(entry.path().filename());
        }
        left.erase(std::string(applicationBundleName));
        left.erase(std::string(formerApplicationBundleName));
        QCOMPARE(left.erase(abandonedBackupName) == 1,
                 c.folder != Folder::missing && !c.abandonedRemoved);
        QCOMPARE(left.size(), c.backupLeft ? 1u : 0u);
        std::optional<fs::path> earlierCopy;
        if (!left.empty()) {
            QVERIFY(backupPattern.match(QString::fromStdString(*left.begin())).hasMatch());
            QVERIFY(namesUsed_.insert(*left.begin()).second);
            earlierCopy = directory / *left.begin();
            QCOMPARE(snapshotOf(*earlierCopy), targetBefore);
        }
        if (result) {
            QCOMPARE(result->app, target);
            QCOMPARE(result->backup, earlierCopy);
        }
        QCOMPARE(snapshotOf(formerCopy), c.formerTrashed ? absent : formerBefore);
        if (c.fault != Fault::trashUnusable) {
            QCOMPARE(snapshotOf(home.trashFiles() / formerApplicationBundleName),
                     c.formerTrashed ? formerBefore : absent);
        }
    }

    // Giving up stops only a wait for another installation in the same folder: with the folder
    // held, the installation ends at once and changes nothing; with it free, it goes ahead.
    void givesUpOnlyAWait_data() {
        QTest::addColumn<bool>("held");
        QTest::newRow("folder held by another installation") << true;
        QTest::newRow("folder free") << false;
    }
    void givesUpOnlyAWait() {
        QFETCH(bool, held);
        const TempHome home;
        const fs::path source = makeBundle(home.path() / "payload" / "Vantorel.app");
        const fs::path directory = home.path() / "Applications";
        fs::create_directories(directory);
        const std::optional<files::FolderLock> other =
            held ? std::make_optional<files::FolderLock>(directory, std::chrono::milliseconds(0))
                 : std::nullopt;
        const QStringList before = snapshotOf(directory);
        std::stop_source stop;
        stop.request_stop();
        bool cancelled = false;
        try {
            InstallEngine::install(
                source, directory, [](const fs::path&) {}, stop.get_token());
        } catch (const InstallEngine::Cancelled&) {
            cancelled = true;
        }
        QCOMPARE(cancelled, held);
        if (held) {
            QCOMPARE(snapshotOf(directory), before);
        } else {
            QCOMPARE(snapshotOf(directory / "Vantorel.app"), snapshotOf(source));
        }
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
