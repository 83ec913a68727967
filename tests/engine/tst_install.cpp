#include <sys/stat.h>
#include <sys/statvfs.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "file_manager.h"
#include "install_engine.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// What a validator throws when it rejects a bundle; it must reach the caller as it is.
struct Rejection : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Folder { exists, missing, blockedByFile };
enum class AtTarget {
    nothing,
    application,
    linkToApplication,
    danglingLink,
    plainFile,
    plainFolder,
    otherIdentifier,
    noIdentifier,
};
enum class Rejects { nothing, source, staging };
enum class Fault { none, moveAside, finalMove, finalMoveAndRollback };
enum class Outcome { success, rejected, unsafeDestination, fileError };
enum class TargetAfter { unchanged, newCopy, absent };

const std::string abandonedBackupName =
    ".Vantorel-previous-0A1B2C3D-0000-4000-8000-000000000000.app";

const QRegularExpression stagingPattern(
    "^\\.Vantorel-install-([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})\\.app$");
const QRegularExpression backupPattern(
    "^\\.Vantorel-previous-([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})\\.app$");

void placeAtTarget(const fs::path& target, AtTarget what, const fs::path& elsewhere) {
    switch (what) {
        case AtTarget::nothing:
            break;
        case AtTarget::application:
            makeBundle(target, {.marker = "earlier"});
            break;
        case AtTarget::linkToApplication:
            fs::create_symlink(elsewhere, target);
            break;
        case AtTarget::danglingLink:
            fs::create_symlink(elsewhere.parent_path() / "missing.app", target);
            break;
        case AtTarget::plainFile:
            writeFile(target, "a document that happens to carry the name");
            break;
        case AtTarget::plainFolder:
            writeFile(target / "notes.txt", "not a bundle");
            break;
        case AtTarget::otherIdentifier:
            makeBundle(target, {.identifier = "com.example.Other", .marker = "other"});
            break;
        case AtTarget::noIdentifier:
            makeBundle(target, {.identifier = std::nullopt, .marker = "anonymous"});
            break;
    }
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::vector<std::string> namesMatching(const fs::path& folder, const QRegularExpression& pattern) {
    std::vector<std::string> found;
    for (const auto& name : namesIn(folder)) {
        if (pattern.match(QString::fromStdString(name)).hasMatch()) {
            found.push_back(name);
        }
    }
    return found;
}

QString uuidIn(const std::string& name, const QRegularExpression& pattern) {
    return pattern.match(QString::fromStdString(name)).captured(1);
}

// Sets the move fault hook for one test and clears it again however the test ends.
class MoveFaults {
public:
    explicit MoveFaults(files::MoveFaultHook hook) { files::setMoveFaultHookForTesting(hook); }
    ~MoveFaults() { files::setMoveFaultHookForTesting(nullptr); }
    MoveFaults(const MoveFaults&) = delete;
    MoveFaults& operator=(const MoveFaults&) = delete;
};

files::MoveFaultHook hookFor(Fault fault, const fs::path& target) {
    const auto named = [](const fs::path& p, std::string_view prefix) {
        return p.filename().string().starts_with(prefix);
    };
    return [=](const fs::path& from, const fs::path& to) {
        const bool moveAside = from == target && named(to, backupNamePrefix);
        const bool finalMove = named(from, stagingNamePrefix) && to == target;
        const bool rollback = named(from, backupNamePrefix) && to == target;
        if (fault == Fault::moveAside && moveAside) {
            return EPERM;
        }
        if ((fault == Fault::finalMove || fault == Fault::finalMoveAndRollback) && finalMove) {
            return EIO;
        }
        if (fault == Fault::finalMoveAndRollback && rollback) {
            return EROFS;
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

Thrown outcomeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Rejection& error) {
        return {Outcome::rejected, 0, QString::fromUtf8(error.what())};
    } catch (const InstallEngine::Failure& failure) {
        if (failure == InstallEngine::Failure::unsafeDestination) {
            return {Outcome::unsafeDestination, 0, QString::fromUtf8(failure.what())};
        }
        return {Outcome::rejected, 0, QString::fromUtf8(failure.what())};
    } catch (const files::FileError& error) {
        return {Outcome::fileError, error.errorNumber(), QString::fromUtf8(error.what())};
    }
    return {};
}

// The validator that the installer itself uses in spirit: only a copy of the application passes.
void requireApplicationBundle(const fs::path& bundle) {
    if (!isApplicationBundle(bundle)) {
        throw InstallEngine::Failure(InstallEngine::Failure::invalidPayload);
    }
}

void acceptAnything(const fs::path&) {}

// A readable sentence: our own wording, the system's reason, no C++ noise.
void verifyReadable(const QString& text, int errorNumber) {
    QVERIFY2(text.startsWith(QString::fromUtf8("Nie udało się")), qPrintable(text));
    QVERIFY2(text.contains(QString::fromLocal8Bit(std::strerror(errorNumber))), qPrintable(text));
    QVERIFY2(text.endsWith('.'), qPrintable(text));
    QVERIFY2(!text.contains("filesystem") && !text.contains("std::"), qPrintable(text));
}

}  // namespace

class InstallTest : public QObject {
    Q_OBJECT

private slots:
    void outcomes_data() {
        QTest::addColumn<Folder>("folder");
        QTest::addColumn<AtTarget>("atTarget");
        QTest::addColumn<Rejects>("rejects");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("errorNumber");
        QTest::addColumn<TargetAfter>("targetAfter");
        QTest::addColumn<bool>("earlierCopyUnderBackupName");
        QTest::addColumn<bool>("abandonedBackupRemoved");
        QTest::addColumn<int>("validations");

        const auto F = Folder::exists;
        QTest::newRow("first installation")
            << F << AtTarget::nothing << Rejects::nothing << Fault::none << Outcome::success << 0
            << TargetAfter::newCopy << false << true << 2;
        QTest::newRow("replacement")
            << F << AtTarget::application << Rejects::nothing << Fault::none << Outcome::success
            << 0 << TargetAfter::newCopy << true << true << 2;
        QTest::newRow("folder created")
            << Folder::missing << AtTarget::nothing << Rejects::nothing << Fault::none
            << Outcome::success << 0 << TargetAfter::newCopy << false << true << 2;
        QTest::newRow("payload rejected, folder missing")
            << Folder::missing << AtTarget::nothing << Rejects::source << Fault::none
            << Outcome::rejected << 0 << TargetAfter::absent << false << false << 1;
        QTest::newRow("payload rejected")
            << F << AtTarget::application << Rejects::source << Fault::none << Outcome::rejected
            << 0 << TargetAfter::unchanged << false << false << 1;
        QTest::newRow("folder cannot be created")
            << Folder::blockedByFile << AtTarget::nothing << Rejects::nothing << Fault::none
            << Outcome::fileError << ENOTDIR << TargetAfter::absent << false << false << 1;
        for (const auto& [name, what] : {std::pair{"link to a copy", AtTarget::linkToApplication},
                                         std::pair{"plain file", AtTarget::plainFile},
                                         std::pair{"folder, not a bundle", AtTarget::plainFolder},
                                         std::pair{"other identifier", AtTarget::otherIdentifier},
                                         std::pair{"no identifier", AtTarget::noIdentifier}}) {
            QTest::addRow("unsafe target: %s", name)
                << F << what << Rejects::nothing << Fault::none << Outcome::unsafeDestination << 0
                << TargetAfter::unchanged << false << false << 1;
        }
        QTest::newRow("dangling link at target")
            << F << AtTarget::danglingLink << Rejects::nothing << Fault::none << Outcome::fileError
            << EEXIST << TargetAfter::unchanged << false << true << 2;
        QTest::newRow("staging copy rejected")
            << F << AtTarget::application << Rejects::staging << Fault::none << Outcome::rejected
            << 0 << TargetAfter::unchanged << false << true << 2;
        QTest::newRow("earlier copy cannot be moved aside")
            << F << AtTarget::application << Rejects::nothing << Fault::moveAside
            << Outcome::fileError << EPERM << TargetAfter::unchanged << false << true << 2;
        QTest::newRow("final move fails, rollback succeeds")
            << F << AtTarget::application << Rejects::nothing << Fault::finalMove
            << Outcome::fileError << EIO << TargetAfter::unchanged << false << true << 2;
        QTest::newRow("final move fails, no earlier copy")
            << F << AtTarget::nothing << Rejects::nothing << Fault::finalMove << Outcome::fileError
            << EIO << TargetAfter::absent << false << true << 2;
        QTest::newRow("final move fails, rollback fails")
            << F << AtTarget::application << Rejects::nothing << Fault::finalMoveAndRollback
            << Outcome::fileError << EROFS << TargetAfter::absent << true << true << 2;
    }

    void outcomes() {
        QFETCH(Folder, folder);
        QFETCH(AtTarget, atTarget);
        QFETCH(Rejects, rejects);
        QFETCH(Fault, fault);
        QFETCH(Outcome, outcome);
        QFETCH(int, errorNumber);
        QFETCH(TargetAfter, targetAfter);
        QFETCH(bool, earlierCopyUnderBackupName);
        QFETCH(bool, abandonedBackupRemoved);
        QFETCH(int, validations);

        QTemporaryDir root;
        const fs::path source = makeBundle(pathOf(root) / "payload" / "Vantorel.app");
        const fs::path elsewhere = makeBundle(pathOf(root) / "elsewhere" / "Vantorel.app");
        const fs::path directory = pathOf(root) / "Applications";
        const fs::path target = directory / applicationBundleName;
        if (folder == Folder::blockedByFile) {
            writeFile(directory, "in the way");
        } else if (folder == Folder::exists) {
            fs::create_directories(directory);
            makeBundle(directory / abandonedBackupName, {.marker = "abandoned"});
            placeAtTarget(target, atTarget, elsewhere);
        }
        const QStringList targetBefore = snapshotOf(target);
        const QStringList elsewhereBefore = snapshotOf(elsewhere);
        const QStringList sourceBefore = snapshotOf(source);

        int calls = 0;
        const auto validate = [&](const fs::path& bundle) {
            ++calls;
            if ((calls == 1 && rejects == Rejects::source) ||
                (calls == 2 && rejects == Rejects::staging)) {
                throw Rejection("rejected " + bundle.filename().string());
            }
        };
        const MoveFaults faults(hookFor(fault, target));
        std::optional<InstallResult> result;
        const Thrown thrown =
            outcomeOf([&] { result = InstallEngine::install(source, directory, validate); });

        QCOMPARE(thrown.outcome, outcome);
        QCOMPARE(thrown.errorNumber, errorNumber);
        if (outcome == Outcome::rejected) {
            QVERIFY2(
                thrown.text.startsWith(rejects == Rejects::source ? "rejected Vantorel.app"
                                                                  : "rejected .Vantorel-install-"),
                qPrintable(thrown.text));
        }
        if (outcome == Outcome::fileError) {
            verifyReadable(thrown.text, errorNumber);
        }
        QCOMPARE(calls, validations);
        QCOMPARE(snapshotOf(source), sourceBefore);
        QCOMPARE(snapshotOf(elsewhere), elsewhereBefore);

        if (folder == Folder::missing && rejects == Rejects::source) {
            QVERIFY(!fs::exists(directory));
            return;
        }
        if (folder == Folder::blockedByFile) {
            QVERIFY(fs::is_regular_file(directory));
            return;
        }
        switch (targetAfter) {
            case TargetAfter::unchanged:
                QCOMPARE(snapshotOf(target), targetBefore);
                break;
            case TargetAfter::newCopy:
                QCOMPARE(snapshotOf(target), sourceBefore);
                break;
            case TargetAfter::absent:
                QCOMPARE(snapshotOf(target), QStringList{"<absent>"});
                break;
        }
        QVERIFY(namesMatching(directory, stagingPattern).empty());
        QCOMPARE(fs::exists(directory / abandonedBackupName),
                 folder == Folder::exists && !abandonedBackupRemoved);

        const auto backups = namesMatching(directory, backupPattern);
        const auto fresh = std::count_if(backups.begin(), backups.end(),
                                         [](const auto& n) { return n != abandonedBackupName; });
        QCOMPARE(fresh, earlierCopyUnderBackupName ? 1 : 0);
        std::optional<fs::path> earlierCopy;
        for (const auto& name : backups) {
            if (name != abandonedBackupName) {
                earlierCopy = directory / name;
                QCOMPARE(snapshotOf(*earlierCopy), targetBefore);
            }
        }
        if (result) {
            QCOMPARE(result->app, target);
            QCOMPARE(result->backup, earlierCopy);
        }
    }

    // The staging copy lies beside the target and is complete when it is validated; every name
    // carries its own fresh UUID.
    void namesAreFreshAndStagingIsComplete() {
        QTemporaryDir root;
        const fs::path source = makeBundle(pathOf(root) / "payload" / "Vantorel.app");
        const fs::path directory = pathOf(root) / "Applications";
        makeBundle(directory / applicationBundleName, {.marker = "earlier"});

        QStringList uuids;
        for (int round = 0; round < 3; ++round) {
            std::vector<fs::path> validated;
            const auto validate = [&](const fs::path& bundle) {
                validated.push_back(bundle);
                QCOMPARE(snapshotOf(bundle), snapshotOf(source));
            };
            const InstallResult result = InstallEngine::install(source, directory, validate);
            QCOMPARE(validated.size(), 2u);
            QCOMPARE(validated[0], source);
            QCOMPARE(validated[1].parent_path(), directory);
            const std::string staging = validated[1].filename().string();
            QVERIFY2(stagingPattern.match(QString::fromStdString(staging)).hasMatch(),
                     staging.c_str());
            QVERIFY(result.backup);
            QCOMPARE(result.backup->parent_path(), directory);
            const std::string backup = result.backup->filename().string();
            QVERIFY2(backupPattern.match(QString::fromStdString(backup)).hasMatch(),
                     backup.c_str());
            uuids << uuidIn(staging, stagingPattern) << uuidIn(backup, backupPattern);
        }
        uuids.removeDuplicates();
        QCOMPARE(uuids.size(), 6);
    }

    // Whatever is at the target when the earlier copy is moved aside is handed back to the caller,
    // who deletes it: something that took the application's place during the copy must not be.
    void targetReplacedDuringTheCopy_data() {
        QTest::addColumn<AtTarget>("replacement");
        QTest::newRow("plain folder") << AtTarget::plainFolder;
        QTest::newRow("other identifier") << AtTarget::otherIdentifier;
        QTest::newRow("link to a copy") << AtTarget::linkToApplication;
    }

    void targetReplacedDuringTheCopy() {
        QFETCH(AtTarget, replacement);

        QTemporaryDir root;
        const fs::path source = makeBundle(pathOf(root) / "payload" / "Vantorel.app");
        const fs::path elsewhere = makeBundle(pathOf(root) / "elsewhere" / "Vantorel.app");
        const fs::path directory = pathOf(root) / "Applications";
        const fs::path target =
            makeBundle(directory / applicationBundleName, {.marker = "earlier"});
        QStringList replaced;
        const auto swapTarget = [&](const fs::path& bundle) {
            if (bundle != source) {
                fs::remove_all(target);
                placeAtTarget(target, replacement, elsewhere);
                replaced = snapshotOf(target);
            }
        };

        const Thrown thrown =
            outcomeOf([&] { InstallEngine::install(source, directory, swapTarget); });

        QCOMPARE(thrown.outcome, Outcome::unsafeDestination);
        QCOMPARE(snapshotOf(target), replaced);
        QCOMPARE(namesIn(directory), std::set<std::string>{"Vantorel.app"});
    }

    void formerNameCopy_data() {
        QTest::addColumn<AtTarget>("former");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("trashUsable");
        QTest::addColumn<bool>("trashed");

        QTest::newRow("copy of the application")
            << AtTarget::application << Fault::none << true << true;
        QTest::newRow("copy, final move fails: not brought back")
            << AtTarget::application << Fault::finalMove << true << true;
        QTest::newRow("copy, Trash unusable")
            << AtTarget::application << Fault::none << false << false;
        QTest::newRow("link to a copy")
            << AtTarget::linkToApplication << Fault::none << true << false;
        QTest::newRow("plain file") << AtTarget::plainFile << Fault::none << true << false;
        QTest::newRow("folder, not a bundle")
            << AtTarget::plainFolder << Fault::none << true << false;
        QTest::newRow("other identifier")
            << AtTarget::otherIdentifier << Fault::none << true << false;
    }

    void formerNameCopy() {
        QFETCH(AtTarget, former);
        QFETCH(Fault, fault);
        QFETCH(bool, trashUsable);
        QFETCH(bool, trashed);

        const TempHome home;
        const fs::path source = makeBundle(home.path() / "payload" / "Vantorel.app");
        const fs::path elsewhere = makeBundle(home.path() / "elsewhere" / "Tamblico.app");
        const fs::path directory = home.path() / "Applications";
        const fs::path formerCopy = directory / formerApplicationBundleName;
        fs::create_directories(directory);
        placeAtTarget(formerCopy, former, elsewhere);
        const QStringList before = snapshotOf(formerCopy);
        if (!trashUsable) {
            const fs::path trash = home.trashFiles().parent_path();
            fs::remove_all(trash);
            writeFile(trash, "not a folder");
        }

        const MoveFaults faults(hookFor(fault, directory / applicationBundleName));
        const Thrown thrown =
            outcomeOf([&] { InstallEngine::install(source, directory, requireApplicationBundle); });

        QCOMPARE(thrown.outcome, fault == Fault::none ? Outcome::success : Outcome::fileError);
        QCOMPARE(snapshotOf(formerCopy), trashed ? QStringList{"<absent>"} : before);
        if (trashUsable) {
            QCOMPARE(snapshotOf(home.trashFiles() / formerApplicationBundleName),
                     trashed ? before : QStringList{"<absent>"});
        }
    }

    // Special files in the payload and payloads that are no folder at all: a readable error, and
    // the folder as it was (created, when it was missing) with nothing copied into it.
    void badPayload_data() {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("earlierCopy");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("reason");

        // The kinds of special file are the copy's business (and its tests'); one stands for all.
        const QString special = QString::fromUtf8("plik specjalny");
        QTest::newRow("fifo inside") << "fifo" << true << Outcome::fileError << special;
        QTest::newRow("fifo inside, folder missing")
            << "fifo" << false << Outcome::fileError << special;
        QTest::newRow("plain file") << "file" << true << Outcome::rejected << QString();
        QTest::newRow("link to a bundle") << "link" << true << Outcome::rejected << QString();
        QTest::newRow("missing") << "missing" << true << Outcome::fileError
                                 << QString::fromLocal8Bit(std::strerror(ENOENT));
    }

    void badPayload() {
        QFETCH(QString, payload);
        QFETCH(bool, earlierCopy);
        QFETCH(Outcome, outcome);
        QFETCH(QString, reason);

        QTemporaryDir root;
        const fs::path source = pathOf(root) / "payload" / "Vantorel.app";
        const fs::path directory = pathOf(root) / "Applications";
        const fs::path target = directory / applicationBundleName;
        fs::create_directories(source.parent_path());
        if (payload == "fifo") {
            makeBundle(source);
            QCOMPARE(::mkfifo((source / "Contents" / "Resources" / "pipe").c_str(), 0644), 0);
        } else if (payload == "file") {
            writeFile(source, "not a bundle");
        } else if (payload == "link") {
            makeBundle(pathOf(root) / "real" / "Vantorel.app");
            fs::create_symlink(pathOf(root) / "real" / "Vantorel.app", source);
        }
        if (earlierCopy) {
            makeBundle(target, {.marker = "earlier"});
        }
        const QStringList before = snapshotOf(target);

        // A missing payload is not the validator's to find: the copy's own error must surface.
        const auto validate = payload == "missing" ? InstallEngine::Validator(acceptAnything)
                                                   : requireApplicationBundle;
        const Thrown thrown =
            outcomeOf([&] { InstallEngine::install(source, directory, validate); });

        QCOMPARE(thrown.outcome, outcome);
        if (outcome == Outcome::fileError) {
            QVERIFY2(thrown.text.startsWith(QString::fromUtf8("Nie udało się")),
                     qPrintable(thrown.text));
            QVERIFY2(thrown.text.contains(reason), qPrintable(thrown.text));
        }
        QCOMPARE(snapshotOf(target), before);
        QCOMPARE(namesIn(directory).size(), earlierCopy ? 1u : 0u);
    }

    // A destination that runs out of space half-way through the copy.
    void destinationRunsOutOfSpace() {
        QTemporaryDir root;
        const fs::path source = makeBundle(pathOf(root) / "payload" / "Vantorel.app");
        writeFile(source / "Contents" / "Resources" / "large.bin", std::string(3 << 20, 'x'));
        writeFile(source / "Contents" / "Resources" / "after.txt", "written after the large file");
        const fs::path directory = pathOf(root) / "Applications";
        TmpfsMount mount(directory, 2 << 20, TmpfsMount::Access::readWrite);
        if (!mount.ok()) {
            QSKIP(mount.whyNot().constData());
        }
        const fs::path target =
            makeBundle(directory / applicationBundleName, {.marker = "earlier"});
        const QStringList before = snapshotOf(target);
        struct statvfs freeBefore {};
        QCOMPARE(::statvfs(directory.c_str(), &freeBefore), 0);

        const Thrown thrown =
            outcomeOf([&] { InstallEngine::install(source, directory, requireApplicationBundle); });

        QCOMPARE(thrown.outcome, Outcome::fileError);
        QCOMPARE(thrown.errorNumber, ENOSPC);
        verifyReadable(thrown.text, ENOSPC);
        QCOMPARE(snapshotOf(target), before);
        QCOMPARE(namesIn(directory), std::set<std::string>{"Vantorel.app"});
        struct statvfs freeAfter {};
        QCOMPARE(::statvfs(directory.c_str(), &freeAfter), 0);
        QCOMPARE(freeAfter.f_bfree, freeBefore.f_bfree);
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
