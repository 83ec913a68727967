#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "install_engine.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int resourceFiles = 2000;  // the sanitized child is several times slower
#else
constexpr int resourceFiles = 3000;
#endif
constexpr int requiredKills = 32;
// The child lingers this long between its two moves: the moment is otherwise too short for a
// random kill to land there.
constexpr int pauseBetweenMovesMs = 15;

const QRegularExpression backupName("^\\.Vantorel-previous-[0-9A-F-]{36}\\.app$");
const auto noValidation = [](const fs::path&) {};

// A bundle of a few thousand small files in nested folders, a larger executable and a few links.
// `seed` makes the contents of two bundles differ in every file.
fs::path makeLargeBundle(const fs::path& location, unsigned seed) {
    makeBundle(location, {.marker = "seed " + std::to_string(seed)});
    std::mt19937 random(seed);
    const auto randomText = [&](size_t bytes) {
        std::string text(bytes, '\0');
        std::generate(text.begin(), text.end(), [&] { return char('a' + random() % 26); });
        return text;
    };
    const auto n = [](int i) { return std::to_string(i); };
    const fs::path contents = location / "Contents";
    writeFile(contents / "MacOS" / "Vantorel", randomText(4 << 20), fs::perms(0755));
    for (int i = 0; i < resourceFiles; ++i) {
        writeFile(contents / "Resources" / ("group" + n(i % 40)) / ("sub" + n(i % 3)) /
                      ("item" + n(i) + ".dat"),
                  randomText(200 + random() % 5800));
    }
    for (int i = 0; i < 4; ++i) {
        fs::create_symlink("../Resources/group" + n(i), contents / "MacOS" / ("link" + n(i)));
    }
    return location;
}

QStringList namesIn(const fs::path& folder) {
    return QDir(QString::fromStdString(folder))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The child installation (install_child.cpp) of `source` into `directory`.
QStringList child(const fs::path& source, const fs::path& directory, int pauseMs = 0) {
    return {INSTALL_CHILD, QString::fromStdString(source), QString::fromStdString(directory),
            QString::number(pauseMs)};
}

// Starts a command; with `ready`, waits until the child in it is about to call install().
std::unique_ptr<QProcess> start(QStringList command, bool ready = false) {
    auto process = std::make_unique<QProcess>();
    process->start(command.takeFirst(), command);
    return process->waitForStarted(30000) && (!ready || process->waitForReadyRead(30000))
               ? std::move(process)
               : nullptr;
}

// Two large bundles of different contents, one installed into `root`/Applications.
struct TwoPayloads {
    fs::path bundles[2];
    QStringList snapshots[2];
    fs::path directory;

    explicit TwoPayloads(const fs::path& root)
        : bundles{makeLargeBundle(root / "first/Vantorel.app", 1),
                  makeLargeBundle(root / "second/Vantorel.app", 2)},
          snapshots{snapshotOf(bundles[0]), snapshotOf(bundles[1])},
          directory(root / "Applications") {
        InstallEngine::install(bundles[0], directory, noValidation);
    }
};

}  // namespace

class InstallProcessesTest : public QObject {
    Q_OBJECT

private slots:
    // An installation killed at any moment leaves "Vantorel.app" as the complete earlier copy or
    // the complete new one, or absent while the complete earlier copy lies under a backup name;
    // and the next installation succeeds.
    void killedInstallationLeavesACompleteCopy() {
        // On a tmpfs where permitted: what a kill leaves behind does not depend on the file
        // system, and the test's own writes would otherwise slow the disk down for everyone.
        QTemporaryDir temporary;
        const TmpfsMount memory(pathOf(temporary) / "memory", 512 << 20,
                                TmpfsMount::Access::readWrite);
        const TwoPayloads p(memory.ok() ? pathOf(temporary) / "memory" : pathOf(temporary));
        const fs::path target = p.directory / applicationBundleName;

        // One uninterrupted run tells how long an installation takes, so that the kill moments
        // can be spread over all of it.
        const auto measured = start(child(p.bundles[1], p.directory, pauseBetweenMovesMs), true);
        const auto measureStart = Clock::now();
        QVERIFY(measured && measured->waitForFinished(60000) && measured->exitCode() == 0);
        auto duration = Clock::now() - measureStart;

        std::mt19937 random(std::random_device{}());
        int installed = 1;
        int kills = 0;
        for (int attempt = 0; kills < requiredKills && attempt < 3 * requiredKills; ++attempt) {
            const int next = 1 - installed;
            // Stratified moments: slot `attempt` of requiredKills equal slices of the run.
            const double fraction =
                (attempt % requiredKills + std::generate_canonical<double, 32>(random)) /
                requiredKills;
            const auto running =
                start(child(p.bundles[next], p.directory, pauseBetweenMovesMs), true);
            QVERIFY(running);
            std::this_thread::sleep_for(duration * fraction);
            running->kill();
            QVERIFY(running->waitForFinished(60000));
            const bool killed = running->exitStatus() == QProcess::CrashExit;
            QVERIFY(killed || running->exitCode() == 0);
            kills += killed;

            const QStringList atTarget = snapshotOf(target);
            const auto isEarlierCopy = [&](const QString& name) {
                return snapshotOf(p.directory / name.toStdString()) == p.snapshots[installed];
            };
            QVERIFY2(
                atTarget == QStringList{"<absent>"}
                    ? std::ranges::any_of(namesIn(p.directory).filter(backupName), isEarlierCopy)
                    : atTarget == p.snapshots[installed] || atTarget == p.snapshots[next],
                qPrintable(QString("killed at %1 of the run").arg(fraction, 0, 'f', 3)));

            const auto reinstallStart = Clock::now();
            const InstallResult result =
                InstallEngine::install(p.bundles[next], p.directory, noValidation);
            // The machine's pace changes while the test runs: follow it.
            duration = (duration + (Clock::now() - reinstallStart) +
                        std::chrono::milliseconds(pauseBetweenMovesMs)) /
                       2;
            QCOMPARE(snapshotOf(target), p.snapshots[next]);
            installed = next;
            // Once the installer has removed the copy it replaced, nothing that a kill left
            // remains.
            if (result.backup) {
                fs::remove_all(*result.backup);
            }
            QCOMPARE(namesIn(p.directory), QStringList{"Vantorel.app"});
        }
        QVERIFY2(kills >= requiredKills, qPrintable(QString("only %1 kills").arg(kills)));
    }

    // Two installations of different payloads into one folder, started together: the second
    // waits for the first, both succeed, and a complete copy of either payload is left, with
    // nothing hidden beside it but the backup that the second one returned (it removed the one
    // that the first returned).
    void twoInstallationsAtOnce() {
        QTemporaryDir temporary;
        const TwoPayloads p(pathOf(temporary));
        // A long pause between the two moves: without the lock, the other installation's final
        // move or clean-up would land in it.
        const std::unique_ptr<QProcess> children[2] = {
            start(child(p.bundles[0], p.directory, 300), true),
            start(child(p.bundles[1], p.directory, 300), true)};
        for (const auto& running : children) {
            QVERIFY(running && running->waitForFinished(120000));
            QVERIFY2(running->exitCode() == 0, running->readAllStandardError().constData());
        }
        const QStringList names = namesIn(p.directory);
        QVERIFY(names.size() == 2 && names.contains("Vantorel.app") &&
                names.filter(backupName).size() == 1);
        for (const QString& name : names) {
            const QStringList snapshot = snapshotOf(p.directory / name.toStdString());
            QVERIFY(snapshot == p.snapshots[0] || snapshot == p.snapshots[1]);
        }
    }

    // From a trace of one installation over an earlier copy, the order that makes it survive a
    // power cut: the staging copy's data reaches the disk (a flush of its whole file system, or of
    // every file system) after the last write into it and before it is renamed into place, and
    // the folder's entries reach the disk (a flush of the folder or of its file system) after that
    // rename and before the installation reports success. Which calls do it is free.
    void flushesBeforeTheInstallationCounts() {
        QTemporaryDir temporary;
        const fs::path source = makeBundle(pathOf(temporary) / "payload" / "Vantorel.app");
        const fs::path directory = pathOf(temporary) / "Applications";
        InstallEngine::install(source, directory, noValidation);
        const QString tracePath = temporary.filePath("trace");
        const auto strace = start(QStringList{"strace", "-f", "-qq", "-y", "-o", tracePath, "-e",
                                              "trace=openat,mkdir,mkdirat,symlink,symlinkat,write,"
                                              "pwrite64,copy_file_range,ioctl,fsync,fdatasync,"
                                              "syncfs,sync,rename,renameat,renameat2"} +
                                  child(source, directory));
        QVERIFY2(strace, "strace did not start (scripts/install-deps installs it)");
        QVERIFY(strace->waitForFinished(120000));
        const QString errors = strace->readAllStandardError();
        if (strace->exitCode() != 0 && errors.contains("ptrace")) {
            QSKIP(qPrintable("ptrace is not allowed here: " + errors.section('\n', 0, 0)));
        }
        QVERIFY2(strace->exitCode() == 0, qPrintable(errors));

        // The calls without their process ids. A call that another thread interrupts is split in
        // two; the calls looked at are made while the installation runs on one thread only.
        const QStringList calls = QString::fromStdString(readFile(tracePath.toStdString()))
                                      .split('\n', Qt::SkipEmptyParts)
                                      .replaceInStrings(QRegularExpression("^\\d+ +"), "");
        // Each pattern matches a whole call.
        using Pattern = QRegularExpression;
        // A flush by one of `calls` on a descriptor that `descriptor` matches, or of everything.
        const auto flushBy = [](const QString& calls, const QString& descriptor) {
            return "^((" + calls + R"()\(\d+<)" + descriptor + R"(>\)|sync\(\)) = 0$)";
        };
        const QString folder = QRegularExpression::escape(QString::fromStdString(directory));
        const QString fileSystemFlush = flushBy("syncfs", folder + "(/[^>]*)?");
        const QString folderFlush = fileSystemFlush + "|" + flushBy("fsync|fdatasync", folder);
        const qsizetype renamed =
            calls.indexOf(Pattern("^rename.*\\.Vantorel-install-.*Vantorel\\.app\", .*= 0$"));
        const qsizetype lastWrite = calls.lastIndexOf(
            Pattern(
                R"(^(openat\(.*O_CREAT|mkdir|symlink|write|pwrite64|copy_file_range|ioctl).*\.Vantorel-install-.*)"),
            renamed);
        const qsizetype succeeded = calls.indexOf(Pattern(R"re(^write\(1<.*"installed\\n".*)re"));
        QVERIFY2(renamed > 0 && lastWrite >= 0, "no staging copy written and moved into place");
        QVERIFY2(calls.lastIndexOf(Pattern(fileSystemFlush), renamed) > lastWrite,
                 "the staging copy was not flushed after it was written, before it was moved");
        const qsizetype afterRename = calls.indexOf(Pattern(folderFlush), renamed);
        QVERIFY2(afterRename > renamed && afterRename < succeeded,
                 "the folder was not flushed after the move, before the installation counted");
    }
};

QTEST_GUILESS_MAIN(InstallProcessesTest)
#include "tst_install_processes.moc"
