#include "preview_state.h"

#include <QFile>
#include <QTimer>
#include <array>
#include <cerrno>
#include <chrono>
#include <utility>

#include "application_bundle.h"
#include "application_launcher.h"
#include "failure_line.h"
#include "install_problem.h"

namespace fs = std::filesystem;

namespace {

using Phase = PreviewState::Phase;

// The fields that make a phase: whether the action runs, whether a copy was installed in this run,
// whether an item is at the destination, and where an action failed, if it did.
struct PhaseFields {
    std::string_view name;
    Phase phase;
    bool busy;
    bool copied;
    bool occupied;
    std::optional<FailedStage> failed;
};

constexpr std::array phaseTable{
    PhaseFields{"ready", Phase::FirstInstall, false, false, false, {}},
    PhaseFields{"reinstall", Phase::Reinstall, false, false, true, {}},
    PhaseFields{"failed", Phase::Failed, false, false, false, FailedStage::install},
    PhaseFields{"failed-reinstall", Phase::FailedReinstall, false, false, true,
                FailedStage::install},
    PhaseFields{"working", Phase::Installing, true, false, false, {}},
    PhaseFields{"reinstalling", Phase::Reinstalling, true, false, true, {}},
    PhaseFields{"launching", Phase::Launching, true, true, true, {}},
    PhaseFields{"launching-gone-copy", Phase::LaunchingGoneCopy, true, true, false, {}},
    PhaseFields{"installed-not-launched", Phase::InstalledNotLaunched, false, true, true,
                FailedStage::launch},
    PhaseFields{"installed-copy-gone", Phase::InstalledCopyGone, false, true, false,
                FailedStage::launch},
    PhaseFields{"done", Phase::Done, false, true, true, {}},
};

const PhaseFields& fieldsOf(Phase phase) {
    for (const PhaseFields& entry : phaseTable) {
        if (entry.phase == phase) {
            return entry;
        }
    }
    return phaseTable.front();
}

// The errors shown, as the engine and the launcher word them: no space left on the applications
// folder's disk, and the system refusing to start the installed copy's program.
std::string errorText(FailedStage stage, const fs::path& installed) {
    if (stage == FailedStage::install) {
        return InstallProblem(InstallProblem::Reason::noSpace, installed.parent_path(), ENOSPC)
            .what();
    }
    return startFailure(installed, installed / "Contents" / "MacOS" / "Vantorel", EACCES).what();
}

// How long the pretended installation shows the progress row.
constexpr std::chrono::milliseconds pretendedWork{1500};

}  // namespace

std::optional<Phase> PreviewState::phaseNamed(std::string_view name) {
    for (const PhaseFields& entry : phaseTable) {
        if (entry.name == name) {
            return entry.phase;
        }
    }
    return std::nullopt;
}

QStringList PreviewState::phaseNames() {
    QStringList names;
    for (const PhaseFields& entry : phaseTable) {
        names.append(QString::fromLatin1(entry.name.data(), qsizetype(entry.name.size())));
    }
    return names;
}

PreviewState::PreviewState(Phase phase, QString destinationPath, QObject* parent)
    : InstallerState(parent), destinationPath_(std::move(destinationPath)) {
    const PhaseFields& fields = fieldsOf(phase);
    exists_ = fields.occupied;
    setBusy(fields.busy);
    if (fields.copied) {
        setInstalledLocation(installedPath());
    }
    if (fields.failed) {
        const std::string error = errorText(*fields.failed, installedPath());
        setMessage(failureLine(*fields.failed, error));
    }
    setInstalled(phase == Phase::Done);
}

fs::path PreviewState::installedPath() const {
    return fs::path(QFile::encodeName(destinationPath_).toStdString()) / applicationBundleName;
}

void PreviewState::startInstall() {
    if (busy()) {
        return;
    }
    setMessage({});
    setBusy(true);
    QTimer::singleShot(pretendedWork, this, [this] {
        exists_ = true;
        setInstalledLocation(installedPath());
        setInstalled(true);
        setBusy(false);
    });
}
