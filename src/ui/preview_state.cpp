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
    : QObject(parent), destinationPath_(std::move(destinationPath)) {
    const QString installedPath = destinationPath_ + QStringLiteral("/Vantorel.app");
    switch (phase) {
        case Phase::ready:
            break;
        case Phase::reinstall:
            exists_ = true;
            break;
        case Phase::working:
            busy_ = true;
            break;
        case Phase::failed:
            message_ =
                QStringLiteral(
                    "Instalacja nie powiodła się: Nie można skopiować „Vantorel.app” do „%1”: Brak "
                    "miejsca na urządzeniu")
                    .arg(destinationPath_);
            break;
        case Phase::installedNotLaunched:
            exists_ = true;
            installedURL_ = installedPath;
            message_ =
                QStringLiteral(
                    "Nie udało się uruchomić aplikacji: Nie można uruchomić „%1”: Odmowa dostępu")
                    .arg(installedPath);
            break;
        case Phase::done:
            exists_ = true;
            installedURL_ = installedPath;
            installed_ = true;
            break;
    }
}

void PreviewState::startInstall() {
    if (busy_) {
        return;
    }
    message_.clear();
    emit messageChanged();
    setBusy(true);
    QTimer::singleShot(pretendedWork, this, [this] {
        exists_ = true;
        installedURL_ = destinationPath_ + QStringLiteral("/Vantorel.app");
        emit installedURLChanged();
        setInstalled(true);
        setBusy(false);
    });
}

void PreviewState::setBusy(bool busy) {
    busy_ = busy;
    emit busyChanged();
    emit stateChanged();
}

void PreviewState::setInstalled(bool installed) {
    installed_ = installed;
    emit installedChanged();
    emit stateChanged();
}
