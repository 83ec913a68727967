#include <sys/stat.h>

#include <QRegularExpression>
#include <QtTest>
#include <cerrno>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "application_bundle.h"
#include "file_manager.h"
#include "install_engine.h"
#include "placed_item.h"
#include "readable_error.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

enum class Folder { exists, missing, blockedByFile };
// What the validator does: reject the payload or the staging copy, or let something else take the
// target's place while the copy is made.
enum class Validation { passes, rejectsSource, rejectsStaging, swapsTarget };
enum class Fault {
    none,
    specialFileInPayload,
    diskFull,
    trashUnusable,
    moveAside,
    finalMove,
    moveBackToo
};
enum class Outcome { success, rejected, unsafeDestination, fileError };
enum class TargetAfter { unchanged, newCopy, absent };

// One installation and what it must leave behind.
struct Case {
    Folder folder;
    Item atTarget;
    Item former;  // at the product's former name
    Validation validation;
    Fault fault;
    Outcome outcome;
    int errorNumber;
    TargetAfter targetAfter;
    bool earlierCopyUnderBackupName;
    bool abandonedBackupRemoved;
    bool formerTrashed;
    int validations;
};

const std::string abandonedBackupName =
    ".Vantorel-previous-0A1B2C3D-0000-4000-8000-000000000000.app";
const QRegularExpression stagingPattern(
    "^\\.Vantorel-install-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.app$");
const QRegularExpression backupPattern(
    "^\\.Vantorel-previous-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.app$");

std::set<std::string> namesIn(const fs::path& folder, const QRegularExpression& pattern = {}) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (pattern.match(QString::fromStdString(name)).hasMatch()) {
            names.insert(name);
        }
    }
    return names;
}

// Sets the move fault hook for one test and clears it again however the test ends.
struct MoveFaults {
    explicit MoveFaults(files::MoveFaultHook hook) { files::setMoveFaultHookForTesting(hook); }
    ~MoveFaults() { files::setMoveFaultHookForTesting(nullptr); }
};

files::MoveFaultHook hookFor(Fault fault, const fs::path& target) {
    const auto named = [](const fs::path& p, std::string_view prefix) {
        return p.filename().string().starts_with(prefix);
    };
    return [=](const fs::path& from, const fs::path& to) {
        if (fault == Fault::moveAside && from == target && named(to, backupNamePrefix)) {
            return EPERM;
        }
        if ((fault == Fault::finalMove || fault == Fault::moveBackToo) && to == target) {
            if (named(from, stagingNamePrefix)) {
                return EIO;
            }
            if (fault == Fault::moveBackToo && named(from, backupNamePrefix)) {
                return EROFS;
            }
        }
        return 0;
    };
}

// Runs `operation` and names what it threw, keeping the thrown value's text.
struct Thrown {
    Outcome outcome = Outcome::success;
    int errorNumber = 0;
    QString text;
};

template <typename Operation>
Thrown outcomeOf(const Operation& operation) {
    try {
        operation();
    } catch (const std::logic_error& error) {  // the validator's own, passed on as it is
        return {Outcome::rejected, 0, error.what()};
    } catch (const InstallEngine::Failure& failure) {
        return {failure == InstallEngine::Failure::unsafeDestination ? Outcome::unsafeDestination
                                                                     : Outcome::rejected,
                0, QString::fromUtf8(failure.what())};
    } catch (const files::FileError& error) {
        return {Outcome::fileError, error.errorNumber(), QString::fromUtf8(error.what())};
    }
    return {};
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
        using enum Outcome;
        using enum TargetAfter;
        const auto row = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        // folder, at the target, at the former name, validation, fault; outcome, error number,
        // target after, earlier copy under a backup name, abandoned backup removed, former-name
        // copy trashed, validations.
        row("first installation",
            {exists, nothing, nothing, passes, none, success, 0, newCopy, false, true, false, 2});
        row("replacement",
            {exists, app, nothing, passes, none, success, 0, newCopy, true, true, false, 2});
        row("folder created",
            {missing, nothing, nothing, passes, none, success, 0, newCopy, false, true, false, 2});
        row("payload rejected, folder missing", {missing, nothing, nothing, rejectsSource, none,
                                                 rejected, 0, absent, false, false, false, 1});
        row("payload rejected", {exists, app, nothing, rejectsSource, none, rejected, 0, unchanged,
                                 false, false, false, 1});
        row("folder cannot be created", {blockedByFile, nothing, nothing, passes, none, fileError,
                                         ENOTDIR, absent, false, false, false, 1});
        // What is the application and what is not is the application-bundle test's business (and
        // the backup cleanup's table); here each place that applies it has a link and a stranger.
        for (const auto& [name, what] : {std::pair{"unsafe target: link to a copy", linkToApp},
                                         std::pair{"unsafe target: plain file", file}}) {
            row(name, {exists, what, nothing, passes, none, unsafeDestination, 0, unchanged, false,
                       false, false, 1});
        }
        row("dangling link at target", {exists, danglingLink, nothing, passes, none, fileError,
                                        EEXIST, unchanged, false, true, false, 2});
        // The kinds of special file are the copy's business (and its tests'); one stands for all.
        row("special file in the payload", {exists, app, nothing, passes, specialFileInPayload,
                                            fileError, ENOTSUP, unchanged, false, true, false, 1});
        row("destination runs out of space", {exists, app, nothing, passes, diskFull, fileError,
                                              ENOSPC, unchanged, false, true, false, 1});
        row("staging copy rejected", {exists, app, nothing, rejectsStaging, none, rejected, 0,
                                      unchanged, false, true, false, 2});
        // Whatever is at the target when the earlier copy is moved aside is handed back to the
        // caller, who deletes it: something that took the application's place must not be.
        row("link took the target's place during the copy",
            {exists, app, nothing, swapsTarget, none, unsafeDestination, 0, unchanged, false, true,
             false, 2});
        row("earlier copy cannot be moved aside",
            {exists, app, nothing, passes, moveAside, fileError, EPERM, unchanged, false, true,
             false, 2});
        row("final move fails, rollback succeeds",
            {exists, app, nothing, passes, finalMove, fileError, EIO, unchanged, false, true, false,
             2});
        row("final move fails, no earlier copy", {exists, nothing, nothing, passes, finalMove,
                                                  fileError, EIO, absent, false, true, false, 2});
        row("final move fails, rollback fails", {exists, app, nothing, passes, moveBackToo,
                                                 fileError, EROFS, absent, true, true, false, 2});
        // A copy of the application under the former name goes to the Trash when it can; anything
        // else of that name stays.
        row("former name: copy",
            {exists, nothing, app, passes, none, success, 0, newCopy, false, true, true, 2});
        row("former name: copy, final move fails, not brought back",
            {exists, nothing, app, passes, finalMove, fileError, EIO, absent, false, true, true,
             2});
        row("former name: copy, Trash unusable", {exists, nothing, app, passes, trashUnusable,
                                                  success, 0, newCopy, false, true, false, 2});
        for (const auto& [name, what] : {std::pair{"former name: link to a copy", linkToApp},
                                         std::pair{"former name: other identifier", otherId}}) {
            row(name,
                {exists, nothing, what, passes, none, success, 0, newCopy, false, true, false, 2});
        }
    }

    void outcomes() {
        QFETCH(Case, c);

        const TempHome home;
        const fs::path source = makeBundle(home.path() / "payload" / "Vantorel.app");
        if (c.fault == Fault::specialFileInPayload) {
            QCOMPARE(::mkfifo((source / "Contents" / "Resources" / "pipe").c_str(), 0644), 0);
        }
        const fs::path elsewhere = makeBundle(home.path() / "elsewhere" / "Vantorel.app");
        const fs::path directory = home.path() / "Applications";
        const fs::path target = directory / applicationBundleName;
        const fs::path formerCopy = directory / formerApplicationBundleName;
        std::optional<TmpfsMount> smallDisk;
        if (c.fault == Fault::diskFull) {
            writeFile(source / "Contents" / "Resources" / "large.bin", std::string(3 << 20, 'x'));
            smallDisk.emplace(directory, 2 << 20, TmpfsMount::Access::readWrite);
            if (!smallDisk->ok()) {
                QSKIP(smallDisk->whyNot().constData());
            }
        }
        if (c.folder == Folder::blockedByFile) {
            writeFile(directory, "in the way");
        } else if (c.folder == Folder::exists) {
            fs::create_directories(directory);
            makeBundle(directory / abandonedBackupName, {.marker = "abandoned"});
            place(target, c.atTarget, elsewhere);
            place(formerCopy, c.former, elsewhere);
        }
        if (c.fault == Fault::trashUnusable) {
            fs::remove_all(home.trashFiles().parent_path());
            writeFile(home.trashFiles().parent_path(), "not a folder");
        }
        QStringList targetBefore = snapshotOf(target);
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
                throw std::logic_error("rejected");
            }
            if (calls == 2 && c.validation == Validation::swapsTarget) {
                fs::remove_all(target);
                place(target, Item::linkToApp, elsewhere);
                targetBefore = snapshotOf(target);
            }
        };
        const MoveFaults faults(hookFor(c.fault, target));
        std::optional<InstallResult> result;
        const Thrown thrown =
            outcomeOf([&] { result = InstallEngine::install(source, directory, validate); });

        QCOMPARE(thrown.outcome, c.outcome);
        QCOMPARE(thrown.errorNumber, c.errorNumber);
        if (c.outcome == Outcome::fileError) {
            QVERIFY2(isReadableFileError(thrown.text, c.errorNumber), qPrintable(thrown.text));
        }
        QCOMPARE(calls, c.validations);
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
        QCOMPARE(snapshotOf(target), c.targetAfter == TargetAfter::unchanged ? targetBefore
                                     : c.targetAfter == TargetAfter::newCopy ? sourceBefore
                                                                             : absent);
        QVERIFY(namesIn(directory, stagingPattern).empty());
        QCOMPARE(fs::exists(directory / abandonedBackupName),
                 c.folder == Folder::exists && !c.abandonedBackupRemoved);
        std::set<std::string> backups = namesIn(directory, backupPattern);
        backups.erase(abandonedBackupName);
        QCOMPARE(backups.size(), c.earlierCopyUnderBackupName ? 1u : 0u);
        std::optional<fs::path> earlierCopy;
        if (!backups.empty()) {
            earlierCopy = directory / *backups.begin();
            QCOMPARE(snapshotOf(*earlierCopy), targetBefore);
            QVERIFY(namesUsed_.insert(*backups.begin()).second);
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
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
