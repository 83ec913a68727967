#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
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

const QRegularExpression stagingName("^\\.Vantorel-install-[0-9A-F-]{36}\\.app$");
const QRegularExpression backupName("^\\.Vantorel-previous-[0-9A-F-]{36}\\.app$");

// A bundle of a few thousand small files in nested folders, a larger executable and a few links.
// `seed` makes the contents of two bundles differ in every file.
fs::path makeLargeBundle(const fs::path& location, unsigned seed) {
    makeBundle(location, {.marker = "seed " + std::to_string(seed)});
    std::mt19937 random(seed);
    const auto randomText = [&](size_t bytes) {
        std::string text(bytes, '\0');
        for (char& c : text) {
            c = static_cast<char>('a' + random() % 26);
        }
        return text;
    };
    writeFile(location / "Contents" / "MacOS" / "Vantorel", randomText(4 << 20), fs::perms(0755));
    for (int i = 0; i < resourceFiles; ++i) {
        writeFile(location / "Contents" / "Resources" / ("group" + std::to_string(i % 40)) /
                      ("sub" + std::to_string(i % 3)) / ("item" + std::to_string(i) + ".dat"),
                  randomText(200 + random() % 5800));
    }
    for (int i = 0; i < 4; ++i) {
        fs::create_symlink("../Resources/group" + std::to_string(i),
                           location / "Contents" / "MacOS" / ("link" + std::to_string(i)));
    }
    return location;
}

// Starts the child installation and waits until it is about to call install().
std::unique_ptr<QProcess> startChild(const fs::path& source, const fs::path& directory) {
    auto child = std::make_unique<QProcess>();
    child->start(INSTALL_CHILD, {QString::fromStdString(source.string()),
                                 QString::fromStdString(directory.string()),
                                 QString::number(pauseBetweenMovesMs)});
    if (!child->waitForStarted(30000) || !child->waitForReadyRead(30000)) {
        return nullptr;
    }
    return child;
}

}  // namespace

class InstallKillTest : public QObject {
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
        const fs::path root = memory.ok() ? pathOf(temporary) / "memory" : pathOf(temporary);
        const fs::path bundles[2] = {makeLargeBundle(root / "first" / "Vantorel.app", 1),
                                     makeLargeBundle(root / "second" / "Vantorel.app", 2)};
        const QStringList snapshots[2] = {snapshotOf(bundles[0]), snapshotOf(bundles[1])};
        const fs::path directory = root / "Applications";
        const fs::path target = directory / applicationBundleName;
        const auto noValidation = [](const fs::path&) {};

        // One uninterrupted run tells how long an installation takes, so that the kill moments
        // can be spread over all of it.
        InstallEngine::install(bundles[0], directory, noValidation);
        auto measured = startChild(bundles[1], directory);
        QVERIFY(measured);
        const auto measureStart = Clock::now();
        QVERIFY(measured->waitForFinished(60000));
        auto duration = Clock::now() - measureStart;
        QCOMPARE(measured->exitCode(), 0);
        QCOMPARE(snapshotOf(target), snapshots[1]);

        std::mt19937 random(std::random_device{}());
        int installed = 1;
        int kills = 0;
        for (int attempt = 0; kills < requiredKills && attempt < 3 * requiredKills; ++attempt) {
            const int next = 1 - installed;
            // Stratified moments: slot `attempt` of requiredKills equal slices of the run.
            const double fraction =
                (attempt % requiredKills + std::generate_canonical<double, 32>(random)) /
                requiredKills;
            auto child = startChild(bundles[next], directory);
            QVERIFY(child);
            std::this_thread::sleep_for(duration * fraction);
            child->kill();
            QVERIFY(child->waitForFinished(60000));
            if (child->exitStatus() == QProcess::CrashExit) {
                ++kills;
            } else {
                QCOMPARE(child->exitCode(), 0);
            }

            std::vector<fs::path> stagingCopies;
            bool earlierCopyUnderBackupName = false;
            for (const auto& entry : fs::directory_iterator(directory)) {
                const QString name = QString::fromStdString(entry.path().filename().string());
                if (stagingName.match(name).hasMatch()) {
                    stagingCopies.push_back(entry.path());
                } else if (backupName.match(name).hasMatch()) {
                    earlierCopyUnderBackupName |= snapshotOf(entry.path()) == snapshots[installed];
                } else {
                    QCOMPARE(name, QString("Vantorel.app"));
                }
            }
            const QString moment = QString("killed at %1 of the run").arg(fraction, 0, 'f', 3);
            const QStringList atTarget = snapshotOf(target);
            if (atTarget == QStringList{"<absent>"}) {
                QVERIFY2(earlierCopyUnderBackupName, qPrintable(moment));
            } else {
                QVERIFY2(atTarget == snapshots[installed] || atTarget == snapshots[next],
                         qPrintable(moment + ": a partial tree at the target"));
            }

            const auto reinstallStart = Clock::now();
            const InstallResult result =
                InstallEngine::install(bundles[next], directory, noValidation);
            // The machine's pace changes while the test runs: follow it.
            duration = (duration + (Clock::now() - reinstallStart) +
                        std::chrono::milliseconds(pauseBetweenMovesMs)) /
                       2;
            QCOMPARE(snapshotOf(target), snapshots[next]);
            installed = next;
            // The earlier copy is deleted after a successful installation, and the staging copies
            // a kill left behind too, so that the folder does not grow with every round.
            if (result.backup) {
                stagingCopies.push_back(*result.backup);
            }
            for (const auto& item : stagingCopies) {
                fs::remove_all(item);
            }
        }
        QVERIFY2(kills >= requiredKills, qPrintable(QString("only %1 kills").arg(kills)));
    }
};

QTEST_GUILESS_MAIN(InstallKillTest)
#include "tst_install_kill.moc"
