#include "preview_state.h"

#include <QTimer>
#include <array>
#include <chrono>
#include <utility>

namespace {

using Phase = PreviewState::Phase;

struct NamedPhase {
    std::string_view name;
    Phase phase;
};

constexpr std::array namedPhases{
    NamedPhase{"ready", Phase::ready},
    NamedPhase{"reinstall", Phase::reinstall},
    NamedPhase{"working", Phase::working},
    NamedPhase{"failed", Phase::failed},
    NamedPhase{"installed-not-launched", Phase::installedNotLaunched},
    NamedPhase{"done", Phase::done},
};

// How long the pretended installation shows the progress row.
constexpr std::chrono::milliseconds pretendedWork{1500};

}  // namespace

std::optional<Phase> PreviewState::phaseNamed(std::string_view name) {
    for (const NamedPhase& entry : namedPhases) {
        if (entry.name == name) {
            return entry.phase;
        }
    }
    return std::nullopt;
}

QStringList PreviewState::phaseNames() {
    QStringList names;
    for (const NamedPhase& entry : namedPhases) {
        names.append(QString::fromLatin1(entry.name.data(), qsizetype(entry.name.size())));
    }
    return names;
}

PreviewState::PreviewState(Phase phase, QString destinationPath, QObject* parent)
    : InstallerState(parent), destinationPath_(std::move(destinationPath)) {
    switch (phase) {
        case Phase::ready:
            break;
        case Phase::reinstall:
            exists_ = true;
            break;
        case Phase::working:
            setBusy(true);
            break;
        case Phase::failed:
            setMessage(QStringLiteral("Instalacja nie powiodła się: Nie można skopiować "
                                      "„Vantorel.app” do „%1”: Brak miejsca na urządzeniu")
                           .arg(destinationPath_));
            break;
        case Phase::installedNotLaunched:
            exists_ = true;
            setInstalledLocation(installedPath());
            setMessage(QStringLiteral("Nie udało się uruchomić aplikacji: Nie można uruchomić "
                                      "„%1”: Odmowa dostępu")
                           .arg(installedURL()));
            break;
        case Phase::done:
            exists_ = true;
            setInstalledLocation(installedPath());
            setInstalled(true);
            break;
    }
}

std::filesystem::path PreviewState::installedPath() const {
    return std::filesystem::path(destinationPath_.toStdString()) / "Vantorel.app";
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
