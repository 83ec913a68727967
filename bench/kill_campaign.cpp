// Kills installations at random moments and checks what each kill left in the applications folder.
// Two campaigns, each on a bundle of 100 small files, 2 libraries and an executable (2.9 MiB, small
// so that a thousand rounds take minutes, not hours):
//  1. installations over an earlier copy, the removal of the replaced copy included (as the
//     installer does it once the new copy runs): after every kill "Vantorel.app" must be the
//     complete earlier or the complete new copy, or missing while the complete earlier copy lies
//     under a backup name;
//  2. installations over a copy stranded under a backup name (nothing at "Vantorel.app"): after
//     every kill a complete copy must be left, at "Vantorel.app" or under a backup name.
// After every kill the next installation must succeed and, once the copy it replaced is removed,
// leave nothing hidden in the folder. Runs for several minutes; not part of the tests.
//
//   kill_campaign [KILLS [STRANDED_ROUNDS [WORK_FOLDER]]]   (defaults 1000, 100, /var/tmp)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QUuid>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "abandoned_copies.h"
#include "application_bundle.h"
#include "file_manager.h"
#include "install_engine.h"
#include "synthetic_bundle.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const auto noValidation = [](const fs::path&) {};

// Installs as the installer does: the replaced copy is removed once the installation returned.
void installAndRemoveBackup(const fs::path& source, const fs::path& directory) {
    const InstallResult result = InstallEngine::install(source, directory, noValidation);
    if (result.backup) {
        files::removeItem(*result.backup);
    }
}

// Runs one installation in a child process and kills it after `delay` unless it ended before.
// True when the kill ended it.
bool killedInstallation(const fs::path& source, const fs::path& directory, Clock::duration delay) {
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            installAndRemoveBackup(source, directory);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "installation failed: %s\n", error.what());
            std::_Exit(1);
        }
        std::_Exit(0);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "an installation that was not killed failed\n");
        std::exit(1);
    }
    return WIFSIGNALED(status);
}

struct Campaign {
    const char* title;
    bool stranded;  // the installed copy is moved to a backup name before each installation
    int kills;
};

// What a kill left: "Vantorel.app" as the earlier or the new copy, or missing with the earlier
// copy under a backup name; anything else is a failure.
std::string judge(const fs::path& directory, const QStringList& earlier, const QStringList& next,
                  std::map<std::string, int>& tally) {
    bool completeBackup = false;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name == applicationBundleName) {
            continue;
        }
        if (!isHiddenCopyName(name)) {
            return "unexpected item " + name;
        }
        const bool staging = name.starts_with(stagingNamePrefix);
        ++tally[staging ? "staging copies left by the kill" : "backups left by the kill"];
        completeBackup |= !staging && testsupport::snapshotOf(entry.path()) == earlier;
    }
    const QStringList target = testsupport::snapshotOf(directory / applicationBundleName);
    if (target == earlier) {
        ++tally["Vantorel.app: the earlier copy"];
    } else if (target == next) {
        ++tally["Vantorel.app: the new copy"];
    } else if (target == QStringList{"<absent>"} && completeBackup) {
        ++tally["Vantorel.app missing, the earlier copy under a backup name"];
    } else {
        return "no complete copy at Vantorel.app";
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const int kills = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int strandedRounds = argc > 2 ? std::atoi(argv[2]) : 100;
    const QString base = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString("/var/tmp");
    QTemporaryDir work(base + "/kill_campaign-XXXXXX");
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const fs::path root = work.path().toStdString();
    fs::path bundles[2];
    QStringList snapshots[2];
    for (int i = 0; i < 2; ++i) {
        bundles[i] = root / ("payload" + std::to_string(i)) / "Vantorel.app";
        bench::makeSyntheticBundle(bundles[i], {.executableBytes = 1 << 20,
                                                .libraries = 2,
                                                .libraryBytes = 256 << 10,
                                                .resources = 100,
                                                .seed = 7u + static_cast<unsigned>(i)});
        snapshots[i] = testsupport::snapshotOf(bundles[i]);
    }
    const fs::path directory = root / "Applications";
    const fs::path target = directory / applicationBundleName;
    installAndRemoveBackup(bundles[0], directory);
    int installed = 0;

    // How long one installation takes, so that the kills are spread over all of it; followed as
    // the machine's pace changes.
    const auto runStart = Clock::now();
    installAndRemoveBackup(bundles[1], directory);
    installed = 1;
    Clock::duration duration = Clock::now() - runStart;
    std::printf("one installation with the removal of the replaced copy: %.3f s\n",
                std::chrono::duration<double>(duration).count());

    std::mt19937 random(std::random_device{}());
    const Campaign campaigns[] = {
        {"over an earlier copy", false, kills},
        {"over a copy stranded under a backup name", true, strandedRounds}};
    for (const Campaign& campaign : campaigns) {
        std::map<std::string, int> tally;
        const auto start = Clock::now();
        int done = 0;
        for (int attempt = 0; done < campaign.kills; ++attempt) {
            const int next = 1 - installed;
            if (campaign.stranded) {
                files::moveItem(target, directory / (std::string(backupNamePrefix) +
                                                     QUuid::createUuid()
                                                         .toString(QUuid::WithoutBraces)
                                                         .toUpper()
                                                         .toStdString() +
                                                     std::string(bundleNameSuffix)));
            }
            const double fraction = std::generate_canonical<double, 32>(random);
            const auto delay = std::chrono::duration_cast<Clock::duration>(duration * fraction);
            if (killedInstallation(bundles[next], directory, delay)) {
                ++done;
                ++tally["kills"];
            } else {
                ++tally["installations that ended before the kill"];
            }
            const std::string verdict =
                judge(directory, snapshots[installed], snapshots[next], tally);
            if (!verdict.empty()) {
                std::printf("FAILED %s, round %d, killed at %.3f of the run: %s\n", campaign.title,
                            attempt, fraction, verdict.c_str());
                return 1;
            }

            const auto nextStart = Clock::now();
            installAndRemoveBackup(bundles[next], directory);
            duration = (duration + (Clock::now() - nextStart)) / 2;
            installed = next;
            const bool clean =
                std::distance(fs::directory_iterator(directory), fs::directory_iterator()) == 1;
            if (!clean || testsupport::snapshotOf(target) != snapshots[next]) {
                std::printf("FAILED %s, round %d: the next installation left %s\n", campaign.title,
                            attempt,
                            clean ? "an incomplete copy" : "something beside Vantorel.app");
                return 1;
            }
        }
        std::printf("\n%s: %.0f s\n", campaign.title,
                    std::chrono::duration<double>(Clock::now() - start).count());
        for (const auto& [what, count] : tally) {
            std::printf("  %6d  %s\n", count, what.c_str());
        }
        std::printf("  every next installation succeeded and left nothing hidden\n");
    }
    return 0;
}
